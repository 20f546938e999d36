// Simulated setup device database: setup classes, device instances (present or not) with
// their instance IDs and ID lists, device information sets over them, the class installers'
// answer to DIF_REMOVE, and the configuration manager's instance-ID query.
#include "internal.h"

#include <algorithm>
#include <cstring>
#include <map>

using namespace sim::user::detail;

namespace {

// ======================================================================================
// Database and sets
// ======================================================================================

struct DeviceRecord {
    sim::user::DeviceSpec spec;
    GUID classGuid{};
    DEVINST devInst = 0;
    bool installed = true;
};

struct SetupClass {
    std::u16string name;
    GUID guid;
};

struct Element {
    std::shared_ptr<DeviceRecord> device;
    bool hasRemoveParams = false;
    SP_REMOVEDEVICE_PARAMS removeParams{};
    DWORD installFlags = 0;
};

struct DevInfoSet {
    bool hasClass = false;
    GUID classGuid{};
    std::vector<Element> elements;
};

struct DeviceState {
    std::vector<SetupClass> classes;
    std::vector<std::shared_ptr<DeviceRecord>> devices;  // enumeration order
    std::map<uintptr_t, std::unique_ptr<DevInfoSet>> sets;
    uintptr_t nextSet = 0xD000;
    DEVINST nextDevInst = 1;
    std::vector<sim::user::RemoveCall> removeCalls;
    std::vector<sim::user::PropertyRead> propertyReads;
};
DeviceState g_dev;

const std::u16string kComputerName = u"SIMPC";

bool IsLocalMachine(PCWSTR machine) {
    auto name = View(machine);
    if (name.empty()) return true;
    if (name.size() > 2 && name[0] == u'\\' && name[1] == u'\\') name.remove_prefix(2);
    return EqualNoCase(name, kComputerName);
}

DevInfoSet *SetFromHandle(HDEVINFO h) {
    auto it = g_dev.sets.find(reinterpret_cast<uintptr_t>(h));
    if (it == g_dev.sets.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second.get();
}

// The element a SP_DEVINFO_DATA names: its Reserved field carries the element's position + 1.
Element *ElementFromData(DevInfoSet *set, PSP_DEVINFO_DATA data) {
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return nullptr;
    }
    size_t index = size_t(data->Reserved);
    if (index == 0 || index > set->elements.size() || set->elements[index - 1].device->devInst != data->DevInst) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &set->elements[index - 1];
}

void FillData(const Element &e, size_t position, PSP_DEVINFO_DATA data) {
    data->ClassGuid = e.device->classGuid;
    data->DevInst = e.device->devInst;
    data->Reserved = ULONG_PTR(position + 1);
}

HDEVINFO NewSet(const GUID *classGuid) {
    auto set = std::make_unique<DevInfoSet>();
    if (classGuid) {
        set->hasClass = true;
        set->classGuid = *classGuid;
    }
    uintptr_t h = g_dev.nextSet += 8;
    g_dev.sets[h] = std::move(set);
    return reinterpret_cast<HDEVINFO>(h);
}

std::vector<BYTE> MultiSzBytes(const std::vector<std::u16string> &strings) {
    std::u16string joined;
    for (auto &s : strings) joined += s + u'\0';
    joined += u'\0';
    std::vector<BYTE> bytes(joined.size() * sizeof(WCHAR));
    std::memcpy(bytes.data(), joined.data(), bytes.size());
    return bytes;
}

std::vector<BYTE> StringBytes(const std::u16string &s) {
    std::vector<BYTE> bytes((s.size() + 1) * sizeof(WCHAR));
    std::memcpy(bytes.data(), s.c_str(), bytes.size());
    return bytes;
}

std::u16string GuidText(const GUID &g) {
    char buf[40];
    snprintf(buf, sizeof buf, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3, g.Data4[0],
             g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return sim::user::U16(buf);
}

// A property as the device stores it: false (ERROR_INVALID_DATA) when it has none.
bool DeviceProperty(const DeviceRecord &d, DWORD property, DWORD *type, std::vector<BYTE> *bytes) {
    switch (property) {
    case SPDRP_HARDWAREID:
    case SPDRP_COMPATIBLEIDS: {
        const auto &ids = property == SPDRP_HARDWAREID ? d.spec.hardwareIds : d.spec.compatibleIds;
        if (ids.empty()) return false;
        *type = REG_MULTI_SZ;
        *bytes = MultiSzBytes(ids);
        return true;
    }
    case SPDRP_CLASS:
        *type = REG_SZ;
        *bytes = StringBytes(d.spec.className);
        return true;
    case SPDRP_CLASSGUID:
        *type = REG_SZ;
        *bytes = StringBytes(GuidText(d.classGuid));
        return true;
    default:
        return false;
    }
}

}  // namespace

// ======================================================================================
// Reset and test interface
// ======================================================================================

namespace sim::user::detail {

void ResetDevices() { g_dev = DeviceState{}; }

int OpenDeviceInfoSets() { return int(g_dev.sets.size()); }

}  // namespace sim::user::detail

namespace sim::user {

std::u16string ComputerName() { return kComputerName; }

void AddSetupClass(const std::u16string &name, const GUID &guid) {
    SIM_USER_LOCK();
    g_dev.classes.push_back(SetupClass{name, guid});
}

void AddDevice(const DeviceSpec &device) {
    SIM_USER_LOCK();
    auto record = std::make_shared<DeviceRecord>();
    record->spec = device;
    for (auto &c : g_dev.classes)
        if (EqualNoCase(c.name, device.className)) {
            record->classGuid = c.guid;
            break;
        }
    record->devInst = g_dev.nextDevInst++;
    g_dev.devices.push_back(record);
}

bool DeviceInstalled(const std::u16string &instanceId) {
    SIM_USER_LOCK();
    for (auto &d : g_dev.devices)
        if (d->installed && EqualNoCase(d->spec.instanceId, instanceId)) return true;
    return false;
}

std::vector<std::u16string> InstalledDevices() {
    SIM_USER_LOCK();
    std::vector<std::u16string> ids;
    for (auto &d : g_dev.devices)
        if (d->installed) ids.push_back(d->spec.instanceId);
    return ids;
}

std::vector<RemoveCall> RemoveCalls() {
    SIM_USER_LOCK();
    return g_dev.removeCalls;
}

std::vector<PropertyRead> PropertyReads() {
    SIM_USER_LOCK();
    return g_dev.propertyReads;
}

}  // namespace sim::user

// ======================================================================================
// setupapi: device information sets
// ======================================================================================

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsExW(const GUID *ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags,
                                       HDEVINFO DeviceInfoSet, PCWSTR MachineName, PVOID Reserved) {
    SIM_USER_LOCK();
    if (FailAsScripted("SetupDiGetClassDevsExW")) return INVALID_HANDLE_VALUE;
    if (Reserved || (!ClassGuid && !(Flags & DIGCF_ALLCLASSES)) || DeviceInfoSet || (Flags & DIGCF_DEVICEINTERFACE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!IsLocalMachine(MachineName)) {
        SetLastError(ERROR_INVALID_MACHINENAME);
        return INVALID_HANDLE_VALUE;
    }
    HDEVINFO h = NewSet((Flags & DIGCF_ALLCLASSES) ? nullptr : ClassGuid);
    DevInfoSet *set = g_dev.sets[reinterpret_cast<uintptr_t>(h)].get();
    auto enumerator = View(Enumerator);
    for (auto &d : g_dev.devices) {
        if (!d->installed) continue;
        if (!(Flags & DIGCF_ALLCLASSES) && d->classGuid != *ClassGuid) continue;
        if ((Flags & DIGCF_PRESENT) && !d->spec.present) continue;
        if (!enumerator.empty()) {
            auto id = std::u16string_view(d->spec.instanceId);
            if (id.size() <= enumerator.size() || !EqualNoCase(id.substr(0, enumerator.size()), enumerator) ||
                id[enumerator.size()] != u'\\')
                continue;
        }
        set->elements.push_back(Element{d});
    }
    return h;
}

HDEVINFO WINAPI SetupDiCreateDeviceInfoListExW(const GUID *ClassGuid, HWND hwndParent, PCWSTR MachineName,
                                               PVOID Reserved) {
    SIM_USER_LOCK();
    if (FailAsScripted("SetupDiCreateDeviceInfoListExW")) return INVALID_HANDLE_VALUE;
    if (Reserved) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!IsLocalMachine(MachineName)) {
        SetLastError(ERROR_INVALID_MACHINENAME);
        return INVALID_HANDLE_VALUE;
    }
    return NewSet(ClassGuid);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    SIM_USER_LOCK();
    if (!g_dev.sets.erase(reinterpret_cast<uintptr_t>(DeviceInfoSet))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// Adds the instance to the set (once: opening it again returns the existing element).
BOOL WINAPI SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND hwndParent, DWORD OpenFlags,
                                   PSP_DEVINFO_DATA DeviceInfoData) {
    SIM_USER_LOCK();
    if (FailAsScripted("SetupDiOpenDeviceInfoW")) return FALSE;
    DevInfoSet *set = SetFromHandle(DeviceInfoSet);
    if (!set) return FALSE;
    if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    auto id = View(DeviceInstanceId);
    if (id.empty()) {
        SetLastError(ERROR_INVALID_DEVINST_NAME);
        return FALSE;
    }
    std::shared_ptr<DeviceRecord> found;
    for (auto &d : g_dev.devices)
        if (d->installed && EqualNoCase(d->spec.instanceId, id)) found = d;
    if (!found) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    if (set->hasClass && found->classGuid != set->classGuid) {
        SetLastError(ERROR_CLASS_MISMATCH);
        return FALSE;
    }
    for (size_t i = 0; i < set->elements.size(); ++i) {
        if (set->elements[i].device == found) {
            if (DeviceInfoData) FillData(set->elements[i], i, DeviceInfoData);
            return TRUE;
        }
    }
    set->elements.push_back(Element{found});
    if (DeviceInfoData) FillData(set->elements.back(), set->elements.size() - 1, DeviceInfoData);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInfoListDetailW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_LIST_DETAIL_DATA_W DeviceInfoSetDetailData) {
    SIM_USER_LOCK();
    DevInfoSet *set = SetFromHandle(DeviceInfoSet);
    if (!set) return FALSE;
    if (FailAsScripted("SetupDiGetDeviceInfoListDetailW")) return FALSE;
    if (!DeviceInfoSetDetailData || DeviceInfoSetDetailData->cbSize != sizeof(SP_DEVINFO_LIST_DETAIL_DATA_W)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    DeviceInfoSetDetailData->ClassGuid = set->hasClass ? set->classGuid : GUID{};
    DeviceInfoSetDetailData->RemoteMachineHandle = nullptr;  // the local machine
    DeviceInfoSetDetailData->RemoteMachineName[0] = 0;
    return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
    SIM_USER_LOCK();
    DevInfoSet *set = SetFromHandle(DeviceInfoSet);
    if (!set) return FALSE;
    if (!DeviceInfoData || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (MemberIndex >= set->elements.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    FillData(set->elements[MemberIndex], MemberIndex, DeviceInfoData);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
    SIM_USER_LOCK();
    DevInfoSet *set = SetFromHandle(DeviceInfoSet);
    if (!set) return FALSE;
    Element *e = ElementFromData(set, DeviceInfoData);
    if (!e) return FALSE;
    sim::user::PropertyRead record{e->device->spec.instanceId, Property, PropertyBufferSize, false};
    BOOL result = FALSE;
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
    if (FailAsScripted("SetupDiGetDeviceRegistryPropertyW")) {
        // scripted failure, last error set
    } else if (Property >= SPDRP_MAXIMUM_PROPERTY) {
        SetLastError(ERROR_INVALID_REG_PROPERTY);
    } else if (!PropertyBuffer && PropertyBufferSize) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
    } else if (e->device->spec.propertyError) {
        SetLastError(e->device->spec.propertyError);
    } else if (!DeviceProperty(*e->device, Property, &type, &bytes)) {
        SetLastError(ERROR_INVALID_DATA);
    } else {
        if (PropertyRegDataType) *PropertyRegDataType = type;
        if (RequiredSize) *RequiredSize = DWORD(bytes.size());
        if (bytes.size() > PropertyBufferSize) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        } else {
            std::memcpy(PropertyBuffer, bytes.data(), bytes.size());
            result = TRUE;
        }
    }
    record.succeeded = result != FALSE;
    g_dev.propertyReads.push_back(record);
    return result;
}

BOOL WINAPI SetupDiClassGuidsFromNameExW(PCWSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                         PDWORD RequiredSize, PCWSTR MachineName, PVOID Reserved) {
    SIM_USER_LOCK();
    if (FailAsScripted("SetupDiClassGuidsFromNameExW")) return FALSE;
    if (!ClassName || Reserved || (!ClassGuidList && ClassGuidListSize)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!IsLocalMachine(MachineName)) {
        SetLastError(ERROR_INVALID_MACHINENAME);
        return FALSE;
    }
    DWORD count = 0;
    for (auto &c : g_dev.classes) {
        if (!EqualNoCase(c.name, View(ClassName))) continue;
        if (count < ClassGuidListSize) ClassGuidList[count] = c.guid;
        ++count;
    }
    if (RequiredSize) *RequiredSize = count;
    if (count > ClassGuidListSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          PSP_CLASSINSTALL_HEADER ClassInstallParams, DWORD ClassInstallParamsSize) {
    SIM_USER_LOCK();
    DevInfoSet *set = SetFromHandle(DeviceInfoSet);
    if (!set) return FALSE;
    Element *e = ElementFromData(set, DeviceInfoData);
    if (!e) return FALSE;
    if (FailAsScripted("SetupDiSetClassInstallParamsW")) return FALSE;
    if (!ClassInstallParams) {
        e->hasRemoveParams = false;
        e->installFlags &= ~DWORD(DI_CLASSINSTALLPARAMS);
        return TRUE;
    }
    if (ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (ClassInstallParams->InstallFunction != DIF_REMOVE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto *remove = reinterpret_cast<PSP_REMOVEDEVICE_PARAMS>(ClassInstallParams);
    if (ClassInstallParamsSize != sizeof(SP_REMOVEDEVICE_PARAMS) ||
        (remove->Scope != DI_REMOVEDEVICE_GLOBAL && remove->Scope != DI_REMOVEDEVICE_CONFIGSPECIFIC)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    e->hasRemoveParams = true;
    e->removeParams = *remove;
    e->installFlags |= DI_CLASSINSTALLPARAMS;
    return TRUE;
}

// DIF_REMOVE: the class installer answers as the test set for the device. A removed instance
// leaves the database; one that needs a restart leaves it too, and says so in the install flags.
BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
    SIM_USER_LOCK();
    DevInfoSet *set = SetFromHandle(DeviceInfoSet);
    if (!set) return FALSE;
    Element *e = ElementFromData(set, DeviceInfoData);
    if (!e) return FALSE;
    if (InstallFunction != DIF_REMOVE) {
        SetLastError(ERROR_DI_DO_DEFAULT);
        return FALSE;
    }
    if (!e->device->installed) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    g_dev.removeCalls.push_back(sim::user::RemoveCall{e->device->spec.instanceId,
                                                      e->hasRemoveParams ? e->removeParams.Scope : 0,
                                                      e->hasRemoveParams ? e->removeParams.HwProfile : 0});
    switch (e->device->spec.removeAnswer) {
    case sim::user::RemoveAnswer::Fails:
        SetLastError(e->device->spec.removeError);
        return FALSE;
    case sim::user::RemoveAnswer::NeedsRestart:
        e->installFlags |= DI_NEEDRESTART;
        break;
    case sim::user::RemoveAnswer::NeedsReboot:
        e->installFlags |= DI_NEEDREBOOT;
        break;
    case sim::user::RemoveAnswer::Removed:
        break;
    }
    e->device->installed = false;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_W DeviceInstallParams) {
    SIM_USER_LOCK();
    DevInfoSet *set = SetFromHandle(DeviceInfoSet);
    if (!set) return FALSE;
    Element *e = ElementFromData(set, DeviceInfoData);
    if (!e) return FALSE;
    if (FailAsScripted("SetupDiGetDeviceInstallParamsW")) return FALSE;
    if (!DeviceInstallParams || DeviceInstallParams->cbSize != sizeof(SP_DEVINSTALL_PARAMS_W)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    std::memset(reinterpret_cast<BYTE *>(DeviceInstallParams) + sizeof(DWORD), 0,
                sizeof(SP_DEVINSTALL_PARAMS_W) - sizeof(DWORD));
    DeviceInstallParams->Flags = e->installFlags;
    return TRUE;
}

// ======================================================================================
// cfgmgr32
// ======================================================================================

CONFIGRET WINAPI CM_Get_Device_ID_ExW(DEVINST dnDevInst, PWSTR Buffer, ULONG BufferLen, ULONG ulFlags, HMACHINE hMachine) {
    SIM_USER_LOCK();
    DWORD scripted = 0;
    if (ScriptedFailure("CM_Get_Device_ID_ExW", &scripted)) return CONFIGRET(scripted ? scripted : CR_NO_SUCH_DEVNODE);
    if (!Buffer) return CR_INVALID_POINTER;
    if (ulFlags) return CR_INVALID_FLAG;
    if (hMachine) return CR_INVALID_MACHINENAME;  // only the local machine (null handle) is served
    for (auto &d : g_dev.devices) {
        if (d->devInst != dnDevInst) continue;
        if (d->spec.instanceIdUnreadable) return CR_NO_SUCH_DEVNODE;
        const std::u16string &id = d->spec.instanceId;
        // A short buffer gets as much of the ID as fits, unterminated; an ID that just fills
        // the buffer is not terminated either.
        size_t copied = std::min<size_t>(id.size(), BufferLen);
        std::memcpy(Buffer, id.data(), copied * sizeof(WCHAR));
        if (BufferLen < id.size()) return CR_BUFFER_SMALL;
        if (BufferLen > id.size()) Buffer[id.size()] = 0;
        return CR_SUCCESS;
    }
    return CR_INVALID_DEVNODE;
}

}  // extern "C"
