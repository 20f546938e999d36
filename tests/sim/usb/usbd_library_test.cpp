// USBD_ParseConfigurationDescriptorEx and USBD_CreateConfigurationRequestEx: their contract on
// well-formed descriptor sets, and their safety on malformed and random bytes.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "platform/kernel.h"
#include "sim/kernel/include/sim_kernel.h"
#include "sim/usb/include/usb_descriptors.h"

namespace {

using sim::usb::Bytes;
namespace d = sim::usb::descriptors;

class UsbdLibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::ResetForTest();
        sim::SetFailureHandler([](const std::string &message) { ADD_FAILURE() << "verifier: " << message; });
    }
    void TearDown() override { sim::ResetForTest(); }
};

PUSB_CONFIGURATION_DESCRIPTOR Config(Bytes &bytes)
{
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

// The walk a function driver makes: every interface descriptor from the start, moving the
// search position 9 bytes past each one found.
std::vector<PUSB_INTERFACE_DESCRIPTOR> WalkInterfaces(PUSB_CONFIGURATION_DESCRIPTOR config, size_t limit = 300)
{
    std::vector<PUSB_INTERFACE_DESCRIPTOR> found;
    PVOID position = config;
    while (found.size() < limit) {
        PUSB_INTERFACE_DESCRIPTOR iface = USBD_ParseConfigurationDescriptorEx(config, position, -1, -1, -1, -1, -1);
        if (iface == nullptr)
            break;
        found.push_back(iface);
        position = reinterpret_cast<PUCHAR>(iface) + sizeof(USB_INTERFACE_DESCRIPTOR);
    }
    return found;
}

// ============================================================================================
// Parsing
// ============================================================================================

TEST_F(UsbdLibraryTest, WalkFindsEveryInterfaceDescriptorInOrder)
{
    struct Case {
        const char *name;
        Bytes set;
        std::vector<std::pair<UCHAR, UCHAR>> interfaces; // (number, alternate setting)
    } cases[] = {
        {"card reader", d::CardReaderConfiguration(), {{0, 0}}},
        {"two interfaces", d::TwoInterfaces(), {{0, 0}, {1, 0}}},
        {"alternate setting", d::AlternateSetting(1), {{0, 0}, {0, 1}}},
        {"long set", d::LongConfiguration(600), {{0, 0}}},
        {"zero-length descriptor stops the walk", d::ZeroLengthDescriptor(), {{0, 0}}},
        {"truncated endpoint", d::TruncatedEndpoint(), {{0, 0}}},
        {"no interfaces", d::NoInterfaces(), {}},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<PUSB_INTERFACE_DESCRIPTOR> found = WalkInterfaces(Config(c.set));
        ASSERT_EQ(found.size(), c.interfaces.size());
        for (size_t i = 0; i < found.size(); i++) {
            EXPECT_EQ(found[i]->bInterfaceNumber, c.interfaces[i].first);
            EXPECT_EQ(found[i]->bAlternateSetting, c.interfaces[i].second);
        }
    }
}

TEST_F(UsbdLibraryTest, SearchCriteriaSelectTheFirstMatch)
{
    Bytes set = d::AlternateSetting(2);
    PUSB_CONFIGURATION_DESCRIPTOR config = Config(set);
    struct Case {
        LONG number, alternate, cls;
        int expectedAlternate; // -1: none
    } cases[] = {
        {-1, -1, -1, 0},
        {0, 1, -1, 1},
        {-1, 1, -1, 1},
        {1, -1, -1, -1},
        {-1, -1, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0},
        {-1, -1, USB_DEVICE_CLASS_COMMUNICATIONS, -1},
    };
    for (const Case &c : cases) {
        PUSB_INTERFACE_DESCRIPTOR iface = USBD_ParseConfigurationDescriptorEx(config, config, c.number, c.alternate, c.cls, -1, -1);
        if (c.expectedAlternate < 0) {
            EXPECT_EQ(iface, nullptr);
        } else {
            ASSERT_NE(iface, nullptr);
            EXPECT_EQ(iface->bAlternateSetting, c.expectedAlternate);
        }
    }
}

TEST_F(UsbdLibraryTest, MalformedHeadersAndPositionsFindNothing)
{
    Bytes good = d::CardReaderConfiguration();
    struct Case {
        const char *name;
        size_t offset;  // byte to patch
        UCHAR value;
    } cases[] = {
        {"configuration bLength 0", 0, 0},
        {"configuration bLength 8", 0, 8},
        {"wTotalLength 0", 2, 0},
        {"wTotalLength 8", 2, 8},
        {"interface bLength 0", 9, 0},
        {"interface bLength 1", 9, 1},
        {"interface longer than the set", 9, 250},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes set = good;
        set[c.offset] = c.value;
        EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(Config(set), Config(set), -1, -1, -1, -1, -1), nullptr);
    }
    PUSB_CONFIGURATION_DESCRIPTOR config = Config(good);
    UCHAR outside[16] = {};
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, outside, -1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, good.data() + good.size(), -1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, nullptr, -1, -1, -1, -1, -1), nullptr);
}

