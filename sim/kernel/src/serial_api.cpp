// The Win32 serial communications interface, translated into the standard IOCTL_SERIAL_*
// requests in the order Windows sends them. Each call waits for its requests, on synchronous
// and overlapped handles alike; only WaitCommEvent uses the caller's OVERLAPPED.
#include "app_internal.h"

namespace sim {
namespace app {
namespace {

// One control request, waited for. The status is the request's.
NTSTATUS SerialControl(const std::shared_ptr<OpenFile> &file, ULONG code, const void *input, ULONG inputLength,
                       void *output, ULONG outputLength) {
    IoParameters parameters;
    parameters.major = IRP_MJ_DEVICE_CONTROL;
    parameters.ioControlCode = code;
    parameters.input = const_cast<void *>(input);
    parameters.inputLength = inputLength;
    parameters.output = output;
    parameters.outputLength = outputLength;
    return IssueRequest(file, parameters, nullptr, nullptr);
}

BOOL Control(HANDLE handle, ULONG code, const void *input, ULONG inputLength, void *output, ULONG outputLength) {
    std::shared_ptr<OpenFile> file = FileOf(handle);
    if (!file) return FailWith(STATUS_INVALID_HANDLE);
    NTSTATUS status = SerialControl(file, code, input, inputLength, output, outputLength);
    return NT_SUCCESS(status) ? TRUE : FailWith(status);
}

// =====================================================================================
// DCB <-> port settings
// =====================================================================================
struct PortSettings {
    SERIAL_BAUD_RATE baud;
    SERIAL_LINE_CONTROL line;
    SERIAL_CHARS chars;
    SERIAL_HANDFLOW handflow;
};

PortSettings SettingsOf(const DCB &dcb) {
    PortSettings s;
    memset(&s, 0, sizeof s);
    s.baud.BaudRate = dcb.BaudRate;
    s.line.StopBits = dcb.StopBits;
    s.line.Parity = dcb.Parity;
    s.line.WordLength = dcb.ByteSize;
    s.chars.EofChar = (UCHAR)dcb.EofChar;
    s.chars.ErrorChar = (UCHAR)dcb.ErrorChar;
    s.chars.BreakChar = 0;
    s.chars.EventChar = (UCHAR)dcb.EvtChar;
    s.chars.XonChar = (UCHAR)dcb.XonChar;
    s.chars.XoffChar = (UCHAR)dcb.XoffChar;
    ULONG shake = 0, replace = 0;
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE) shake |= SERIAL_DTR_CONTROL;
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) shake |= SERIAL_DTR_HANDSHAKE;
    if (dcb.fOutxCtsFlow) shake |= SERIAL_CTS_HANDSHAKE;
    if (dcb.fOutxDsrFlow) shake |= SERIAL_DSR_HANDSHAKE;
    if (dcb.fDsrSensitivity) shake |= SERIAL_DSR_SENSITIVITY;
    if (dcb.fAbortOnError) shake |= SERIAL_ERROR_ABORT;
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE) replace |= SERIAL_RTS_CONTROL;
    if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) replace |= SERIAL_RTS_HANDSHAKE;
    if (dcb.fRtsControl == RTS_CONTROL_TOGGLE) replace |= SERIAL_TRANSMIT_TOGGLE;
    if (dcb.fOutX) replace |= SERIAL_AUTO_TRANSMIT;
    if (dcb.fInX) replace |= SERIAL_AUTO_RECEIVE;
    if (dcb.fErrorChar) replace |= SERIAL_ERROR_CHAR;
    if (dcb.fNull) replace |= SERIAL_NULL_STRIPPING;
    if (dcb.fTXContinueOnXoff) replace |= SERIAL_XOFF_CONTINUE;
    s.handflow.ControlHandShake = shake;
    s.handflow.FlowReplace = replace;
    s.handflow.XonLimit = dcb.XonLim;
    s.handflow.XoffLimit = dcb.XoffLim;
    return s;
}

