// The registry as drivers reach it (value queries with their short-buffer answers, the device
// map, run-time library access, key handles charged to drivers) and the object namespace
// (DOS-device links in all their spellings, device interfaces and their states).
#include "tests/sim/pnp/test_world.h"

using namespace pt;

namespace {

class RegistryTest : public PnpTest {
protected:
    // A key handle on the hardware key of a plugged device, with "PortName" = "COM3".
    HANDLE OpenHardwareKey(sim::DeviceNode *node) {
        HANDLE key = nullptr;
        EXPECT_EQ(IoOpenDeviceRegistryKey(sim::PhysicalDeviceOf(node), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
                  STATUS_SUCCESS);
        return key;
    }
};

// =====================================================================================
// Value queries
// =====================================================================================
struct QueryCase {
    const char *name;
    KEY_VALUE_INFORMATION_CLASS kind;
    ULONG length;            // buffer offered
    NTSTATUS status;
};

// "PortName" = "COM3": 10 bytes of data, a name of 16 bytes.
// Full: 20 header + 16 name = 36, data at 36, whole 46. Partial: 12 + 10 = 22. Basic: 12 + 16 = 28.
class ValueQueryTest : public RegistryTest, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(ValueQueryTest, AnswersWithTheNeededLengthWhateverTheBuffer) {
    const QueryCase &c = GetParam();
    sim::DeviceNode *node = Arrive(0);
    HANDLE key = OpenHardwareKey(node);
    ULONG needed = c.kind == KeyValueFullInformation ? 46 : c.kind == KeyValuePartialInformation ? 22 : 28;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"PortName");
    std::vector<UCHAR> buffer(64, 0xEE);
    ULONG result = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, c.kind, buffer.data(), c.length, &result), c.status);
    EXPECT_EQ(result, needed);
    for (ULONG i = c.length; i < buffer.size(); i++) ASSERT_EQ(buffer[i], 0xEE) << "wrote past the buffer at " << i;
    if (c.status == STATUS_SUCCESS && c.kind == KeyValueFullInformation) {
        auto *info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
        EXPECT_EQ(info->Type, (ULONG)REG_SZ);
        EXPECT_EQ(info->DataOffset, 36u);
        EXPECT_EQ(info->DataLength, 10u);
        EXPECT_EQ(info->NameLength, 16u);
        EXPECT_EQ(std::u16string((const char16_t *)(buffer.data() + info->DataOffset)), u"COM3");
    }
    if (c.status == STATUS_BUFFER_OVERFLOW) {
        // The fixed part is filled: a caller learns the type and the data length.
        auto *partial = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
        EXPECT_EQ(partial->Type, (ULONG)REG_SZ);
    }
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, ValueQueryTest,
    ::testing::Values(QueryCase{"FullExact", KeyValueFullInformation, 46, STATUS_SUCCESS},
                      QueryCase{"FullOneShort", KeyValueFullInformation, 45, STATUS_BUFFER_OVERFLOW},
                      QueryCase{"FullHeaderOnly", KeyValueFullInformation, 20, STATUS_BUFFER_OVERFLOW},
                      QueryCase{"FullBelowHeader", KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL},
                      QueryCase{"PartialExact", KeyValuePartialInformation, 22, STATUS_SUCCESS},
                      QueryCase{"PartialOneShort", KeyValuePartialInformation, 21, STATUS_BUFFER_OVERFLOW},
                      QueryCase{"PartialBelowHeader", KeyValuePartialInformation, 11, STATUS_BUFFER_TOO_SMALL},
                      QueryCase{"BasicExact", KeyValueBasicInformation, 28, STATUS_SUCCESS},
                      QueryCase{"NoBuffer", KeyValuePartialInformation, 0, STATUS_BUFFER_TOO_SMALL}),
    [](const ::testing::TestParamInfo<QueryCase> &info) { return std::string(info.param.name); });

