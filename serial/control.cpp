// CardRwCom: serial control requests and the port settings. One constant table maps the
// standard serial codes to their handlers and minimum buffer lengths; five codes of the
// transport pass through to the device below. Baud rate and line control reach the device as
// SET_LINE_CODING, the DTR and RTS lines as SET_CONTROL_LINE_STATE.
#include "serial/serial.h"

#define NO_MINIMUM 0xFFFFFFFFu

// ============================================================================================
// Settings snapshots (SettingsLock)
// ============================================================================================

struct LineSettings {
    ULONG BaudRate;
    SERIAL_LINE_CONTROL LineControl;
};

static LineSettings ReadLineSettings(PSERIAL_DEVICE_EXTENSION ext)
{
    LineSettings s;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->SettingsLock);
    s.BaudRate = ext->BaudRate;
    s.LineControl = ext->LineControl;
    KeReleaseSpinLock(&ext->SettingsLock, irql);
    return s;
}

static void CopySetting(PSERIAL_DEVICE_EXTENSION ext, PVOID Destination, const void* Source, SIZE_T Length)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->SettingsLock);
    RtlCopyMemory(Destination, Source, Length);
    KeReleaseSpinLock(&ext->SettingsLock, irql);
}

// ============================================================================================
// Line coding
// ============================================================================================

// Caller holds LineRequestMutex. The result of the transfer is not reported: the stored
// setting stands either way.
static void SendLineCoding(PDEVICE_OBJECT DeviceObject)
{
    LineSettings s = ReadLineSettings(SerialExtension(DeviceObject));
    UCHAR coding[SERIAL_LINE_CODING_BYTES];
    coding[0] = static_cast<UCHAR>(s.BaudRate);
    coding[1] = static_cast<UCHAR>(s.BaudRate >> 8);
    coding[2] = static_cast<UCHAR>(s.BaudRate >> 16);
    coding[3] = static_cast<UCHAR>(s.BaudRate >> 24);
    coding[4] = s.LineControl.StopBits;
    coding[5] = s.LineControl.Parity;
    coding[6] = s.LineControl.WordLength;
    coding[7] = 0;
    SendClassRequest(DeviceObject, SERIAL_CLASS_FUNCTION, SERIAL_SET_LINE_CODING, 0, 0, sizeof(coding), coding);
}

static NTSTATUS SetBaudRate(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Buffer, ULONG InputLength,
                            ULONG OutputLength, ULONG_PTR* Information)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    MutexAcquire(&ext->LineRequestMutex);
    CopySetting(ext, &ext->BaudRate, Buffer, sizeof(ULONG));
    SendLineCoding(DeviceObject);
    MutexRelease(&ext->LineRequestMutex);
    return STATUS_SUCCESS;
}

static BOOLEAN LineControlValid(const SERIAL_LINE_CONTROL& lc)
{
    if (lc.WordLength < 5 || lc.WordLength > 8) {
        return FALSE;
    }
    if (lc.Parity > SPACE_PARITY) {
        return FALSE;
    }
    switch (lc.StopBits) {
    case STOP_BIT_1:
        return TRUE;
    case STOP_BITS_1_5:
        return lc.WordLength == 5;
    case STOP_BITS_2:
        return lc.WordLength != 5;
    default:
        return FALSE;
    }
}

static NTSTATUS SetLineControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Buffer, ULONG InputLength,
                               ULONG OutputLength, ULONG_PTR* Information)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    SERIAL_LINE_CONTROL lc;
    RtlCopyMemory(&lc, Buffer, sizeof(lc));
    if (!LineControlValid(lc)) {
        return STATUS_INVALID_PARAMETER;
    }
    MutexAcquire(&ext->LineRequestMutex);
    CopySetting(ext, &ext->LineControl, &lc, sizeof(lc));
    SendLineCoding(DeviceObject);
    MutexRelease(&ext->LineRequestMutex);
    return STATUS_SUCCESS;
}

// ============================================================================================
// Control lines
// ============================================================================================

enum ControlLine { LineDtr, LineRts };

