// Simulated Windows kernel: the declarations a WDM driver sees through <ntddk.h>.
// Same names, widths and layouts as the WDK's, for LP64 Linux.
#pragma once

#include <stddef.h>
#include <stdint.h>

// ---- Fixed-width types: ULONG is 32 bits here as on Windows (never 'unsigned long'). ----
typedef void VOID, *PVOID;
typedef char CHAR, *PCHAR;
typedef unsigned char UCHAR, *PUCHAR, BOOLEAN, *PBOOLEAN;
typedef int16_t SHORT, CSHORT;
typedef uint16_t USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG;
typedef uint32_t ULONG, *PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int64_t LONG_PTR;
typedef uint64_t ULONG_PTR, *PULONG_PTR, SIZE_T, KAFFINITY;
typedef char16_t WCHAR, *PWCHAR, *PWSTR;
typedef const char16_t *PCWSTR;
typedef LONG NTSTATUS;

static_assert(sizeof(ULONG) == 4 && sizeof(USHORT) == 2 && sizeof(ULONG_PTR) == 8 && sizeof(WCHAR) == 2,
              "WDK type widths");

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

// ---- Control codes ----
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((ULONG)(DeviceType) << 16) | ((ULONG)(Access) << 14) | ((ULONG)(Function) << 2) | (ULONG)(Method))
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_SERIAL_PORT 0x0000001b
#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
