// Entry point, hidden dialog, version gate and failure report, run from WinMain.
#include "uninstaller_fixture.h"

#include <filesystem>
#include <fstream>

namespace uninstaller_test {
namespace {

const std::u16string kComDriver = kDriversDir + u"\\CardRwCom.sys";

class EntryTest : public UninstallerTest {
protected:
    // One file the sequence deletes shows whether the sequence ran.
    void SetUp() override
    {
        UninstallerTest::SetUp();
        sim::user::AddFile(kComDriver, "driver");
    }

    int RunProgram() { return WinMain(GetModuleHandleW(nullptr), nullptr, nullptr, 1); }
    bool SequenceRan() const { return !sim::user::FileExists(kComDriver); }
};

struct VersionCase {
    const char* Name;
    DWORD Major, Minor, Platform;
    bool QueryFails;
    bool Unsupported;       // IsUnsupportedWindowsVersion
    bool Warning;           // the "Different Windows Version" box
    bool Runs;              // the sequence runs
};

const VersionCase kVersions[] = {
    { "4.0", 4, 0, VER_PLATFORM_WIN32_NT, false, true, true, false },
    { "5.0", 5, 0, VER_PLATFORM_WIN32_NT, false, false, false, true },
    { "5.1", 5, 1, VER_PLATFORM_WIN32_NT, false, false, false, true },
    { "5.2", 5, 2, VER_PLATFORM_WIN32_NT, false, false, false, true },
    { "5.3", 5, 3, VER_PLATFORM_WIN32_NT, false, true, true, false },
    { "6.0", 6, 0, VER_PLATFORM_WIN32_NT, false, false, false, true },
    { "6.1", 6, 1, VER_PLATFORM_WIN32_NT, false, false, false, true },
    { "6.2", 6, 2, VER_PLATFORM_WIN32_NT, false, false, false, true },
    { "6.3", 6, 3, VER_PLATFORM_WIN32_NT, false, true, true, false },
    { "10.0", 10, 0, VER_PLATFORM_WIN32_NT, false, true, true, false },
    { "query fails", 6, 1, VER_PLATFORM_WIN32_NT, true, true, false, false },
    { "Windows 98 (4.10)", 4, 10, VER_PLATFORM_WIN32_WINDOWS, false, true, true, false },
    { "5.1 on another platform", 5, 1, VER_PLATFORM_WIN32_WINDOWS, false, false, false, false },
    { "6.1 on a platform above NT", 6, 1, 3, false, true, true, false },
};

TEST_F(EntryTest, VersionGate)
{
    for (const VersionCase& c : kVersions) {
        SCOPED_TRACE(c.Name);
        SetUp();
        sim::user::SetReportedVersion(c.Major, c.Minor, 0, c.Platform);
        if (c.QueryFails)
            sim::user::FailVersionQuery(ERROR_ACCESS_DENIED);

        EXPECT_EQ(IsUnsupportedWindowsVersion() != FALSE, c.Unsupported);
        EXPECT_EQ(RunProgram(), 0);

        const auto& boxes = sim::user::MessageBoxes();
        if (c.Warning) {
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].Owner, nullptr);
            EXPECT_EQ(boxes[0].Text, u"Different Windows Version");
            EXPECT_TRUE(boxes[0].HasCaption);
            EXPECT_EQ(boxes[0].Caption, u"Warning");
            EXPECT_EQ(boxes[0].Flags, MB_OK) << "an OK button and no icon";
        } else {
            EXPECT_TRUE(boxes.empty());
        }
        EXPECT_EQ(SequenceRan(), c.Runs);
        if (c.Runs) {
            EXPECT_EQ(g_OsMajorVersion, c.Major);
            EXPECT_EQ(g_OsMinorVersion, c.Minor);
        }
        TearDown();
    }
}

// The program's own manifest declares no supported systems, so Windows 8.1, 10 and 11 report
// 6.2 and the gate passes. With operating-system entries added to the manifest the same
// systems report 6.3 or 10.0 and the program refuses to run.
TEST_F(EntryTest, ManifestDecidesWhatLaterWindowsReport)
{
    namespace fs = std::filesystem;
    const fs::path ours = fs::path(CARDRW_UNINSTALLER_RESOURCE_SCRIPT).parent_path();
    const fs::path declared = fs::path(::testing::TempDir()) / "declared_manifest";
    fs::remove_all(declared);
    fs::copy(ours, declared);
    std::ofstream(declared / "CardRwUninstall.manifest", std::ios::binary | std::ios::trunc)
        << "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
           "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
           "  <compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\"><application>\n"
           "    <supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>\n"
           "    <supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>\n"
           "  </application></compatibility>\n</assembly>\n";

    struct ManifestCase {
        const char* Name;
        DWORD Major, Minor, Build;
        bool Declared;
        bool Runs;
    };
    const ManifestCase cases[] = {
        { "Windows 8 with our manifest", 6, 2, 9200, false, true },
        { "Windows 8.1 with our manifest", 6, 3, 9600, false, true },
        { "Windows 10 with our manifest", 10, 0, 19045, false, true },
        { "Windows 11 with our manifest", 10, 0, 22631, false, true },
        { "Windows 8.1 with supported systems declared", 6, 3, 9600, true, false },
        { "Windows 11 with supported systems declared", 10, 0, 22631, true, false },
        { "Windows 7 with supported systems declared", 6, 1, 7601, true, true },
    };
    for (const ManifestCase& c : cases) {
        SCOPED_TRACE(c.Name);
        SetUp();
        if (c.Declared) {
            std::string error;
            ASSERT_TRUE(sim::user::LoadResourceScript((declared / "CardRwUninstall.rc").string(), &error)) << error;
        }
        sim::user::SetInstalledWindows(c.Major, c.Minor, c.Build);
        RunProgram();
        EXPECT_EQ(SequenceRan(), c.Runs);
        EXPECT_EQ(sim::user::MessageBoxes().size(), c.Runs ? 0u : 1u);
        if (c.Runs) {
            EXPECT_EQ(g_OsMajorVersion, c.Major > 6 || c.Minor > 2 ? 6u : c.Major);
            EXPECT_EQ(g_OsMinorVersion, c.Major > 6 || c.Minor > 2 ? 2u : c.Minor);
        }
        TearDown();
    }
}

