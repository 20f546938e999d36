// The simulated setup services: device information sets, properties and their sizes, the
// class installers' answers to DIF_REMOVE, instance IDs, the OEM package store and how the
// setup library is reached by name.
#include "sim/user/include/sim_user.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const GUID kPorts = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const GUID kUsb = {0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

class SetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::user::Reset();
        sim::user::AddSetupClass(u"Ports", kPorts);
        sim::user::AddSetupClass(u"USB", kUsb);
        sim::user::DeviceSpec port;
        port.instanceId = u"USB\\VID_3F7B&PID_0A51&MI_00\\6&1&0&0000";
        port.className = u"Ports";
        port.hardwareIds = {u"USB\\VID_3F7B&PID_0A51&REV_0100&MI_00", u"USB\\VID_3F7B&PID_0A51&MI_00"};
        port.present = false;
        sim::user::AddDevice(port);
        sim::user::DeviceSpec hub;
        hub.instanceId = u"USB\\ROOT_HUB30\\4&1&0";
        hub.className = u"USB";
        hub.hardwareIds = {u"USB\\ROOT_HUB30"};
        sim::user::AddDevice(hub);
    }
    void TearDown() override {
        auto open = sim::user::Open();
        EXPECT_EQ(open.deviceInfoSets, 0);
        EXPECT_EQ(open.modules, 0);
    }

    static int Count(HDEVINFO set) {
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        int n = 0;
        while (SetupDiEnumDeviceInfo(set, DWORD(n), &data)) ++n;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
        return n;
    }
};

TEST_F(SetupTest, ClassDevicesByClassPresenceAndMachine) {
    struct Case {
        const GUID *cls;
        DWORD flags;
        const char16_t *machine;
        int count;  // -1: the set is refused
    } cases[] = {
        {nullptr, DIGCF_ALLCLASSES, nullptr, 2},
        {nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT, nullptr, 1},
        {&kPorts, 0, nullptr, 1},
        {&kPorts, DIGCF_PRESENT, nullptr, 0},
        {nullptr, 0, nullptr, -1},
        {nullptr, DIGCF_ALLCLASSES, u"\\\\SIMPC", 2},
        {nullptr, DIGCF_ALLCLASSES, u"\\\\OTHER", -1},
    };
    for (auto &c : cases) {
        HDEVINFO set = SetupDiGetClassDevsExW(c.cls, nullptr, nullptr, c.flags, nullptr, c.machine, nullptr);
        if (c.count < 0) {
            EXPECT_EQ(set, INVALID_HANDLE_VALUE);
            continue;
        }
        ASSERT_NE(set, INVALID_HANDLE_VALUE);
        EXPECT_EQ(Count(set), c.count);
        SetupDiDestroyDeviceInfoList(set);
    }
}

