// Common ground of the command engine tests: a fresh simulated Windows with the uninstaller's
// string table, the card reader/writer's device instances, argument vectors built from UTF-16
// strings, and a leak check of every handle and heap block when a test ends.
#pragma once

#include "command_engine/command_engine.h"
#include "sim/user/include/sim_user.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace engine_test {

using Args = std::vector<std::u16string>;

inline const GUID kUsbClass = {0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
inline const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
inline const GUID kPrinterClass = {0x4d36e979, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
inline const GUID kMouseClass = {0x4d36e96f, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// The card reader/writer as Windows enumerates it: the composite device, its serial function
// (interface 0), its printer interface (interface 1) and the printer above it; and a mouse.
inline const char16_t *kComposite = u"USB\\VID_3F7B&PID_0A51\\5&1A2B3C4D&0&1";
inline const char16_t *kSerial = u"USB\\VID_3F7B&PID_0A51&MI_00\\6&2B3C4D5E&0&0000";
inline const char16_t *kPrinterInterface = u"USB\\VID_3F7B&PID_0A51&MI_01\\6&2B3C4D5E&0&0001";
inline const char16_t *kPrinter = u"USBPRINT\\TERVALINX_REWRITABLE7E19\\7&3C4D5E6F&0&USB001";
inline const char16_t *kMouse = u"HID\\VID_046D&PID_C52B&MI_00\\7&11223344&0&0000";

inline sim::user::DeviceSpec Device(const char16_t *id, const char16_t *cls, std::vector<std::u16string> hw,
                                    std::vector<std::u16string> compat = {}, bool present = true) {
    sim::user::DeviceSpec d;
    d.instanceId = id;
    d.className = cls;
    d.hardwareIds = std::move(hw);
    d.compatibleIds = std::move(compat);
    d.present = present;
    return d;
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::user::Reset();
        std::string error;
        ASSERT_TRUE(sim::user::LoadResourceScript(CARDRW_RESOURCE_SCRIPT, &error)) << error;
        sim::user::AddSetupClass(u"USB", kUsbClass);
        sim::user::AddSetupClass(u"Ports", kPortsClass);
        sim::user::AddSetupClass(u"Printer", kPrinterClass);
        sim::user::AddSetupClass(u"Mouse", kMouseClass);
    }

    void TearDown() override {
        sim::user::OpenCounts open = sim::user::Open();
        EXPECT_EQ(open.registryKeys, 0);
        EXPECT_EQ(open.deviceInfoSets, 0);
        EXPECT_EQ(open.infFiles, 0);
        EXPECT_EQ(open.findHandles, 0);
        EXPECT_EQ(open.modules, 0);
        EXPECT_EQ(open.tokens, 0);
        EXPECT_EQ(open.allocations, 0);
    }

    // The card reader/writer, plugged in or not, and a mouse that is plugged in.
    void InstallCardReader(bool plugged = true) {
        using sim::user::AddDevice;
        AddDevice(Device(kComposite, u"USB", {u"USB\\VID_3F7B&PID_0A51&REV_0100", u"USB\\VID_3F7B&PID_0A51"},
                         {u"USB\\DevClass_00&SubClass_00&Prot_00", u"USB\\COMPOSITE"}, plugged));
        AddDevice(Device(kSerial, u"Ports", {u"USB\\VID_3F7B&PID_0A51&REV_0100&MI_00", u"USB\\VID_3F7B&PID_0A51&MI_00"},
                         {u"USB\\Class_02&SubClass_02", u"USB\\Class_02"}, plugged));
        AddDevice(Device(kPrinterInterface, u"USB",
                         {u"USB\\VID_3F7B&PID_0A51&REV_0100&MI_01", u"USB\\VID_3F7B&PID_0A51&MI_01"},
                         {u"USB\\Class_07&SubClass_01&Prot_02", u"USB\\Class_07"}, plugged));
        AddDevice(Device(kPrinter, u"Printer", {u"USBPRINT\\Tervalinx_Rewritable7E19"}, {u"Tervalinx_Rewritable7E19"},
                         plugged));
        AddDevice(Device(kMouse, u"Mouse", {u"HID\\VID_046D&PID_C52B&REV_1201&MI_00", u"HID\\VID_046D&PID_C52B&MI_00"},
                         {u"HID_DEVICE_SYSTEM_MOUSE", u"HID_DEVICE"}));
    }

    static int Run(const Args &args) {
        std::vector<LPCWSTR> argv;
        for (auto &a : args) argv.push_back(a.c_str());
        return RunDeviceCommand(int(argv.size()), argv.data());
    }

    // The program's path as the uninstall sequence passes it.
    static constexpr const char16_t *kProgram = u"C:\\Installer\\UnInstall_V7420.exe";
};

}  // namespace engine_test
