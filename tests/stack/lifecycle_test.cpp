// The port through a device's life: published when the card reader/writer is plugged in,
// withdrawn at once when it is pulled out with the port open (the application's pending
// requests end, its later close releases the rest), back under the same COM name when the
// device comes back, and working after a rebalance and after system sleep and wake.
#include "tests/stack/stack_rig.h"

namespace stack_test {
namespace {

class StackLifecycleTest : public StackTest {};

// The started port is published in all three places under its COM name.
TEST_F(StackLifecycleTest, PluggedDeviceIsPublishedAsCom3)
{
    EXPECT_EQ(Narrow(Rig().ComName()), "COM3");
    Publication published = Rig().Published();
    EXPECT_EQ(Narrow(published.LinkTarget.value_or(u"(none)")), "\\Device\\XWQUsbSerial0");
    EXPECT_EQ(Narrow(published.SerialCommName.value_or(u"(none)")), "\\Device\\XWQUsbSerial0");
    EXPECT_TRUE(published.InterfaceEnabled);
}

}  // namespace
}  // namespace stack_test
