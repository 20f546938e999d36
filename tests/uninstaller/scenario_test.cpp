// Whole runs of the program from WinMain on a simulated Windows installation that holds the card
// reader/writer: its USB device and functions (present or absent), the serial function's port
// name, the serial device map entry while connected, the printer device and queue, OEM INFs of
// both families among unrelated ones, the five files (one read-only) and the printer-driver
// directories. Each run checks what is left and which message boxes were shown.
#include "uninstaller_fixture.h"

#include <fstream>
#include <sstream>

namespace uninstaller_test {
namespace {

const GUID kUsbClass = { 0x36FC9E60, 0xC465, 0x11CF, { 0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00 } };
const GUID kPortsClass = { 0x4D36E978, 0xE325, 0x11CE, { 0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18 } };
const GUID kPrinterClass = { 0x4D36E979, 0xE325, 0x11CE, { 0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18 } };
const GUID kMouseClass = { 0x4D36E96F, 0xE325, 0x11CE, { 0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18 } };

const std::u16string kComposite = u"USB\\VID_3F7B&PID_0A51\\CR0001";
const std::u16string kSerialFunction = u"USB\\VID_3F7B&PID_0A51&MI_00\\6&1A2B3C&0&0000";
const std::u16string kPrintFunction = u"USB\\VID_3F7B&PID_0A51&MI_01\\6&1A2B3C&0&0001";
const std::u16string kPrinter = u"USBPRINT\\TERVALINX_REWRITABLE7E19\\7&2F&0&USB001";
const std::u16string kMouse = u"USB\\VID_046D&PID_C52B\\5&3&0&2";
const std::u16string kOtherPrinter = u"USBPRINT\\HEWLETT-PACKARDHP_LA4E1D\\7&9&0&USB002";

const std::u16string kInterfaceSuffix = u"#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
const std::u16string kOurInterface = u"##?#USB#Vid_3f7b&Pid_0a51&MI_01#6&1a2b3c&0&0001" + kInterfaceSuffix;
const std::u16string kOtherInterface = u"##?#USB#Vid_03f0&Pid_4e17#5&9&0&1" + kInterfaceSuffix;

const std::string kPrinterInf =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Printer\r\nClassGuid={4D36E979-E325-11CE-BFC1-08002BE10318}\r\n"
    "Provider=%Tervalinx%\r\n\r\n[Manufacturer]\r\n%Tervalinx%=Tervalinx,NTamd64\r\n\r\n"
    "[Tervalinx]\r\n\"Rewritable Card Printer (61k)\" = V7WB_61K.GPD, USBPRINT\\Tervalinx_Rewritable7E19, "
    "Tervalinx_Rewritable7E19\r\n\r\n[Strings]\r\nTervalinx=\"Tervalinx\"\r\n";
const std::string kUnrelatedInf =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Mouse\r\n\r\n[Tervalinx]\r\nm = i, HID\\Other, Other\r\n"
    "[TervalinxVirtualCOM]\r\nm = i, USB\\Vid_3f7b&Pid_0a52&MI_00\r\n";

std::string PackagingInf()
{
    std::ifstream file(CARDRW_PACKAGING_INF, std::ios::binary);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

const std::u16string kFiles[] = {
    kPrinterDriverDir + u"\\V7WB_61K.dll", kPrinterDriverDir + u"\\V7WB_61k.GPD",
    kPrinterDriverDir + u"\\V7WB_61k.BUD", kDriversDir + u"\\CardRwUsb.sys", kDriversDir + u"\\CardRwCom.sys",
};
const std::u16string kOtherFiles[] = {
    kPrinterDriverDir + u"\\UNIDRV.DLL", kDriversDir + u"\\usbser.sys", kPrinterEnvDir + u"\\PCC\\x.cab",
};
const std::u16string kCardDirectory = kPrinterEnvDir + u"\\3\\tervalinx_rewritable7e19";

struct Installation {
    bool Installed = true;
    bool Plugged = false;
    std::vector<std::u16string> PrinterInfs = { u"oem5.inf" };
    std::vector<std::u16string> SerialInfs = { u"oem12.inf" };
    bool PackagesInUse = false;
    sim::user::RemoveAnswer SerialAnswer = sim::user::RemoveAnswer::Removed;
    sim::user::RemoveAnswer PrinterAnswer = sim::user::RemoveAnswer::Removed;
};

class ScenarioTest : public UninstallerTest {
protected:
    void Build(const Installation& setup)
    {
        sim::user::AddSetupClass(u"USB", kUsbClass);
        sim::user::AddSetupClass(u"Ports", kPortsClass);
        sim::user::AddSetupClass(u"Printer", kPrinterClass);
        sim::user::AddSetupClass(u"Mouse", kMouseClass);
        sim::user::AddDevice({ kMouse, u"Mouse", { u"USB\\VID_046D&PID_C52B&REV_1201", u"USB\\VID_046D&PID_C52B" }, {} });
        sim::user::AddDevice({ kOtherPrinter, u"Printer", { u"USBPRINT\\Hewlett-PackardHP_LaA4E1" }, { u"GENPRINTER" } });
        sim::user::CreateKey(HKEY_LOCAL_MACHINE, kSerialMap);
        sim::user::SetString(HKEY_LOCAL_MACHINE, kSerialMap, u"\\Device\\Serial0", u"COM1");
        sim::user::InstallOemInf(u"oem1.inf", kUnrelatedInf);
        sim::user::InstallOemInf(u"oem2.inf", kUnrelatedInf);
        for (const auto& file : kOtherFiles)
            sim::user::AddFile(file, "other");
        sim::user::CreateKey(HKEY_LOCAL_MACHINE, kPrintInterfaces + u"\\" + kOtherInterface);
        sim::user::CreateKey(HKEY_LOCAL_MACHINE, kPrinters + u"\\Office");
        sim::user::SetString(HKEY_LOCAL_MACHINE, kPrinters + u"\\Office", u"Printer Driver", u"HP LaserJet");
        sim::user::SetString(HKEY_LOCAL_MACHINE, kPrinters + u"\\Office", u"Name", u"Office");
        sim::user::AddPrinterQueue(u"Office");
        sim::user::SetCurrentDir(u"C:\\Users\\Operator\\Downloads");
        if (!setup.Installed)
            return;

        const bool present = setup.Plugged;
        sim::user::AddDevice({ kComposite, u"USB", { u"USB\\VID_3F7B&PID_0A51&REV_0100", u"USB\\VID_3F7B&PID_0A51" },
                               {}, present });
        sim::user::AddDevice({ kSerialFunction, u"Ports",
                               { u"USB\\VID_3F7B&PID_0A51&REV_0100&MI_00", u"USB\\VID_3F7B&PID_0A51&MI_00" },
                               { u"USB\\Class_FF&SubClass_00&Prot_00", u"USB\\Class_FF" }, present,
                               setup.SerialAnswer });
        sim::user::AddDevice({ kPrintFunction, u"USB",
                               { u"USB\\VID_3F7B&PID_0A51&REV_0100&MI_01", u"USB\\VID_3F7B&PID_0A51&MI_01" },
                               { u"USB\\Class_07&SubClass_01&Prot_02", u"USB\\Class_07" }, present });
        sim::user::AddDevice({ kPrinter, u"Printer", { u"USBPRINT\\Tervalinx_Rewritable7E19" },
                               { u"Tervalinx_Rewritable7E19" }, present, setup.PrinterAnswer });

        const std::u16string instance = kSerialFunctionKey + u"\\6&1a2b3c&0&0000";
        sim::user::CreateKey(HKEY_LOCAL_MACHINE, kDeviceKey + u"\\CR0001");
        sim::user::SetString(HKEY_LOCAL_MACHINE, instance + u"\\Device Parameters", u"PortName", u"COM3");
        sim::user::CreateKey(HKEY_LOCAL_MACHINE, kEnumUsb + u"\\Vid_3f7b&Pid_0a51&MI_01\\6&1a2b3c&0&0001");
        if (setup.Plugged)
            sim::user::SetString(HKEY_LOCAL_MACHINE, kSerialMap, kSerialMapValue, u"COM3");

        for (const auto& name : setup.PrinterInfs)
            sim::user::InstallOemInf(name, kPrinterInf, setup.PackagesInUse);
        for (const auto& name : setup.SerialInfs)
            sim::user::InstallOemInf(name, PackagingInf(), setup.PackagesInUse);

        for (const auto& file : kFiles)
            sim::user::AddFile(file, "card", file.find(u"CardRwCom") != std::u16string::npos ? FILE_ATTRIBUTE_READONLY : 0);
        sim::user::AddFile(kCardDirectory + u"\\V7WB_61K.ini", "ini");
        sim::user::AddFile(kCardDirectory + u"\\res\\strings.dll", "res");

        sim::user::CreateKey(HKEY_LOCAL_MACHINE, kPrintInterfaces + u"\\" + kOurInterface + u"\\#");
        sim::user::CreateKey(HKEY_LOCAL_MACHINE, kPrinters + u"\\Card Printer");
        sim::user::SetString(HKEY_LOCAL_MACHINE, kPrinters + u"\\Card Printer", u"Printer Driver",
                             u"Rewritable Card Printer (61k)");
        sim::user::SetString(HKEY_LOCAL_MACHINE, kPrinters + u"\\Card Printer", u"Name", u"Card Printer");
        sim::user::CreateKey(HKEY_LOCAL_MACHINE, kPrinterDrivers + u"\\Card Printer");
        sim::user::AddPrinterQueue(u"Card Printer");
    }

    int RunProgram() { return WinMain(GetModuleHandleW(nullptr), nullptr, nullptr, 1); }

    bool AnyCardDeviceInstalled()
    {
        for (const auto& id : { kComposite, kSerialFunction, kPrintFunction, kPrinter })
            if (sim::user::DeviceInstalled(id))
                return true;
        return false;
    }

    bool AnyCardFileLeft()
    {
        for (const auto& file : kFiles)
            if (sim::user::FileExists(file))
                return true;
        return sim::user::DirectoryExists(kCardDirectory);
    }

    void ExpectUnrelatedUntouched()
    {
        EXPECT_TRUE(sim::user::DeviceInstalled(kMouse));
        EXPECT_TRUE(sim::user::DeviceInstalled(kOtherPrinter));
        EXPECT_TRUE(sim::user::OemInfInstalled(u"oem1.inf"));
        EXPECT_TRUE(sim::user::OemInfInstalled(u"oem2.inf"));
        for (const auto& file : kOtherFiles)
            EXPECT_TRUE(sim::user::FileExists(file)) << Narrow(file);
        EXPECT_TRUE(sim::user::KeyExists(HKEY_LOCAL_MACHINE, kPrintInterfaces + u"\\" + kOtherInterface));
        EXPECT_EQ(sim::user::GetString(HKEY_LOCAL_MACHINE, kSerialMap, u"\\Device\\Serial0"), u"COM1");
        auto queues = sim::user::PrinterQueues();
        EXPECT_NE(std::find(queues.begin(), queues.end(), u"Office"), queues.end());
    }

    std::vector<std::u16string> DeletedPackages()
    {
        std::vector<std::u16string> names;
        for (const auto& call : sim::user::UninstallOemInfCalls())
            names.push_back(call.name);
        return names;
    }
};

TEST_F(ScenarioTest, NeverInstalled)
{
    Build({ false });
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(sim::user::MessageBoxes().empty());
    EXPECT_TRUE(sim::user::RemoveCalls().empty()) << "both remove commands find nothing";
    EXPECT_TRUE(DeletedPackages().empty()) << "no INF of either family";
    EXPECT_EQ(g_DeviceConnected, 0);
    ExpectUnrelatedUntouched();
    EXPECT_EQ(PerformUninstall(nullptr), 0u) << "the sequence itself reports success";
    EXPECT_TRUE(sim::user::MessageBoxes().empty());
}

TEST_F(ScenarioTest, InstalledAndUnplugged)
{
    Build({});
    EXPECT_EQ(RunProgram(), 0);

    EXPECT_TRUE(sim::user::MessageBoxes().empty()) << "a successful run shows nothing";
    EXPECT_FALSE(AnyCardDeviceInstalled());
    auto removed = sim::user::RemoveCalls();
    ASSERT_EQ(removed.size(), 4u);
    EXPECT_EQ(removed[0].instanceId, kPrinter) << "the printer function first";
    for (const auto& call : removed)
        EXPECT_EQ(call.scope, DWORD(DI_REMOVEDEVICE_GLOBAL));
    EXPECT_EQ(DeletedPackages(), (std::vector<std::u16string>{ u"oem5.inf", u"oem12.inf" }));
    EXPECT_FALSE(sim::user::OemInfInstalled(u"oem5.inf"));
    EXPECT_FALSE(sim::user::OemInfInstalled(u"oem12.inf"));
    EXPECT_FALSE(AnyCardFileLeft()) << "the read-only CardRwCom.sys too";
    EXPECT_TRUE(sim::user::DirectoryExists(kPrinterDriverDir));
    ExpectUnrelatedUntouched();
    // The registry branch belongs to Windows 5.0 only.
    EXPECT_TRUE(sim::user::KeyExists(HKEY_LOCAL_MACHINE, kPrintInterfaces + u"\\" + kOurInterface));
    EXPECT_TRUE(sim::user::KeyExists(HKEY_LOCAL_MACHINE, kPrinterDrivers + u"\\Card Printer"));
}

// What the engine answers changes nothing in the sequence: a removal that fails or asks for a
// restart, and a package still in use, are passed over; no restart is requested (no -r).
TEST_F(ScenarioTest, EngineFailuresDoNotStopTheSequence)
{
    Installation setup;
    setup.PrinterAnswer = sim::user::RemoveAnswer::Fails;
    setup.SerialAnswer = sim::user::RemoveAnswer::NeedsRestart;
    setup.PrinterInfs = { u"oem5.inf" };
    setup.SerialInfs = {};
    Build(setup);
    sim::user::InstallOemInf(u"oem12.inf", PackagingInf(), true);    // in use: refused without -f

    EXPECT_EQ(RunProgram(), 0);

    EXPECT_TRUE(sim::user::MessageBoxes().empty());
    EXPECT_TRUE(sim::user::ShutdownRequests().empty());
    EXPECT_TRUE(sim::user::DeviceInstalled(kPrinter)) << "its removal failed";
    EXPECT_FALSE(sim::user::DeviceInstalled(kComposite));
    EXPECT_FALSE(sim::user::DeviceInstalled(kPrintFunction));
    auto calls = sim::user::UninstallOemInfCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[0].succeeded);
    EXPECT_EQ(calls[1].name, u"oem12.inf");
    EXPECT_FALSE(calls[1].succeeded);
    EXPECT_TRUE(sim::user::OemInfInstalled(u"oem12.inf"));
    EXPECT_FALSE(AnyCardFileLeft()) << "the file steps still run";
    ExpectUnrelatedUntouched();
}

// The warning comes before any removal; after OK the run goes on unchanged.
TEST_F(ScenarioTest, InstalledAndPluggedIn)
{
    struct LanguageCase {
        LANGID Language;
        const char16_t* Text;
        const char16_t* Caption;
    };
    const LanguageCase cases[] = {
        { 1033, u"I pull a USB cable of the machinery, \n and please make connection with the PC an offline state.",
          u"Magnetic Card Reader Writer USB  Driver Uninstaller" },
        { 1041, u"機器のＵＳＢケーブルを抜いてＰＣとの接続を\nオフライン状態にしてください。", u"アンインストール" },
    };
    for (const LanguageCase& c : cases) {
        SCOPED_TRACE(c.Language);
        SetUp();
        sim::user::SetUserInterfaceLanguage(c.Language);
        Build({ true, true });
        bool untouchedWhileShown = false;
        sim::user::SetMessageBoxAnswer([&](const sim::user::MessageBoxRecord&) {
            untouchedWhileShown = sim::user::RemoveCalls().empty() && DeletedPackages().empty() &&
                                  sim::user::FileExists(kFiles[0]) && AnyCardDeviceInstalled();
            return IDOK;
        });

        EXPECT_EQ(RunProgram(), 0);

        const auto& boxes = sim::user::MessageBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].Owner, nullptr);
        EXPECT_EQ(boxes[0].Text, c.Text);
        EXPECT_TRUE(boxes[0].HasCaption);
        EXPECT_EQ(boxes[0].Caption, c.Caption);
        EXPECT_EQ(boxes[0].Flags, MB_ICONERROR | MB_OK);
        EXPECT_TRUE(untouchedWhileShown) << "nothing removed before the warning was closed";
        EXPECT_EQ(g_DeviceConnected, 1);
        EXPECT_FALSE(AnyCardDeviceInstalled());
        EXPECT_EQ(DeletedPackages(), (std::vector<std::u16string>{ u"oem5.inf", u"oem12.inf" }));
        EXPECT_FALSE(AnyCardFileLeft());
        ExpectUnrelatedUntouched();
        TearDown();
    }
}

