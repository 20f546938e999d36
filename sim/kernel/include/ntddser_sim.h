// Simulated Windows kernel: the serial port interface as <ntddser.h> declares it.
// Same control codes, structures, layouts and constants as the WDK's, for LP64 Linux.
#pragma once

#include "sim/kernel/include/ntddk_sim.h"

// ==== Device interface class of COM ports ====

// {86E0D1E0-8089-11D0-9CE4-08003E301F73}
inline constexpr GUID GUID_DEVINTERFACE_COMPORT = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
#define GUID_CLASS_COMPORT GUID_DEVINTERFACE_COMPORT

// ==== Control codes: FILE_DEVICE_SERIAL_PORT, METHOD_BUFFERED, FILE_ANY_ACCESS ====

#define SERIAL_CTL(function) CTL_CODE(FILE_DEVICE_SERIAL_PORT, (function), METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_SERIAL_SET_BAUD_RATE                SERIAL_CTL(1)
#define IOCTL_SERIAL_SET_QUEUE_SIZE               SERIAL_CTL(2)
#define IOCTL_SERIAL_SET_LINE_CONTROL             SERIAL_CTL(3)
#define IOCTL_SERIAL_SET_BREAK_ON                 SERIAL_CTL(4)
#define IOCTL_SERIAL_SET_BREAK_OFF                SERIAL_CTL(5)
#define IOCTL_SERIAL_IMMEDIATE_CHAR               SERIAL_CTL(6)
#define IOCTL_SERIAL_SET_TIMEOUTS                 SERIAL_CTL(7)
#define IOCTL_SERIAL_GET_TIMEOUTS                 SERIAL_CTL(8)
#define IOCTL_SERIAL_SET_DTR                      SERIAL_CTL(9)
#define IOCTL_SERIAL_CLR_DTR                      SERIAL_CTL(10)
#define IOCTL_SERIAL_RESET_DEVICE                 SERIAL_CTL(11)
#define IOCTL_SERIAL_SET_RTS                      SERIAL_CTL(12)
#define IOCTL_SERIAL_CLR_RTS                      SERIAL_CTL(13)
#define IOCTL_SERIAL_SET_XOFF                     SERIAL_CTL(14)
#define IOCTL_SERIAL_SET_XON                      SERIAL_CTL(15)
#define IOCTL_SERIAL_GET_WAIT_MASK                SERIAL_CTL(16)
#define IOCTL_SERIAL_SET_WAIT_MASK                SERIAL_CTL(17)
#define IOCTL_SERIAL_WAIT_ON_MASK                 SERIAL_CTL(18)
#define IOCTL_SERIAL_PURGE                        SERIAL_CTL(19)
#define IOCTL_SERIAL_GET_BAUD_RATE                SERIAL_CTL(20)
#define IOCTL_SERIAL_GET_LINE_CONTROL             SERIAL_CTL(21)
#define IOCTL_SERIAL_GET_CHARS                    SERIAL_CTL(22)
#define IOCTL_SERIAL_SET_CHARS                    SERIAL_CTL(23)
#define IOCTL_SERIAL_GET_HANDFLOW                 SERIAL_CTL(24)
#define IOCTL_SERIAL_SET_HANDFLOW                 SERIAL_CTL(25)
#define IOCTL_SERIAL_GET_MODEMSTATUS              SERIAL_CTL(26)
#define IOCTL_SERIAL_GET_COMMSTATUS               SERIAL_CTL(27)
#define IOCTL_SERIAL_XOFF_COUNTER                 SERIAL_CTL(28)
#define IOCTL_SERIAL_GET_PROPERTIES               SERIAL_CTL(29)
#define IOCTL_SERIAL_GET_DTRRTS                   SERIAL_CTL(30)
#define IOCTL_SERIAL_LSRMST_INSERT                SERIAL_CTL(31)
#define IOCTL_SERIAL_CONFIG_SIZE                  SERIAL_CTL(32)
#define IOCTL_SERIAL_GET_COMMCONFIG               SERIAL_CTL(33)
#define IOCTL_SERIAL_SET_COMMCONFIG               SERIAL_CTL(34)
#define IOCTL_SERIAL_GET_STATS                    SERIAL_CTL(35)
#define IOCTL_SERIAL_CLEAR_STATS                  SERIAL_CTL(36)
#define IOCTL_SERIAL_GET_MODEM_CONTROL            SERIAL_CTL(37)
#define IOCTL_SERIAL_SET_MODEM_CONTROL            SERIAL_CTL(38)
#define IOCTL_SERIAL_SET_FIFO_CONTROL             SERIAL_CTL(39)
#define IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION  SERIAL_CTL(40)

