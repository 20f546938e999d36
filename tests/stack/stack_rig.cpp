// The whole-stack rig (see stack_rig.h).
#include "tests/stack/stack_rig.h"

#include <algorithm>

namespace stack_test {

namespace {

// The installation the INF makes: CardRwUsb is the function service of the serial function's
// hardware ID in the Ports class, CardRwCom its upper filter.
const char16_t kUsbService[] = u"CardRwUsb";
const char16_t kComService[] = u"CardRwCom";
const char16_t kHardwareId[] = u"USB\\Vid_3f7b&Pid_0a51&MI_00";

}  // namespace

BOOL TransferAndWait(HANDLE port, bool write, void *buffer, DWORD length, DWORD *done)
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = write ? WriteFile(port, buffer, length, done, &overlapped)
                    : ReadFile(port, buffer, length, done, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        ok = GetOverlappedResult(port, &overlapped, done, TRUE);
    }
    DWORD error = GetLastError();
    CloseHandle(overlapped.hEvent);
    SetLastError(error);
    return ok;
}

// =============================================================================================
// Installation and removal
// =============================================================================================

StackRig::StackRig(const std::vector<std::u16string> &testFiltersAboveCom)
{
    sim::InstallServiceModule(kUsbService, CARDRW_USB_MODULE);
    sim::InstallServiceModule(kComService, CARDRW_COM_MODULE);
    std::vector<std::u16string> upperFilters{kComService};
    upperFilters.insert(upperFilters.end(), testFiltersAboveCom.begin(), testFiltersAboveCom.end());
    sim::InstallHardwareId(kHardwareId, kUsbService, upperFilters, u"Ports");
}

// Removal needs the application's handles closed first: with one left open the removal would
// wait for it for ever, so the rig reports the handle and leaves the stack in place.
StackRig::~StackRig()
{
    size_t handles = sim::OpenApplicationHandles();
    EXPECT_EQ(handles, 0u) << "the test left application handles open";
    if (handles == 0) {
        ForgetDevice();
    }
    sim::UninstallAll();
}

void StackRig::ForgetDevice()
{
    sim::RemoveAllDevices();
    // The PnP manager unloads each driver with its last device; the unload reports whatever
    // the driver still owns (pool, requests, threads, links, interfaces, registry handles).
    for (const char16_t *service : {kComService, kUsbService}) {
        PDRIVER_OBJECT driver = sim::LoadedDriver(service);
        EXPECT_EQ(driver, nullptr) << Narrow(service) << " is still loaded after its last device went";
        if (driver != nullptr && driver->DeviceObject == nullptr) {
            sim::UnloadDriverModule(driver);
        }
    }
    node_ = nullptr;
    usb_.reset();
    unplugged_.clear();
    model_.reset();
}

// =============================================================================================
// The device's life
// =============================================================================================

bool StackRig::Plug()
{
    auto model = std::make_shared<sim::usb::CardReaderModel>();
    std::shared_ptr<sim::usb::UsbDevice> usb = sim::usb::PlugIn(model);
    if (usb == nullptr) {
        return false;
    }
    if (usb_ != nullptr) {
        unplugged_.push_back(usb_);
    }
    model_ = model;
    usb_ = usb;
    node_ = usb_->Node();
    return node_ != nullptr && sim::StateOf(node_) == sim::DeviceNodeState::Started;
}

void StackRig::Unplug()
{
    usb_->Unplug();
    usb_->WaitForPnp();
}

sim::PnpResult StackRig::WaitForRemoval()
{
    return sim::WaitForRemoval(node_);
}

sim::PnpResult StackRig::Rebalance()
{
    return sim::StopAndRestart(node_);
}

sim::PowerResult StackRig::Sleep(SYSTEM_POWER_STATE state)
{
    return sim::SystemSleep(state);
}

sim::PowerResult StackRig::Wake()
{
    return sim::SystemWake();
}

void StackRig::StallWritesAfter(int stagesTaken)
{
    for (int stage = 0; stage < stagesTaken; ++stage) {
        usb_->ScriptFault(sim::usb::CardReaderModel::BulkOutEndpoint, sim::usb::Fault::After(0));
    }
    usb_->ScriptFault(sim::usb::CardReaderModel::BulkOutEndpoint, sim::usb::Fault::NeverComplete());
}

// =============================================================================================
// What the test looks at
// =============================================================================================

std::u16string StackRig::ComName() const
{
    return sim::RegistryGetString(sim::HardwareKeyOf(node_), u"PortName").value_or(u"");
}

