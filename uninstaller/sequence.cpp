// CardRwUninstall: the uninstall sequence. Warns while the device is plugged in, removes the
// device instances (through the command engine, or on Windows 5.0 by registry cleanup for the
// printer function), deletes the OEM driver packages of both families, the five driver files
// and the printer-driver directories made for the card printer.
#include "uninstaller/uninstaller.h"
#include "uninstaller/text.h"
#include "uninstaller/resources/resource.h"
#include "command_engine/command_engine.h"

WCHAR WindowsDir[DIRECTORY_CHARS];
WCHAR DriversDir[MAX_PATH];
WCHAR PrinterDriverDir[MAX_PATH];
WCHAR PrinterEnvDir[MAX_PATH];
WCHAR InfDir[MAX_PATH];

namespace {

// ---------------------------------------------------------------------------------------------
// Identifiers, keys and files
// ---------------------------------------------------------------------------------------------

#define CARD_VID_PID "Vid_3f7b&Pid_0a51"

const WCHAR PrinterCompatibleId[] = TEXT("Tervalinx_Rewritable7E19");
const WCHAR PrinterHardwareId[] = TEXT("USBPRINT\\Tervalinx_Rewritable7E19");
const WCHAR SerialFunctionId[] = TEXT("USB\\" CARD_VID_PID "&MI_00");
const WCHAR DeviceEnumKey[] = TEXT("SYSTEM\\CurrentControlSet\\Enum\\USB\\" CARD_VID_PID);
const WCHAR ProbeKey[] = TEXT("SYSTEM\\CurrentControlSet\\Enum\\USB\\" CARD_VID_PID "&MI_0" "0");
const WCHAR DeviceRemovalPattern[] = TEXT("USB\\" CARD_VID_PID "&*");
const WCHAR DirectoryPattern[] = TEXT("tervalinx_rewritable7e19");

const WCHAR PrinterListKey[] = TEXT("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Printers");
const WCHAR PrinterInterfaceClassKey[] =
    TEXT("SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}");
constexpr DWORD GRANTED_ACCESS = 0xFFFF0000;

const WCHAR ProgramName[] = TEXT("\\UnInstall_V7420.exe");

struct FileToRemove {
    PWSTR Directory;
    PCWSTR Name;
};

// Removed in this order.
const FileToRemove FilesToRemove[] = {
    { PrinterDriverDir, TEXT("V7WB_61K.dll") },
    { PrinterDriverDir, TEXT("V7WB_61k.GPD") },
    { PrinterDriverDir, TEXT("V7WB_61k.BUD") },
    { DriversDir, TEXT("CardRwUsb.sys") },
    { DriversDir, TEXT("CardRwCom.sys") },
};

// Current directory + ProgramName: the first element of every argument vector of the engine.
WCHAR ProgramArg[DIRECTORY_CHARS + 32];

bool IsWindows50()
{
    return g_OsMajorVersion == 5 && g_OsMinorVersion == 0;
}

// ---------------------------------------------------------------------------------------------
// Steps 1 to 3: warning and directories
// ---------------------------------------------------------------------------------------------

void WarnIfConnected()
{
    g_DeviceConnected = 0;
    ProbeConnectedDevice(HKEY_LOCAL_MACHINE, ProbeKey);
    if (g_DeviceConnected <= 0)
        return;

    WCHAR message[256];
    WCHAR caption[256];
    if (LoadStringW(g_hInstance, IDS_UNPLUG, message, 256) <= 0)
        message[0] = 0;
    if (LoadStringW(g_hInstance, IDS_TITLE, caption, 256) <= 0)
        caption[0] = 0;
    MessageBoxW(nullptr, message, caption, MB_ICONERROR | MB_OK);
}

// The error of a failed query; never 0, so that a failure is never taken for success.
DWORD QueryFailure()
{
    DWORD error = GetLastError();
    return error != 0 ? error : ERROR_PATH_NOT_FOUND;
}

// A query result of 0 failed; one of at least the buffer size did not fit.
DWORD CheckQuery(UINT length)
{
    if (length == 0)
        return QueryFailure();
    if (length >= DIRECTORY_CHARS)
        return ERROR_INSUFFICIENT_BUFFER;
    return ERROR_SUCCESS;
}

DWORD QueryDirectories()
{
    WCHAR systemDir[DIRECTORY_CHARS];
    WCHAR currentDir[DIRECTORY_CHARS];
    WCHAR tempDir[DIRECTORY_CHARS];

    DWORD error = CheckQuery(GetWindowsDirectoryW(WindowsDir, DIRECTORY_CHARS));
    if (error == ERROR_SUCCESS)
        error = CheckQuery(GetSystemDirectoryW(systemDir, DIRECTORY_CHARS));
    if (error == ERROR_SUCCESS)
        error = CheckQuery(GetCurrentDirectoryW(DIRECTORY_CHARS, currentDir));
    if (error == ERROR_SUCCESS)
        error = CheckQuery(GetTempPathW(DIRECTORY_CHARS, tempDir));
    return error;
}

// Every directory must be built in full: a failed join would leave a relative path behind, and
// the file steps would then delete names in whatever the current directory is.
DWORD BuildDirectories()
{
    if (PathCombineW(DriversDir, WindowsDir, TEXT("system32\\drivers")) == nullptr ||
        PathCombineW(PrinterDriverDir, WindowsDir, TEXT("system32\\spool\\drivers\\x64\\3")) == nullptr ||
        PathCombineW(PrinterEnvDir, WindowsDir, TEXT("system32\\spool\\drivers\\x64")) == nullptr ||
        PathCombineW(InfDir, WindowsDir, TEXT("inf")) == nullptr)
        return ERROR_FILENAME_EXCED_RANGE;

    UINT length = GetCurrentDirectoryW(DIRECTORY_CHARS, ProgramArg);
    DWORD error = CheckQuery(length);
    if (error != ERROR_SUCCESS)
        return error;
    if (!text::Append(ProgramArg, sizeof(ProgramArg) / sizeof(WCHAR), ProgramName))
        return ERROR_FILENAME_EXCED_RANGE;
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Steps 4 to 9: removal
// ---------------------------------------------------------------------------------------------

// Runs one engine command on a three-element vector that this routine builds and owns; the
// engine borrows it for the call. The result is not read.
void RunEngineCommand(PCWSTR command, PCWSTR argument)
{
    LPCWSTR argv[3] = { ProgramArg, command, argument };
    RunDeviceCommand(3, argv);
}

void RemovePrinterFunction()
{
    if (IsWindows50()) {
        GrantKeyAccess(HKEY_LOCAL_MACHINE, DeviceEnumKey, GRANTED_ACCESS);
        RemoveCardPrinters(HKEY_LOCAL_MACHINE, PrinterListKey);
        RemoveDeviceInterfaceKeys(HKEY_LOCAL_MACHINE, PrinterInterfaceClassKey);
    } else {
        RunEngineCommand(TEXT("remove"), PrinterHardwareId);
    }
}

// InfDir joined with base name + extension; false when the path does not fit.
bool InfFilePath(PWSTR path, PCWSTR baseName, PCWSTR extension)
{
    WCHAR fileName[OEM_INF_NAME_CHARS + 8];
    if (!text::Copy(fileName, OEM_INF_NAME_CHARS + 8, baseName) ||
        !text::Append(fileName, OEM_INF_NAME_CHARS + 8, extension))
        return false;
    return PathCombineW(path, InfDir, fileName) != nullptr;
}

// Deletes every installed package of one family. On Windows 5.0 the INF and its precompiled
// companion are deleted directly as well.
void RemoveDriverPackages(PCWSTR section, WORD field, PCWSTR value)
{
    OemInfList list = {};
    int count = 0;
    if (FindOemInfs(section, field, value, &list, &count) != 0)
        return;

    for (int i = 0; i < count; i++) {
        WCHAR infPath[MAX_PATH];
        if (!InfFilePath(infPath, list.Names[i], TEXT(".inf")))
            continue;
        RunEngineCommand(TEXT("dp_delete"), infPath);
        if (IsWindows50()) {
            WCHAR pnfPath[MAX_PATH];
            ForceDeleteFile(infPath);
            if (InfFilePath(pnfPath, list.Names[i], TEXT(".PNF")))
                ForceDeleteFile(pnfPath);
        }
    }
}

void RemoveDriverFiles()
{
    for (const FileToRemove& file : FilesToRemove) {
        WCHAR path[MAX_PATH];
        if (PathCombineW(path, file.Directory, file.Name) != nullptr)
            ForceDeleteFile(path);
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// PerformUninstall
// ---------------------------------------------------------------------------------------------

// Only a failure before the first removal stops the sequence; every later step runs whatever
// the previous ones achieved.
DWORD PerformUninstall(HWND owner)
{
    WarnIfConnected();

    DWORD error = QueryDirectories();
    if (error == ERROR_SUCCESS)
        error = BuildDirectories();
    if (error != ERROR_SUCCESS)
        return error;

    RemovePrinterFunction();
    RunEngineCommand(TEXT("remove"), DeviceRemovalPattern);
    RemoveDriverPackages(TEXT("Tervalinx"), 3, PrinterCompatibleId);
    RemoveDriverPackages(TEXT("TervalinxVirtualCOM"), 2, SerialFunctionId);
    RemoveDriverFiles();
    RemoveMatchingDirectories(PrinterEnvDir, DirectoryPattern);
    return ERROR_SUCCESS;
}