TEST_F(EntryTest, JapaneseVersionWarning)
{
    sim::user::SetUserInterfaceLanguage(1041);
    sim::user::SetReportedVersion(10, 0, 19045);
    RunProgram();
    ASSERT_EQ(sim::user::MessageBoxes().size(), 1u);
    EXPECT_EQ(sim::user::MessageBoxes()[0].Text, u"Windowsのバージョンが違います。");
    EXPECT_EQ(sim::user::MessageBoxes()[0].Caption, u"警告");
    EXPECT_FALSE(SequenceRan());
}

// The dialog is created hidden, gets its prompt and radio button, and ends inside its
// initialisation: it is never shown and never waits for a user.
TEST_F(EntryTest, MainDialogStaysHiddenAndEndsDuringInitialisation)
{
    EXPECT_EQ(RunProgram(), 0);
    ASSERT_EQ(sim::user::DialogRuns().size(), 1u);
    const sim::user::DialogRun& run = sim::user::DialogRuns()[0];
    EXPECT_EQ(run.TemplateId, IDD_MAIN);
    EXPECT_EQ(run.Owner, nullptr);
    EXPECT_TRUE(run.ProcedureInitialised);
    EXPECT_FALSE(run.EverVisible);
    EXPECT_EQ(run.ShowCommands, std::vector<int>{ SW_HIDE }) << "hidden explicitly, never shown";
    EXPECT_FALSE(run.WaitedForUser);
    EXPECT_EQ(run.Result, 0);
    EXPECT_EQ(run.ControlTexts.at(IDC_PROMPT),
              u"If you uninstall the driver, please click on [OK].\n\n If you don't  uninstall the driver, please click on [CANCEL].");
    EXPECT_TRUE(run.Checked.at(IDC_DEVICE_RADIO));
    EXPECT_EQ(g_hInstance, GetModuleHandleW(nullptr));
    EXPECT_TRUE(SequenceRan());
    EXPECT_TRUE(sim::user::MessageBoxes().empty()) << "a successful run shows nothing";
}

// Each of the four directory queries stops the sequence before anything is removed; the code
// is reported as "%s(0x%08x)" in a box without caption.
TEST_F(EntryTest, FailedDirectoryQueryIsReportedAndNothingIsRemoved)
{
    struct QueryCase {
        const char* Function;
        DWORD Error;
        const char16_t* English;
        const char16_t* Japanese;
    };
    const QueryCase cases[] = {
        { "GetWindowsDirectoryW", ERROR_FILE_NOT_FOUND, u"The error occurred.(0x00000002)",
          u"エラーが発生しました。(0x00000002)" },
        { "GetSystemDirectoryW", ERROR_ACCESS_DENIED, u"The error occurred.(0x00000005)",
          u"エラーが発生しました。(0x00000005)" },
        { "GetCurrentDirectoryW", ERROR_NOT_ENOUGH_MEMORY, u"The error occurred.(0x00000008)",
          u"エラーが発生しました。(0x00000008)" },
        { "GetTempPathW", ERROR_INF_IN_USE_BY_DEVICES, u"The error occurred.(0xe000023d)",
          u"エラーが発生しました。(0xe000023d)" },
    };
    for (const QueryCase& c : cases) {
        for (LANGID language : { LANGID(1033), LANGID(1041) }) {
            SCOPED_TRACE(std::string(c.Function) + " " + std::to_string(language));
            SetUp();
            sim::user::SetUserInterfaceLanguage(language);
            sim::user::FailCall(c.Function, c.Error);
            EXPECT_EQ(RunProgram(), 0) << "the exit code is always 0";
            const auto& boxes = sim::user::MessageBoxes();
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].Owner, nullptr);
            EXPECT_EQ(boxes[0].Text, language == 1033 ? c.English : c.Japanese);
            EXPECT_FALSE(boxes[0].HasCaption) << "the system's default caption";
            EXPECT_EQ(boxes[0].Flags, MB_OK);
            EXPECT_FALSE(SequenceRan());
            TearDown();
        }
    }
}

} // namespace
} // namespace uninstaller_test
