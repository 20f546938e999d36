// The PDO's own requests: identity, capabilities, device text, target relation, power and
// wait-wake, and its removal.
#include "tests/sim/usb/usb_test_driver.h"

namespace usb_test {
namespace {

using sim::usb::CardReaderModel;

class BusPdoTest : public BusFixture {
protected:
    // Sends a PnP query through the stack; returns the status and the answer's Information.
    NTSTATUS Query(UCHAR minor, ULONG_PTR *information, void (*fill)(PIO_STACK_LOCATION, void *) = nullptr,
                   void *context = nullptr)
    {
        Request r(fdo_);
        r.Stack()->MajorFunction = IRP_MJ_PNP;
        r.Stack()->MinorFunction = minor;
        if (fill != nullptr)
            fill(r.Stack(), context);
        r.Send();
        NTSTATUS status = r.Wait();
        *information = r.Irp()->IoStatus.Information;
        return status;
    }

    std::vector<std::u16string> QueryId(BUS_QUERY_ID_TYPE type)
    {
        ULONG_PTR information = 0;
        NTSTATUS status = Query(
            IRP_MN_QUERY_ID, &information,
            [](PIO_STACK_LOCATION s, void *t) { s->Parameters.QueryId.IdType = *static_cast<BUS_QUERY_ID_TYPE *>(t); },
            &type);
        EXPECT_EQ(status, STATUS_SUCCESS);
        std::vector<std::u16string> strings;
        auto *text = reinterpret_cast<PWCHAR>(information);
        bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs; // else one string
        for (PWCHAR p = text; p != nullptr && (multi || strings.empty()) && *p != 0; p += strings.back().size() + 1)
            strings.emplace_back(p);
        if (text != nullptr)
            ExFreePool(text);
        return strings;
    }

    NTSTATUS PowerRequest(UCHAR minor, Request &r, SYSTEM_POWER_STATE wakeState = PowerSystemSleeping3)
    {
        r.Stack()->MajorFunction = IRP_MJ_POWER;
        r.Stack()->MinorFunction = minor;
        r.Stack()->Parameters.WaitWake.PowerState = wakeState;
        return r.Send();
    }
};

TEST_F(BusPdoTest, IdentityComesFromTheDescriptors)
{
    card_ = std::make_shared<CardReaderModel>();
    Plug(card_);
    EXPECT_EQ(QueryId(BusQueryDeviceID), std::vector<std::u16string>{u"USB\\VID_3F7B&PID_0A51&MI_00"});
    EXPECT_EQ(QueryId(BusQueryHardwareIDs),
              (std::vector<std::u16string>{u"USB\\VID_3F7B&PID_0A51&REV_0100&MI_00", u"USB\\VID_3F7B&PID_0A51&MI_00"}));
    EXPECT_EQ(QueryId(BusQueryCompatibleIDs), (std::vector<std::u16string>{u"USB\\Class_02&SubClass_02&Prot_01",
                                                                           u"USB\\Class_02&SubClass_02", u"USB\\Class_02"}));
    std::vector<std::u16string> instance = QueryId(BusQueryInstanceID);
    ASSERT_EQ(instance.size(), 1u);
    EXPECT_EQ(instance[0], device_->InstanceId());

    // A second device of the same kind gets its own instance.
    auto other = sim::usb::CreateDevice(std::make_shared<CardReaderModel>());
    EXPECT_NE(other->InstanceId(), device_->InstanceId());
    EXPECT_EQ(other->HardwareIds(), device_->HardwareIds());
    other->Unplug();

    ULONG_PTR information = 0;
    EXPECT_EQ(Query(IRP_MN_QUERY_DEVICE_TEXT, &information), STATUS_SUCCESS); // description
    std::u16string text(reinterpret_cast<PWCHAR>(information));
    ExFreePool(reinterpret_cast<PVOID>(information));
    EXPECT_EQ(text, u"Card Reader/Writer");

    // A request the PDO does not handle keeps the status it came with.
    EXPECT_EQ(Query(IRP_MN_QUERY_RESOURCES, &information), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Query(IRP_MN_QUERY_DEVICE_RELATIONS, &information, [](PIO_STACK_LOCATION s, void *) {
                  s->Parameters.QueryDeviceRelations.Type = BusRelations;
              }),
              STATUS_NOT_SUPPORTED);
    ASSERT_EQ(Query(IRP_MN_QUERY_DEVICE_RELATIONS, &information, [](PIO_STACK_LOCATION s, void *) {
                  s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
              }),
              STATUS_SUCCESS);
    auto *relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
    ASSERT_EQ(relations->Count, 1u);
    EXPECT_EQ(relations->Objects[0], device_->Pdo());
    ObDereferenceObject(relations->Objects[0]);
    ExFreePool(relations);
}

TEST_F(BusPdoTest, CapabilitiesReportTheTestsPowerTable)
{
    sim::usb::PlugOptions options;
    options.DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
    options.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    options.DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
    options.DeviceWake = PowerDeviceD1;
    options.PortNumber = 3;
    Plug(std::make_shared<CardReaderModel>(), options);

    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    ULONG_PTR information = 0;
    ASSERT_EQ(Query(IRP_MN_QUERY_CAPABILITIES, &information,
                    [](PIO_STACK_LOCATION s, void *c) {
                        s->Parameters.DeviceCapabilities.Capabilities = static_cast<PDEVICE_CAPABILITIES>(c);
                    },
                    &caps),
              STATUS_SUCCESS);
    for (int i = 0; i < PowerSystemMaximum; i++)
        EXPECT_EQ(caps.DeviceState[i], options.DeviceState[i]) << i;
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD1);
    EXPECT_EQ(caps.Address, 3u);
    EXPECT_TRUE(caps.Removable);
    EXPECT_TRUE(caps.WakeFromD1);
    EXPECT_FALSE(caps.WakeFromD2);

