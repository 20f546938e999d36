// The simulated INF services: the reader's syntax (sections, keys, fields, quotes, comments,
// continuation, %strings%), how files are found by bare name, and the INF style check.
#include "sim/user/include/sim_user.h"

#include <gtest/gtest.h>

namespace {

class InfTest : public ::testing::Test {
protected:
    void SetUp() override { sim::user::Reset(); }
    void TearDown() override { EXPECT_EQ(sim::user::Open().infFiles, 0); }

    static std::string Utf16Le(const std::u16string &text) {
        std::string bytes = "\xFF\xFE";
        for (char16_t c : text) {
            bytes.push_back(char(c & 0xFF));
            bytes.push_back(char(c >> 8));
        }
        return bytes;
    }

    // Field `field` of the first line of `section` (or of the line with `key`).
    static std::u16string Field(HINF inf, const char16_t *section, DWORD field, const char16_t *key = nullptr) {
        INFCONTEXT context;
        if (!SetupFindFirstLineW(inf, section, key, &context)) return u"<no line>";
        WCHAR buffer[256];
        if (!SetupGetStringFieldW(&context, field, buffer, 256, nullptr)) return u"<no field>";
        return buffer;
    }
};

const char *kSample =
    "; a comment before any section\r\n"
    "[Version]\r\n"
    "Signature = \"$Windows NT$\"   ; trailing comment\r\n"
    "Class=Ports\r\n"
    "\r\n"
    "[Manufacturer]\r\n"
    "%Mfg% = Tervalinx, NTamd64\r\n"
    "[Tervalinx.NTamd64]\r\n"
    "%Printer% = Install,  USBPRINT\\Tervalinx_Rewritable7E19 , Tervalinx_Rewritable7E19\r\n"
    "[Quoted]\r\n"
    "Text = \"a, b; c\", \"say \"\"hi\"\"\" , 50%% off, %Missing%\r\n"
    "Joined = first, \\\r\n"
    "         second\r\n"
    "bare line, two\r\n"
    "[Empty]\r\n"
    "; nothing here\r\n"
    "[strings]\r\n"
    "Mfg = \"Tervalinx Co.\"\r\n"
    "Printer=\"Rewritable Card Printer (61k)\"\r\n";

TEST_F(InfTest, ReaderSyntax) {
    sim::user::AddFile(u"C:\\Windows\\inf\\oem5.inf", kSample);
    HINF inf = SetupOpenInfFileW(u"oem5.inf", nullptr, INF_STYLE_WIN4, nullptr);
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    struct Case {
        const char16_t *section;
        DWORD field;
        const char16_t *key;
        const char16_t *expected;
    } cases[] = {
        {u"version", 1, u"CLASS", u"Ports"},
        {u"Version", 1, u"Signature", u"$Windows NT$"},
        {u"Manufacturer", 0, nullptr, u"Tervalinx Co."},
        {u"Manufacturer", 2, nullptr, u"NTamd64"},
        {u"Tervalinx.NTamd64", 0, nullptr, u"Rewritable Card Printer (61k)"},
        {u"Tervalinx.NTamd64", 2, nullptr, u"USBPRINT\\Tervalinx_Rewritable7E19"},
        {u"Tervalinx.NTamd64", 3, nullptr, u"Tervalinx_Rewritable7E19"},
        {u"Tervalinx.NTamd64", 4, nullptr, u"<no field>"},
        {u"Quoted", 1, u"Text", u"a, b; c"},
        {u"Quoted", 2, u"Text", u"say \"hi\""},
        {u"Quoted", 3, u"Text", u"50% off"},
        {u"Quoted", 4, u"Text", u"%Missing%"},
        {u"Quoted", 2, u"Joined", u"second"},
        {u"Empty", 1, nullptr, u"<no line>"},
        {u"NoSuchSection", 1, nullptr, u"<no line>"},
    };
    for (auto &c : cases) EXPECT_EQ(Field(inf, c.section, c.field, c.key), c.expected) << sim::user::Utf8(c.section);

    INFCONTEXT context, next;
    ASSERT_TRUE(SetupFindFirstLineW(inf, u"Quoted", nullptr, &context));
    ASSERT_TRUE(SetupFindNextLine(&context, &next));
    ASSERT_TRUE(SetupFindNextLine(&next, &next));
    EXPECT_EQ(SetupGetFieldCount(&next), 2u);  // "bare line, two"
    WCHAR small[4];
    DWORD required = 0;
    EXPECT_FALSE(SetupGetStringFieldW(&next, 1, small, 4, &required));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 10u);
    EXPECT_FALSE(SetupFindNextLine(&next, &next));
    SetupCloseInfFile(inf);
}

