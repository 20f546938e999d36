// The uninstaller's parts of the simulated Win32 user mode hold to the documented contracts the
// uninstaller relies on: the resource reader refuses what it does not understand, LoadStringW
// truncates and terminates, dialogs and message boxes behave as the real ones, the spooler
// needs the delete right, and the version query checks its structure size.
#include "uninstaller_fixture.h"

#include <fstream>

namespace uninstaller_test {
namespace {

using StandInTest = UninstallerTest;

std::string WriteScript(const std::string& name, const std::string& text)
{
    std::string path = ::testing::TempDir() + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

TEST_F(StandInTest, ResourceReaderRefusesWhatItCannotRead)
{
    struct ScriptCase {
        const char* Name;
        std::string Text;
        const char* Reason;
    };
    const ScriptCase cases[] = {
        { "unknown symbol", "STRINGTABLE\nBEGIN\n IDS_NOWHERE \"x\"\nEND\n", "IDS_NOWHERE" },
        { "unknown resource type", "1 BITMAP \"x.bmp\"\n", "BITMAP" },
        { "missing header", "#include \"missing.h\"\n", "missing.h" },
        { "repeated string id", "STRINGTABLE\nBEGIN\n 1 \"a\"\n 1 \"b\"\nEND\n", "repeated" },
        { "unterminated string", "STRINGTABLE\nBEGIN\n 1 \"a\nEND\n", "unterminated" },
        { "another code page", "#pragma code_page(932)\n", "code page" },
    };
    for (const ScriptCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string error;
        EXPECT_FALSE(sim::user::LoadResourceScript(WriteScript("bad.rc", c.Text), &error));
        EXPECT_NE(error.find(c.Reason), std::string::npos) << error;
    }
    EXPECT_EQ(sim::user::LoadedResources().Path, CARDRW_UNINSTALLER_RESOURCE_SCRIPT) << "the loaded script stays";
}

TEST_F(StandInTest, ResourceReaderEscapesAndLanguages)
{
    std::string path = WriteScript("ok.rc",
        "#pragma code_page(65001)\n#define IDS_A 7 // comment\n"
        "LANGUAGE LANG_NEUTRAL, SUBLANG_NEUTRAL\nSTRINGTABLE\nBEGIN\n IDS_A, \"say \"\"hi\"\"\\tnow\\\\\"\n"
        " 8 L\"\\x3042\"\nEND\n/* block\ncomment */\n");
    std::string error;
    ASSERT_TRUE(sim::user::LoadResourceScript(path, &error)) << error;
    WCHAR buffer[32];
    EXPECT_EQ(LoadStringW(nullptr, 7, buffer, 32), 13);
    EXPECT_EQ(std::u16string(buffer), u"say \"hi\"\tnow\\");
    sim::user::SetUserInterfaceLanguage(1041);     // no Japanese table: the neutral one serves
    EXPECT_EQ(LoadStringW(nullptr, 8, buffer, 32), 1);
    EXPECT_EQ(buffer[0], u'\x3042');
}

TEST_F(StandInTest, LoadStringTruncatesAndTerminates)
{
    HINSTANCE program = GetModuleHandleW(nullptr);
    WCHAR buffer[8];
    for (auto& c : buffer)
        c = u'#';
    EXPECT_EQ(LoadStringW(program, IDS_WARNING, buffer, 5), 4);
    EXPECT_EQ(std::u16string(buffer), u"Warn");
    EXPECT_EQ(buffer[5], u'#') << "nothing written past the buffer";

    const WCHAR* direct = nullptr;
    EXPECT_EQ(LoadStringW(program, IDS_WARNING, reinterpret_cast<LPWSTR>(&direct), 0), 7);
    EXPECT_EQ(std::u16string(direct, 7), u"Warning");

    EXPECT_EQ(LoadStringW(program, 999, buffer, 8), 0);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(LoadStringW(reinterpret_cast<HINSTANCE>(0x1234), IDS_WARNING, buffer, 8), 0) << "another module";
}

INT_PTR CALLBACK IgnoringProc(HWND, UINT, WPARAM, LPARAM)
{
    return TRUE;
}

HWND g_ended = nullptr;
INT_PTR CALLBACK EndingProc(HWND dialog, UINT message, WPARAM, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        EXPECT_FALSE(IsWindowVisible(dialog)) << "created hidden";
        EXPECT_FALSE(SetDlgItemTextW(dialog, 4711, u"x"));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_CONTROL_ID_NOT_FOUND));
        EXPECT_FALSE(ShowWindow(dialog, SW_SHOW)) << "was hidden";
        EXPECT_TRUE(ShowWindow(dialog, SW_HIDE)) << "was visible";
        g_ended = dialog;
        EndDialog(dialog, lParam);
    }
    return TRUE;
}