std::u16string StackRig::PortPath() const
{
    return u"\\\\.\\" + ComName();
}

Publication StackRig::Published() const
{
    Publication published;
    std::u16string com = ComName();
    published.LinkTarget = sim::SymbolicLinkTarget(u"\\DosDevices\\Global\\" + com);
    for (const std::u16string &name : sim::RegistryValueNames(sim::kSerialCommKey)) {
        if (sim::RegistryGetString(sim::kSerialCommKey, name) == com) {
            published.SerialCommName = name;
        }
    }
    PDEVICE_OBJECT pdo = usb_->Pdo();
    for (const sim::DeviceInterfaceInfo &info : sim::DeviceInterfaces(&GUID_DEVINTERFACE_COMPORT)) {
        if (pdo != nullptr && info.physicalDeviceObject == pdo && info.enabled) {
            published.InterfaceEnabled = true;
        }
    }
    return published;
}

PDRIVER_OBJECT StackRig::UsbDriver() const
{
    return sim::LoadedDriver(kUsbService);
}

PDRIVER_OBJECT StackRig::ComDriver() const
{
    return sim::LoadedDriver(kComService);
}

// =============================================================================================
// Application side and virtual time
// =============================================================================================

HANDLE StackRig::Open(bool overlapped) const
{
    std::u16string path = PortPath();
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
}

void StackRig::Settle(int ms)
{
    LARGE_INTEGER delay;
    delay.QuadPart = -static_cast<LONGLONG>(ms) * kMs;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

bool StackRig::SettleUntil(const std::function<bool()> &done, int ms)
{
    for (int waited = 0; !done() && waited < ms; ++waited) {
        Settle(1);
    }
    return done();
}

// =============================================================================================
// Fixture and helpers
// =============================================================================================

BOOL PortHandle::Close()
{
    if (!Valid()) {
        return TRUE;
    }
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return CloseHandle(handle);
}

void StackTest::SetUp()
{
    sim::KernelTest::SetUp();
    rig_ = std::make_unique<StackRig>(TestFiltersAboveCom());
    ASSERT_TRUE(rig_->Plug()) << "the card reader/writer's stack did not start";
}

void StackTest::TearDown()
{
    rig_.reset();
    sim::KernelTest::TearDown();
}

Bytes Pattern(size_t length, uint32_t seed)
{
    Bytes bytes(length);
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < length; ++i) {
        state = state * 1664525u + 1013904223u;   // a linear congruential sequence: top byte
        bytes[i] = static_cast<UCHAR>(state >> 24);
    }
    return bytes;
}

bool GetState8N1(HANDLE port, DWORD baud, DCB *dcb)
{
    *dcb = DCB{};
    dcb->DCBlength = sizeof *dcb;
    if (!GetCommState(port, dcb)) {
        return false;
    }
    dcb->BaudRate = baud;
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    return true;
}

bool SetPort(HANDLE port, DWORD baud, const COMMTIMEOUTS &timeouts)
{
    DCB dcb;
    if (!GetState8N1(port, baud, &dcb)) {
        return false;
    }
    COMMTIMEOUTS copy = timeouts;
    return SetCommState(port, &dcb) && SetCommTimeouts(port, &copy);
}

Bytes ReadExactly(HANDLE port, size_t length, size_t *earlyEmpty)
{
    COMMTIMEOUTS timeouts{};
    GetCommTimeouts(port, &timeouts);
    const int64_t timeLimit = static_cast<int64_t>(timeouts.ReadTotalTimeoutConstant) * kMs;
    Bytes received(length);
    size_t have = 0;
    while (have < length) {
        DWORD got = 0;
        int64_t start = sim::Now();
        if (!TransferAndWait(port, false, received.data() + have, static_cast<DWORD>(length - have), &got)) {
            break;
        }
        if (got == 0) {
            if (sim::Now() - start >= timeLimit) {
                break;
            }
            if (earlyEmpty != nullptr) {
                ++*earlyEmpty;
            }
        }
        have += got;
    }
    received.resize(have);
    return received;
}

bool WriteAll(HANDLE port, const Bytes &data)
{
    Bytes copy = data;
    DWORD written = 0;
    return TransferAndWait(port, true, copy.data(), static_cast<DWORD>(copy.size()), &written) && written == data.size();
}

std::string Narrow(const std::u16string &text)
{
    std::string out;
    for (char16_t c : text) {
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

}  // namespace stack_test
