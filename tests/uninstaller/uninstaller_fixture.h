// Shared fixture of the uninstaller tests: a fresh simulated Windows (6.1 unless a test says
// otherwise) with the program's resources loaded from the resource script, and a check after
// every test that no key, search, INF, allocation or printer handle was left open.
#pragma once

#include "uninstaller/uninstaller.h"
#include "uninstaller/resources/resource.h"
#include "sim/user/include/sim_user.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace uninstaller_test {

// Registry paths of the installation.
inline const std::u16string kEnumUsb = u"SYSTEM\\CurrentControlSet\\Enum\\USB";
inline const std::u16string kDeviceKey = kEnumUsb + u"\\Vid_3f7b&Pid_0a51";
inline const std::u16string kSerialFunctionKey = kEnumUsb + u"\\Vid_3f7b&Pid_0a51&MI_00";
inline const std::u16string kSerialMap = u"HARDWARE\\DEVICEMAP\\SERIALCOMM";
inline const std::u16string kSerialMapValue = u"\\Device\\XWQUsbSerial0";
inline const std::u16string kPrinters = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Printers";
inline const std::u16string kPrinterDrivers =
    u"SYSTEM\\CurrentControlSet\\Control\\Print\\Environments\\Windows NT x86\\Drivers\\Version-3";
inline const std::u16string kPrintInterfaces =
    u"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
inline const char* const kOperatorSid = "S-1-5-21-1004336348-1177238915-682003330-1001";

// Directories (the simulated Windows lives in C:\Windows).
inline const std::u16string kDriversDir = u"C:\\Windows\\system32\\drivers";
inline const std::u16string kPrinterEnvDir = u"C:\\Windows\\system32\\spool\\drivers\\x64";
inline const std::u16string kPrinterDriverDir = kPrinterEnvDir + u"\\3";
inline const std::u16string kInfDir = u"C:\\Windows\\inf";

inline std::string Narrow(const std::u16string& text)
{
    return sim::user::Utf8(text);
}

inline void SetDirectory(WCHAR* variable, const std::u16string& value)
{
    size_t i = 0;
    for (; i < value.size(); i++)
        variable[i] = value[i];
    variable[i] = 0;
}

class UninstallerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::user::Reset();
        sim::user::ResetUserInterface();
        sim::user::ResetSpooler();
        sim::user::ResetVersion();
        sim::user::SetReportedVersion(6, 1, 7601);
        std::string error;
        ASSERT_TRUE(sim::user::LoadResourceScript(CARDRW_UNINSTALLER_RESOURCE_SCRIPT, &error)) << error;

        // What WinMain and PerformUninstall set up, for tests that call a routine directly.
        g_hInstance = GetModuleHandleW(nullptr);
        g_OsMajorVersion = 6;
        g_OsMinorVersion = 1;
        g_DeviceConnected = 0;
        SetDirectory(WindowsDir, u"C:\\Windows");
        SetDirectory(DriversDir, kDriversDir);
        SetDirectory(PrinterDriverDir, kPrinterDriverDir);
        SetDirectory(PrinterEnvDir, kPrinterEnvDir);
        SetDirectory(InfDir, kInfDir);
    }

    void TearDown() override
    {
        sim::user::OpenCounts open = sim::user::Open();
        EXPECT_EQ(open.registryKeys, 0) << "registry key handles left open";
        EXPECT_EQ(open.findHandles, 0) << "file searches left open";
        EXPECT_EQ(open.infFiles, 0) << "INF handles left open";
        EXPECT_EQ(open.deviceInfoSets, 0) << "device information sets left open";
        EXPECT_EQ(open.modules, 0) << "modules left loaded";
        EXPECT_EQ(open.allocations, 0) << "memory left allocated";
        EXPECT_EQ(sim::user::OpenPrinterHandles(), 0) << "printer handles left open";
    }
};

} // namespace uninstaller_test