void FillDcb(const PortSettings &s, DCB *dcb) {
    memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = s.baud.BaudRate;
    dcb->fBinary = 1;
    dcb->fParity = s.line.Parity != NOPARITY;
    ULONG shake = s.handflow.ControlHandShake, replace = s.handflow.FlowReplace;
    dcb->fDtrControl = (shake & SERIAL_DTR_MASK) == SERIAL_DTR_CONTROL     ? DTR_CONTROL_ENABLE
                       : (shake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE ? DTR_CONTROL_HANDSHAKE
                                                                           : DTR_CONTROL_DISABLE;
    dcb->fOutxCtsFlow = (shake & SERIAL_CTS_HANDSHAKE) != 0;
    dcb->fOutxDsrFlow = (shake & SERIAL_DSR_HANDSHAKE) != 0;
    dcb->fDsrSensitivity = (shake & SERIAL_DSR_SENSITIVITY) != 0;
    dcb->fAbortOnError = (shake & SERIAL_ERROR_ABORT) != 0;
    switch (replace & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL: dcb->fRtsControl = RTS_CONTROL_ENABLE; break;
    case SERIAL_RTS_HANDSHAKE: dcb->fRtsControl = RTS_CONTROL_HANDSHAKE; break;
    case SERIAL_TRANSMIT_TOGGLE: dcb->fRtsControl = RTS_CONTROL_TOGGLE; break;
    default: dcb->fRtsControl = RTS_CONTROL_DISABLE; break;
    }
    dcb->fOutX = (replace & SERIAL_AUTO_TRANSMIT) != 0;
    dcb->fInX = (replace & SERIAL_AUTO_RECEIVE) != 0;
    dcb->fErrorChar = (replace & SERIAL_ERROR_CHAR) != 0;
    dcb->fNull = (replace & SERIAL_NULL_STRIPPING) != 0;
    dcb->fTXContinueOnXoff = (replace & SERIAL_XOFF_CONTINUE) != 0;
    dcb->XonLim = (WORD)s.handflow.XonLimit;
    dcb->XoffLim = (WORD)s.handflow.XoffLimit;
    dcb->ByteSize = s.line.WordLength;
    dcb->Parity = s.line.Parity;
    dcb->StopBits = s.line.StopBits;
    dcb->XonChar = (char)s.chars.XonChar;
    dcb->XoffChar = (char)s.chars.XoffChar;
    dcb->ErrorChar = (char)s.chars.ErrorChar;
    dcb->EofChar = (char)s.chars.EofChar;
    dcb->EvtChar = (char)s.chars.EventChar;
}

NTSTATUS ReadSettings(const std::shared_ptr<OpenFile> &file, PortSettings *s) {
    NTSTATUS status = SerialControl(file, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &s->baud, sizeof s->baud);
    if (NT_SUCCESS(status))
        status = SerialControl(file, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &s->line, sizeof s->line);
    if (NT_SUCCESS(status))
        status = SerialControl(file, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &s->chars, sizeof s->chars);
    if (NT_SUCCESS(status))
        status = SerialControl(file, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &s->handflow, sizeof s->handflow);
    return status;
}

// The line requests that the DCB's RTS and DTR modes call for: none under handshake or toggle.
ULONG RtsRequestOf(const DCB &dcb) {
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE) return IOCTL_SERIAL_SET_RTS;
    if (dcb.fRtsControl == RTS_CONTROL_DISABLE) return IOCTL_SERIAL_CLR_RTS;
    return 0;
}

ULONG DtrRequestOf(const DCB &dcb) {
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE) return IOCTL_SERIAL_SET_DTR;
    if (dcb.fDtrControl == DTR_CONTROL_DISABLE) return IOCTL_SERIAL_CLR_DTR;
    return 0;
}

// Baud rate, RTS, DTR, line control, special characters, handshake: stops at the first refusal.
NTSTATUS WriteSettings(const std::shared_ptr<OpenFile> &file, const PortSettings &s, ULONG rts, ULONG dtr) {
    NTSTATUS status = SerialControl(file, IOCTL_SERIAL_SET_BAUD_RATE, &s.baud, sizeof s.baud, nullptr, 0);
    if (NT_SUCCESS(status) && rts != 0) status = SerialControl(file, rts, nullptr, 0, nullptr, 0);
    if (NT_SUCCESS(status) && dtr != 0) status = SerialControl(file, dtr, nullptr, 0, nullptr, 0);
    if (NT_SUCCESS(status))
        status = SerialControl(file, IOCTL_SERIAL_SET_LINE_CONTROL, &s.line, sizeof s.line, nullptr, 0);
    if (NT_SUCCESS(status)) status = SerialControl(file, IOCTL_SERIAL_SET_CHARS, &s.chars, sizeof s.chars, nullptr, 0);
    if (NT_SUCCESS(status))
        status = SerialControl(file, IOCTL_SERIAL_SET_HANDFLOW, &s.handflow, sizeof s.handflow, nullptr, 0);
    return status;
}

}  // namespace
}  // namespace app
}  // namespace sim

using namespace sim::app;

