// CardRwCom: the virtual serial port above the card reader/writer's USB transport.
// Chief header: the per-device state (SerialDeviceExtension) and the routines the files share.
#pragma once

#include "platform/kernel.h"
#include "include/cardrw_ioctl.h"

// ============================================================================================
// Constants of the port
// ============================================================================================

#define SERIAL_RX_RING_SIZE        1024u   // receive ring, bytes
#define SERIAL_READ_BLOCK_SIZE     64u     // every read sent to the receive pipe asks for this
#define SERIAL_PORT_NAME_BYTES     258u    // port-name buffers: 128 characters and a zero
#define SERIAL_PORT_NAME_DATA      256u    // most data bytes read from a registry name value
#define SERIAL_WORK_NAME_BYTES     258u    // work buffers for device and link names
#define SERIAL_WORKER_PRIORITY     16      // LOW_REALTIME_PRIORITY

#define SERIAL_CLASS_FUNCTION      0x1B    // URB_FUNCTION_CLASS_INTERFACE
#define SERIAL_SET_LINE_CODING     0x20
#define SERIAL_SET_CONTROL_LINES   0x22
#define SERIAL_LINE_CODING_BYTES   8u

#define SERIAL_EV_STOPPED          0x40u   // event mask a held wait gets when the device stops
#define SERIAL_EV_VALID_BITS       0x00001FFFu
#define SERIAL_PURGE_VALID_BITS    0x0000000Fu

// ============================================================================================
// Per-device state
// ============================================================================================
//
// Locking rules, for the whole driver:
// - IoCountLock: OutstandingIo with StopEvent/RemoveEvent.
// - ReadLock: ReadsInProgress with ReadsIdleEvent; Timeouts are copied under it by readers.
// - WriteLock: WritesInProgress with WritesIdleEvent; Timeouts are copied under it by writers;
//   the flush bookkeeping (WriteSequence, WritesInFlight, FlushQueue).
//   IOCTL_SERIAL_SET_TIMEOUTS stores Timeouts holding ReadLock and then WriteLock (the only
//   place where two of these locks nest, always in that order).
// - RxLock: RxReadIndex, RxWriteIndex, RxFull, RxOverrun and the bytes of RxBuffer. Count,
//   copy-out, append and purge each run entirely under it.
// - SettingsLock: BaudRate, LineControl, SpecialChars, HandFlow, RtsState, DtrState (plain
//   copies in and out).
// - LineRequestMutex (synchronization event used as a mutex, PASSIVE_LEVEL): held by a
//   settings request from storing its value until the device has answered the class request,
//   so the device always ends up with the last stored line coding and control-line word.
// - The system cancel spin lock: WaitIrp, WaitIrpPending, WaitArmed, WaitMask.
// - NamingMutex (synchronization event, PASSIVE_LEVEL): the published name (link, map entry,
//   interface, SerialCommName, LinkedPortName and their flags) between start, stop, open and
//   the naming worker.
// - WorkerMutex (synchronization event, PASSIVE_LEVEL): starting and stopping the read worker
//   (ReadThreadObject, RxBuffer allocation and release), which an application's close and the
//   Plug and Play manager's surprise removal may run at the same time.
// - The state flags below that are read by other threads than their writer are LONGs changed
//   and read only through FlagSet/FlagTest.
// No spin lock is held while another is taken, except ReadLock -> WriteLock above.

struct SerialDeviceExtension {
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;

    // Plug and Play request count and the state flags it guards.
    KEVENT RemoveEvent;
    KEVENT StopEvent;
    KSPIN_LOCK IoCountLock;
    volatile LONG OutstandingIo;
    volatile LONG Removed;
    volatile LONG RemovePending;
    volatile LONG StopPending;
    volatile LONG Started;

    // Pipe bindings: pseudo file objects the transport keeps its pipe entries in.
    PFILE_OBJECT ReadPipeFileObject;
    PFILE_OBJECT WritePipeFileObject;

    // Naming (NamingMutex).
    KEVENT NamingMutex;
    ULONG SkipExternalNaming;
    UNICODE_STRING DeviceName;
    UNICODE_STRING SerialCommName;
    BOOLEAN SymbolicLinkCreated;
    BOOLEAN SerialCommWritten;
    UNICODE_STRING InterfaceName;
    PWCHAR LinkedPortName;            // COM name of the link this device owns now

