// Command table and dispatcher: option scanning, command lookup, the handler's result turned
// into messages or a restart, message formatting from the program's message table, and the
// handlers of the commands this program does not carry out.
#include "command_engine/command_engine.h"

#include <stdarg.h>

// ======================================================================================
// Text helpers
// ======================================================================================

// Case folding of the ASCII letters A to Z only, as the command and ID comparisons require.
static WCHAR FoldAscii(WCHAR c) { return (c >= TEXT('a') && c <= TEXT('z')) ? WCHAR(c - 32) : c; }

static BOOL EqualAsciiNoCase(LPCWSTR a, LPCWSTR b) {
    for (; *a && *b; ++a, ++b)
        if (FoldAscii(*a) != FoldAscii(*b)) return FALSE;
    return *a == *b;
}

static LPCWSTR BaseNameOf(LPCWSTR path) {
    LPCWSTR base = path;
    for (LPCWSTR p = path; *p; ++p)
        if (*p == TEXT('\\')) base = p + 1;
    return base;
}

// ======================================================================================
// Output
// ======================================================================================

void WriteStreamText(HANDLE Stream, LPCWSTR Text) {
    if (Stream == NULL || Stream == INVALID_HANDLE_VALUE) return;
    int bytes = WideCharToMultiByte(CP_ACP, 0, Text, -1, NULL, 0, NULL, NULL);
    if (bytes <= 1) return;
    char *buffer = static_cast<char *>(HeapAlloc(GetProcessHeap(), 0, SIZE_T(bytes)));
    if (buffer == NULL) return;
    if (WideCharToMultiByte(CP_ACP, 0, Text, -1, buffer, bytes, NULL, NULL) > 1) {
        DWORD written = 0;
        WriteFile(Stream, buffer, DWORD(bytes - 1), &written, NULL);  // without the NUL
    }
    HeapFree(GetProcessHeap(), 0, buffer);
}

// Formats from the running program's message table; a program without one yields no text
// and nothing is written. Trailing line ends become a single line feed.
void PrintMessage(HANDLE Stream, DWORD Id, ...) {
    va_list inserts;
    va_start(inserts, Id);
    LPWSTR text = NULL;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER, NULL, Id, 0,
                                  reinterpret_cast<LPWSTR>(&text), 0, &inserts);
    va_end(inserts);
    if (length == 0 || text == NULL) {
        if (text != NULL) LocalFree(text);
        return;
    }
    DWORD end = length;
    while (end > 0 && (text[end - 1] == TEXT('\r') || text[end - 1] == TEXT('\n'))) --end;
    if (end < length) {
        // At least one line end was removed: there is room for the single line feed.
        text[end] = TEXT('\n');
        text[end + 1] = 0;
    }
    WriteStreamText(Stream, text);
    LocalFree(text);
}

void ShowUsage(LPCWSTR BaseName) { PrintMessage(GetStdHandle(STD_ERROR_HANDLE), MSG_USAGE, BaseName); }

void ShowCommandUsage(LPCWSTR BaseName, LPCWSTR Command) {
    PrintMessage(GetStdHandle(STD_ERROR_HANDLE), MSG_COMMAND_USAGE, BaseName, Command);
}

void ShowCommandFailure(LPCWSTR BaseName, LPCWSTR Command) {
    PrintMessage(GetStdHandle(STD_ERROR_HANDLE), MSG_FAILURE, BaseName, Command);
}

// ======================================================================================
// Restart
// ======================================================================================

BOOL RestartSystem(void) {
    HANDLE token = NULL;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        TOKEN_PRIVILEGES privileges;
        if (LookupPrivilegeValueW(NULL, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid)) {
            privileges.PrivilegeCount = 1;
            privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
        }
        CloseHandle(token);
    }
    // Planned, hardware, installation: no message, no delay, applications not forced closed.
    const DWORD reason = SHTDN_REASON_FLAG_PLANNED | SHTDN_REASON_MAJOR_HARDWARE | SHTDN_REASON_MINOR_INSTALLATION;
    return InitiateSystemShutdownExW(NULL, NULL, 0, FALSE, TRUE, reason);
}