TEST_F(RegistryTest, MissingValuesAndBadHandlesAreAnsweredAsOnWindows) {
    sim::DeviceNode *node = Arrive(0);
    HANDLE key = OpenHardwareKey(node);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"Identifier");
    UCHAR buffer[64];
    ULONG result = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, sizeof buffer, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    // Names are case-insensitive; writing through the handle is seen by the next query.
    RtlInitUnicodeString(&name, u"SERIALSKIPEXTERNALNAMING");
    ULONG one = 1;
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &one, sizeof one), STATUS_SUCCESS);
    EXPECT_EQ(sim::RegistryGetDword(sim::HardwareKeyOf(node), u"SerialSkipExternalNaming"), 1u);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, sizeof buffer, &result), STATUS_INVALID_HANDLE);
    // Only physical device objects of the PnP manager have device keys.
    EXPECT_EQ(IoOpenDeviceRegistryKey(sim::StackTopOf(node), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(sim::RegistryOpenHandleCount(), 0u);
}

// =====================================================================================
// Run-time library access and the serial device map
// =====================================================================================
TEST_F(RegistryTest, DeviceMapValuesAreWrittenReadAndDeletedRelativeToTheirRoot) {
    const char16_t com[] = u"COM3";
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\XWQUsbSerial0", REG_SZ,
                                    (PVOID)com, sizeof com),
              STATUS_SUCCESS);
    std::optional<sim::RegistryValue> value = sim::RegistryGetValue(sim::kSerialCommKey, u"\\Device\\XWQUsbSerial0");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, (ULONG)REG_SZ);
    EXPECT_EQ(value->data.size(), sizeof com);
    EXPECT_EQ(sim::RegistryGetString(u"\\REGISTRY\\MACHINE\\hardware\\devicemap\\serialcomm", u"\\device\\xwqusbserial0"),
              u"COM3");

    UNICODE_STRING text{};
    ULONG missing = 7;
    ULONG defaultValue = 42;
    RTL_QUERY_REGISTRY_TABLE query[3] = {};
    query[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    query[0].Name = (PWSTR)u"\\Device\\XWQUsbSerial0";
    query[0].EntryContext = &text;
    query[1].Flags = RTL_QUERY_REGISTRY_DIRECT;
    query[1].Name = (PWSTR)u"Absent";
    query[1].EntryContext = &missing;
    query[1].DefaultType = REG_DWORD;
    query[1].DefaultData = &defaultValue;
    query[1].DefaultLength = sizeof defaultValue;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", query, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(text.Buffer, text.Length / 2), u"COM3");
    EXPECT_EQ(missing, 42u);
    RtlFreeUnicodeString(&text);
    query[1].Flags |= RTL_QUERY_REGISTRY_REQUIRED;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", query + 1, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\XWQUsbSerial0"), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\XWQUsbSerial0"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"NoSuchKey", u"x"), STATUS_OBJECT_NAME_NOT_FOUND);
    sim::RegistryDeleteTree(sim::kSerialCommKey);
}

TEST_F(RegistryTest, RegistryWritesFailUnderFaultInjection) {
    sim::FaultPlan plan;
    plan.kinds = sim::FaultRegistry;
    plan.failNth = 1;
    sim::SetFaultPlan(plan);
    ULONG one = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"x", REG_DWORD, &one, sizeof one),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(sim::RegistryGetValue(sim::kSerialCommKey, u"x"));
    sim::ClearFaults();
}

