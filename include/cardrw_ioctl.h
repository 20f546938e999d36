// Control codes of the card reader/writer's USB transport and the header of its control
// transfer requests. Shared by CardRwUsb, which serves them, and CardRwCom, which sends some
// of them itself and passes others through from applications.
#pragma once

#include "platform/kernel.h"

#include <stddef.h>

// Every code: device type FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS, functions 0..7.
#define CARDRW_CTL(function) CTL_CODE(FILE_DEVICE_UNKNOWN, (function), METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_CARDRW_QUERY_READY            CARDRW_CTL(0)
#define IOCTL_CARDRW_GET_DESCRIPTOR         CARDRW_CTL(1)
#define IOCTL_CARDRW_RESET_PIPE             CARDRW_CTL(2)
#define IOCTL_CARDRW_RESET_PORT             CARDRW_CTL(3)
#define IOCTL_CARDRW_GET_STATUS             CARDRW_CTL(4)
#define IOCTL_CARDRW_CONTROL_OUT            CARDRW_CTL(5)
#define IOCTL_CARDRW_CONTROL_IN             CARDRW_CTL(6)
#define IOCTL_CARDRW_GET_CONFIG_DESCRIPTOR  CARDRW_CTL(7)

// The values are part of the interface with applications: they must never move.
static_assert(IOCTL_CARDRW_QUERY_READY == 0x220000, "IOCTL_CARDRW_QUERY_READY");
static_assert(IOCTL_CARDRW_GET_DESCRIPTOR == 0x220004, "IOCTL_CARDRW_GET_DESCRIPTOR");
static_assert(IOCTL_CARDRW_RESET_PIPE == 0x220008, "IOCTL_CARDRW_RESET_PIPE");
static_assert(IOCTL_CARDRW_RESET_PORT == 0x22000C, "IOCTL_CARDRW_RESET_PORT");
static_assert(IOCTL_CARDRW_GET_STATUS == 0x220010, "IOCTL_CARDRW_GET_STATUS");
static_assert(IOCTL_CARDRW_CONTROL_OUT == 0x220014, "IOCTL_CARDRW_CONTROL_OUT");
static_assert(IOCTL_CARDRW_CONTROL_IN == 0x220018, "IOCTL_CARDRW_CONTROL_IN");
static_assert(IOCTL_CARDRW_GET_CONFIG_DESCRIPTOR == 0x22001C, "IOCTL_CARDRW_GET_CONFIG_DESCRIPTOR");

// USBD_SHORT_TRANSFER_OK: the only transfer flag taken over from a ControlRequestHeader.
#define CARDRW_TRANSFER_FLAGS_TAKEN 0x00000002u

#pragma pack(push, 1)
// The 16-byte little-endian header at the start of the input buffer of IOCTL_CARDRW_CONTROL_OUT
// (followed by the data to send) and IOCTL_CARDRW_CONTROL_IN.
struct ControlRequestHeader {
    USHORT Function;       // URB function of the vendor or class request, passed on unchecked
    USHORT Reserved1;      // not read
    ULONG TransferFlags;   // only USBD_SHORT_TRANSFER_OK is taken over; direction comes from the code
    UCHAR ReservedBits;    // the URB's RequestTypeReservedBits
    UCHAR Request;         // bRequest
    USHORT Value;          // wValue
    USHORT Index;          // wIndex; overwritten by the transport with its interface number
    USHORT Reserved2;      // not read
};
#pragma pack(pop)

static_assert(sizeof(ControlRequestHeader) == 16, "ControlRequestHeader size");
static_assert(offsetof(ControlRequestHeader, Function) == 0, "Function offset");
static_assert(offsetof(ControlRequestHeader, Reserved1) == 2, "Reserved1 offset");
static_assert(offsetof(ControlRequestHeader, TransferFlags) == 4, "TransferFlags offset");
static_assert(offsetof(ControlRequestHeader, ReservedBits) == 8, "ReservedBits offset");
static_assert(offsetof(ControlRequestHeader, Request) == 9, "Request offset");
static_assert(offsetof(ControlRequestHeader, Value) == 10, "Value offset");
static_assert(offsetof(ControlRequestHeader, Index) == 12, "Index offset");
static_assert(offsetof(ControlRequestHeader, Reserved2) == 14, "Reserved2 offset");
