// The connected-device probe: "PortName" of the serial function's instances against the serial
// device map entry of the running port. The last comparison made decides.
#include "uninstaller_fixture.h"

#include <optional>

namespace uninstaller_test {
namespace {

struct Instance {
    std::u16string Name;
    std::optional<std::u16string> PortName;     // nullopt: no "PortName" value
    const char16_t* ParametersKey = u"Device Parameters";
};

struct ProbeCase {
    const char* Name;
    std::vector<Instance> Instances;
    std::optional<std::u16string> MapValue;     // nullopt: no "\Device\XWQUsbSerial0" value
    int Expected;
    bool Installed = true;
};

const ProbeCase kCases[] = {
    { "plugged in on COM3", { { u"6&1&0&0", u"COM3" } }, u"COM3", 1 },
    { "installed but unplugged", { { u"6&1&0&0", u"COM3" } }, std::nullopt, 0 },
    { "first instance connected, the last one not",
      { { u"6&1&0&0", u"COM3" }, { u"6&2&0&0", u"COM4" } }, u"COM3", 0 },
    { "last instance connected decides", { { u"6&1&0&0", u"COM4" }, { u"6&2&0&0", u"COM3" } }, u"COM3", 1 },
    { "no PortName while the map holds a value", { { u"6&1&0&0", std::nullopt } }, u"COM3", 0 },
    { "no PortName and no map value: both empty", { { u"6&1&0&0", std::nullopt } }, std::nullopt, 1 },
    { "Device Parameters in other letter case is not examined",
      { { u"6&1&0&0", std::nullopt, u"device parameters" } }, std::nullopt, 0 },
    { "names compare with case", { { u"6&1&0&0", u"com3" } }, u"COM3", 0 },
    { "six characters fit", { { u"6&1&0&0", u"COM999" } }, u"COM999", 1 },
    { "seven characters read as empty on both sides", { { u"6&1&0&0", u"COM1000" } }, u"COM1001", 1 },
    { "a port name too long only matches an empty map value", { { u"6&1&0&0", u"COM1000" } }, u"COM3", 0 },
    { "never installed", {}, u"COM3", 0, false },
};

class DeviceProbeTest : public UninstallerTest {
protected:
    void Install(const ProbeCase& c)
    {
        sim::user::CreateKey(HKEY_LOCAL_MACHINE, kSerialMap);
        if (c.MapValue)
            sim::user::SetString(HKEY_LOCAL_MACHINE, kSerialMap, kSerialMapValue, *c.MapValue);
        if (!c.Installed)
            return;
        sim::user::CreateKey(HKEY_LOCAL_MACHINE, kSerialFunctionKey);
        for (const Instance& instance : c.Instances) {
            std::u16string parameters = kSerialFunctionKey + u"\\" + instance.Name + u"\\" + instance.ParametersKey;
            sim::user::CreateKey(HKEY_LOCAL_MACHINE, parameters);
            if (instance.PortName)
                sim::user::SetString(HKEY_LOCAL_MACHINE, parameters, u"PortName", *instance.PortName);
        }
    }

    int Probe()
    {
        g_DeviceConnected = 0;
        ProbeConnectedDevice(HKEY_LOCAL_MACHINE, kSerialFunctionKey.c_str());
        return g_DeviceConnected;
    }
};

TEST_F(DeviceProbeTest, Cases)
{
    for (const ProbeCase& c : kCases) {
        SCOPED_TRACE(c.Name);
        SetUp();
        Install(c);
        EXPECT_EQ(Probe(), c.Expected);
        TearDown();
    }
}

// A value of exactly 14 bytes carries no terminator: it is 7 characters and counts as empty.
TEST_F(DeviceProbeTest, UnterminatedValueFillingTheBufferReadsAsEmpty)
{
    Install({ "", { { u"6&1&0&0", u"COM3" } }, std::nullopt, 0 });
    const std::u16string parameters = kSerialFunctionKey + u"\\6&1&0&0\\Device Parameters";
    const char16_t seven[] = u"COM1234";
    sim::user::SetValue(HKEY_LOCAL_MACHINE, parameters, u"PortName", REG_SZ,
                        std::vector<BYTE>(reinterpret_cast<const BYTE*>(seven), reinterpret_cast<const BYTE*>(seven) + 14));
    EXPECT_EQ(Probe(), 1) << "both sides empty";
}

// Failures end the walk of one branch only, and no key handle stays open on any path.
TEST_F(DeviceProbeTest, BranchesThatCannotBeReadAreSkipped)
{
    struct FailCase {
        const char* Name;
        std::function<void()> Arrange;
        int Expected;
    };
    sim::user::DaclSpec noRead;
    noRead.aces = { { ACCESS_DENIED_ACE_TYPE, KEY_ALL_ACCESS, sim::user::kSidAdministrators, 0 } };
    const FailCase cases[] = {
        { "the subkey count cannot be read", [] { sim::user::FailCall("RegQueryInfoKeyW", ERROR_ACCESS_DENIED); }, -1 },
        { "the last instance is protected: the first decides",
          [&] { sim::user::SetKeyDacl(HKEY_LOCAL_MACHINE, kSerialFunctionKey + u"\\6&2&0&0", noRead); }, 1 },
        { "the map cannot be opened: it reads as empty",
          [&] { sim::user::SetKeyDacl(HKEY_LOCAL_MACHINE, kSerialMap, noRead); }, 0 },
        { "no memory for the subkey names", [] { sim::user::FailCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, 0); }, -1 },
    };
    for (const FailCase& c : cases) {
        SCOPED_TRACE(c.Name);
        SetUp();
        Install({ "", { { u"6&1&0&0", u"COM3" }, { u"6&2&0&0", u"COM4" } }, u"COM3", 0 });
        c.Arrange();
        g_DeviceConnected = -1;     // -1: the flag was never written
        ProbeConnectedDevice(HKEY_LOCAL_MACHINE, kSerialFunctionKey.c_str());
        EXPECT_EQ(g_DeviceConnected, c.Expected);
        TearDown();
    }
}

} // namespace
} // namespace uninstaller_test