// Windows 5.0 cleans the printer's registry itself and deletes each package's INF and PNF
// directly after "dp_delete"; other versions leave that to "dp_delete" (here refused, since
// the packages are still in use), so the files stay there.
TEST_F(ScenarioTest, Windows50RegistryBranch)
{
    struct VersionCase {
        DWORD Major, Minor;
        bool Branch;
    };
    for (const VersionCase& c : { VersionCase{ 5, 0, true }, VersionCase{ 5, 1, false } }) {
        SCOPED_TRACE(std::to_string(c.Major) + "." + std::to_string(c.Minor));
        SetUp();
        sim::user::SetReportedVersion(c.Major, c.Minor, 2195);
        Installation setup;
        setup.PackagesInUse = true;
        Build(setup);
        sim::user::SetKeyDacl(HKEY_LOCAL_MACHINE, kDeviceKey,
                              { sim::user::DaclKind::List,
                                { { ACCESS_ALLOWED_ACE_TYPE, KEY_ALL_ACCESS, sim::user::kSidAdministrators, 0 } } });

        EXPECT_EQ(RunProgram(), 0);
        EXPECT_TRUE(sim::user::MessageBoxes().empty());

        EXPECT_EQ(sim::user::DeviceInstalled(kPrinter), c.Branch) << "no remove of the printer on 5.0";
        EXPECT_FALSE(sim::user::DeviceInstalled(kSerialFunction));
        auto queues = sim::user::PrinterQueues();
        EXPECT_EQ(std::find(queues.begin(), queues.end(), u"Card Printer") == queues.end(), c.Branch);
        EXPECT_EQ(!sim::user::KeyExists(HKEY_LOCAL_MACHINE, kPrinterDrivers + u"\\Card Printer"), c.Branch);
        EXPECT_EQ(!sim::user::KeyExists(HKEY_LOCAL_MACHINE, kPrintInterfaces + u"\\" + kOurInterface), c.Branch);
        EXPECT_EQ(sim::user::KeyDacl(HKEY_LOCAL_MACHINE, kDeviceKey).aces.size(), c.Branch ? 2u : 1u);

        EXPECT_EQ(DeletedPackages(), (std::vector<std::u16string>{ u"oem5.inf", u"oem12.inf" }));
        for (const char16_t* file : { u"oem5.inf", u"oem5.PNF", u"oem12.inf", u"oem12.PNF" })
            EXPECT_EQ(!sim::user::FileExists(kInfDir + u"\\" + file), c.Branch) << Narrow(file);
        EXPECT_FALSE(AnyCardFileLeft());
        ExpectUnrelatedUntouched();
        TearDown();
    }
}