    caps.Version = 2; // a capabilities block the bus does not know is refused
    EXPECT_EQ(Query(IRP_MN_QUERY_CAPABILITIES, &information,
                    [](PIO_STACK_LOCATION s, void *c) {
                        s->Parameters.DeviceCapabilities.Capabilities = static_cast<PDEVICE_CAPABILITIES>(c);
                    },
                    &caps),
              STATUS_UNSUCCESSFUL);
}

TEST_F(BusPdoTest, PowerRequestsCompleteAndWaitWakeIsHeld)
{
    Plug(std::make_shared<CardReaderModel>());
    for (UCHAR minor : {IRP_MN_QUERY_POWER, IRP_MN_SET_POWER}) {
        Request r(fdo_);
        r.Stack()->Parameters.Power.Type = DevicePowerState;
        r.Stack()->Parameters.Power.State.DeviceState = PowerDeviceD2;
        PowerRequest(minor, r);
        EXPECT_EQ(r.Wait(), STATUS_SUCCESS);
    }

    Request tooDeep(fdo_);
    PowerRequest(IRP_MN_WAIT_WAKE, tooDeep, PowerSystemHibernate);
    EXPECT_EQ(tooDeep.Wait(), STATUS_INVALID_DEVICE_STATE);

    Request wake(fdo_);
    EXPECT_EQ(PowerRequest(IRP_MN_WAIT_WAKE, wake), STATUS_PENDING);
    Request second(fdo_);
    PowerRequest(IRP_MN_WAIT_WAKE, second);
    EXPECT_EQ(second.Wait(), STATUS_DEVICE_BUSY);
    EXPECT_FALSE(wake.Completed());
    EXPECT_TRUE(device_->SignalWake());
    EXPECT_EQ(wake.Wait(), STATUS_SUCCESS);
    EXPECT_FALSE(device_->SignalWake());

    Request cancelled(fdo_);
    EXPECT_EQ(PowerRequest(IRP_MN_WAIT_WAKE, cancelled), STATUS_PENDING);
    EXPECT_TRUE(cancelled.Cancel());
    EXPECT_EQ(cancelled.Wait(), STATUS_CANCELLED);

    Request gone(fdo_);
    EXPECT_EQ(PowerRequest(IRP_MN_WAIT_WAKE, gone), STATUS_PENDING);
    device_->Unplug();
    EXPECT_EQ(gone.Wait(), STATUS_NO_SUCH_DEVICE);
}

TEST_F(BusPdoTest, RemovalOfAPresentDeviceKeepsThePdoForAnotherStack)
{
    card_ = std::make_shared<CardReaderModel>();
    Plug(card_);
    ASSERT_EQ(SelectConfiguration(256), STATUS_SUCCESS);
    std::unique_ptr<UrbRequest> read = StartBulk(pipes_[1].PipeHandle, 64, {}, true);

    // Disable: the stack goes, the device stays on the bus.
    PDEVICE_OBJECT pdo = device_->Pdo();
    EXPECT_EQ(Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(read->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(device_->Pdo(), pdo);
    EXPECT_FALSE(sim::IsDeviceDeleted(pdo));

    // Enable: a new stack on the same PDO works.
    {
        sim::DriverCall call(driver_, "AddDevice", reinterpret_cast<const void *>(TestAddDevice));
        ASSERT_EQ(TestAddDevice(driver_, pdo), STATUS_SUCCESS);
    }
    fdo_ = pdo->AttachedDevice;
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    Bytes device;
    EXPECT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, &device), STATUS_SUCCESS);
}

TEST_F(BusPdoTest, RequestsThePdoDoesNotServe)
{
    Plug(std::make_shared<CardReaderModel>());
    Request control(fdo_);
    control.Stack()->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    control.Stack()->Parameters.DeviceIoControl.IoControlCode = 0x220FFF;
    control.Send();
    EXPECT_EQ(control.Wait(), STATUS_INVALID_DEVICE_REQUEST);

    Request noUrb(fdo_);
    noUrb.Stack()->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    noUrb.Stack()->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    noUrb.Send();
    EXPECT_EQ(noUrb.Wait(), STATUS_INVALID_PARAMETER);

    Request read(fdo_);
    read.Stack()->MajorFunction = IRP_MJ_READ;
    read.Send();
    EXPECT_EQ(read.Wait(), STATUS_INVALID_DEVICE_REQUEST);
}

} // namespace
} // namespace usb_test