    // Port settings (SettingsLock; Timeouts: ReadLock and WriteLock).
    KSPIN_LOCK SettingsLock;
    KEVENT LineRequestMutex;
    ULONG BaudRate;
    SERIAL_LINE_CONTROL LineControl;
    SERIAL_CHARS SpecialChars;
    SERIAL_HANDFLOW HandFlow;
    SERIAL_TIMEOUTS Timeouts;
    USHORT RtsState;
    USHORT DtrState;

    // Wait-on-mask (system cancel spin lock).
    ULONG WaitMask;
    PIRP WaitIrp;
    BOOLEAN WaitIrpPending;
    BOOLEAN WaitArmed;

    // Transmit path.
    KEVENT WritesIdleEvent;
    KSPIN_LOCK WriteLock;
    volatile LONG WritesInProgress;
    ULONG_PTR WriteSequence;          // WriteLock: sequence number of the last write accepted
    LIST_ENTRY WritesInFlight;        // WriteLock: WriteTicket entries, oldest first
    LIST_ENTRY FlushQueue;            // WriteLock: held flush requests, in arrival order

    // Receive path.
    KEVENT WorkerMutex;
    BOOLEAN ReadWorkerStarted;        // WorkerMutex: a worker was created and not yet joined
    PVOID ReadThreadObject;
    KEVENT ReadThreadExitEvent;       // set by the worker as its last act
    KEVENT ReadIrpEvent;
    KSPIN_LOCK RxLock;
    PUCHAR RxBuffer;
    ULONG RxReadIndex;
    ULONG RxWriteIndex;
    BOOLEAN RxFull;
    BOOLEAN RxOverrun;                // received bytes were dropped since the last status request
    volatile LONG ReadThreadRunning;  // reads are served: set before the worker starts
    KEVENT ReadThreadStopEvent;
    KEVENT ReadsIdleEvent;
    KEVENT RxDataEvent;
    KSPIN_LOCK ReadLock;
    volatile LONG ReadsInProgress;

    // Port open state.
    KEVENT PortClosedEvent;
    volatile LONG PortOpen;

    // Naming worker.
    volatile LONG NamingThreadRunning;
    PVOID NamingThreadObject;
    KEVENT NamingRefreshEvent;
    KEVENT NamingStopEvent;
    KEVENT NamingExitEvent;
};

typedef SerialDeviceExtension* PSERIAL_DEVICE_EXTENSION;

