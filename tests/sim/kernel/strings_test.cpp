// Counted UTF-16 strings of the run-time library, with the buffer limits drivers depend on.
#include "test_stack.h"

namespace {

TEST(StringsTest, InitCountsBytesWithoutTerminator) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, u"COM3");
    EXPECT_EQ(s.Length, 8);
    EXPECT_EQ(s.MaximumLength, 10);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.Buffer, nullptr);
}

// Appending into a fixed buffer of 'capacity' characters.
struct AppendCase {
    const char *name;
    USHORT capacityBytes;
    const char16_t *start;
    const char16_t *append;
    NTSTATUS status;
    std::u16string result;
};

class AppendTest : public ::testing::TestWithParam<AppendCase> {};

TEST_P(AppendTest, AppendsOnlyWhatFits) {
    const AppendCase &c = GetParam();
    WCHAR buffer[16];
    for (WCHAR &w : buffer) w = u'#';
    UNICODE_STRING s;
    RtlInitEmptyUnicodeString(&s, buffer, c.capacityBytes);
    UNICODE_STRING start;
    RtlInitUnicodeString(&start, c.start);
    RtlCopyUnicodeString(&s, &start);
    USHORT copied = s.Length;
    UNICODE_STRING append;
    RtlInitUnicodeString(&append, c.append);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &append), c.status);
    EXPECT_EQ(std::u16string(s.Buffer, s.Length / 2), c.result);
    EXPECT_EQ(buffer[c.capacityBytes / 2], u'#');  // nothing written past the buffer
    s.Length = copied;
    EXPECT_EQ(RtlAppendUnicodeToString(&s, c.append), c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AppendTest,
    ::testing::Values(AppendCase{"FitsWithTerminator", 20, u"\\Dev", u"ice", STATUS_SUCCESS, u"\\Device"},
                      AppendCase{"FitsExactlyWithoutTerminator", 14, u"\\Dev", u"ice", STATUS_SUCCESS, u"\\Device"},
                      AppendCase{"OneCharacterTooMany", 12, u"\\Dev", u"ice", STATUS_BUFFER_TOO_SMALL, u"\\Dev"},
                      AppendCase{"CopyTruncatesToCapacity", 6, u"\\Device", u"", STATUS_SUCCESS, u"\\De"}),
    [](const ::testing::TestParamInfo<AppendCase> &info) { return std::string(info.param.name); });

struct IntegerCase {
    ULONG value;
    ULONG base;
    USHORT capacityBytes;
    NTSTATUS status;
    std::u16string text;
};

class IntegerTest : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(IntegerTest, FormatsWithinTheBuffer) {
    const IntegerCase &c = GetParam();
    WCHAR buffer[16];
    UNICODE_STRING s;
    RtlInitEmptyUnicodeString(&s, buffer, c.capacityBytes);
    EXPECT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &s), c.status);
    if (NT_SUCCESS(c.status)) {
        EXPECT_EQ(std::u16string(s.Buffer, s.Length / 2), c.text);
        ULONG back = 0;
        EXPECT_EQ(RtlUnicodeStringToInteger(&s, c.base, &back), STATUS_SUCCESS);
        EXPECT_EQ(back, c.value);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, IntegerTest,
                         ::testing::Values(IntegerCase{0, 10, 4, STATUS_SUCCESS, u"0"},
                                           IntegerCase{4294967295u, 10, 20, STATUS_SUCCESS, u"4294967295"},
                                           IntegerCase{255, 16, 4, STATUS_SUCCESS, u"FF"},
                                           IntegerCase{12345, 10, 8, STATUS_BUFFER_OVERFLOW, u""},
                                           IntegerCase{5, 7, 8, STATUS_INVALID_PARAMETER, u""}));

TEST(StringsTest, ComparisonIsOrderedAndOptionallyCaseInsensitive) {
    UNICODE_STRING a, b, c;
    RtlInitUnicodeString(&a, u"PortName");
    RtlInitUnicodeString(&b, u"PORTNAME");
    RtlInitUnicodeString(&c, u"PortNames");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_LT(RtlCompareUnicodeString(&a, &c, FALSE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    ULONG value = 0;
    UNICODE_STRING hex;
    RtlInitUnicodeString(&hex, u"  0x1f");
    EXPECT_EQ(RtlUnicodeStringToInteger(&hex, 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 31u);
}

}  // namespace
