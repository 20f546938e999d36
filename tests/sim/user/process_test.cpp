// The simulated process services: message formatting without and with a message table,
// standard streams, string formatting and comparison, token privileges and shutdown requests.
#include "sim/user/include/sim_user.h"

#include <gtest/gtest.h>

namespace {

class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override { sim::user::Reset(); }
    void TearDown() override {
        auto open = sim::user::Open();
        EXPECT_EQ(open.allocations, 0);
        EXPECT_EQ(open.tokens, 0);
    }

    static DWORD Format(DWORD id, std::u16string *text, ...) {
        va_list args;
        va_start(args, text);
        LPWSTR buffer = nullptr;
        DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, id, 0,
                                 reinterpret_cast<LPWSTR>(&buffer), 0, &args);
        va_end(args);
        if (buffer) {
            *text = buffer;
            LocalFree(buffer);
        }
        return n;
    }
};

TEST_F(ProcessTest, ProgramWithoutMessageTableFormatsNothing) {
    std::u16string text;
    EXPECT_EQ(Format(61204, &text, DWORD_PTR(3)), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));
    EXPECT_TRUE(text.empty());
}

TEST_F(ProcessTest, MessageTableInsertsAndEscapes) {
    sim::user::SetMessageTable({{1, u"%1 removed %2!u! of %3!d!%n"}, {2, u"100%% sure%0tail"}, {3, u"a%tb%rc"}});
    std::u16string text;
    EXPECT_EQ(Format(1, &text, u"remove", DWORD_PTR(2), DWORD_PTR(-1)), 24u);
    EXPECT_EQ(text, u"remove removed 2 of -1\r\n");
    Format(2, &text);
    EXPECT_EQ(text, u"100% sure");
    Format(3, &text);
    EXPECT_EQ(text, u"a\tb\rc");
    EXPECT_EQ(Format(4, &text), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MR_MID_NOT_FOUND));
}

TEST_F(ProcessTest, StandardStreamsAreCapturedOnlyWhenConnected) {
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "out", 3, &written, nullptr));
    EXPECT_TRUE(WriteFile(GetStdHandle(STD_ERROR_HANDLE), "err", 3, &written, nullptr));
    EXPECT_EQ(sim::user::StdOut(), "out");
    EXPECT_EQ(sim::user::StdErr(), "err");
    sim::user::SetStdStreamsConnected(false);
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), nullptr);
    EXPECT_FALSE(WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "lost", 4, &written, nullptr));
    EXPECT_EQ(written, 0u);
}

TEST_F(ProcessTest, WsprintfFormats) {
    struct Case {
        const char16_t *format;
        const char16_t *expected;
    } cases[] = {
        {u"%-6s|", u"ab    |"}, {u"%6s|", u"    ab|"}, {u"%-1s|", u"ab|"}, {u"%.1s", u"a"},
        {u"%d/%u", u"-5/7"},     {u"%04x", u"00ff"},   {u"%%", u"%"},      {u"%c", u"Z"},
    };
    for (auto &c : cases) {
        WCHAR out[64];
        std::u16string f = c.format;
        if (f.find(u'd') != std::u16string::npos) wsprintfW(out, c.format, -5, 7u);
        else if (f.find(u'x') != std::u16string::npos) wsprintfW(out, c.format, 255u);
        else if (f.find(u'c') != std::u16string::npos) wsprintfW(out, c.format, int(u'Z'));
        else wsprintfW(out, c.format, u"ab");
        EXPECT_EQ(std::u16string(out), c.expected) << sim::user::Utf8(c.format);
    }
    WCHAR small[5];
    EXPECT_EQ(wnsprintfW(small, 5, u"%s", u"abcdefgh"), -1);
    EXPECT_EQ(std::u16string(small), u"abcd");
}

TEST_F(ProcessTest, CaseInsensitiveComparison) {
    EXPECT_EQ(lstrcmpiW(u"Tervalinx_Rewritable7E19", u"TERVALINX_REWRITABLE7e19"), 0);
    EXPECT_LT(lstrcmpiW(u"oem1", u"OEM2"), 0);
    EXPECT_NE(lstrcmpW(u"Device Parameters", u"device parameters"), 0);
    EXPECT_EQ(lstrlenW(nullptr), 0);
}

TEST_F(ProcessTest, ShutdownNeedsTheEnabledPrivilege) {
    const DWORD reason = 0x80010002;
    EXPECT_FALSE(InitiateSystemShutdownExW(nullptr, nullptr, 0, FALSE, TRUE, reason));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PRIVILEGE_NOT_HELD));
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES tp{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &tp.Privileges[0].Luid));
    EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));  // no adjust right
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    CloseHandle(token);
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    EXPECT_TRUE(InitiateSystemShutdownExW(nullptr, nullptr, 0, FALSE, TRUE, reason));
    EXPECT_FALSE(InitiateSystemShutdownExW(nullptr, nullptr, 0, FALSE, TRUE, reason));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHUTDOWN_IN_PROGRESS));
    sim::user::SetPrivilegeHeld(u"SeBackupPrivilege", false);
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, u"SeBackupPrivilege", &tp.Privileges[0].Luid));
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ALL_ASSIGNED));
    CloseHandle(token);
    EXPECT_EQ(sim::user::ShutdownRequests().size(), 1u);
}

}  // namespace