// Refused under hardware handshake on that line; otherwise stores the bit and sends the
// control-line word with both lines' states. The bit stays even if the device fails.
static NTSTATUS ChangeControlLine(PDEVICE_OBJECT DeviceObject, ControlLine Line, BOOLEAN Raise)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    USHORT word = 0;
    MutexAcquire(&ext->LineRequestMutex);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->SettingsLock);
    if (Line == LineDtr) {
        if ((ext->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            ext->DtrState = Raise ? 1 : 0;
        }
    } else {
        ULONG rts = ext->HandFlow.FlowReplace & SERIAL_RTS_MASK;
        if (rts == SERIAL_RTS_HANDSHAKE || rts == SERIAL_TRANSMIT_TOGGLE) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            ext->RtsState = Raise ? 2 : 0;
        }
    }
    word = static_cast<USHORT>(ext->RtsState | ext->DtrState);
    KeReleaseSpinLock(&ext->SettingsLock, irql);
    if (NT_SUCCESS(status)) {
        status = SendClassRequest(DeviceObject, SERIAL_CLASS_FUNCTION, SERIAL_SET_CONTROL_LINES, word, 0, 0, NULL);
    }
    MutexRelease(&ext->LineRequestMutex);
    return status;
}

static NTSTATUS SetRts(PDEVICE_OBJECT DeviceObject, PIRP, PVOID, ULONG, ULONG, ULONG_PTR*)
{
    return ChangeControlLine(DeviceObject, LineRts, TRUE);
}

static NTSTATUS ClrRts(PDEVICE_OBJECT DeviceObject, PIRP, PVOID, ULONG, ULONG, ULONG_PTR*)
{
    return ChangeControlLine(DeviceObject, LineRts, FALSE);
}

static NTSTATUS SetDtr(PDEVICE_OBJECT DeviceObject, PIRP, PVOID, ULONG, ULONG, ULONG_PTR*)
{
    return ChangeControlLine(DeviceObject, LineDtr, TRUE);
}

static NTSTATUS ClrDtr(PDEVICE_OBJECT DeviceObject, PIRP, PVOID, ULONG, ULONG, ULONG_PTR*)
{
    return ChangeControlLine(DeviceObject, LineDtr, FALSE);
}

// ============================================================================================
// Stored settings
// ============================================================================================

static NTSTATUS SetQueueSize(PDEVICE_OBJECT, PIRP, PVOID, ULONG, ULONG, ULONG_PTR*)
{
    return STATUS_SUCCESS;   // the receive ring keeps its fixed size
}

static NTSTATUS SetChars(PDEVICE_OBJECT DeviceObject, PIRP, PVOID Buffer, ULONG, ULONG, ULONG_PTR*)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    CopySetting(ext, &ext->SpecialChars, Buffer, sizeof(SERIAL_CHARS));
    return STATUS_SUCCESS;
}

static NTSTATUS SetHandFlow(PDEVICE_OBJECT DeviceObject, PIRP, PVOID Buffer, ULONG, ULONG, ULONG_PTR*)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    SERIAL_HANDFLOW hf;
    RtlCopyMemory(&hf, Buffer, sizeof(hf));
    if ((hf.ControlHandShake & SERIAL_CONTROL_INVALID) != 0 || (hf.FlowReplace & SERIAL_FLOW_INVALID) != 0 ||
        (hf.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK) {
        return STATUS_INVALID_PARAMETER;
    }
    CopySetting(ext, &ext->HandFlow, &hf, sizeof(hf));
    return STATUS_SUCCESS;
}

// Stored holding both ReadLock and WriteLock (in that order), so neither path ever copies a
// half-written set of time-outs.
static NTSTATUS SetTimeouts(PDEVICE_OBJECT DeviceObject, PIRP, PVOID Buffer, ULONG, ULONG, ULONG_PTR*)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    SERIAL_TIMEOUTS t;
    RtlCopyMemory(&t, Buffer, sizeof(t));
    if (t.ReadIntervalTimeout == MAXULONG && t.ReadTotalTimeoutMultiplier == MAXULONG &&
        t.ReadTotalTimeoutConstant == MAXULONG) {
        return STATUS_INVALID_PARAMETER;
    }
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->ReadLock);
    KeAcquireSpinLockAtDpcLevel(&ext->WriteLock);
    ext->Timeouts = t;
    KeReleaseSpinLockFromDpcLevel(&ext->WriteLock);
    KeReleaseSpinLock(&ext->ReadLock, irql);
    return STATUS_SUCCESS;
}

static NTSTATUS GetBaudRate(PDEVICE_OBJECT DeviceObject, PIRP, PVOID Buffer, ULONG, ULONG, ULONG_PTR* Information)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    CopySetting(ext, Buffer, &ext->BaudRate, sizeof(ULONG));
    *Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

static NTSTATUS GetLineControl(PDEVICE_OBJECT DeviceObject, PIRP, PVOID Buffer, ULONG, ULONG, ULONG_PTR* Information)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    CopySetting(ext, Buffer, &ext->LineControl, sizeof(SERIAL_LINE_CONTROL));
    *Information = sizeof(SERIAL_LINE_CONTROL);
    return STATUS_SUCCESS;
}

