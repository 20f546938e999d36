// The one place where kernel-mode code chooses its platform headers: the WDK headers that
// mingw-w64 ships for the Windows build, the simulated kernel for the host build.
#pragma once

#ifdef _WIN32
extern "C" {
#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <ntddser.h>
}
#else
#include "sim/kernel/include/ntddk_sim.h"
#include "sim/usb/include/usb_sim.h"
#include "sim/kernel/include/ntddser_sim.h"
#endif

// Wide literals are UTF-16 in both builds (WCHAR is char16_t on the host).
#ifndef TEXT
#ifdef _WIN32
#define TEXT(s) L##s
#else
#define TEXT(s) u##s
#endif
#endif