TEST_F(RegistryTest, KeyHandleLeftOpenByADriverIsReportedAtItsUnload) {
    sim::DeviceNode *node = Arrive(0);
    sim::VerifierRecorder recorder;
    HANDLE key = nullptr;
    {
        sim::DriverCall call(sim::LoadedDriver(u"TestPort"), "test", nullptr);
        ASSERT_EQ(IoOpenDeviceRegistryKey(sim::PhysicalDeviceOf(node), PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
                  STATUS_SUCCESS);
    }
    ASSERT_EQ(sim::Disable(node).status, STATUS_SUCCESS);
    EXPECT_EQ(recorder.Count("key handle"), 1u);
    // The report leaves the handle open; closed here, so that no later test inherits it.
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(sim::RegistryOpenHandleCount(), 0u);
}

// =====================================================================================
// Symbolic links
// =====================================================================================
TEST_F(RegistryTest, EverySpellingOfADosDeviceNameIsTheSameLink) {
    UNICODE_STRING link, other, target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\Global\\COM5");
    RtlInitUnicodeString(&target, u"\\Device\\Somewhere");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    for (const char16_t *spelling : {u"\\DosDevices\\COM5", u"\\??\\COM5", u"\\GLOBAL??\\COM5", u"\\??\\Global\\com5"}) {
        EXPECT_EQ(sim::SymbolicLinkTarget(spelling), u"\\Device\\Somewhere");
        RtlInitUnicodeString(&other, spelling);
        EXPECT_EQ(IoCreateSymbolicLink(&other, &target), STATUS_OBJECT_NAME_COLLISION);
    }
    EXPECT_EQ(sim::SymbolicLinks(), std::vector<std::u16string>{u"\\GLOBAL??\\COM5"});
    RtlInitUnicodeString(&other, u"\\DosDevices\\COM5");
    EXPECT_EQ(IoDeleteSymbolicLink(&other), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, LinkLeftByADriverIsReportedAtItsUnload) {
    sim::DeviceNode *node = Arrive(0);
    sim::VerifierRecorder recorder;
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\Leftover");
    RtlInitUnicodeString(&target, u"\\Device\\TestSerial0");
    {
        sim::DriverCall call(sim::LoadedDriver(u"TestPort"), "test", nullptr);
        ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    }
    ASSERT_EQ(sim::Disable(node).status, STATUS_SUCCESS);
    EXPECT_EQ(recorder.Count("symbolic link \\GLOBAL??\\Leftover"), 1u);
    IoDeleteSymbolicLink(&link);
}

// =====================================================================================
// Device interfaces
// =====================================================================================
TEST_F(RegistryTest, InterfaceIsNamedAfterTheInstanceAndOpensOnlyWhileEnabled) {
    sim::DeviceNode *node = Arrive(0);
    std::vector<sim::DeviceInterfaceInfo> ports = sim::DeviceInterfaces(&GUID_DEVINTERFACE_COMPORT);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].symbolicLinkName, u"\\??\\USB#VID_0B1E&PID_0A01#0#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    EXPECT_TRUE(ports[0].enabled);
    EXPECT_EQ(ports[0].physicalDeviceObject, sim::PhysicalDeviceOf(node));

    // Registering again gives the same name; enabling twice and disabling twice answer as documented.
    UNICODE_STRING name{};
    ASSERT_EQ(IoRegisterDeviceInterface(sim::PhysicalDeviceOf(node), &GUID_DEVINTERFACE_COMPORT, nullptr, &name),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name.Buffer, name.Length / 2), ports[0].symbolicLinkName);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_EXISTS);

    std::u16string path = u"\\\\?\\" + ports[0].symbolicLinkName.substr(4);
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(handle));

    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(sim::DeviceInterfaces(&GUID_DEVINTERFACE_COMPORT)[0].enabled);
    EXPECT_EQ(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
    RtlFreeUnicodeString(&name);

    // Only a physical device object of the PnP manager can carry an interface.
    EXPECT_EQ(IoRegisterDeviceInterface(sim::StackTopOf(node), &GUID_DEVINTERFACE_COMPORT, nullptr, &name),
              STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(RegistryTest, InterfaceLeftEnabledAtRemovalIsWithdrawnAndReported) {
    sim::DeviceNode *node = Arrive(0);
    GUID other = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    UNICODE_STRING name{}, reference;
    RtlInitUnicodeString(&reference, u"Extra");
    {
        sim::DriverCall call(sim::LoadedDriver(u"TestPort"), "test", nullptr);
        ASSERT_EQ(IoRegisterDeviceInterface(sim::PhysicalDeviceOf(node), &other, &reference, &name), STATUS_SUCCESS);
        ASSERT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
        RtlFreeUnicodeString(&name);
    }
    EXPECT_EQ(sim::DeviceInterfaces(&other)[0].symbolicLinkName,
              u"\\??\\USB#VID_0B1E&PID_0A01#0#{12345678-1234-1234-0102-030405060708}\\Extra");
    sim::VerifierRecorder recorder;
    ASSERT_EQ(sim::Disable(node).status, STATUS_SUCCESS);
    EXPECT_EQ(recorder.Count("still enabled after the device was removed"), 1u);
    EXPECT_FALSE(sim::DeviceInterfaces(&other)[0].enabled);
}

}  // namespace