// ============================================================================================
// Building the select-configuration request
// ============================================================================================

TEST_F(UsbdLibraryTest, RequestHoldsEveryListedInterfaceWithItsPipes)
{
    struct Case {
        const char *name;
        Bytes set;
        std::vector<ULONG> pipes; // per listed interface
    } cases[] = {
        {"card reader", d::CardReaderConfiguration(), {2}},
        {"two interfaces", d::TwoInterfaces(), {2, 2}},
        {"alternate setting listed twice", d::AlternateSetting(2), {2, 2}},
        {"interrupt and bulk", d::InterruptAndBulk(), {3}},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        PUSB_CONFIGURATION_DESCRIPTOR config = Config(c.set);
        std::vector<PUSB_INTERFACE_DESCRIPTOR> found = WalkInterfaces(config);
        std::vector<USBD_INTERFACE_LIST_ENTRY> list(found.size() + 1);
        for (size_t i = 0; i < found.size(); i++)
            list[i].InterfaceDescriptor = found[i];
        size_t totalPipes = 0;
        for (ULONG n : c.pipes)
            totalPipes += n;

        sim::PoolUsage before = sim::PoolUsageOf(nullptr);
        PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
        ASSERT_NE(urb, nullptr);
        EXPECT_EQ(sim::PoolUsageOf(nullptr).blocks, before.blocks + 1);
        EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
        EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(found.size(), totalPipes));
        EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);
        auto *expected = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
        for (size_t i = 0; i < found.size(); i++) {
            PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
            ASSERT_EQ(reinterpret_cast<PUCHAR>(info), expected);
            EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(c.pipes[i]));
            EXPECT_EQ(info->InterfaceNumber, found[i]->bInterfaceNumber);
            EXPECT_EQ(info->AlternateSetting, found[i]->bAlternateSetting);
            ASSERT_EQ(info->NumberOfPipes, c.pipes[i]);
            for (ULONG p = 0; p < info->NumberOfPipes; p++) {
                EXPECT_EQ(info->Pipes[p].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
                EXPECT_EQ(info->Pipes[p].PipeHandle, nullptr);
            }
            expected += info->Length;
        }
        EXPECT_EQ(expected, reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length);
        ExFreePool(urb);
        EXPECT_EQ(sim::PoolUsageOf(nullptr).blocks, before.blocks);
    }
}

TEST_F(UsbdLibraryTest, RequestIsRefusedForBadListsAndFailedAllocation)
{
    Bytes set = d::TwoInterfaces();
    PUSB_CONFIGURATION_DESCRIPTOR config = Config(set);
    std::vector<PUSB_INTERFACE_DESCRIPTOR> found = WalkInterfaces(config);
    ASSERT_EQ(found.size(), 2u);
    USB_INTERFACE_DESCRIPTOR foreign = *found[0];

    USBD_INTERFACE_LIST_ENTRY empty[1] = {};
    USBD_INTERFACE_LIST_ENTRY outside[2] = {{&foreign, nullptr}, {}};
    USBD_INTERFACE_LIST_ENTRY notInterface[2] = {{reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(set.data() + 18), nullptr}, {}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, empty), nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, outside), nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, notInterface), nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, nullptr), nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(nullptr, empty), nullptr);

    USBD_INTERFACE_LIST_ENTRY list[3] = {{found[0], nullptr}, {found[1], nullptr}, {}};
    sim::FaultPlan plan;
    plan.kinds = sim::FaultPool;
    plan.failNth = 1;
    sim::SetFaultPlan(plan);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, list), nullptr);
    sim::ClearFaults();
    EXPECT_EQ(list[0].Interface, nullptr);
}

