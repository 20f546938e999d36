// CardRwUninstall: the connected-device probe. The device counts as connected when the COM name
// Windows assigned to an instance of its serial function ("PortName" of the instance's "Device
// Parameters") equals the port that the serial driver publishes in the serial device map while
// its device runs. The walk is depth first; the last comparison made decides.
#include "uninstaller/uninstaller.h"
#include "uninstaller/text.h"

int g_DeviceConnected;

namespace {

constexpr DWORD SUBKEY_NAME_CHARS = 255;        // terminator included
constexpr DWORD PORT_VALUE_BYTES = 14;          // a COM name of up to 6 characters

const WCHAR DeviceParametersKey[] = TEXT("Device Parameters");
const WCHAR SerialMapKey[] = TEXT("HARDWARE\\DEVICEMAP\\SERIALCOMM");
const WCHAR SerialMapValue[] = TEXT("\\Device\\XWQUsbSerial0");

// ---------------------------------------------------------------------------------------------
// One comparison
// ---------------------------------------------------------------------------------------------

// Reads a COM name of up to 6 characters. A key or value that cannot be opened or read, or a
// value that does not fit the 14-byte buffer with its terminator, reads as empty.
void ReadPortValue(HKEY root, PCWSTR keyPath, PCWSTR valueName, WCHAR (&port)[PORT_VALUE_BYTES / sizeof(WCHAR)])
{
    port[0] = 0;
    HKEY key;
    if (RegOpenKeyExW(root, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;

    WCHAR buffer[PORT_VALUE_BYTES / sizeof(WCHAR)] = {};
    DWORD size = PORT_VALUE_BYTES;
    if (RegQueryValueExW(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) ==
        ERROR_SUCCESS) {
        // Only a terminated name within the buffer counts.
        DWORD chars = size / sizeof(WCHAR);
        for (DWORD i = 0; i < chars; i++) {
            if (buffer[i] == 0) {
                text::Copy(port, PORT_VALUE_BYTES / sizeof(WCHAR), buffer);
                break;
            }
        }
    }
    RegCloseKey(key);
}

void ComparePorts(HKEY root, PCWSTR instancePath)
{
    WCHAR assigned[PORT_VALUE_BYTES / sizeof(WCHAR)];
    WCHAR published[PORT_VALUE_BYTES / sizeof(WCHAR)];

    PWSTR parametersPath = text::JoinKeyPath(instancePath, DeviceParametersKey);
    if (parametersPath != nullptr)
        ReadPortValue(root, parametersPath, TEXT("PortName"), assigned);
    else
        assigned[0] = 0;
    text::Free(parametersPath);
    ReadPortValue(root, SerialMapKey, SerialMapValue, published);

    g_DeviceConnected = text::Equal(assigned, published) ? 1 : 0;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// ProbeConnectedDevice
// ---------------------------------------------------------------------------------------------

// First the key's own "Device Parameters" (exact letter case), then each subkey in index order.
// The key handle and the name list are released on every path.
void ProbeConnectedDevice(HKEY root, PCWSTR path)
{
    HKEY key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;

    DWORD count = 0;
    PWSTR names = nullptr;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        count > 0)
        names = static_cast<PWSTR>(text::AllocZeroed(size_t(count) * SUBKEY_NAME_CHARS * sizeof(WCHAR)));

    if (names != nullptr) {
        for (DWORD i = 0; i < count; i++) {
            PWSTR name = names + size_t(i) * SUBKEY_NAME_CHARS;
            DWORD length = SUBKEY_NAME_CHARS;
            if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                name[0] = 0;
            else if (text::Equal(name, DeviceParametersKey))
                ComparePorts(root, path);
        }
        for (DWORD i = 0; i < count; i++) {
            PCWSTR name = names + size_t(i) * SUBKEY_NAME_CHARS;
            if (name[0] == 0)
                continue;
            PWSTR childPath = text::JoinKeyPath(path, name);
            if (childPath != nullptr)
                ProbeConnectedDevice(root, childPath);
            text::Free(childPath);
        }
        text::Free(names);
    }
    RegCloseKey(key);
}