static NTSTATUS GetChars(PDEVICE_OBJECT DeviceObject, PIRP, PVOID Buffer, ULONG, ULONG, ULONG_PTR* Information)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    CopySetting(ext, Buffer, &ext->SpecialChars, sizeof(SERIAL_CHARS));
    *Information = sizeof(SERIAL_CHARS);
    return STATUS_SUCCESS;
}

static NTSTATUS GetHandFlow(PDEVICE_OBJECT DeviceObject, PIRP, PVOID Buffer, ULONG, ULONG, ULONG_PTR* Information)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    CopySetting(ext, Buffer, &ext->HandFlow, sizeof(SERIAL_HANDFLOW));
    *Information = sizeof(SERIAL_HANDFLOW);
    return STATUS_SUCCESS;
}

static NTSTATUS GetTimeouts(PDEVICE_OBJECT DeviceObject, PIRP, PVOID Buffer, ULONG, ULONG, ULONG_PTR* Information)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    SnapshotTimeouts(ext, &ext->ReadLock, static_cast<SERIAL_TIMEOUTS*>(Buffer));
    *Information = sizeof(SERIAL_TIMEOUTS);
    return STATUS_SUCCESS;
}

// The port keeps no provider-specific configuration: its size is 0.
static NTSTATUS ConfigSize(PDEVICE_OBJECT, PIRP, PVOID Buffer, ULONG, ULONG, ULONG_PTR* Information)
{
    *static_cast<PULONG>(Buffer) = 0;
    *Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

// ============================================================================================
// Status and properties
// ============================================================================================

static NTSTATUS GetCommStatus(PDEVICE_OBJECT DeviceObject, PIRP, PVOID Buffer, ULONG, ULONG, ULONG_PTR* Information)
{
    PSERIAL_STATUS st = static_cast<PSERIAL_STATUS>(Buffer);
    RtlZeroMemory(st, sizeof(SERIAL_STATUS));
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    // Bytes dropped from the full ring since the last status request show as a queue overrun
    // once; asking clears it.
    st->Errors = RxRingTakeOverrun(ext) ? SERIAL_ERROR_QUEUEOVERRUN : 0;
    st->AmountInInQueue = RxRingCount(ext);
    st->EofReceived = TRUE;
    *Information = sizeof(SERIAL_STATUS);
    return STATUS_SUCCESS;
}

// CTS and DSR on, RI and DCD off: the device's own lines are never asked for.
static NTSTATUS GetModemStatus(PDEVICE_OBJECT, PIRP, PVOID Buffer, ULONG, ULONG, ULONG_PTR* Information)
{
    *static_cast<PULONG>(Buffer) = SERIAL_CTS_STATE | SERIAL_DSR_STATE;
    *Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

// The line states the port last set: SERIAL_DTR_STATE and SERIAL_RTS_STATE have the values of
// DtrState and RtsState.
static NTSTATUS GetDtrRts(PDEVICE_OBJECT DeviceObject, PIRP, PVOID Buffer, ULONG, ULONG, ULONG_PTR* Information)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->SettingsLock);
    ULONG lines = static_cast<ULONG>(ext->DtrState | ext->RtsState);
    KeReleaseSpinLock(&ext->SettingsLock, irql);
    *static_cast<PULONG>(Buffer) = lines & (SERIAL_DTR_STATE | SERIAL_RTS_STATE);
    *Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

static NTSTATUS GetProperties(PDEVICE_OBJECT, PIRP, PVOID Buffer, ULONG, ULONG, ULONG_PTR* Information)
{
    PSERIAL_COMMPROP prop = static_cast<PSERIAL_COMMPROP>(Buffer);
    RtlZeroMemory(prop, sizeof(SERIAL_COMMPROP));
    prop->PacketLength = sizeof(SERIAL_COMMPROP);
    prop->PacketVersion = 2;
    prop->ServiceMask = SERIAL_SP_SERIALCOMM;
    prop->MaxBaud = SERIAL_BAUD_USER;
    prop->ProvSubType = SERIAL_SP_RS232;
    prop->SettableBaud = SERIAL_BAUD_USER;
    *Information = sizeof(SERIAL_COMMPROP);
    return STATUS_SUCCESS;
}

// ============================================================================================
// Table and dispatch
// ============================================================================================

struct SerialIoctlEntry {
    ULONG IoControlCode;
    ULONG MinimumInputLength;
    ULONG MinimumOutputLength;
    SerialIoctlHandler* Handler;
};

static const SerialIoctlEntry SerialIoctlTable[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, sizeof(ULONG), NO_MINIMUM, SetBaudRate},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, sizeof(SERIAL_QUEUE_SIZE), NO_MINIMUM, SetQueueSize},
    {IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), NO_MINIMUM, SetLineControl},
    {IOCTL_SERIAL_SET_CHARS, sizeof(SERIAL_CHARS), NO_MINIMUM, SetChars},
    {IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW), NO_MINIMUM, SetHandFlow},
    {IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), NO_MINIMUM, SetTimeouts},
    {IOCTL_SERIAL_PURGE, sizeof(ULONG), NO_MINIMUM, PurgeHandler},
    {IOCTL_SERIAL_SET_WAIT_MASK, sizeof(ULONG), NO_MINIMUM, SetWaitMaskHandler},
    {IOCTL_SERIAL_GET_BAUD_RATE, NO_MINIMUM, sizeof(ULONG), GetBaudRate},
    {IOCTL_SERIAL_CONFIG_SIZE, NO_MINIMUM, sizeof(ULONG), ConfigSize},
    {IOCTL_SERIAL_GET_LINE_CONTROL, NO_MINIMUM, sizeof(SERIAL_LINE_CONTROL), GetLineControl},
    {IOCTL_SERIAL_GET_CHARS, NO_MINIMUM, sizeof(SERIAL_CHARS), GetChars},
    {IOCTL_SERIAL_GET_HANDFLOW, NO_MINIMUM, sizeof(SERIAL_HANDFLOW), GetHandFlow},
    {IOCTL_SERIAL_GET_TIMEOUTS, NO_MINIMUM, sizeof(SERIAL_TIMEOUTS), GetTimeouts},
    {IOCTL_SERIAL_GET_WAIT_MASK, NO_MINIMUM, sizeof(ULONG), GetWaitMaskHandler},
    {IOCTL_SERIAL_WAIT_ON_MASK, NO_MINIMUM, sizeof(ULONG), WaitOnMaskHandler},
    {IOCTL_SERIAL_GET_COMMSTATUS, NO_MINIMUM, sizeof(SERIAL_STATUS), GetCommStatus},
    {IOCTL_SERIAL_GET_MODEMSTATUS, NO_MINIMUM, sizeof(ULONG), GetModemStatus},
    {IOCTL_SERIAL_GET_PROPERTIES, NO_MINIMUM, sizeof(SERIAL_COMMPROP), GetProperties},
    {IOCTL_SERIAL_GET_DTRRTS, NO_MINIMUM, sizeof(ULONG), GetDtrRts},
    {IOCTL_SERIAL_SET_RTS, NO_MINIMUM, NO_MINIMUM, SetRts},
    {IOCTL_SERIAL_CLR_RTS, NO_MINIMUM, NO_MINIMUM, ClrRts},
    {IOCTL_SERIAL_SET_DTR, NO_MINIMUM, NO_MINIMUM, SetDtr},
    {IOCTL_SERIAL_CLR_DTR, NO_MINIMUM, NO_MINIMUM, ClrDtr},
    {0, 0, 0, NULL},
};