// Internal device control codes (IRP_MJ_INTERNAL_DEVICE_CONTROL) between serial drivers.
#define IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE        SERIAL_CTL(1)
#define IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE    SERIAL_CTL(2)
#define IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS      SERIAL_CTL(3)
#define IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS    SERIAL_CTL(4)

static_assert(IOCTL_SERIAL_SET_BAUD_RATE == 0x1B0004, "IOCTL_SERIAL_SET_BAUD_RATE");
static_assert(IOCTL_SERIAL_GET_TIMEOUTS == 0x1B0020, "IOCTL_SERIAL_GET_TIMEOUTS");
static_assert(IOCTL_SERIAL_WAIT_ON_MASK == 0x1B0048, "IOCTL_SERIAL_WAIT_ON_MASK");
static_assert(IOCTL_SERIAL_GET_PROPERTIES == 0x1B0074, "IOCTL_SERIAL_GET_PROPERTIES");
static_assert(IOCTL_SERIAL_CONFIG_SIZE == 0x1B0080, "IOCTL_SERIAL_CONFIG_SIZE");

// ==== Baud rate ====

typedef struct _SERIAL_BAUD_RATE {
    ULONG BaudRate;
} SERIAL_BAUD_RATE, *PSERIAL_BAUD_RATE;

#define SERIAL_BAUD_075     0x00000001
#define SERIAL_BAUD_110     0x00000002
#define SERIAL_BAUD_134_5   0x00000004
#define SERIAL_BAUD_150     0x00000008
#define SERIAL_BAUD_300     0x00000010
#define SERIAL_BAUD_600     0x00000020
#define SERIAL_BAUD_1200    0x00000040
#define SERIAL_BAUD_1800    0x00000080
#define SERIAL_BAUD_2400    0x00000100
#define SERIAL_BAUD_4800    0x00000200
#define SERIAL_BAUD_7200    0x00000400
#define SERIAL_BAUD_9600    0x00000800
#define SERIAL_BAUD_14400   0x00001000
#define SERIAL_BAUD_19200   0x00002000
#define SERIAL_BAUD_38400   0x00004000
#define SERIAL_BAUD_56K     0x00008000
#define SERIAL_BAUD_128K    0x00010000
#define SERIAL_BAUD_115200  0x00020000
#define SERIAL_BAUD_57600   0x00040000
#define SERIAL_BAUD_USER    0x10000000

// ==== Line control ====

typedef struct _SERIAL_LINE_CONTROL {
    UCHAR StopBits;
    UCHAR Parity;
    UCHAR WordLength;
} SERIAL_LINE_CONTROL, *PSERIAL_LINE_CONTROL;

#define STOP_BIT_1      0
#define STOP_BITS_1_5   1
#define STOP_BITS_2     2

#define NO_PARITY       0
#define ODD_PARITY      1
#define EVEN_PARITY     2
#define MARK_PARITY     3
#define SPACE_PARITY    4

// ==== Special characters ====

typedef struct _SERIAL_CHARS {
    UCHAR EofChar;
    UCHAR ErrorChar;
    UCHAR BreakChar;
    UCHAR EventChar;
    UCHAR XonChar;
    UCHAR XoffChar;
} SERIAL_CHARS, *PSERIAL_CHARS;

// ==== Handshake and flow control ====

typedef struct _SERIAL_HANDFLOW {
    ULONG ControlHandShake;
    ULONG FlowReplace;
    LONG XonLimit;
    LONG XoffLimit;
} SERIAL_HANDFLOW, *PSERIAL_HANDFLOW;

