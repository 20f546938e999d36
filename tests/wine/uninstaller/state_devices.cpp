// Device commands: device instances made through the Setup API as a bus enumeration would leave
// them, with their hardware IDs and the "Device Parameters" key of the serial function.
//
//   device usb|ports|printer INSTANCE-ID HARDWARE-ID...   a registered instance of that class
//   port INSTANCE-ID NAME                                 "PortName" in its "Device Parameters"
//   expect-device present|absent INSTANCE-ID
#include "state.h"

#include <setupapi.h>

namespace {

// ---------------------------------------------------------------------------------------------
// Classes
// ---------------------------------------------------------------------------------------------

struct DeviceClass {
    const wchar_t* Name;
    GUID Guid;
};

const DeviceClass DeviceClasses[] = {
    { L"usb", { 0x36fc9e60, 0xc465, 0x11cf, { 0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00 } } },
    { L"ports", { 0x4d36e978, 0xe325, 0x11ce, { 0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18 } } },
    { L"printer", { 0x4d36e979, 0xe325, 0x11ce, { 0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18 } } },
};

const GUID* FindClass(const std::wstring& name)
{
    for (const DeviceClass& deviceClass : DeviceClasses)
        if (name == deviceClass.Name)
            return &deviceClass.Guid;
    return nullptr;
}

// The hardware IDs as one REG_MULTI_SZ block.
std::wstring MultiString(const Args& args, size_t first)
{
    std::wstring block;
    for (size_t i = first; i < args.size(); i++) {
        block += args[i];
        block += L'\0';
    }
    block += L'\0';
    return block;
}

// ---------------------------------------------------------------------------------------------
// Seeding
// ---------------------------------------------------------------------------------------------

bool SeedDevice(const Args& args, std::wstring* problem)
{
    const GUID* classGuid = FindClass(args[1]);
    if (!classGuid) {
        *problem = L"unknown class";
        return false;
    }
    HDEVINFO set = SetupDiCreateDeviceInfoList(classGuid, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        *problem = L"no device information set: " + ErrorText(GetLastError());
        return false;
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    std::wstring ids = MultiString(args, 3);
    bool ok = false;
    if (!SetupDiCreateDeviceInfoW(set, args[2].c_str(), classGuid, nullptr, nullptr, 0, &device))
        *problem = L"SetupDiCreateDeviceInfoW: " + ErrorText(GetLastError());
    else if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE*>(ids.data()),
                                                DWORD(ids.size() * sizeof(wchar_t))))
        *problem = L"hardware IDs: " + ErrorText(GetLastError());
    else if (!SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr))
        *problem = L"SetupDiRegisterDeviceInfo: " + ErrorText(GetLastError());
    else
        ok = true;
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

bool SeedPort(const Args& args, std::wstring* problem)
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        *problem = L"no device information set: " + ErrorText(GetLastError());
        return false;
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    HKEY key = static_cast<HKEY>(INVALID_HANDLE_VALUE);
    bool ok = false;
    if (!SetupDiOpenDeviceInfoW(set, args[1].c_str(), nullptr, 0, &device)) {
        *problem = L"SetupDiOpenDeviceInfoW: " + ErrorText(GetLastError());
    } else {
        key = SetupDiCreateDevRegKeyW(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
        if (key == INVALID_HANDLE_VALUE) {
            *problem = L"SetupDiCreateDevRegKeyW: " + ErrorText(GetLastError());
        } else {
            DWORD error = RegSetValueExW(key, L"PortName", 0, REG_SZ,
                                         reinterpret_cast<const BYTE*>(args[2].c_str()),
                                         DWORD((args[2].size() + 1) * sizeof(wchar_t)));
            ok = error == ERROR_SUCCESS;
            if (!ok)
                *problem = L"PortName: " + ErrorText(error);
            RegCloseKey(key);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

// ---------------------------------------------------------------------------------------------
// Checks
// ---------------------------------------------------------------------------------------------

bool ExpectDevice(const Args& args, std::wstring* problem)
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        *problem = L"no device information set: " + ErrorText(GetLastError());
        return false;
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    bool present = SetupDiOpenDeviceInfoW(set, args[2].c_str(), nullptr, 0, &device) != FALSE;
    SetupDiDestroyDeviceInfoList(set);
    return ExpectPresence(args[1], present, L"the device instance", problem);
}

} // namespace

const Command DeviceCommands[] = {
    { L"device", 3, 16, SeedDevice },
    { L"port", 2, 2, SeedPort },
    { L"expect-device", 2, 2, ExpectDevice },
    { nullptr, 0, 0, nullptr },
};
