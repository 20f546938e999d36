// File cleanup: forced deletion of single files and removal of the printer's driver directories.
#include "uninstaller_fixture.h"

namespace uninstaller_test {
namespace {

using FileCleanupTest = UninstallerTest;

TEST_F(FileCleanupTest, ForceDeleteFile)
{
    struct DeleteCase {
        const char* Name;
        DWORD Attributes;
        bool InUse;
        bool Gone;
    };
    const DeleteCase cases[] = {
        { "plain file", 0, false, true },
        { "read-only file", FILE_ATTRIBUTE_READONLY, false, true },
        { "read-only, hidden and system", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
          false, true },
        { "held open by another process", 0, true, false },
    };
    const std::u16string path = kDriversDir + u"\\CardRwCom.sys";
    for (const DeleteCase& c : cases) {
        SCOPED_TRACE(c.Name);
        SetUp();
        sim::user::AddFile(path, "driver", c.Attributes);
        sim::user::SetFileInUse(path, c.InUse);
        ForceDeleteFile(path.c_str());
        EXPECT_EQ(!sim::user::FileExists(path), c.Gone);
        TearDown();
    }
    ForceDeleteFile(u"C:\\Windows\\system32\\drivers\\Missing.sys");        // nothing to do, no failure
    ForceDeleteFile(u"c:\\windows\\SYSTEM32\\DRIVERS\\cardrwcom.SYS");
}

TEST_F(FileCleanupTest, FileNamesMatchWithoutCase)
{
    sim::user::AddFile(kPrinterDriverDir + u"\\v7wb_61k.gpd", "gpd", FILE_ATTRIBUTE_READONLY);
    ForceDeleteFile((kPrinterDriverDir + u"\\V7WB_61k.GPD").c_str());
    EXPECT_FALSE(sim::user::FileExists(kPrinterDriverDir + u"\\v7wb_61k.gpd"));
}

struct TreeCase {
    const char* Name;
    std::u16string Start;                       // relative to C:\Windows\system32\spool\drivers\x64
    std::vector<std::pair<std::u16string, DWORD>> Files;
    std::vector<std::u16string> Directories;    // besides those holding the files
    std::vector<std::u16string> Remaining;      // every file and directory left (Windows has "3")
    const char16_t* ReadOnlyDirectory = nullptr;
    const char16_t* Pattern = u"tervalinx_rewritable7e19";
};

const TreeCase kTrees[] = {
    { "matching directories at any depth go, with everything below them", u"",
      { { u"3\\V7WB_61K.dll", 0 },
        { u"3\\tervalinx_rewritable7e19\\a.gpd", 0 },
        { u"tervalinx_rewritable7e19.1\\b.dll", FILE_ATTRIBUTE_HIDDEN },
        { u"PCC\\deep\\x_tervalinx_rewritable7e19_y\\sub\\c.bud", 0 } },
      { u"PCC\\deep\\x_tervalinx_rewritable7e19_y\\empty" },
      { u"3", u"3\\V7WB_61K.dll", u"PCC", u"PCC\\deep" } },
    { "the pattern in other letter case is not touched", u"",
      { { u"Tervalinx_Rewritable7E19\\a.gpd", 0 }, { u"Tervalinx_Rewritable7E19\\sub\\b.dll", 0 } },
      {},
      { u"3", u"Tervalinx_Rewritable7E19", u"Tervalinx_Rewritable7E19\\a.gpd", u"Tervalinx_Rewritable7E19\\sub",
        u"Tervalinx_Rewritable7E19\\sub\\b.dll" } },
    { "file names never count, only directory paths", u"",
      { { u"tervalinx_rewritable7e19.dll", 0 }, { u"3\\tervalinx_rewritable7e19.gpd", 0 } },
      {},
      { u"3", u"3\\tervalinx_rewritable7e19.gpd", u"tervalinx_rewritable7e19.dll" } },
    { "a read-only file keeps its directory and the matching ones above it", u"",
      { { u"tervalinx_rewritable7e19\\a.gpd", 0 },
        { u"tervalinx_rewritable7e19\\sub\\locked.dll", FILE_ATTRIBUTE_READONLY },
        { u"tervalinx_rewritable7e19\\other\\c.bud", 0 } },
      {},
      { u"3", u"tervalinx_rewritable7e19", u"tervalinx_rewritable7e19\\sub",
        u"tervalinx_rewritable7e19\\sub\\locked.dll" } },
    { "a read-only matching directory is removed once empty", u"",
      { { u"tervalinx_rewritable7e19\\a.gpd", 0 } },
      {},
      { u"3" },
      u"tervalinx_rewritable7e19" },
    // A doubled backslash after the start would keep this pattern, which spans a separator,
    // from ever matching.
    { "a start given with a trailing backslash gets no second one", u"\\",
      { { u"3\\tervalinx_rewritable7e19\\a.gpd", 0 }, { u"4\\tervalinx_rewritable7e19\\b.gpd", 0 } },
      {},
      { u"3", u"4", u"4\\tervalinx_rewritable7e19", u"4\\tervalinx_rewritable7e19\\b.gpd" },
      nullptr, u"x64\\3\\tervalinx_rewritable7e19" },
    { "a start inside a matching directory removes the start itself", u"\\tervalinx_rewritable7e19\\",
      { { u"tervalinx_rewritable7e19\\a.gpd", 0 }, { u"3\\keep.dll", 0 } },
      {},
      { u"3", u"3\\keep.dll" } },
    { "a missing start does nothing", u"\\missing", { { u"3\\keep.dll", 0 } }, {}, { u"3", u"3\\keep.dll" } },
};

// Every file and directory below dir, as paths relative to it, sorted.
void Collect(const std::u16string& dir, const std::u16string& prefix, std::vector<std::u16string>* out)
{
    for (const auto& name : sim::user::ListDirectory(dir)) {
        out->push_back(prefix + name);
        if (sim::user::DirectoryExists(dir + u"\\" + name))
            Collect(dir + u"\\" + name, prefix + name + u"\\", out);
    }
}

TEST_F(FileCleanupTest, RemoveMatchingDirectories)
{
    for (const TreeCase& c : kTrees) {
        SCOPED_TRACE(c.Name);
        SetUp();
        sim::user::AddDirectory(kPrinterEnvDir);
        for (const auto& file : c.Files)
            sim::user::AddFile(kPrinterEnvDir + u"\\" + file.first, "data", file.second);
        for (const auto& dir : c.Directories)
            sim::user::AddDirectory(kPrinterEnvDir + u"\\" + dir);
        if (c.ReadOnlyDirectory != nullptr) {
            ASSERT_TRUE(SetFileAttributesW((kPrinterEnvDir + u"\\" + c.ReadOnlyDirectory).c_str(),
                                           FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
        }

        RemoveMatchingDirectories((kPrinterEnvDir + c.Start).c_str(), c.Pattern);

        std::vector<std::u16string> remaining;
        Collect(kPrinterEnvDir, u"", &remaining);
        std::sort(remaining.begin(), remaining.end());
        std::vector<std::u16string> expected = c.Remaining;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(remaining, expected);
        TearDown();
    }
}

} // namespace
} // namespace uninstaller_test
