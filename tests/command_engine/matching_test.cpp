// The ID matcher and the multi-string ID lists: patterns as the device commands parse them,
// wildcards, literal and instance-ID prefixes, ASCII-only case folding, and lists longer than
// the first read offers.
#include "engine_fixture.h"

#include <cstring>

namespace engine_test {
namespace {

// ======================================================================================
// ParseIdPattern
// ======================================================================================

struct ParseCase {
    const char16_t *argument;
    const char16_t *text;
    int wildcardOffset;  // -1: none
    bool instanceId;
};

TEST(ParseIdPatternTest, PrefixesAndFirstWildcard) {
    const ParseCase cases[] = {
        {u"USB\\Vid_3f7b&Pid_0a51&*", u"USB\\Vid_3f7b&Pid_0a51&*", 22, false},
        {u"A*B*C", u"A*B*C", 1, false},
        {u"'A*B", u"A*B", -1, false},
        {u"@USB\\VID_3F7B*", u"USB\\VID_3F7B*", 12, true},
        {u"@'ROOT\\*\\0000", u"ROOT\\*\\0000", -1, true},
        {u"'@A", u"@A", -1, false},
        {u"PLAIN", u"PLAIN", -1, false},
        {u"@", u"", -1, true},
    };
    for (const auto &c : cases) {
        IdPattern p = ParseIdPattern(c.argument);
        SCOPED_TRACE(sim::user::Utf8(c.argument));
        EXPECT_EQ(std::u16string(p.Text), c.text);
        EXPECT_EQ(p.WildcardAt == nullptr ? -1 : int(p.WildcardAt - p.Text), c.wildcardOffset);
        EXPECT_EQ(p.IsInstanceId != FALSE, c.instanceId);
    }
}

// ======================================================================================
// MatchIdPattern
// ======================================================================================

struct MatchCase {
    const char16_t *pattern;
    const char16_t *id;
    bool matches;
};

TEST(MatchIdPatternTest, Table) {
    const MatchCase cases[] = {
        // The uninstaller's removal pattern against the three IDs of the device.
        {u"USB\\Vid_3f7b&Pid_0a51&*", u"USB\\VID_3F7B&PID_0A51&REV_0100", true},
        {u"USB\\Vid_3f7b&Pid_0a51&*", u"USB\\VID_3F7B&PID_0A51&MI_00", true},
        {u"USB\\Vid_3f7b&Pid_0a51&*", u"USB\\VID_3F7B&PID_0A51", false},
        {u"USB\\Vid_3f7b&Pid_0a51&*", u"USB\\VID_3F7C&PID_0A51&MI_00", false},
        // Exact IDs in any letter case.
        {u"USBPRINT\\Tervalinx_Rewritable7E19", u"usbprint\\TERVALINX_REWRITABLE7e19", true},
        {u"USBPRINT\\Tervalinx_Rewritable7E19", u"USBPRINT\\Tervalinx_Rewritable7E1", false},
        {u"USBPRINT\\Tervalinx_Rewritable7E19", u"USBPRINT\\Tervalinx_Rewritable7E190", false},
        // A star between and at the end.
        {u"A*C", u"ABC", true},
        {u"A*C", u"AXYZC", true},
        {u"A*C", u"AC", true},
        {u"A*C", u"ABCD", false},
        {u"A*C", u"BC", false},
        {u"A*", u"A", true},
        {u"A*", u"ABCDEF", true},
        {u"A*", u"BA", false},
        {u"*", u"", true},
        {u"*C", u"ABC", true},
        // The tail may not reuse the prefix.
        {u"AB*BC", u"ABC", false},
        {u"AB*BC", u"ABBC", true},
        // Middle segments in order, found after a false start.
        {u"A*B*C", u"AXBYC", true},
        {u"A*B*C", u"AXCYB", false},
        {u"A*AB*", u"AAAB", true},
        {u"A*AB*", u"AAAC", false},
        {u"A**C", u"AZC", true},
        {u"*B*", u"ABC", true},
        {u"*B*", u"AC", false},
        // The apostrophe makes the star literal.
        {u"'A*B", u"A*B", true},
        {u"'A*B", u"AXB", false},
        {u"'A*B", u"a*b", true},
        // Only A to Z fold: accented letters and other characters must be equal.
        {u"CAF\u00C9", u"caf\u00C9", true},
        {u"CAF\u00C9", u"CAF\u00E9", false},
        {u"A_*", u"a_b", true},
        {u"A_*", u"A-B", false},
        {u"*\u00C9", u"X\u00E9", false},
    };
    for (const auto &c : cases) {
        IdPattern p = ParseIdPattern(c.pattern);
        EXPECT_EQ(MatchIdPattern(c.id, &p) != FALSE, c.matches)
            << sim::user::Utf8(c.pattern) << " against " << sim::user::Utf8(c.id);
    }
}

TEST(MatchIdPatternTest, InstanceIdPatternEndingInStarMatchesItsPrefix) {
    IdPattern p = ParseIdPattern(u"@USB\\VID_3F7B&PID_0A51&MI_00\\*");
    EXPECT_TRUE(MatchIdPattern(kSerial, &p));
    EXPECT_TRUE(MatchIdPattern(u"usb\\vid_3f7b&pid_0a51&mi_00\\X", &p));
    EXPECT_FALSE(MatchIdPattern(kPrinterInterface, &p));
    EXPECT_FALSE(MatchIdPattern(u"USB\\VID_3F7B&PID_0A51&MI_00", &p));
}

// ======================================================================================
// ID lists
// ======================================================================================

LPWSTR HeapCopy(const std::u16string &multi) {
    auto *buffer = static_cast<LPWSTR>(HeapAlloc(GetProcessHeap(), 0, (multi.size() + 1) * sizeof(WCHAR)));
    std::memcpy(buffer, multi.data(), multi.size() * sizeof(WCHAR));
    buffer[multi.size()] = 0;
    return buffer;
}

class IdListTest : public EngineTest {};

TEST_F(IdListTest, SplitCountsUpToTheFirstEmptyString) {
    struct Case {
        std::u16string multi;
        std::vector<std::u16string> ids;
    } cases[] = {
        {std::u16string(u"A\0BB\0\0", 6), {u"A", u"BB"}},
        {std::u16string(u"ONE\0\0", 5), {u"ONE"}},
        {std::u16string(u"\0\0", 2), {}},
        {std::u16string(u"X\0\0Y\0\0", 6), {u"X"}},
    };
    for (auto &c : cases) {
        IdList *list = SplitMultiSz(HeapCopy(c.multi));
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(list->Count, c.ids.size());
        for (size_t i = 0; i < c.ids.size(); ++i) EXPECT_EQ(std::u16string(list->Ids[i]), c.ids[i]);
        EXPECT_EQ(list->Ids[list->Count], nullptr);
        FreeIdList(list);
    }
}

TEST_F(IdListTest, EmptyListMatchesNothingAndAbsentListNeverMatches) {
    IdPattern any = ParseIdPattern(u"*");
    IdList *empty = SplitMultiSz(HeapCopy(std::u16string(u"\0\0", 2)));
    EXPECT_FALSE(MatchAnyId(empty, &any));
    EXPECT_FALSE(MatchAnyId(nullptr, &any));
    FreeIdList(empty);
}

TEST_F(IdListTest, SplitFailureStillFreesTheBuffer) {
    sim::user::FailCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 2);  // the pointer array
    EXPECT_EQ(SplitMultiSz(HeapCopy(std::u16string(u"A\0\0", 3))), nullptr);
}

// Reads the hardware IDs of the single device in a fresh set.
class DeviceListTest : public EngineTest {
protected:
    IdList *ReadOnlyDevice(DWORD property) {
        HDEVINFO set = SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES, nullptr, nullptr, nullptr);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        EXPECT_TRUE(SetupDiEnumDeviceInfo(set, 0, &device));
        IdList *list = ReadDeviceIdList(set, &device, property);
        SetupDiDestroyDeviceInfoList(set);
        return list;
    }
};