inline PSERIAL_DEVICE_EXTENSION SerialExtension(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<PSERIAL_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

// ---- Cross-thread flags ----

inline BOOLEAN FlagTest(volatile LONG* Flag)
{
    return InterlockedCompareExchange(Flag, 0, 0) != 0 ? TRUE : FALSE;
}

inline void FlagSet(volatile LONG* Flag, BOOLEAN Value)
{
    InterlockedExchange(Flag, Value ? 1 : 0);
}

// ---- Passive-level mutexes made of synchronization events ----

inline void MutexAcquire(PKEVENT Mutex)
{
    KeWaitForSingleObject(Mutex, Executive, KernelMode, FALSE, NULL);
}

inline void MutexRelease(PKEVENT Mutex)
{
    KeSetEvent(Mutex, IO_NO_INCREMENT, FALSE);
}

// ---- Small helpers ----

inline void ZeroBytes(PVOID Destination, SIZE_T Length)
{
    RtlZeroMemory(Destination, Length);
}

PVOID SerialAllocate(POOL_TYPE PoolType, SIZE_T Bytes);   // zero-filled, NULL on failure
void SerialFree(PVOID Block);                             // NULL allowed

// ============================================================================================
// driver.cpp: frame, device creation, request count
// ============================================================================================

#ifdef _WIN32
#define SERIAL_ENTRY_POINT extern "C"
#else
// The simulated kernel loads the driver module and looks its entry up by name.
#define SERIAL_ENTRY_POINT extern "C" __attribute__((visibility("default")))
#endif
SERIAL_ENTRY_POINT NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS SerialAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
void InitDefaultTimeouts(PDEVICE_OBJECT DeviceObject);
NTSTATUS SerialPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void IncrementIoCount(PDEVICE_OBJECT DeviceObject);
LONG DecrementIoCount(PDEVICE_OBJECT DeviceObject);
BOOLEAN CanAcceptRequests(PDEVICE_OBJECT DeviceObject);
NTSTATUS SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

// ============================================================================================
// lower.cpp: requests to the transport and to the port itself
// ============================================================================================

NTSTATUS SendIoctlSynchronous(PDEVICE_OBJECT DeviceObject, ULONG IoControlCode, PVOID InputBuffer,
                              ULONG InputLength, PVOID OutputBuffer, ULONG OutputLength);
NTSTATUS SendClassRequest(PDEVICE_OBJECT DeviceObject, UCHAR Function, UCHAR Request, USHORT Value,
                          USHORT Index, USHORT Length, const void* Buffer);
NTSTATUS ResetWritePipe(PDEVICE_OBJECT DeviceObject);
NTSTATUS SendCreateToLower(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject);
NTSTATUS OpenPipes(PDEVICE_OBJECT DeviceObject);
void ReleasePipeFileObjects(PDEVICE_OBJECT DeviceObject);
NTSTATUS RaiseRts(PDEVICE_OBJECT DeviceObject);
NTSTATUS DropRts(PDEVICE_OBJECT DeviceObject);
NTSTATUS RaiseDtr(PDEVICE_OBJECT DeviceObject);
NTSTATUS DropDtr(PDEVICE_OBJECT DeviceObject);
BOOLEAN IsPassThroughCode(ULONG IoControlCode);
NTSTATUS PassThroughToLower(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG IoControlCode);

// ============================================================================================
// naming.cpp: COM name, DOS-device link, serial device map, COM-port interface
// ============================================================================================

NTSTATUS CreatePortName(PDEVICE_OBJECT DeviceObject);
void RemovePortName(PDEVICE_OBJECT DeviceObject);
NTSTATUS RefreshPortLink(PDEVICE_OBJECT DeviceObject);
NTSTATUS StartNamingThread(PDEVICE_OBJECT DeviceObject);
void StopNamingThread(PDEVICE_OBJECT DeviceObject);
ULONG CompareWideStrings(const WCHAR* A, const WCHAR* B, ULONG MaxCount);

// ============================================================================================
// lifecycle.cpp: Plug and Play, open, close, read worker start and stop
// ============================================================================================

NTSTATUS SerialDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialQueryInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS StartReadThread(PDEVICE_OBJECT DeviceObject);
NTSTATUS StopReadThread(PDEVICE_OBJECT DeviceObject);

// ============================================================================================
// control.cpp: serial control requests and settings
// ============================================================================================

NTSTATUS SerialDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

typedef NTSTATUS SerialIoctlHandler(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Buffer,
                                    ULONG InputLength, ULONG OutputLength,
                                    ULONG_PTR* Information);

// ============================================================================================
// ring.cpp: the receive ring (RxLock)
// ============================================================================================

ULONG RxRingCount(PSERIAL_DEVICE_EXTENSION Extension);
ULONG RxRingRead(PSERIAL_DEVICE_EXTENSION Extension, PUCHAR Destination, ULONG Wanted);
void RxRingWrite(PSERIAL_DEVICE_EXTENSION Extension, const UCHAR* Source, ULONG Length);
void RxRingPurge(PSERIAL_DEVICE_EXTENSION Extension);
BOOLEAN RxRingTakeOverrun(PSERIAL_DEVICE_EXTENSION Extension);
void RxRingAttach(PSERIAL_DEVICE_EXTENSION Extension, PUCHAR Storage);
PUCHAR RxRingDetach(PSERIAL_DEVICE_EXTENSION Extension);

// ============================================================================================
// receive.cpp and transmit.cpp
// ============================================================================================

void ReadThreadMain(PVOID Context);
NTSTATUS SerialRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void SnapshotTimeouts(PSERIAL_DEVICE_EXTENSION Extension, PKSPIN_LOCK Lock, SERIAL_TIMEOUTS* Copy);

// ============================================================================================
// flush.cpp: IRP_MJ_FLUSH_BUFFERS, served by the port over the writes in flight
// ============================================================================================

// One write between its acceptance and its completion; lives on SerialWrite's stack.
struct WriteTicket {
    LIST_ENTRY Link;
    ULONG_PTR Sequence;
};

NTSTATUS SerialFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void WriteTicketOpen(PSERIAL_DEVICE_EXTENSION Extension, WriteTicket* Ticket);
void WriteTicketClose(PDEVICE_OBJECT DeviceObject, WriteTicket* Ticket);

// ============================================================================================
// events.cpp: wait-on-mask, purge
// ============================================================================================

SerialIoctlHandler SetWaitMaskHandler;
SerialIoctlHandler GetWaitMaskHandler;
SerialIoctlHandler WaitOnMaskHandler;
SerialIoctlHandler PurgeHandler;
void CompleteWaitIrp(PDEVICE_OBJECT DeviceObject, ULONG EventMask);
void ResetWaitState(PDEVICE_OBJECT DeviceObject);