// ============================================================================================
// Random bytes
// ============================================================================================

// Descriptor-shaped noise: valid sets with bytes flipped, lengths cut, wTotalLength moved, and
// plain random bytes. Each buffer is exactly as long as its wTotalLength claims (the routines
// trust wTotalLength as the buffer length, as the platform's do), so any read past a
// descriptor set's end is a heap overflow that AddressSanitizer reports.
Bytes RandomSet(std::mt19937 &random)
{
    static const Bytes seeds[] = {d::CardReaderConfiguration(), d::TwoInterfaces(), d::AlternateSetting(2),
                                  d::InterruptAndBulk(), d::LongConfiguration(300)};
    std::uniform_int_distribution<int> pick(0, 9);
    Bytes bytes;
    if (pick(random) < 7) {
        bytes = seeds[pick(random) % 5];
        int flips = pick(random);
        for (int i = 0; i < flips; i++)
            bytes[random() % bytes.size()] = static_cast<UCHAR>(pick(random) < 5 ? random() % 12 : random());
    } else {
        bytes.resize(4 + random() % 200);
        for (UCHAR &b : bytes)
            b = static_cast<UCHAR>(pick(random) < 5 ? random() % 12 : random());
        bytes[1] = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    }
    size_t length = 4 + random() % bytes.size();
    bytes.resize(std::max<size_t>(length, 4));
    sim::usb::SetTotalLength(bytes, static_cast<USHORT>(bytes.size() - (pick(random) == 0 ? random() % 4 : 0)));
    bytes.resize(std::max<size_t>(sim::usb::TotalLength(bytes), 4));
    return bytes;
}

TEST_F(UsbdLibraryTest, RandomDescriptorBytesAreReadSafely)
{
    const uint32_t seed = 20261211;
    std::mt19937 random(seed);
    sim::PoolUsage before = sim::PoolUsageOf(nullptr);
    for (int n = 0; n < 5000; n++) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", case " + std::to_string(n));
        Bytes bytes = RandomSet(random);
        std::vector<UCHAR> exact(bytes.begin(), bytes.end()); // a heap block of exactly this size
        exact.shrink_to_fit();
        PUSB_CONFIGURATION_DESCRIPTOR config = Config(exact);
        PUCHAR begin = exact.data(), end = exact.data() + exact.size();

        std::vector<PUSB_INTERFACE_DESCRIPTOR> found = WalkInterfaces(config);
        ASSERT_LE(found.size(), exact.size() / sizeof(USB_INTERFACE_DESCRIPTOR));
        for (PUSB_INTERFACE_DESCRIPTOR iface : found) {
            ASSERT_GE(reinterpret_cast<PUCHAR>(iface), begin);
            ASSERT_LE(reinterpret_cast<PUCHAR>(iface) + sizeof(USB_INTERFACE_DESCRIPTOR), end);
        }
        PVOID start = begin + random() % exact.size();
        USBD_ParseConfigurationDescriptorEx(config, start, static_cast<LONG>(random() % 3) - 1,
                                            static_cast<LONG>(random() % 3) - 1, -1, -1, -1);

        std::vector<USBD_INTERFACE_LIST_ENTRY> list(found.size() + 1);
        for (size_t i = 0; i < found.size(); i++)
            list[i].InterfaceDescriptor = found[i];
        PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
        if (found.empty()) {
            EXPECT_EQ(urb, nullptr);
            continue;
        }
        ASSERT_NE(urb, nullptr);
        PUCHAR urbEnd = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
        for (size_t i = 0; i < found.size(); i++) {
            auto *info = reinterpret_cast<PUCHAR>(list[i].Interface);
            ASSERT_NE(info, nullptr);
            ASSERT_LE(info + list[i].Interface->Length, urbEnd);
            ASSERT_EQ(list[i].Interface->NumberOfPipes, found[i]->bNumEndpoints);
        }
        ExFreePool(urb);
    }
    EXPECT_EQ(sim::PoolUsageOf(nullptr).blocks, before.blocks);
}

} // namespace