// =====================================================================================
// Port state
// =====================================================================================
// The current settings are read first; a refused step puts them back and fails the call.
BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
    std::shared_ptr<OpenFile> file = FileOf(hFile);
    if (!file) return FailWith(STATUS_INVALID_HANDLE);
    if (lpDCB == nullptr) return FailWith(STATUS_INVALID_PARAMETER);
    PortSettings previous;
    NTSTATUS status = ReadSettings(file, &previous);
    if (!NT_SUCCESS(status)) return FailWith(status);
    status = WriteSettings(file, SettingsOf(*lpDCB), RtsRequestOf(*lpDCB), DtrRequestOf(*lpDCB));
    if (NT_SUCCESS(status)) return TRUE;
    WriteSettings(file, previous, 0, 0);
    return FailWith(status);
}

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
    std::shared_ptr<OpenFile> file = FileOf(hFile);
    if (!file) return FailWith(STATUS_INVALID_HANDLE);
    if (lpDCB == nullptr) return FailWith(STATUS_INVALID_PARAMETER);
    PortSettings settings;
    NTSTATUS status = ReadSettings(file, &settings);
    if (!NT_SUCCESS(status)) return FailWith(status);
    FillDcb(settings, lpDCB);
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (lpCommTimeouts == nullptr) return FailWith(STATUS_INVALID_PARAMETER);
    SERIAL_TIMEOUTS timeouts;
    memcpy(&timeouts, lpCommTimeouts, sizeof timeouts);
    return Control(hFile, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0);
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (lpCommTimeouts == nullptr) return FailWith(STATUS_INVALID_PARAMETER);
    SERIAL_TIMEOUTS timeouts;
    if (!Control(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &timeouts, sizeof timeouts)) return FALSE;
    memcpy(lpCommTimeouts, &timeouts, sizeof timeouts);
    return TRUE;
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    SERIAL_QUEUE_SIZE sizes{dwInQueue, dwOutQueue};
    return Control(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes, sizeof sizes, nullptr, 0);
}

BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
    if (lpCommProp == nullptr) return FailWith(STATUS_INVALID_PARAMETER);
    return Control(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, sizeof(COMMPROP));
}

BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    if (lpModemStat == nullptr) return FailWith(STATUS_INVALID_PARAMETER);
    ULONG status = 0;
    if (!Control(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof status)) return FALSE;
    *lpModemStat = status;
    return TRUE;
}

// =====================================================================================
// Events, purge, errors, line functions
// =====================================================================================
BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    ULONG mask = dwEvtMask;
    return Control(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0);
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    if (lpEvtMask == nullptr) return FailWith(STATUS_INVALID_PARAMETER);
    ULONG mask = 0;
    if (!Control(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof mask)) return FALSE;
    *lpEvtMask = mask;
    return TRUE;
}

// With an OVERLAPPED on an overlapped handle the wait may stay pending (ERROR_IO_PENDING): the
// event mask arrives in *lpEvtMask when it completes.
BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    DWORD bytes = 0;
    return DeviceIoControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD), &bytes, lpOverlapped);
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
    ULONG flags = dwFlags;
    return Control(hFile, IOCTL_SERIAL_PURGE, &flags, sizeof flags, nullptr, 0);
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    SERIAL_STATUS status;
    memset(&status, 0, sizeof status);
    if (!Control(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status)) return FALSE;
    if (lpErrors != nullptr) {
        DWORD errors = 0;
        if (status.Errors & SERIAL_ERROR_QUEUEOVERRUN) errors |= CE_RXOVER;
        if (status.Errors & SERIAL_ERROR_OVERRUN) errors |= CE_OVERRUN;
        if (status.Errors & SERIAL_ERROR_PARITY) errors |= CE_RXPARITY;
        if (status.Errors & SERIAL_ERROR_FRAMING) errors |= CE_FRAME;
        if (status.Errors & SERIAL_ERROR_BREAK) errors |= CE_BREAK;
        *lpErrors = errors;
    }
    if (lpStat != nullptr) {
        memset(lpStat, 0, sizeof *lpStat);
        lpStat->fCtsHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
        lpStat->fDsrHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
        lpStat->fRlsdHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
        lpStat->fXoffHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
        lpStat->fXoffSent = (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
        lpStat->fEof = status.EofReceived != 0;
        lpStat->fTxim = status.WaitForImmediate != 0;
        lpStat->cbInQue = status.AmountInInQueue;
        lpStat->cbOutQue = status.AmountInOutQueue;
    }
    return TRUE;
}

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    static const ULONG codes[] = {0,
                                  IOCTL_SERIAL_SET_XOFF,
                                  IOCTL_SERIAL_SET_XON,
                                  IOCTL_SERIAL_SET_RTS,
                                  IOCTL_SERIAL_CLR_RTS,
                                  IOCTL_SERIAL_SET_DTR,
                                  IOCTL_SERIAL_CLR_DTR,
                                  IOCTL_SERIAL_RESET_DEVICE,
                                  IOCTL_SERIAL_SET_BREAK_ON,
                                  IOCTL_SERIAL_SET_BREAK_OFF};
    if (dwFunc == 0 || dwFunc >= sizeof codes / sizeof codes[0]) return FailWith(STATUS_INVALID_PARAMETER);
    return Control(hFile, codes[dwFunc], nullptr, 0, nullptr, 0);
}

BOOL SetCommBreak(HANDLE hFile) { return Control(hFile, IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0, nullptr, 0); }

BOOL ClearCommBreak(HANDLE hFile) { return Control(hFile, IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0, nullptr, 0); }