// ControlHandShake bits.
#define SERIAL_DTR_MASK           0x00000003
#define SERIAL_DTR_CONTROL        0x00000001
#define SERIAL_DTR_HANDSHAKE      0x00000002
#define SERIAL_CTS_HANDSHAKE      0x00000008
#define SERIAL_DSR_HANDSHAKE      0x00000010
#define SERIAL_DCD_HANDSHAKE      0x00000020
#define SERIAL_OUT_HANDSHAKEMASK  0x00000038
#define SERIAL_DSR_SENSITIVITY    0x00000040
#define SERIAL_ERROR_ABORT        0x80000000
#define SERIAL_CONTROL_INVALID    0x7FFFFF84

// FlowReplace bits.
#define SERIAL_AUTO_TRANSMIT      0x00000001
#define SERIAL_AUTO_RECEIVE       0x00000002
#define SERIAL_ERROR_CHAR         0x00000004
#define SERIAL_NULL_STRIPPING     0x00000008
#define SERIAL_BREAK_CHAR         0x00000010
#define SERIAL_RTS_MASK           0x000000C0
#define SERIAL_RTS_CONTROL        0x00000040
#define SERIAL_RTS_HANDSHAKE      0x00000080
#define SERIAL_TRANSMIT_TOGGLE    0x000000C0
#define SERIAL_XOFF_CONTINUE      0x80000000
#define SERIAL_FLOW_INVALID       0x7FFFFF20

// ==== Time-outs ====

typedef struct _SERIAL_TIMEOUTS {
    ULONG ReadIntervalTimeout;
    ULONG ReadTotalTimeoutMultiplier;
    ULONG ReadTotalTimeoutConstant;
    ULONG WriteTotalTimeoutMultiplier;
    ULONG WriteTotalTimeoutConstant;
} SERIAL_TIMEOUTS, *PSERIAL_TIMEOUTS;

// ==== Status ====

typedef struct _SERIAL_STATUS {
    ULONG Errors;
    ULONG HoldReasons;
    ULONG AmountInInQueue;
    ULONG AmountInOutQueue;
    BOOLEAN EofReceived;
    BOOLEAN WaitForImmediate;
} SERIAL_STATUS, *PSERIAL_STATUS;

// SERIAL_STATUS.Errors bits.
#define SERIAL_ERROR_BREAK         0x00000001
#define SERIAL_ERROR_FRAMING       0x00000002
#define SERIAL_ERROR_OVERRUN       0x00000004
#define SERIAL_ERROR_QUEUEOVERRUN  0x00000008
#define SERIAL_ERROR_PARITY        0x00000010

// SERIAL_STATUS.HoldReasons bits.
#define SERIAL_TX_WAITING_FOR_CTS    0x00000001
#define SERIAL_TX_WAITING_FOR_DSR    0x00000002
#define SERIAL_TX_WAITING_FOR_DCD    0x00000004
#define SERIAL_TX_WAITING_FOR_XON    0x00000008
#define SERIAL_TX_WAITING_XOFF_SENT  0x00000010
#define SERIAL_TX_WAITING_ON_BREAK   0x00000020
#define SERIAL_RX_WAITING_FOR_DSR    0x00000040

// Modem status (IOCTL_SERIAL_GET_MODEMSTATUS) and IOCTL_SERIAL_GET_DTRRTS bits.
#define SERIAL_DTR_STATE  0x00000001
#define SERIAL_RTS_STATE  0x00000002
#define SERIAL_CTS_STATE  0x00000010
#define SERIAL_DSR_STATE  0x00000020
#define SERIAL_RI_STATE   0x00000040
#define SERIAL_DCD_STATE  0x00000080

// ==== Properties ====