static const SerialIoctlEntry* FindIoctl(ULONG IoControlCode)
{
    for (const SerialIoctlEntry* row = SerialIoctlTable; row->Handler != NULL; ++row) {
        if (row->IoControlCode == IoControlCode) {
            return row;
        }
    }
    return NULL;
}

static BOOLEAN BuffersLongEnough(const SerialIoctlEntry* row, ULONG InputLength, ULONG OutputLength)
{
    if (row->MinimumInputLength != NO_MINIMUM && InputLength < row->MinimumInputLength) {
        return FALSE;
    }
    if (row->MinimumOutputLength != NO_MINIMUM && OutputLength < row->MinimumOutputLength) {
        return FALSE;
    }
    return TRUE;
}

NTSTATUS SerialDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (!CanAcceptRequests(DeviceObject)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    Irp->IoStatus.Information = 0;

    if (IsPassThroughCode(code)) {
        return PassThroughToLower(DeviceObject, Irp, code);
    }
    const SerialIoctlEntry* row = FindIoctl(code);
    if (row == NULL) {
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);   // standard codes the port lacks do nothing
    }
    if (!BuffersLongEnough(row, inputLength, outputLength)) {
        return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    ULONG_PTR information = 0;
    NTSTATUS status = row->Handler(DeviceObject, Irp, buffer, inputLength, outputLength, &information);
    if (status == STATUS_PENDING) {
        return status;   // the handler holds the request now
    }
    return CompleteRequest(Irp, status, information);
}
