// The simulated file system and path helpers: search order with "." and "..", searches that
// see deletions, read-only files and directories, full path names and path joining.
#include "sim/user/include/sim_user.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class FileSystemTest : public ::testing::Test {
protected:
    void SetUp() override { sim::user::Reset(); }
    void TearDown() override { EXPECT_EQ(sim::user::Open().findHandles, 0); }

    static std::vector<std::u16string> Search(const char16_t *pattern, DWORD *firstError = nullptr) {
        std::vector<std::u16string> names;
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW(pattern, &data);
        if (find == INVALID_HANDLE_VALUE) {
            if (firstError) *firstError = GetLastError();
            return names;
        }
        do names.push_back(data.cFileName);
        while (FindNextFileW(find, &data));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_FILES));
        FindClose(find);
        return names;
    }
};

TEST_F(FileSystemTest, SearchOrderAndWildcards) {
    for (const char16_t *name : {u"oem10.inf", u"OEM2.INF", u"oem1.inf", u"usb.inf", u"oem3.pnf", u"oemx"})
        sim::user::AddFile(std::u16string(u"C:\\Windows\\inf\\") + name, "x");
    using Names = std::vector<std::u16string>;
    EXPECT_EQ(Search(u"C:\\Windows\\inf\\oem*.inf"), (Names{u"oem1.inf", u"oem10.inf", u"OEM2.INF"}));
    EXPECT_EQ(Search(u"c:\\windows\\INF\\*.*"),
              (Names{u".", u"..", u"oem1.inf", u"oem10.inf", u"OEM2.INF", u"oem3.pnf", u"oemx", u"usb.inf"}));
    EXPECT_EQ(Search(u"C:\\Windows\\inf\\oem?.inf"), (Names{u"oem1.inf", u"OEM2.INF"}));
    DWORD error = 0;
    EXPECT_TRUE(Search(u"C:\\Windows\\inf\\none*.inf", &error).empty());
    EXPECT_EQ(error, DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(Search(u"C:\\Windows\\nowhere\\*.inf", &error).empty());
    EXPECT_EQ(error, DWORD(ERROR_PATH_NOT_FOUND));
}

TEST_F(FileSystemTest, SearchSeesFilesDeletedWhileItRuns) {
    for (const char16_t *name : {u"a", u"b", u"c", u"d"}) sim::user::AddFile(std::u16string(u"C:\\T\\") + name, "x");
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(u"C:\\T\\*", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    std::vector<std::u16string> seen;
    do {
        std::u16string name = data.cFileName;
        seen.push_back(name);
        if (name == u"a") {
            EXPECT_TRUE(DeleteFileW(u"C:\\T\\c"));
        }
        if (name != u"." && name != u"..") DeleteFileW((u"C:\\T\\" + name).c_str());
    } while (FindNextFileW(find, &data));
    FindClose(find);
    EXPECT_EQ(seen, (std::vector<std::u16string>{u".", u"..", u"a", u"b", u"d"}));
    EXPECT_TRUE(RemoveDirectoryW(u"C:\\T"));
}

TEST_F(FileSystemTest, ReadOnlyFilesAndDirectories) {
    sim::user::AddFile(u"C:\\Windows\\system32\\drivers\\CardRwCom.sys", "MZ", FILE_ATTRIBUTE_READONLY);
    const char16_t *path = u"C:\\WINDOWS\\System32\\Drivers\\cardrwcom.SYS";
    EXPECT_EQ(GetFileAttributesW(path), DWORD(FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(DeleteFileW(path));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(SetFileAttributesW(path, GetFileAttributesW(path) & ~DWORD(FILE_ATTRIBUTE_READONLY)));
    EXPECT_EQ(GetFileAttributesW(path), DWORD(FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(DeleteFileW(path));
    EXPECT_FALSE(DeleteFileW(path));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW(u"C:\\nowhere\\x"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));

    sim::user::AddFile(u"C:\\D\\inner\\f", "x");
    EXPECT_FALSE(RemoveDirectoryW(u"C:\\D"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DIR_NOT_EMPTY));
    EXPECT_FALSE(DeleteFileW(u"C:\\D\\inner"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DeleteFileW(u"C:\\D\\inner\\f"));
    EXPECT_TRUE(SetFileAttributesW(u"C:\\D\\inner", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesW(u"C:\\D\\inner"), DWORD(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FALSE(RemoveDirectoryW(u"C:\\D\\inner"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    sim::user::AddFile(u"C:\\E\\busy.dll", "x");
    sim::user::SetFileInUse(u"C:\\E\\busy.dll", true);
    EXPECT_FALSE(DeleteFileW(u"C:\\E\\busy.dll"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
}

TEST_F(FileSystemTest, FullPathNames) {
    struct Case {
        const char16_t *input;
        const char16_t *full;
        const char16_t *filePart;  // nullptr: none
    } cases[] = {
        {u"C:\\Windows\\inf\\oem3.inf", u"C:\\Windows\\inf\\oem3.inf", u"oem3.inf"},
        {u"oem3.inf", u"C:\\Installer\\oem3.inf", u"oem3.inf"},
        {u"..\\x\\.\\oem3.inf", u"C:\\x\\oem3.inf", u"oem3.inf"},
        {u"C:\\Windows\\inf\\", u"C:\\Windows\\inf\\", nullptr},
        {u"D:\\Drivers\\OEM3.INF", u"D:\\Drivers\\OEM3.INF", u"OEM3.INF"},
        {u"\\Temp\\a.inf", u"C:\\Temp\\a.inf", u"a.inf"},
        {u"C:/Windows/inf/a.inf", u"C:\\Windows\\inf\\a.inf", u"a.inf"},
    };
    for (auto &c : cases) {
        WCHAR buffer[MAX_PATH];
        LPWSTR part = nullptr;
        DWORD length = GetFullPathNameW(c.input, MAX_PATH, buffer, &part);
        EXPECT_EQ(std::u16string(buffer), c.full) << sim::user::Utf8(c.input);
        EXPECT_EQ(length, std::u16string(c.full).size());
        if (c.filePart) {
            ASSERT_NE(part, nullptr);
            EXPECT_EQ(std::u16string(part), c.filePart);
        } else {
            EXPECT_EQ(part, nullptr);
        }
    }
    WCHAR small[8];
    EXPECT_EQ(GetFullPathNameW(u"C:\\Windows\\inf\\oem3.inf", 8, small, nullptr), 24u);  // the size it needs
}

TEST_F(FileSystemTest, PathCombineJoinsWithOneBackslash) {
    struct Case {
        const char16_t *dir, *file, *joined;
    } cases[] = {
        {u"C:\\Windows", u"system32\\drivers", u"C:\\Windows\\system32\\drivers"},
        {u"C:\\Windows\\", u"inf", u"C:\\Windows\\inf"},
        {u"C:\\Windows\\inf", u"oem*.inf", u"C:\\Windows\\inf\\oem*.inf"},
        {u"C:\\Windows", u"..\\Temp", u"C:\\Temp"},
        {u"C:\\Windows", u"D:\\x", u"D:\\x"},
        {u"C:\\Windows", u"\\x", u"C:\\x"},
        {u"C:\\Windows", nullptr, u"C:\\Windows"},
    };
    for (auto &c : cases) {
        WCHAR out[MAX_PATH];
        ASSERT_NE(PathCombineW(out, c.dir, c.file), nullptr);
        EXPECT_EQ(std::u16string(out), c.joined);
    }
    WCHAR out[MAX_PATH];
    std::u16string tooLong(MAX_PATH, u'a');
    EXPECT_EQ(PathCombineW(out, u"C:\\", tooLong.c_str()), nullptr);
    EXPECT_EQ(out[0], 0);
}

TEST_F(FileSystemTest, SystemDirectoriesReportTheSizeTheyNeed) {
    WCHAR buffer[520];
    EXPECT_EQ(GetWindowsDirectoryW(buffer, 520), 10u);
    EXPECT_EQ(std::u16string(buffer), u"C:\\Windows");
    EXPECT_EQ(GetWindowsDirectoryW(buffer, 10), 11u);
    EXPECT_EQ(GetSystemDirectoryW(buffer, 520), 19u);
    EXPECT_EQ(GetCurrentDirectoryW(520, buffer), 12u);
    EXPECT_EQ(std::u16string(buffer), u"C:\\Installer");
    EXPECT_EQ(GetTempPathW(520, buffer), 16u);
    EXPECT_EQ(std::u16string(buffer), u"C:\\Windows\\Temp\\");
    sim::user::FailCall("GetTempPathW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetTempPathW(520, buffer), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

}  // namespace