typedef struct _SERIAL_COMMPROP {
    USHORT PacketLength;
    USHORT PacketVersion;
    ULONG ServiceMask;
    ULONG Reserved1;
    ULONG MaxTxQueue;
    ULONG MaxRxQueue;
    ULONG MaxBaud;
    ULONG ProvSubType;
    ULONG ProvCapabilities;
    ULONG SettableParams;
    ULONG SettableBaud;
    USHORT SettableData;
    USHORT SettableStopParity;
    ULONG CurrentTxQueue;
    ULONG CurrentRxQueue;
    ULONG ProvSpec1;
    ULONG ProvSpec2;
    WCHAR ProvChar[1];
} SERIAL_COMMPROP, *PSERIAL_COMMPROP;

#define SERIAL_SP_SERIALCOMM  0x00000001

// ProvSubType values.
#define SERIAL_SP_UNSPECIFIED  0x00000000
#define SERIAL_SP_RS232        0x00000001
#define SERIAL_SP_PARALLEL     0x00000002
#define SERIAL_SP_RS422        0x00000003
#define SERIAL_SP_RS423        0x00000004
#define SERIAL_SP_RS449        0x00000005
#define SERIAL_SP_MODEM        0x00000006
#define SERIAL_SP_FAX          0x00000021
#define SERIAL_SP_SCANNER      0x00000022
#define SERIAL_SP_BRIDGE       0x00000100
#define SERIAL_SP_LAT          0x00000101
#define SERIAL_SP_TELNET       0x00000102
#define SERIAL_SP_X25          0x00000103

// ProvCapabilities bits.
#define SERIAL_PCF_DTRDSR         0x00000001
#define SERIAL_PCF_RTSCTS         0x00000002
#define SERIAL_PCF_CD             0x00000004
#define SERIAL_PCF_PARITY_CHECK   0x00000008
#define SERIAL_PCF_XONXOFF        0x00000010
#define SERIAL_PCF_SETXCHAR       0x00000020
#define SERIAL_PCF_TOTALTIMEOUTS  0x00000040
#define SERIAL_PCF_INTTIMEOUTS    0x00000080
#define SERIAL_PCF_SPECIALCHARS   0x00000100
#define SERIAL_PCF_16BITMODE      0x00000200

// SettableParams bits.
#define SERIAL_SP_PARITY         0x0001
#define SERIAL_SP_BAUD           0x0002
#define SERIAL_SP_DATABITS       0x0004
#define SERIAL_SP_STOPBITS       0x0008
#define SERIAL_SP_HANDSHAKING    0x0010
#define SERIAL_SP_PARITY_CHECK   0x0020
#define SERIAL_SP_CARRIER_DETECT 0x0040

// SettableData and SettableStopParity bits.
#define SERIAL_DATABITS_5    0x0001
#define SERIAL_DATABITS_6    0x0002
#define SERIAL_DATABITS_7    0x0004
#define SERIAL_DATABITS_8    0x0008
#define SERIAL_DATABITS_16   0x0010
#define SERIAL_DATABITS_16X  0x0020
#define SERIAL_STOPBITS_10   0x0001
#define SERIAL_STOPBITS_15   0x0002
#define SERIAL_STOPBITS_20   0x0004
#define SERIAL_PARITY_NONE   0x0100
#define SERIAL_PARITY_ODD    0x0200
#define SERIAL_PARITY_EVEN   0x0400
#define SERIAL_PARITY_MARK   0x0800
#define SERIAL_PARITY_SPACE  0x1000

// ==== Queue sizes, statistics, XOFF counter, basic settings ====

typedef struct _SERIAL_QUEUE_SIZE {
    ULONG InSize;
    ULONG OutSize;
} SERIAL_QUEUE_SIZE, *PSERIAL_QUEUE_SIZE;

typedef struct _SERIALPERF_STATS {
    ULONG ReceivedCount;
    ULONG TransmittedCount;
    ULONG FrameErrorCount;
    ULONG SerialOverrunErrorCount;
    ULONG BufferOverrunErrorCount;
    ULONG ParityErrorCount;
} SERIALPERF_STATS, *PSERIALPERF_STATS;

typedef struct _SERIAL_XOFF_COUNTER {
    ULONG Timeout;
    LONG Counter;
    UCHAR XoffChar;
} SERIAL_XOFF_COUNTER, *PSERIAL_XOFF_COUNTER;