TEST_F(DeviceListTest, ListLongerThan8192BytesIsReadASecondTimeWithTheRequiredSize) {
    std::vector<std::u16string> ids;
    for (int i = 0; i < 150; ++i) ids.push_back(u"USB\\VID_3F7B&PID_0A51&REV_0100&MI_00&SOMEWHAT_LONG_ID_" + sim::user::U16(std::to_string(i)));
    sim::user::AddDevice(Device(kSerial, u"Ports", ids));
    IdList *list = ReadOnlyDevice(SPDRP_HARDWAREID);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->Count, ids.size());
    EXPECT_EQ(std::u16string(list->Ids[149]), ids[149]);
    FreeIdList(list);

    auto reads = sim::user::PropertyReads();
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].offeredBytes, 8192u);
    EXPECT_FALSE(reads[0].succeeded);
    DWORD required = 2;  // the list's final NUL
    for (auto &id : ids) required += DWORD((id.size() + 1) * 2);
    EXPECT_EQ(reads[1].offeredBytes, required);
    EXPECT_TRUE(reads[1].succeeded);
}

TEST_F(DeviceListTest, ListThatFitsIsReadOnce) {
    sim::user::AddDevice(Device(kPrinter, u"Printer", {u"USBPRINT\\Tervalinx_Rewritable7E19"}));
    IdList *list = ReadOnlyDevice(SPDRP_HARDWAREID);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->Count, 1u);
    FreeIdList(list);
    EXPECT_EQ(sim::user::PropertyReads().size(), 1u);
}

TEST_F(DeviceListTest, UnreadablePropertiesGiveAnAbsentList) {
    sim::user::DeviceSpec d = Device(kSerial, u"Ports", {u"USB\\VID_3F7B&PID_0A51&MI_00"});
    d.propertyError = ERROR_ACCESS_DENIED;
    sim::user::AddDevice(d);
    EXPECT_EQ(ReadOnlyDevice(SPDRP_HARDWAREID), nullptr);
    EXPECT_EQ(ReadOnlyDevice(SPDRP_COMPATIBLEIDS), nullptr);  // no compatible IDs at all
}

TEST_F(DeviceListTest, SingleStringPropertyReadsAsAListOfOne) {
    sim::user::AddDevice(Device(kSerial, u"Ports", {u"X"}));
    IdList *list = ReadOnlyDevice(SPDRP_CLASS);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->Count, 1u);
    EXPECT_EQ(std::u16string(list->Ids[0]), u"Ports");
    FreeIdList(list);
}

}  // namespace
}  // namespace engine_test
