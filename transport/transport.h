// CardRwUsb: the USB transport driver of the card reader/writer's serial function.
//
// This header holds the per-device state (TRANSPORT_EXTENSION with its interface and pipe
// table), the per-transfer context of staged bulk transfers, and the routines the driver's
// files share. One file per concern:
//   driver.cpp   driver entry, AddDevice, request counting, system control, unload
//   config.cpp   descriptor reads, configuration selection, the table, URB submission
//   pipes.cpp    pipe names, create and close, pipe and port resets
//   bulk.cpp     bulk reads and writes in stages
//   control.cpp  the eight IOCTL_CARDRW_ control codes
//   pnp.cpp      the Plug and Play state machine
//   power.cpp    power policy, system/device power mapping, wait-wake
#pragma once

#include "platform/kernel.h"
#include "include/cardrw_ioctl.h"

// Pool tag of every allocation of this driver ("CRwU" in memory order).
#define TRANSPORT_POOL_TAG 0x55775243u

// Largest bulk stage, and the maximum transfer size every pipe is configured with.
#define TRANSPORT_STAGE_SIZE 256u

// First read of the configuration descriptor (the whole descriptor of the device fits).
#define TRANSPORT_CONFIG_FIRST_READ 521u

// Symbolic link name of the device interface: 255 code units and the terminator.
#define TRANSPORT_LINK_NAME_CHARS 256u

// ---------------------------------------------------------------------------------------------
// Interface and pipe table
// ---------------------------------------------------------------------------------------------

// One pipe of the selected configuration. Info is a copy of what the selection reported; it
// never changes while the table exists.
struct PIPE_ENTRY {
    volatile LONG OpenCount;        // 1 while a handle holds the pipe; interlocked
    USBD_PIPE_INFORMATION Info;
};

// One interface descriptor of the selected configuration, with its pipes in reported order.
struct INTERFACE_ENTRY {
    ULONG PipeCount;
    PIPE_ENTRY* Pipes;
};

// ---------------------------------------------------------------------------------------------
// Device extension
// ---------------------------------------------------------------------------------------------

// The state flags are written by the Plug and Play, power and completion paths and read without
// a lock by every request path; they are LONGs accessed only through the Flag* helpers below so
// that every access is atomic.
struct TRANSPORT_EXTENSION {
    PDEVICE_OBJECT LowerDevice;             // next device down: target of every request
    PDEVICE_OBJECT PhysicalDevice;          // bus driver's PDO: target of device power requests
    volatile LONG CurrentDevicePower;       // DEVICE_POWER_STATE as last recorded

    // Configuration, built at start and released at stop. The table pointers and the count are
    // published and withdrawn under PipeTableLock; their contents never change while published.
    PUCHAR ConfigDescriptor;                // whole configuration descriptor, wTotalLength bytes
    ULONG InterfaceCount;
    INTERFACE_ENTRY* Interfaces;

    DEVICE_CAPABILITIES Capabilities;       // lower stack's capabilities, queried at AddDevice
    PIRP volatile PendingSystemPowerIrp;    // system set-power held while its device request runs

    KEVENT IoDrainedEvent;                  // OutstandingIo reached 0 (removal waits)
    KEVENT IoIdleEvent;                     // OutstandingIo back at 1 (query-remove waits)
    KEVENT PowerUpEvent;                    // an idle-policy power-up has completed
    KSPIN_LOCK IoCountLock;                 // guards OutstandingIo with its two events
    volatile LONG OutstandingIo;            // includes the base reference from AddDevice
    volatile LONG OpenPipeCount;            // pipes held by handles of the current table
    WCHAR InterfaceLinkName[TRANSPORT_LINK_NAME_CHARS];

    volatile LONG Removed;                  // removal or surprise removal seen
    volatile LONG RemovePending;            // query-remove succeeded, not cancelled
    volatile LONG StopPending;              // query-stop succeeded, not cancelled
    volatile LONG Started;                  // started and configured
    volatile LONG WaitWakeActive;           // a wait-wake request is being handled
    volatile LONG PowerRequestActive;       // the idle policy's device power request runs

    volatile LONG IdlePowerLevel;           // DEVICE_POWER_STATE the idle policy powers down to
    ULONG StageSize;                        // always TRANSPORT_STAGE_SIZE
    volatile LONG DeviceOpenCount;          // opens of the device itself (0 or 1); interlocked
    volatile LONG WriteResetPending;        // next write restores the pipe first
    volatile LONG ReadResetPending;         // next read restores the pipe first
    KSPIN_LOCK ResetFlagLock;               // guards the test-and-clear of the two reset flags
    ULONG InterfaceNumber;                  // bInterfaceNumber of the last interface found

    // Pipe handles can outlive the table their FsContext points into. Each table gets a new
    // generation number; a handle stores the generation it was opened under in FsContext2 and
    // is honoured only while that generation is current. PipeTableLock guards the table
    // pointers, the generation and the handle look-ups; it is never held with another lock.
    KSPIN_LOCK PipeTableLock;
    ULONG TableGeneration;
};

