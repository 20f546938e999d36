// The control request header as the device's clients lay it out byte by byte.
#include "include/cardrw_ioctl.h"

#include <gtest/gtest.h>
#include <cstring>

TEST(ControlRequestHeader, MatchesTheWireLayout)
{
    // A class request SET_CONTROL_LINE_STATE(3) to interface 0, as the serial port sends it.
    const UCHAR wire[16] = {0x1B, 0x00, 0xAA, 0xBB, 0x02, 0x00, 0x00, 0x00,
                            0x00, 0x22, 0x03, 0x00, 0x00, 0x00, 0xCC, 0xDD};
    ControlRequestHeader header;
    std::memcpy(&header, wire, sizeof header);
    EXPECT_EQ(header.Function, 0x1B);
    EXPECT_EQ(header.TransferFlags, 2u);
    EXPECT_EQ(header.ReservedBits, 0);
    EXPECT_EQ(header.Request, 0x22);
    EXPECT_EQ(header.Value, 3);
    EXPECT_EQ(header.Index, 0);
}