// ======================================================================================
// Dormant commands and help
// ======================================================================================

// The rows this program keeps but does not carry out: each says so on the standard error
// stream and fails.
static int ReportNotAvailable(LPCWSTR BaseName, LPCWSTR Command) {
    WCHAR line[160];
    wnsprintfW(line, 160, TEXT("%s: %s: not available in this program\n"), BaseName, Command);
    WriteStreamText(GetStdHandle(STD_ERROR_HANDLE), line);
    return CMD_FAIL;
}

#define DORMANT_COMMAND(handler, word)                                                                       \
    static int handler(LPCWSTR BaseName, LPCWSTR, DWORD, int, LPCWSTR const[]) {                              \
        return ReportNotAvailable(BaseName, TEXT(word));                                                     \
    }

DORMANT_COMMAND(ClassFilterCommand, "classfilter")
DORMANT_COMMAND(ClassesCommand, "classes")
DORMANT_COMMAND(DisableCommand, "disable")
DORMANT_COMMAND(DriverFilesCommand, "driverfiles")
DORMANT_COMMAND(DriverNodesCommand, "drivernodes")
DORMANT_COMMAND(EnableCommand, "enable")
DORMANT_COMMAND(FindCommand, "find")
DORMANT_COMMAND(FindAllCommand, "findall")
DORMANT_COMMAND(HwIdsCommand, "hwids")
DORMANT_COMMAND(InstallCommand, "install")
DORMANT_COMMAND(ListClassCommand, "listclass")
DORMANT_COMMAND(RebootCommand, "reboot")
DORMANT_COMMAND(RescanCommand, "rescan")
DORMANT_COMMAND(ResourcesCommand, "resources")
DORMANT_COMMAND(RestartCommand, "restart")
DORMANT_COMMAND(SetHwIdCommand, "sethwid")
DORMANT_COMMAND(StackCommand, "stack")
DORMANT_COMMAND(StatusCommand, "status")
DORMANT_COMMAND(UpdateCommand, "update")
DORMANT_COMMAND(UpdateNiCommand, "updateni")
DORMANT_COMMAND(AddPackageCommand, "dp_add")
DORMANT_COMMAND(EnumPackagesCommand, "dp_enum")

// "help" and "?": the general usage and every command's one-line help, or one command's full
// help. All of it comes from the message table, so this program prints nothing.
int HelpCommand(LPCWSTR BaseName, LPCWSTR Machine, DWORD Flags, int ArgCount, LPCWSTR const ArgList[]) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (ArgCount == 0) {
        ShowUsage(BaseName);
        for (const CommandEntry *row = CommandTable; row->Name != NULL; ++row)
            if (row->ShortHelpId != 0) PrintMessage(out, row->ShortHelpId, row->Name);
        return CMD_OK;
    }
    LPCWSTR word = ArgList[0];
    if (*word == TEXT('-') || *word == TEXT('/')) ++word;
    for (const CommandEntry *row = CommandTable; row->Name != NULL; ++row) {
        if (!EqualAsciiNoCase(word, row->Name)) continue;
        DWORD id = row->LongHelpId != 0 ? row->LongHelpId : row->ShortHelpId;
        if (id != 0) PrintMessage(out, id, BaseName, row->Name);
        return CMD_OK;
    }
    ShowUsage(BaseName);
    return CMD_USAGE;
}

// ======================================================================================
// The table
// ======================================================================================