// All packages of the printer family go before any of the serial family; of eleven installed
// packages of one family only the ten that the discovery returns are deleted.
TEST_F(ScenarioTest, PackagesOfBothFamiliesInOrder)
{
    Installation setup;
    setup.PrinterInfs = { u"oem20.inf", u"oem3.inf" };
    setup.SerialInfs = {};
    for (int i = 40; i <= 50; i++)
        setup.SerialInfs.push_back(u"oem" + sim::user::U16(std::to_string(i)) + u".inf");
    Build(setup);

    EXPECT_EQ(RunProgram(), 0);

    std::vector<std::u16string> expected = { u"oem20.inf", u"oem3.inf" };
    for (int i = 40; i <= 49; i++)
        expected.push_back(u"oem" + sim::user::U16(std::to_string(i)) + u".inf");
    EXPECT_EQ(DeletedPackages(), expected);
    for (const auto& call : sim::user::UninstallOemInfCalls()) {
        EXPECT_EQ(call.flags, 0u) << "no -f";
        EXPECT_TRUE(call.succeeded);
    }
    EXPECT_TRUE(sim::user::OemInfInstalled(u"oem50.inf")) << "the eleventh stays";
    EXPECT_TRUE(sim::user::MessageBoxes().empty());
}

// The project's own INF, installed as an OEM INF, belongs to the serial family only.
TEST_F(ScenarioTest, ProjectInfIsFoundBySerialDiscoveryAndRemoved)
{
    sim::user::InstallOemInf(u"oem42.inf", PackagingInf());
    OemInfList list;
    int count = 0;
    EXPECT_EQ(FindOemInfs(u"TervalinxVirtualCOM", 2, u"USB\\Vid_3f7b&Pid_0a51&MI_00", &list, &count), 0);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(Narrow(list.Names[0]), "oem42");
    EXPECT_EQ(FindOemInfs(u"Tervalinx", 3, u"Tervalinx_Rewritable7E19", &list, &count), -1);

    Installation setup;
    setup.PrinterInfs = {};
    setup.SerialInfs = {};
    Build(setup);
    EXPECT_EQ(RunProgram(), 0);
    ASSERT_EQ(sim::user::UninstallOemInfCalls().size(), 1u);
    EXPECT_EQ(sim::user::UninstallOemInfCalls()[0].name, u"oem42.inf");
    EXPECT_TRUE(sim::user::UninstallOemInfCalls()[0].succeeded);
    EXPECT_FALSE(sim::user::OemInfInstalled(u"oem42.inf"));
}

} // namespace
} // namespace uninstaller_test
