// cardrw_wine_state: seeds a Windows installation of the card reader/writer inside a Wine prefix
// through the real Win32, Setup API, registry, security and spooler interfaces, and afterwards
// checks what the uninstaller left. It reads a script of one command per line.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

using Args = std::vector<std::wstring>;  // the command word, then its arguments

// A command returns true when it did what it says (seed) or found what it expects (check);
// otherwise it describes what went wrong in *problem.
using CommandHandler = bool (*)(const Args& args, std::wstring* problem);

struct Command {
    const wchar_t* Name;
    size_t MinArgs;  // arguments after the command word
    size_t MaxArgs;
    CommandHandler Handler;
};

// Where the script's "copy" sources are (the Windows path of the scenario directory).
extern std::wstring DataDirectory;

// Runs the lines of SCRIPT whose command is a seeding command (checks == false) or an
// "expect-" command (checks == true). Returns the process exit code: 0, 1 when a check failed,
// 2 when seeding or the script itself failed.
int RunScript(const std::wstring& script, bool checks);

// The command tables of each area, ended by an entry with a null name.
extern const Command RegistryCommands[];
extern const Command DeviceCommands[];
extern const Command FileCommands[];
extern const Command PrinterCommands[];

// Shared helpers.
std::wstring ErrorText(DWORD error);                       // "error N"
bool OpenKeyPath(const std::wstring& path, REGSAM access, HKEY* key, DWORD* error);
bool CreateKeyPath(const std::wstring& path, HKEY* key, DWORD* error);
bool ExpectPresence(const std::wstring& presence, bool present, const std::wstring& what,
                    std::wstring* problem);