TEST_F(InfTest, MissingSectionAndLineErrors) {
    sim::user::AddFile(u"C:\\Windows\\inf\\oem5.inf", kSample);
    HINF inf = SetupOpenInfFileW(u"oem5.inf", nullptr, INF_STYLE_WIN4, nullptr);
    INFCONTEXT context;
    EXPECT_FALSE(SetupFindFirstLineW(inf, u"Nowhere", nullptr, &context));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SECTION_NOT_FOUND));
    EXPECT_FALSE(SetupFindFirstLineW(inf, u"Empty", nullptr, &context));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_LINE_NOT_FOUND));
    SetupCloseInfFile(inf);
}

TEST_F(InfTest, UnicodeFileAndBareNameSearch) {
    std::u16string text = u"[Version]\r\nSignature=\"$Chicago$\"\r\n[Models]\r\nx=y,\u30AB\u30FC\u30C9\r\n";
    sim::user::AddFile(u"C:\\Windows\\inf\\oem9.inf", Utf16Le(text));
    sim::user::AddFile(u"C:\\Windows\\system32\\sys.inf", "[Version]\nSignature=$Windows NT$\n[A]\nk=v\n");
    sim::user::AddFile(u"C:\\Installer\\local.inf", "[Version]\nSignature=$Windows NT$\n[A]\nk=local\n");
    struct Case {
        const char16_t *name;
        const char16_t *section;
        DWORD field;
        const char16_t *expected;  // nullptr: does not open
        DWORD error;
    } cases[] = {
        {u"OEM9.INF", u"Models", 2, u"\u30AB\u30FC\u30C9", 0},
        {u"sys.inf", u"A", 1, u"v", 0},
        {u"local.inf", nullptr, 0, nullptr, ERROR_FILE_NOT_FOUND},  // a bare name is not looked for here
        {u".\\local.inf", u"A", 1, u"local", 0},
        {u"C:\\Installer\\local.inf", u"A", 1, u"local", 0},
        {u"oem404.inf", nullptr, 0, nullptr, ERROR_FILE_NOT_FOUND},
    };
    for (auto &c : cases) {
        HINF inf = SetupOpenInfFileW(c.name, nullptr, INF_STYLE_WIN4, nullptr);
        if (!c.expected) {
            EXPECT_EQ(inf, INVALID_HANDLE_VALUE) << sim::user::Utf8(c.name);
            EXPECT_EQ(GetLastError(), c.error);
            continue;
        }
        ASSERT_NE(inf, INVALID_HANDLE_VALUE) << sim::user::Utf8(c.name);
        EXPECT_EQ(Field(inf, c.section, c.field), c.expected);
        SetupCloseInfFile(inf);
    }
}

TEST_F(InfTest, StyleAndSyntaxErrors) {
    sim::user::AddFile(u"C:\\Windows\\inf\\old.inf", "[Version]\nSignature=$Windows 3.1$\n");
    sim::user::AddFile(u"C:\\Windows\\inf\\bad.inf", "[Version]\nSignature=$Windows NT$\n[Broken\nx=y\n");
    EXPECT_EQ(SetupOpenInfFileW(u"old.inf", nullptr, INF_STYLE_WIN4, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_WRONG_INF_STYLE));
    UINT line = 0;
    EXPECT_EQ(SetupOpenInfFileW(u"bad.inf", nullptr, INF_STYLE_WIN4, &line), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_SECTION_NAME_LINE));
    EXPECT_EQ(line, 3u);
}

}  // namespace