const CommandEntry CommandTable[] = {
    {TEXT("classfilter"), ClassFilterCommand, 61501, 61500},
    {TEXT("classes"), ClassesCommand, 60201, 60200},
    {TEXT("disable"), DisableCommand, 60601, 60600},
    {TEXT("driverfiles"), DriverFilesCommand, 60411, 60410},
    {TEXT("drivernodes"), DriverNodesCommand, 61401, 61400},
    {TEXT("enable"), EnableCommand, 60501, 60500},
    {TEXT("find"), FindCommand, 60401, 60400},
    {TEXT("findall"), FindAllCommand, 60407, 60406},
    {TEXT("help"), HelpCommand, 60101, 0},
    {TEXT("hwids"), HwIdsCommand, 60415, 60414},
    {TEXT("install"), InstallCommand, 61001, 61000},
    {TEXT("listclass"), ListClassCommand, 60301, 60300},
    {TEXT("reboot"), RebootCommand, 60801, 60800},
    {TEXT("remove"), RemoveCommand, 61201, 61200},
    {TEXT("rescan"), RescanCommand, 61301, 61300},
    {TEXT("resources"), ResourcesCommand, 60413, 60412},
    {TEXT("restart"), RestartCommand, 60701, 60700},
    {TEXT("sethwid"), SetHwIdCommand, 61601, 61600},
    {TEXT("stack"), StackCommand, 60417, 60416},
    {TEXT("status"), StatusCommand, 60409, 60408},
    {TEXT("update"), UpdateCommand, 61101, 61100},
    {TEXT("updateni"), UpdateNiCommand, 61105, 61104},
    {TEXT("dp_add"), AddPackageCommand, 61108, 61107},
    {TEXT("dp_delete"), DeletePackageCommand, 61110, 61109},
    {TEXT("dp_enum"), EnumPackagesCommand, 61112, 61111},
    {TEXT("?"), HelpCommand, 0, 0},
    {NULL, NULL, 0, 0},
};

// ======================================================================================
// RunDeviceCommand
// ======================================================================================

struct CommandOptions {
    LPCWSTR Machine;
    BOOL AutoRestart;
    DWORD Flags;
};

// Consumes the options from ArgList[*Next] on. The first argument that is not an option in
// its exact form ends the scan and is left for the command word.
static void ScanOptions(int ArgCount, LPCWSTR const ArgList[], int *Next, CommandOptions *Options) {
    while (*Next < ArgCount) {
        LPCWSTR arg = ArgList[*Next];
        if (arg == NULL) return;
        if (arg[0] != TEXT('-') && arg[0] != TEXT('/')) return;
        WCHAR option = FoldAscii(arg[1]);
        if (option == TEXT('M') && arg[2] == TEXT(':') && arg[3] != 0) {
            Options->Machine = arg + 3;
        } else if (option == TEXT('R') && arg[2] == 0) {
            Options->AutoRestart = TRUE;
        } else if (option == TEXT('F') && arg[2] == 0) {
            Options->Flags |= CMDFLAG_FORCE;
        } else {
            return;
        }
        ++*Next;
    }
}

static const CommandEntry *LookupCommandRow(LPCWSTR Word) {
    if (*Word == TEXT('-') || *Word == TEXT('/')) ++Word;
    for (const CommandEntry *row = CommandTable; row->Name != NULL; ++row)
        if (EqualAsciiNoCase(Word, row->Name)) return row;
    return NULL;
}

int RunDeviceCommand(int ArgCount, LPCWSTR const ArgList[]) {
    if (ArgCount < 1 || ArgList == NULL || ArgList[0] == NULL) return CMD_USAGE;
    LPCWSTR baseName = BaseNameOf(ArgList[0]);
    CommandOptions options = {NULL, FALSE, 0};
    int next = 1;
    ScanOptions(ArgCount, ArgList, &next, &options);
    if (next >= ArgCount) {
        ShowUsage(baseName);
        return CMD_USAGE;
    }
    const CommandEntry *row = ArgList[next] != NULL ? LookupCommandRow(ArgList[next]) : NULL;
    ++next;
    if (row == NULL) {
        ShowUsage(baseName);
        return CMD_USAGE;
    }
    int result = row->Handler(baseName, options.Machine, options.Flags, ArgCount - next, ArgList + next);
    switch (result) {
    case CMD_OK:
        break;
    case CMD_REBOOT:
        if (options.AutoRestart) RestartSystem();
        break;
    case CMD_USAGE:
        ShowCommandUsage(baseName, row->Name);
        break;
    default:
        ShowCommandFailure(baseName, row->Name);
        break;
    }
    return result;
}