TEST_F(SetupTest, PropertyReadsReportTheRequiredSize) {
    HDEVINFO set = SetupDiGetClassDevsExW(&kPorts, nullptr, nullptr, 0, nullptr, nullptr, nullptr);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_EQ(data.ClassGuid, kPorts);
    DWORD type = 0, required = 0;
    BYTE small[16];
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, small, sizeof small, &required));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(type, DWORD(REG_MULTI_SZ));
    EXPECT_EQ(required, DWORD((36 + 1 + 27 + 1 + 1) * 2));
    std::vector<BYTE> buffer(required);
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, buffer.data(), required, &required));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(buffer.data())), u"USB\\VID_3F7B&PID_0A51&REV_0100&MI_00");
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_COMPATIBLEIDS, &type, buffer.data(), required, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
    SP_DEVINFO_DATA wrong = data;
    wrong.cbSize = 8;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &wrong, SPDRP_CLASS, nullptr, buffer.data(), required, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_USER_BUFFER));

    WCHAR id[MAX_DEVICE_ID_LEN];
    EXPECT_EQ(CM_Get_Device_ID_ExW(data.DevInst, id, 10, 0, nullptr), DWORD(CR_BUFFER_SMALL));
    EXPECT_EQ(CM_Get_Device_ID_ExW(data.DevInst, id, MAX_DEVICE_ID_LEN, 0, nullptr), DWORD(CR_SUCCESS));
    EXPECT_EQ(std::u16string(id), u"USB\\VID_3F7B&PID_0A51&MI_00\\6&1&0&0000");
    EXPECT_EQ(CM_Get_Device_ID_ExW(9999, id, MAX_DEVICE_ID_LEN, 0, nullptr), DWORD(CR_INVALID_DEVNODE));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SetupTest, OpenDeviceInfoAddsOnceAndChecksTheClass) {
    HDEVINFO set = SetupDiCreateDeviceInfoListExW(&kUsb, nullptr, nullptr, nullptr);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_TRUE(SetupDiOpenDeviceInfoW(set, u"usb\\root_hub30\\4&1&0", nullptr, 0, &data));
    EXPECT_TRUE(SetupDiOpenDeviceInfoW(set, u"USB\\ROOT_HUB30\\4&1&0", nullptr, 0, nullptr));
    EXPECT_FALSE(SetupDiOpenDeviceInfoW(set, u"USB\\VID_3F7B&PID_0A51&MI_00\\6&1&0&0000", nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_CLASS_MISMATCH));
    EXPECT_FALSE(SetupDiOpenDeviceInfoW(set, u"USB\\NONE\\1", nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_SUCH_DEVINST));
    EXPECT_EQ(Count(set), 1);
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(SetupTest, ClassLookupFillsWhatFitsAndCountsAll) {
    GUID guids[1];
    DWORD required = 0;
    EXPECT_TRUE(SetupDiClassGuidsFromNameExW(u"ports", guids, 1, &required, nullptr, nullptr));
    EXPECT_EQ(required, 1u);
    EXPECT_EQ(guids[0], kPorts);
    EXPECT_TRUE(SetupDiClassGuidsFromNameExW(u"Nothing", guids, 1, &required, nullptr, nullptr));
    EXPECT_EQ(required, 0u);
    sim::user::AddSetupClass(u"Ports", kUsb);
    EXPECT_FALSE(SetupDiClassGuidsFromNameExW(u"Ports", guids, 1, &required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 2u);
    EXPECT_EQ(guids[0], kPorts);
}

TEST_F(SetupTest, RemoveAnswersAndParameters) {
    struct Case {
        sim::user::RemoveAnswer answer;
        BOOL called;
        DWORD flags;
        bool installedAfter;
    } cases[] = {
        {sim::user::RemoveAnswer::Removed, TRUE, DI_CLASSINSTALLPARAMS, false},
        {sim::user::RemoveAnswer::NeedsRestart, TRUE, DI_CLASSINSTALLPARAMS | DI_NEEDRESTART, false},
        {sim::user::RemoveAnswer::NeedsReboot, TRUE, DI_CLASSINSTALLPARAMS | DI_NEEDREBOOT, false},
        {sim::user::RemoveAnswer::Fails, FALSE, DI_CLASSINSTALLPARAMS, true},
    };
    for (auto &c : cases) {
        sim::user::Reset();
        sim::user::AddSetupClass(u"Ports", kPorts);
        sim::user::DeviceSpec d;
        d.instanceId = u"ROOT\\PORTS\\0000";
        d.className = u"Ports";
        d.removeAnswer = c.answer;
        d.removeError = ERROR_DI_DO_DEFAULT;
        sim::user::AddDevice(d);
        HDEVINFO set = SetupDiGetClassDevsExW(&kPorts, nullptr, nullptr, 0, nullptr, nullptr, nullptr);
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
        SP_REMOVEDEVICE_PARAMS params{{sizeof(SP_CLASSINSTALL_HEADER), DIF_REMOVE}, DI_REMOVEDEVICE_GLOBAL, 0};
        EXPECT_FALSE(SetupDiSetClassInstallParamsW(set, &data, &params.ClassInstallHeader, sizeof params - 4));
        ASSERT_TRUE(SetupDiSetClassInstallParamsW(set, &data, &params.ClassInstallHeader, sizeof params));
        EXPECT_EQ(SetupDiCallClassInstaller(DIF_REMOVE, set, &data), c.called);
        if (!c.called) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_DI_DO_DEFAULT));
        }
        SP_DEVINSTALL_PARAMS_W install{};
        install.cbSize = sizeof install;
        ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, &data, &install));
        EXPECT_EQ(install.Flags, c.flags);
        EXPECT_EQ(sim::user::DeviceInstalled(u"ROOT\\PORTS\\0000"), c.installedAfter);
        ASSERT_EQ(sim::user::RemoveCalls().size(), 1u);
        EXPECT_EQ(sim::user::RemoveCalls()[0].scope, DWORD(DI_REMOVEDEVICE_GLOBAL));
        SetupDiDestroyDeviceInfoList(set);
    }
}

TEST_F(SetupTest, OemPackagesAreReachedThroughTheSetupLibrary) {
    sim::user::InstallOemInf(u"oem1.inf", "[Version]\nSignature=$Windows NT$\n", /*inUse=*/true);
    sim::user::AddFile(u"C:\\Windows\\inf\\machine.inf", "[Version]\nSignature=$Windows NT$\n");
    EXPECT_EQ(LoadLibraryW(u"kernel33.dll"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    HMODULE lib = LoadLibraryW(u"SETUPAPI.DLL");
    ASSERT_NE(lib, nullptr);
    EXPECT_EQ(GetProcAddress(lib, "SetupUninstallOEMInfA"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    using Uninstall = BOOL(WINAPI *)(PCWSTR, DWORD, PVOID);
    auto uninstall = reinterpret_cast<Uninstall>(reinterpret_cast<void (*)()>(GetProcAddress(lib, "SetupUninstallOEMInfW")));
    ASSERT_NE(uninstall, nullptr);
    struct Case {
        const char16_t *name;
        DWORD flags;
        DWORD error;  // 0: removed
    } cases[] = {
        {u"machine.inf", 0, ERROR_NOT_AN_INSTALLED_OEM_INF},
        {u"oem2.inf", 0, ERROR_NOT_AN_INSTALLED_OEM_INF},
        {u"C:\\Windows\\inf\\oem1.inf", 0, ERROR_INVALID_PARAMETER},
        {u"oem1.inf", 0, ERROR_INF_IN_USE_BY_DEVICES},
        {u"OEM1.inf", SUOI_FORCEDELETE, 0},
        {u"oem1.inf", SUOI_FORCEDELETE, ERROR_NOT_AN_INSTALLED_OEM_INF},
    };
    for (auto &c : cases) {
        BOOL ok = uninstall(c.name, c.flags, nullptr);
        EXPECT_EQ(ok != FALSE, c.error == 0) << sim::user::Utf8(c.name);
        if (!ok) {
            EXPECT_EQ(GetLastError(), c.error) << sim::user::Utf8(c.name);
        }
    }
    EXPECT_FALSE(sim::user::FileExists(u"C:\\Windows\\inf\\oem1.inf"));
    EXPECT_FALSE(sim::user::FileExists(u"C:\\Windows\\inf\\oem1.PNF"));
    EXPECT_TRUE(sim::user::FileExists(u"C:\\Windows\\inf\\machine.inf"));
    EXPECT_TRUE(FreeLibrary(lib));
    EXPECT_FALSE(FreeLibrary(lib));
}

}  // namespace