// ---------------------------------------------------------------------------------------------
// Per-transfer context of a staged bulk transfer (bulk.cpp)
// ---------------------------------------------------------------------------------------------

// Non-paged; owned by the caller's request from the moment its first stage goes down until
// StageCompletion releases it.
struct STAGE_CONTEXT {
    PURB Urb;                       // the bulk URB, reused for every stage
    PMDL StageMdl;                  // partial list, rebuilt per stage over the caller's buffer
    ULONG Remaining;                // bytes not yet handed to a stage
    ULONG Transferred;              // sum of the stage lengths the USB stack reported
    PUCHAR NextVa;                  // where the next stage's window starts
    TRANSPORT_EXTENSION* Extension;
    PIRP Irp;
    ULONG StageLength;              // length asked for by the stage in flight
};

// ---------------------------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------------------------

inline TRANSPORT_EXTENSION* TransportExtension(PDEVICE_OBJECT device)
{
    return static_cast<TRANSPORT_EXTENSION*>(device->DeviceExtension);
}

inline BOOLEAN FlagIsSet(volatile LONG* flag)
{
    return InterlockedCompareExchange(flag, 0, 0) != 0 ? TRUE : FALSE;
}

inline void FlagSet(volatile LONG* flag)
{
    InterlockedExchange(flag, 1);
}

inline void FlagClear(volatile LONG* flag)
{
    InterlockedExchange(flag, 0);
}

inline LONG ReadLong(volatile LONG* value)
{
    return InterlockedCompareExchange(value, 0, 0);
}

inline PVOID TransportAllocate(SIZE_T bytes)
{
    return ExAllocatePoolWithTag(NonPagedPool, bytes, TRANSPORT_POOL_TAG);
}

inline void TransportFree(PVOID block)
{
    ExFreePoolWithTag(block, TRANSPORT_POOL_TAG);
}

// ---------------------------------------------------------------------------------------------
// Routines shared between the files
// ---------------------------------------------------------------------------------------------

// driver.cpp
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
void TransportUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void IoCountAcquire(TRANSPORT_EXTENSION* ext);
LONG IoCountRelease(TRANSPORT_EXTENSION* ext);
BOOLEAN CanAcceptRequests(TRANSPORT_EXTENSION* ext);
NTSTATUS SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS QueryLowerCapabilities(PDEVICE_OBJECT LowerDevice, PDEVICE_CAPABILITIES Capabilities);
ULONG ComputeIdlePowerLevel(const DEVICE_CAPABILITIES* Capabilities);
NTSTATUS StoreInterfaceLinkName(TRANSPORT_EXTENSION* ext, PCUNICODE_STRING Link);

// config.cpp
// *Sent (when given) tells whether the URB reached the USB stack at all.
NTSTATUS SubmitUrbSync(TRANSPORT_EXTENSION* ext, PURB Urb, BOOLEAN* Sent = nullptr);
NTSTATUS StartTransport(TRANSPORT_EXTENSION* ext);
NTSTATUS ReadConfigDescriptor(TRANSPORT_EXTENSION* ext);
BOOLEAN ConfigDescriptorIsWellFormed(const UCHAR* Descriptor, ULONG Length);
NTSTATUS SelectConfiguration(TRANSPORT_EXTENSION* ext, PUSB_CONFIGURATION_DESCRIPTOR Descriptor);
NTSTATUS DeconfigureDevice(TRANSPORT_EXTENSION* ext);
void ReleaseConfiguration(TRANSPORT_EXTENSION* ext);

// pipes.cpp
NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN ParsePipeName(TRANSPORT_EXTENSION* ext, PCUNICODE_STRING Name,
                      ULONG* InterfaceIndex, ULONG* PipeIndex);
BOOLEAN ParsePipeNameIndices(const WCHAR* Name, ULONG LengthChars,
                             ULONG* InterfaceIndex, ULONG* PipeIndex);
BOOLEAN LookupHandlePipe(TRANSPORT_EXTENSION* ext, PFILE_OBJECT FileObject,
                         USBD_PIPE_INFORMATION* Info);
NTSTATUS ResetPipe(TRANSPORT_EXTENSION* ext, const USBD_PIPE_INFORMATION* Info);
NTSTATUS AbortPipe(TRANSPORT_EXTENSION* ext, PIPE_ENTRY* Entry);
NTSTATUS AbortOpenPipes(TRANSPORT_EXTENSION* ext);
NTSTATUS ResetUpstreamPort(TRANSPORT_EXTENSION* ext);
void RestorePipe(TRANSPORT_EXTENSION* ext, const USBD_PIPE_INFORMATION* Info);

// bulk.cpp
NTSTATUS DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// control.cpp
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// pnp.cpp
NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS StopTransport(TRANSPORT_EXTENSION* ext, BOOLEAN Deconfigure);
NTSTATUS RemoveTransport(PDEVICE_OBJECT DeviceObject);

// power.cpp
NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS IdlePowerPolicy(TRANSPORT_EXTENSION* ext, BOOLEAN PowerDown);
NTSTATUS RequestDevicePower(TRANSPORT_EXTENSION* ext, DEVICE_POWER_STATE State);
