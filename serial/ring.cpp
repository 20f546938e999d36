// CardRwCom: the 1024-byte receive ring. The read worker appends, readers copy out, the
// status request counts and the purge empties it; each of these runs entirely under RxLock,
// so every one of them sees and leaves RxReadIndex, RxWriteIndex and RxFull consistent.
// When more arrives than fits, the oldest bytes are overwritten: the ring keeps the latest
// 1024 bytes received and notes the loss (RxOverrun) for the next status request. A purge
// empties the ring but leaves that note: only the status request clears it.
#include "serial/serial.h"

// ============================================================================================
// Helpers (caller holds RxLock)
// ============================================================================================

static ULONG RingCountLocked(PSERIAL_DEVICE_EXTENSION ext)
{
    if (ext->RxFull) {
        return SERIAL_RX_RING_SIZE;
    }
    if (ext->RxReadIndex > ext->RxWriteIndex) {
        return SERIAL_RX_RING_SIZE - ext->RxReadIndex + ext->RxWriteIndex;
    }
    return ext->RxWriteIndex - ext->RxReadIndex;
}

static void RingResetLocked(PSERIAL_DEVICE_EXTENSION ext)
{
    ext->RxReadIndex = 0;
    ext->RxWriteIndex = 0;
    ext->RxFull = FALSE;
}

// ============================================================================================
// Ring operations
// ============================================================================================

ULONG RxRingCount(PSERIAL_DEVICE_EXTENSION ext)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->RxLock);
    ULONG count = ext->RxBuffer != NULL ? RingCountLocked(ext) : 0;
    KeReleaseSpinLock(&ext->RxLock, irql);
    return count;
}

// Copies at most Wanted bytes out; returns the number copied. Destination must be resident.
ULONG RxRingRead(PSERIAL_DEVICE_EXTENSION ext, PUCHAR Destination, ULONG Wanted)
{
    ULONG copied = 0;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->RxLock);
    if (ext->RxBuffer != NULL && Wanted != 0) {
        ULONG count = RingCountLocked(ext);
        copied = count < Wanted ? count : Wanted;
        ULONG first = SERIAL_RX_RING_SIZE - ext->RxReadIndex;
        if (first > copied) {
            first = copied;
        }
        RtlCopyMemory(Destination, ext->RxBuffer + ext->RxReadIndex, first);
        RtlCopyMemory(Destination + first, ext->RxBuffer, copied - first);
        ext->RxReadIndex = (ext->RxReadIndex + copied) % SERIAL_RX_RING_SIZE;
        if (copied != 0) {
            ext->RxFull = FALSE;
        }
    }
    KeReleaseSpinLock(&ext->RxLock, irql);
    return copied;
}

void RxRingWrite(PSERIAL_DEVICE_EXTENSION ext, const UCHAR* Source, ULONG Length)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->RxLock);
    if (ext->RxBuffer != NULL && Length != 0) {
        if (Length > SERIAL_RX_RING_SIZE) {
            // Only the last 1024 bytes can be kept.
            Source += Length - SERIAL_RX_RING_SIZE;
            Length = SERIAL_RX_RING_SIZE;
            ext->RxOverrun = TRUE;
        }
        ULONG held = RingCountLocked(ext);
        BOOLEAN fills = held + Length >= SERIAL_RX_RING_SIZE;
        if (held + Length > SERIAL_RX_RING_SIZE) {
            ext->RxOverrun = TRUE;   // the oldest bytes are overwritten below
        }
        ULONG first = SERIAL_RX_RING_SIZE - ext->RxWriteIndex;
        if (first > Length) {
            first = Length;
        }
        RtlCopyMemory(ext->RxBuffer + ext->RxWriteIndex, Source, first);
        RtlCopyMemory(ext->RxBuffer, Source + first, Length - first);
        ext->RxWriteIndex = (ext->RxWriteIndex + Length) % SERIAL_RX_RING_SIZE;
        if (fills) {
            // The oldest byte still held is the one just after the newest.
            ext->RxFull = TRUE;
            ext->RxReadIndex = ext->RxWriteIndex;
        }
    }
    KeReleaseSpinLock(&ext->RxLock, irql);
}

void RxRingPurge(PSERIAL_DEVICE_EXTENSION ext)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->RxLock);
    RingResetLocked(ext);
    KeReleaseSpinLock(&ext->RxLock, irql);
}

// Reports whether received bytes were dropped since the last call, and forgets it: the status
// request reports a queue overrun once, as Windows' serial drivers do.
BOOLEAN RxRingTakeOverrun(PSERIAL_DEVICE_EXTENSION ext)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->RxLock);
    BOOLEAN overrun = ext->RxOverrun;
    ext->RxOverrun = FALSE;
    KeReleaseSpinLock(&ext->RxLock, irql);
    return overrun;
}

// Gives the ring its storage, empty and with no overrun to report (a new handle).
void RxRingAttach(PSERIAL_DEVICE_EXTENSION ext, PUCHAR Storage)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->RxLock);
    ext->RxBuffer = Storage;
    RingResetLocked(ext);
    ext->RxOverrun = FALSE;
    KeReleaseSpinLock(&ext->RxLock, irql);
}

// Takes the storage back for release; the ring is then empty and without storage.
PUCHAR RxRingDetach(PSERIAL_DEVICE_EXTENSION ext)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->RxLock);
    PUCHAR storage = ext->RxBuffer;
    ext->RxBuffer = NULL;
    RingResetLocked(ext);
    ext->RxOverrun = FALSE;
    KeReleaseSpinLock(&ext->RxLock, irql);
    return storage;
}
