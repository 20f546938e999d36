// The two commands the uninstaller runs: "remove" uninstalls every matching device instance,
// connected or not, through its class installer; "dp_delete" removes one installed OEM driver
// package through the setup service, looked up at run time in "setupapi.dll".
#include "command_engine/command_engine.h"

// ======================================================================================
// remove
// ======================================================================================

static BOOL LoadStatusTexts(RemoveContext *Context) {
    HINSTANCE program = GetModuleHandleW(NULL);
    return LoadStringW(program, IDS_REMOVED, Context->RemovedText, STATUS_TEXT_CHARS) > 0 &&
           LoadStringW(program, IDS_REMOVED_ON_REBOOT, Context->RebootText, STATUS_TEXT_CHARS) > 0 &&
           LoadStringW(program, IDS_REMOVE_FAILED, Context->FailedText, STATUS_TEXT_CHARS) > 0;
}

// One line per device: the instance ID left-aligned in 60 columns (a longer ID is written in
// full), a colon, a space and the status.
static void WriteStatusLine(LPCWSTR InstanceId, LPCWSTR Status) {
    WCHAR line[MAX_DEVICE_ID_LEN + STATUS_TEXT_CHARS + 80];
    wnsprintfW(line, int(sizeof(line) / sizeof(line[0])), TEXT("%-60s: %s\n"), InstanceId, Status);
    WriteStreamText(GetStdHandle(STD_OUTPUT_HANDLE), line);
}

// Asks the class installer to remove the device globally; the status says whether it is gone
// now, goes at the next restart, or stayed.
static LPCWSTR RemoveOneDevice(HDEVINFO Set, PSP_DEVINFO_DATA Device, RemoveContext *Context) {
    SP_REMOVEDEVICE_PARAMS params;
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    params.HwProfile = 0;
    if (!SetupDiSetClassInstallParamsW(Set, Device, &params.ClassInstallHeader, sizeof(params)) ||
        !SetupDiCallClassInstaller(DIF_REMOVE, Set, Device))
        return Context->FailedText;
    SP_DEVINSTALL_PARAMS_W install;
    install.cbSize = sizeof(install);
    ++Context->Count;
    if (SetupDiGetDeviceInstallParamsW(Set, Device, &install) && (install.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT))) {
        Context->RebootNeeded = 1;
        return Context->RebootText;
    }
    return Context->RemovedText;
}

int RemoveDeviceCallback(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Index, PVOID Context) {
    RemoveContext *context = static_cast<RemoveContext *>(Context);
    SP_DEVINFO_LIST_DETAIL_DATA_W detail;
    detail.cbSize = sizeof(detail);
    if (!SetupDiGetDeviceInfoListDetailW(DeviceInfoSet, &detail)) return 0;
    WCHAR instanceId[MAX_DEVICE_ID_LEN + 1];
    for (int i = 0; i < MAX_DEVICE_ID_LEN + 1; ++i) instanceId[i] = 0;
    if (CM_Get_Device_ID_ExW(DeviceInfoData->DevInst, instanceId, MAX_DEVICE_ID_LEN, 0, detail.RemoteMachineHandle) !=
        CR_SUCCESS)
        return 0;
    WriteStatusLine(instanceId, RemoveOneDevice(DeviceInfoSet, DeviceInfoData, context));
    return 0;  // the walk always goes on
}

int RemoveCommand(LPCWSTR BaseName, LPCWSTR Machine, DWORD Flags, int ArgCount, LPCWSTR const ArgList[]) {
    if (ArgCount <= 0 || Machine != NULL) return CMD_USAGE;  // local machine only
    RemoveContext context;
    if (!LoadStatusTexts(&context)) return CMD_FAIL;
    context.Count = 0;
    context.RebootNeeded = 0;
    int result = ForEachMatchingDevice(BaseName, NULL, DIGCF_ALLCLASSES, ArgCount, ArgList, RemoveDeviceCallback, &context);
    if (result != CMD_OK) return result;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (context.Count == 0) {
        PrintMessage(out, MSG_REMOVE_NONE);
        return CMD_OK;
    }
    if (!context.RebootNeeded) {
        PrintMessage(out, MSG_REMOVE_OK, DWORD_PTR(context.Count));
        return CMD_OK;
    }
    PrintMessage(out, MSG_REMOVE_REBOOT, DWORD_PTR(context.Count));
    return CMD_REBOOT;
}

// ======================================================================================
// dp_delete
// ======================================================================================

typedef BOOL(WINAPI *UninstallOemInfRoutine)(PCWSTR InfFileName, DWORD Flags, PVOID Reserved);

static DWORD FailureMessage(DWORD Error) {
    if (Error == DWORD(ERROR_INF_IN_USE_BY_DEVICES)) return MSG_DPDELETE_IN_USE;
    if (Error == DWORD(ERROR_NOT_AN_INSTALLED_OEM_INF)) return MSG_DPDELETE_NOT_OEM;
    return MSG_DPDELETE_FAILED;
}

// Only the file-name part reaches the setup service, which looks for it in the system INF
// directory: a path elsewhere names the same-named package there.
int DeletePackageCommand(LPCWSTR BaseName, LPCWSTR Machine, DWORD Flags, int ArgCount, LPCWSTR const ArgList[]) {
    if (ArgCount <= 0) return CMD_USAGE;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    WCHAR fullPath[MAX_PATH];
    LPWSTR fileName = NULL;
    DWORD length = GetFullPathNameW(ArgList[0], MAX_PATH, fullPath, &fileName);
    if (length == 0 || length >= MAX_PATH || fileName == NULL || *fileName == 0) {
        PrintMessage(out, MSG_DPDELETE_INVALID_PATH);
        return CMD_FAIL;
    }
    HMODULE setupApi = LoadLibraryW(TEXT("setupapi.dll"));
    if (setupApi == NULL) return CMD_FAIL;
    UninstallOemInfRoutine uninstall = reinterpret_cast<UninstallOemInfRoutine>(
        reinterpret_cast<void (*)()>(GetProcAddress(setupApi, "SetupUninstallOEMInfW")));
    if (uninstall == NULL) {
        FreeLibrary(setupApi);
        return CMD_FAIL;
    }
    int result = CMD_OK;
    if (uninstall(fileName, (Flags & CMDFLAG_FORCE) ? SUOI_FORCEDELETE : 0, NULL)) {
        PrintMessage(out, MSG_DPDELETE_OK, fileName);
    } else {
        PrintMessage(out, FailureMessage(GetLastError()));
        result = CMD_FAIL;
    }
    FreeLibrary(setupApi);
    return result;
}
