// Driver-package INF discovery: which oem*.inf files of the INF directory belong to a family.
#include "uninstaller_fixture.h"

namespace uninstaller_test {
namespace {

// A printer-family INF whose [Tervalinx] section starts with the given line.
std::string PrinterInf(const std::string& firstLine, const std::string& laterLines = "")
{
    return "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Printer\r\n\r\n[Tervalinx]\r\n" + firstLine + "\r\n" +
           laterLines + "\r\n[Strings]\r\nDesc=\"Rewritable Card Printer (61k)\"\r\n";
}

const std::string kPrinterMatch = PrinterInf("%Desc% = CARD.GPD, USBPRINT\\Tervalinx_Rewritable7E19, Tervalinx_Rewritable7E19");
const std::string kSerialMatch =
    "[Version]\nSignature=\"$Windows NT$\"\n[TervalinxVirtualCOM]\n"
    "\"Card reader/writer\" = Install, USB\\Vid_3f7b&Pid_0a51&MI_00\n";

struct InfFile {
    std::string Name;
    std::string Content;
};

struct DiscoveryCase {
    const char* Name;
    std::vector<InfFile> Files;
    const char16_t* Section;
    WORD Field;
    const char16_t* Value;
    LONG Result;
    std::vector<std::string> Found;
    int InfsOpened = -1;                   // -1: not checked
    bool WithoutInfDirectory = false;
};

std::vector<InfFile> Numbered(int count, const std::string& content)
{
    std::vector<InfFile> files;
    for (int i = 1; i <= count; i++)
        files.push_back({ "oem" + std::to_string(i) + ".inf", content });
    return files;
}

const char16_t* const kPrinterSection = u"Tervalinx";
const char16_t* const kPrinterId = u"Tervalinx_Rewritable7E19";
const char16_t* const kSerialSection = u"TervalinxVirtualCOM";
const char16_t* const kSerialId = u"USB\\Vid_3f7b&Pid_0a51&MI_00";

const DiscoveryCase kCases[] = {
    { "two matching INFs", { { "oem7.inf", kPrinterMatch }, { "oem3.inf", kPrinterMatch } },
      kPrinterSection, 3, kPrinterId, 0, { "oem3", "oem7" } },
    { "the value compares without case; the file name keeps its spelling",
      { { "OEM8.INF", PrinterInf("x = y, z, TERVALINX_rewritable7e19") } },
      kPrinterSection, 3, kPrinterId, 0, { "OEM8" } },
    { "only the first line of the section counts",
      { { "oem1.inf", PrinterInf("x = y, z, Other_Printer",
                                 "%Desc% = CARD.GPD, USBPRINT\\Tervalinx_Rewritable7E19, Tervalinx_Rewritable7E19") } },
      kPrinterSection, 3, kPrinterId, -1, {} },
    { "twelve matches give the first ten in search order", Numbered(12, kPrinterMatch),
      kPrinterSection, 3, kPrinterId, 0,
      { "oem1", "oem10", "oem11", "oem12", "oem2", "oem3", "oem4", "oem5", "oem6", "oem7" }, 10 },
    { "no oem*.inf at all", { { "usbprint.inf", kPrinterMatch }, { "ports.inf", kSerialMatch } },
      kPrinterSection, 3, kPrinterId, ERROR_FILE_NOT_FOUND, {} },
    { "no INF directory", {}, kPrinterSection, 3, kPrinterId, ERROR_PATH_NOT_FOUND, {}, -1, true },
    { "unrelated, broken and incomplete INFs are passed over",
      { { "oem1.inf", PrinterInf("x = y, USBPRINT\\Other, Other_Printer") },
        { "oem2.inf", kSerialMatch },
        { "oem3.inf", "[Version]\nSignature=\"$Windows NT$\"\n[Other]\na = b, c, d\n" },
        { "oem4.inf", "[Version]\nSignature=\"$Chicago$\"\n[Tervalinx]\n" },
        { "oem5.inf", PrinterInf("x = y, USBPRINT\\Tervalinx_Rewritable7E19") },
        { "oem6.inf", "this is not an INF file" },
        { "oem9.inf", kPrinterMatch } },
      kPrinterSection, 3, kPrinterId, 0, { "oem9" } },
    { "serial family by its second field",
      { { "oem2.inf", kSerialMatch }, { "oem4.inf", kPrinterMatch } },
      kSerialSection, 2, kSerialId, 0, { "oem2" } },
    { "the serial ID in the third field does not count",
      { { "oem2.inf", "[Version]\nSignature=\"$Windows NT$\"\n[TervalinxVirtualCOM]\nd = i, USB\\Other, "
                      "USB\\Vid_3f7b&Pid_0a51&MI_00\n" } },
      kSerialSection, 2, kSerialId, -1, {} },
    { "a base name longer than a slot is left out, 19 characters fit",
      { { "oem1234567890123456.inf", kPrinterMatch },       // 19 characters
        { "oem12345678901234567.inf", kPrinterMatch },      // 20 characters
        { "oem123456789012345678901234567890.inf", kPrinterMatch } },
      kPrinterSection, 3, kPrinterId, 0, { "oem1234567890123456" } },
    { "only a name too long for a slot matches",
      { { "oem12345678901234567.inf", kPrinterMatch } },
      kPrinterSection, 3, kPrinterId, -1, {} },
};

using InfDiscoveryTest = UninstallerTest;

TEST_F(InfDiscoveryTest, FindOemInfs)
{
    for (const DiscoveryCase& c : kCases) {
        SCOPED_TRACE(c.Name);
        SetUp();
        if (!c.WithoutInfDirectory)
            sim::user::AddDirectory(kInfDir);
        else
            SetDirectory(InfDir, u"C:\\Windows\\missing");
        for (const InfFile& file : c.Files)
            sim::user::AddFile(kInfDir + u"\\" + sim::user::U16(file.Name), file.Content);

        OemInfList list;
        for (auto& slot : list.Names)
            for (auto& ch : slot)
                ch = u'#';          // whatever the list held before
        int count = -5;
        int opensBefore = sim::user::CallCount("SetupOpenInfFileW");
        LONG result = FindOemInfs(c.Section, c.Field, c.Value, &list, &count);

        EXPECT_EQ(result, c.Result);
        ASSERT_EQ(count, static_cast<int>(c.Found.size()));
        for (int i = 0; i < count; i++)
            EXPECT_EQ(Narrow(list.Names[i]), c.Found[i]) << "slot " << i;
        if (c.InfsOpened >= 0) {
            EXPECT_EQ(sim::user::CallCount("SetupOpenInfFileW") - opensBefore, c.InfsOpened) << "search ends at the tenth";
        }
        TearDown();
    }
}

// A search that cannot start returns its error, and the count says the list is empty.
TEST_F(InfDiscoveryTest, SearchFailureStartsWithAnEmptyCount)
{
    sim::user::AddDirectory(kInfDir);
    sim::user::FailCall("FindFirstFileW", ERROR_ACCESS_DENIED);
    OemInfList list;
    int count = 7;
    EXPECT_EQ(FindOemInfs(kPrinterSection, 3, kPrinterId, &list, &count), ERROR_ACCESS_DENIED);
    EXPECT_EQ(count, 0);
}

} // namespace
} // namespace uninstaller_test