TEST_F(StandInTest, DialogsRunTheirInitialisationAndRecordWhatAUserWouldSee)
{
    HINSTANCE program = GetModuleHandleW(nullptr);
    EXPECT_EQ(DialogBoxParamW(program, MAKEINTRESOURCEW(IDD_MAIN), nullptr, EndingProc, 42), 42);
    EXPECT_TRUE(sim::user::DialogRuns()[0].EverVisible);
    EXPECT_FALSE(sim::user::DialogRuns()[0].WaitedForUser);
    EXPECT_FALSE(EndDialog(g_ended, 0)) << "the dialog is gone";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));

    EXPECT_EQ(DialogBoxParamW(program, MAKEINTRESOURCEW(IDD_MAIN), nullptr, IgnoringProc, 0), IDCANCEL);
    EXPECT_TRUE(sim::user::DialogRuns()[1].WaitedForUser);
    EXPECT_TRUE(sim::user::DialogRuns()[1].EverVisible);

    EXPECT_EQ(DialogBoxParamW(program, MAKEINTRESOURCEW(105), nullptr, IgnoringProc, 0), -1);
    EXPECT_EQ(sim::user::DialogRuns().size(), 2u);
}

TEST_F(StandInTest, MessageBoxAnswers)
{
    sim::user::SetMessageBoxAnswer([](const sim::user::MessageBoxRecord&) { return IDCANCEL; });
    EXPECT_EQ(MessageBoxW(nullptr, u"t", nullptr, MB_OK), IDOK) << "an OK box can only say OK";
    EXPECT_EQ(MessageBoxW(nullptr, u"t", u"c", MB_OKCANCEL | MB_ICONWARNING), IDCANCEL);
    EXPECT_EQ(MessageBoxW(reinterpret_cast<HWND>(0x10), u"t", u"c", MB_OK), 0) << "no such owner";
    ASSERT_EQ(sim::user::MessageBoxes().size(), 2u);
    EXPECT_FALSE(sim::user::MessageBoxes()[0].HasCaption);
    EXPECT_EQ(sim::user::MessageBoxes()[1].Flags, MB_OKCANCEL | MB_ICONWARNING);
}

TEST_F(StandInTest, SpoolerNeedsTheDeleteRight)
{
    sim::user::AddPrinterQueue(u"Card Printer");
    WCHAR name[] = u"CARD PRINTER";
    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(name, &printer, nullptr)) << "names compare without case";
    EXPECT_FALSE(DeletePrinter(printer));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(ClosePrinter(printer));
    EXPECT_FALSE(ClosePrinter(printer));

    PRINTER_DEFAULTSW all = { nullptr, nullptr, PRINTER_ALL_ACCESS };
    sim::user::FailPrinterDelete(u"Card Printer", ERROR_ACCESS_DENIED);
    ASSERT_TRUE(OpenPrinterW(name, &printer, &all));
    EXPECT_FALSE(DeletePrinter(printer));
    EXPECT_TRUE(ClosePrinter(printer));
    sim::user::ResetSpooler();

    sim::user::AddPrinterQueue(u"Card Printer");
    ASSERT_TRUE(OpenPrinterW(name, &printer, &all));
    EXPECT_TRUE(DeletePrinter(printer));
    EXPECT_TRUE(ClosePrinter(printer));
    EXPECT_TRUE(sim::user::PrinterQueues().empty());
    WCHAR missing[] = u"Missing";
    EXPECT_FALSE(OpenPrinterW(missing, &printer, &all));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PRINTER_NAME));
}

TEST_F(StandInTest, VersionQueryChecksTheStructureSize)
{
    sim::user::SetReportedVersion(5, 2, 3790);
    OSVERSIONINFOEXW extended = {};
    extended.dwOSVersionInfoSize = sizeof(extended);
    ASSERT_TRUE(GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&extended)));
    EXPECT_EQ(extended.dwMajorVersion, 5u);
    EXPECT_EQ(extended.dwMinorVersion, 2u);
    EXPECT_EQ(extended.dwBuildNumber, 3790u);
    EXPECT_EQ(extended.wProductType, 1);

    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = 200;
    EXPECT_FALSE(GetVersionExW(&info));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
}

} // namespace
} // namespace uninstaller_test