typedef struct _SERIAL_BASIC_SETTINGS {
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_HANDFLOW HandFlow;
    ULONG RxFifo;
    ULONG TxFifo;
} SERIAL_BASIC_SETTINGS, *PSERIAL_BASIC_SETTINGS;

// ==== Wait-on-mask events ====

#define SERIAL_EV_RXCHAR    0x0001
#define SERIAL_EV_RXFLAG    0x0002
#define SERIAL_EV_TXEMPTY   0x0004
#define SERIAL_EV_CTS       0x0008
#define SERIAL_EV_DSR       0x0010
#define SERIAL_EV_RLSD      0x0020
#define SERIAL_EV_BREAK     0x0040
#define SERIAL_EV_ERR       0x0080
#define SERIAL_EV_RING      0x0100
#define SERIAL_EV_PERR      0x0200
#define SERIAL_EV_RX80FULL  0x0400
#define SERIAL_EV_EVENT1    0x0800
#define SERIAL_EV_EVENT2    0x1000

// ==== Purge ====

#define SERIAL_PURGE_TXABORT  0x00000001
#define SERIAL_PURGE_RXABORT  0x00000002
#define SERIAL_PURGE_TXCLEAR  0x00000004
#define SERIAL_PURGE_RXCLEAR  0x00000008

// ==== Line status / modem status insertion (IOCTL_SERIAL_LSRMST_INSERT) ====

#define SERIAL_LSRMST_ESCAPE       0x00
#define SERIAL_LSRMST_LSR_DATA     0x01
#define SERIAL_LSRMST_LSR_NODATA   0x02
#define SERIAL_LSRMST_MST          0x03

// ==== Modem control register and FIFO control bits ====

#define SERIAL_IOC_MCR_DTR   0x00000001
#define SERIAL_IOC_MCR_RTS   0x00000002
#define SERIAL_IOC_MCR_OUT1  0x00000004
#define SERIAL_IOC_MCR_OUT2  0x00000008
#define SERIAL_IOC_MCR_LOOP  0x00000010

#define SERIAL_IOC_FCR_FIFO_ENABLE        0x00000001
#define SERIAL_IOC_FCR_RCVR_RESET         0x00000002
#define SERIAL_IOC_FCR_XMIT_RESET         0x00000004
#define SERIAL_IOC_FCR_DMA_MODE           0x00000008
#define SERIAL_IOC_FCR_RES1               0x00000010
#define SERIAL_IOC_FCR_RES2               0x00000020
#define SERIAL_IOC_FCR_RCVR_TRIGGER_LSB   0x00000040
#define SERIAL_IOC_FCR_RCVR_TRIGGER_MSB   0x00000080

// ==== Layouts that cross the application boundary ====

static_assert(sizeof(SERIAL_BAUD_RATE) == 4, "SERIAL_BAUD_RATE size");
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "SERIAL_LINE_CONTROL size");
static_assert(sizeof(SERIAL_CHARS) == 6, "SERIAL_CHARS size");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "SERIAL_HANDFLOW size");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "SERIAL_TIMEOUTS size");
static_assert(sizeof(SERIAL_STATUS) == 20, "SERIAL_STATUS size");
static_assert(offsetof(SERIAL_STATUS, EofReceived) == 16, "SERIAL_STATUS.EofReceived offset");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "SERIAL_COMMPROP size");
static_assert(offsetof(SERIAL_COMMPROP, SettableData) == 40, "SERIAL_COMMPROP.SettableData offset");
static_assert(offsetof(SERIAL_COMMPROP, ProvChar) == 60, "SERIAL_COMMPROP.ProvChar offset");
static_assert(sizeof(SERIAL_QUEUE_SIZE) == 8, "SERIAL_QUEUE_SIZE size");
static_assert(sizeof(SERIALPERF_STATS) == 24, "SERIALPERF_STATS size");
static_assert(sizeof(SERIAL_BASIC_SETTINGS) == 44, "SERIAL_BASIC_SETTINGS size");
