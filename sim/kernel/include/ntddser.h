// The serial port device interface: control codes, records and flag values
// with the DDK's names and published numbers.
//
// ULONG is 32 bits here as on Windows, so every record has the size a
// Windows client passes in its buffer; the sizes are checked below.
#pragma once

#include "wdm.h"

// ---------------------------------------------------------------------------
// Device interface
// ---------------------------------------------------------------------------

// {86E0D1E0-8089-11D0-9CE4-08003E301F73}. Declared only: the defining
// translation unit supplies the value (DEFINE_GUID expands to a matching
// extern "C" definition).
extern "C" const GUID GUID_DEVINTERFACE_COMPORT;
#define GUID_CLASS_COMPORT GUID_DEVINTERFACE_COMPORT

// ---------------------------------------------------------------------------
// Device control codes (IRP_MJ_DEVICE_CONTROL)
// ---------------------------------------------------------------------------

#define IOCTL_SERIAL_SET_BAUD_RATE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_QUEUE_SIZE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 2, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_LINE_CONTROL CTL_CODE(FILE_DEVICE_SERIAL_PORT, 3, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_BREAK_ON CTL_CODE(FILE_DEVICE_SERIAL_PORT, 4, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_BREAK_OFF CTL_CODE(FILE_DEVICE_SERIAL_PORT, 5, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_IMMEDIATE_CHAR CTL_CODE(FILE_DEVICE_SERIAL_PORT, 6, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_TIMEOUTS CTL_CODE(FILE_DEVICE_SERIAL_PORT, 7, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_TIMEOUTS CTL_CODE(FILE_DEVICE_SERIAL_PORT, 8, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_DTR CTL_CODE(FILE_DEVICE_SERIAL_PORT, 9, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_CLR_DTR CTL_CODE(FILE_DEVICE_SERIAL_PORT, 10, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_RESET_DEVICE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 11, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_RTS CTL_CODE(FILE_DEVICE_SERIAL_PORT, 12, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_CLR_RTS CTL_CODE(FILE_DEVICE_SERIAL_PORT, 13, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_XOFF CTL_CODE(FILE_DEVICE_SERIAL_PORT, 14, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_XON CTL_CODE(FILE_DEVICE_SERIAL_PORT, 15, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_WAIT_MASK CTL_CODE(FILE_DEVICE_SERIAL_PORT, 16, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_WAIT_MASK CTL_CODE(FILE_DEVICE_SERIAL_PORT, 17, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_WAIT_ON_MASK CTL_CODE(FILE_DEVICE_SERIAL_PORT, 18, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_PURGE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 19, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_BAUD_RATE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 20, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_LINE_CONTROL CTL_CODE(FILE_DEVICE_SERIAL_PORT, 21, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_CHARS CTL_CODE(FILE_DEVICE_SERIAL_PORT, 22, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_CHARS CTL_CODE(FILE_DEVICE_SERIAL_PORT, 23, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_HANDFLOW CTL_CODE(FILE_DEVICE_SERIAL_PORT, 24, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_HANDFLOW CTL_CODE(FILE_DEVICE_SERIAL_PORT, 25, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_MODEMSTATUS CTL_CODE(FILE_DEVICE_SERIAL_PORT, 26, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_COMMSTATUS CTL_CODE(FILE_DEVICE_SERIAL_PORT, 27, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_XOFF_COUNTER CTL_CODE(FILE_DEVICE_SERIAL_PORT, 28, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_PROPERTIES CTL_CODE(FILE_DEVICE_SERIAL_PORT, 29, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_DTRRTS CTL_CODE(FILE_DEVICE_SERIAL_PORT, 30, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_LSRMST_INSERT CTL_CODE(FILE_DEVICE_SERIAL_PORT, 31, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_CONFIG_SIZE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 32, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_STATS CTL_CODE(FILE_DEVICE_SERIAL_PORT, 35, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_CLEAR_STATS CTL_CODE(FILE_DEVICE_SERIAL_PORT, 36, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_MODEM_CONTROL CTL_CODE(FILE_DEVICE_SERIAL_PORT, 37, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_MODEM_CONTROL CTL_CODE(FILE_DEVICE_SERIAL_PORT, 38, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_FIFO_CONTROL CTL_CODE(FILE_DEVICE_SERIAL_PORT, 39, METHOD_BUFFERED, FILE_ANY_ACCESS)

// Internal requests (IRP_MJ_INTERNAL_DEVICE_CONTROL) from trusted kernel
// clients. The numbers overlap the public ones; the major code tells them
// apart.
#define IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 2, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS CTL_CODE(FILE_DEVICE_SERIAL_PORT, 3, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS CTL_CODE(FILE_DEVICE_SERIAL_PORT, 4, METHOD_BUFFERED, FILE_ANY_ACCESS)

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

typedef struct _SERIAL_BAUD_RATE {
    ULONG BaudRate;  // bits per second
} SERIAL_BAUD_RATE, *PSERIAL_BAUD_RATE;

typedef struct _SERIAL_LINE_CONTROL {
    UCHAR StopBits;    // STOP_BIT_1, STOP_BITS_1_5, STOP_BITS_2
    UCHAR Parity;      // NO_PARITY ... SPACE_PARITY
    UCHAR WordLength;  // data bits, 5 to 8
} SERIAL_LINE_CONTROL, *PSERIAL_LINE_CONTROL;

// All in milliseconds. A read with ReadIntervalTimeout MAXULONG and both
// read totals zero returns at once with whatever is buffered.
typedef struct _SERIAL_TIMEOUTS {
    ULONG ReadIntervalTimeout;
    ULONG ReadTotalTimeoutMultiplier;
    ULONG ReadTotalTimeoutConstant;
    ULONG WriteTotalTimeoutMultiplier;
    ULONG WriteTotalTimeoutConstant;
} SERIAL_TIMEOUTS, *PSERIAL_TIMEOUTS;

typedef struct _SERIAL_QUEUE_SIZE {
    ULONG InSize;
    ULONG OutSize;
} SERIAL_QUEUE_SIZE, *PSERIAL_QUEUE_SIZE;

typedef struct _SERIAL_CHARS {
    UCHAR EofChar;
    UCHAR ErrorChar;
    UCHAR BreakChar;
    UCHAR EventChar;
    UCHAR XonChar;
    UCHAR XoffChar;
} SERIAL_CHARS, *PSERIAL_CHARS;

typedef struct _SERIAL_HANDFLOW {
    ULONG ControlHandShake;  // SERIAL_DTR_* / *_HANDSHAKE / SERIAL_DSR_SENSITIVITY / SERIAL_ERROR_ABORT
    ULONG FlowReplace;       // SERIAL_AUTO_* / SERIAL_RTS_* / SERIAL_XOFF_CONTINUE ...
    LONG XonLimit;
    LONG XoffLimit;
} SERIAL_HANDFLOW, *PSERIAL_HANDFLOW;

typedef struct _SERIAL_STATUS {
    ULONG Errors;       // SERIAL_ERROR_*, cleared once reported
    ULONG HoldReasons;  // SERIAL_TX_WAITING_* / SERIAL_RX_WAITING_FOR_DSR
    ULONG AmountInInQueue;
    ULONG AmountInOutQueue;
    BOOLEAN EofReceived;
    BOOLEAN WaitForImmediate;
} SERIAL_STATUS, *PSERIAL_STATUS;

typedef struct _SERIALPERF_STATS {
    ULONG ReceivedCount;
    ULONG TransmittedCount;
    ULONG FrameErrorCount;
    ULONG SerialOverrunErrorCount;
    ULONG BufferOverrunErrorCount;
    ULONG ParityErrorCount;
} SERIALPERF_STATS, *PSERIALPERF_STATS;

// Input of IOCTL_SERIAL_XOFF_COUNTER: send XoffChar, then complete after
// Counter more characters arrive, a write arrives, or Timeout ms pass.
typedef struct _SERIAL_XOFF_COUNTER {
    ULONG Timeout;
    LONG Counter;
    UCHAR XoffChar;
} SERIAL_XOFF_COUNTER, *PSERIAL_XOFF_COUNTER;

// Output of IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, fed back unchanged to
// IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS.
typedef struct _SERIAL_BASIC_SETTINGS {
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_HANDFLOW HandFlow;
    ULONG RxFifo;
    ULONG TxFifo;
} SERIAL_BASIC_SETTINGS, *PSERIAL_BASIC_SETTINGS;

// Output of IOCTL_SERIAL_GET_PROPERTIES; PacketLength covers ProvChar[] too.
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

static_assert(sizeof(SERIAL_BAUD_RATE) == 4, "SERIAL_BAUD_RATE layout");
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "SERIAL_LINE_CONTROL layout");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "SERIAL_TIMEOUTS layout");
static_assert(sizeof(SERIAL_QUEUE_SIZE) == 8, "SERIAL_QUEUE_SIZE layout");
static_assert(sizeof(SERIAL_CHARS) == 6, "SERIAL_CHARS layout");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "SERIAL_HANDFLOW layout");
static_assert(sizeof(SERIAL_STATUS) == 20, "SERIAL_STATUS layout");
static_assert(sizeof(SERIALPERF_STATS) == 24, "SERIALPERF_STATS layout");
static_assert(sizeof(SERIAL_XOFF_COUNTER) == 12, "SERIAL_XOFF_COUNTER layout");
static_assert(sizeof(SERIAL_BASIC_SETTINGS) == 44, "SERIAL_BASIC_SETTINGS layout");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "SERIAL_COMMPROP layout");

// ---------------------------------------------------------------------------
// Line control values
// ---------------------------------------------------------------------------

#define STOP_BIT_1 0
#define STOP_BITS_1_5 1
#define STOP_BITS_2 2

#define NO_PARITY 0
#define ODD_PARITY 1
#define EVEN_PARITY 2
#define MARK_PARITY 3
#define SPACE_PARITY 4

// ---------------------------------------------------------------------------
// Wait mask events (IOCTL_SERIAL_SET_WAIT_MASK / WAIT_ON_MASK)
// ---------------------------------------------------------------------------

#define SERIAL_EV_RXCHAR 0x0001    // any character received
#define SERIAL_EV_RXFLAG 0x0002    // the EventChar received
#define SERIAL_EV_TXEMPTY 0x0004   // last character of the output queue sent
#define SERIAL_EV_CTS 0x0008       // CTS changed
#define SERIAL_EV_DSR 0x0010       // DSR changed
#define SERIAL_EV_RLSD 0x0020      // DCD (receive line signal detect) changed
#define SERIAL_EV_BREAK 0x0040     // break received
#define SERIAL_EV_ERR 0x0080       // line status error
#define SERIAL_EV_RING 0x0100      // ring indicator
#define SERIAL_EV_PERR 0x0200      // printer error
#define SERIAL_EV_RX80FULL 0x0400  // receive buffer 80% full
#define SERIAL_EV_EVENT1 0x0800    // provider specific
#define SERIAL_EV_EVENT2 0x1000    // provider specific

// ---------------------------------------------------------------------------
// Purge mask (IOCTL_SERIAL_PURGE)
// ---------------------------------------------------------------------------

#define SERIAL_PURGE_TXABORT 0x00000001
#define SERIAL_PURGE_RXABORT 0x00000002
#define SERIAL_PURGE_TXCLEAR 0x00000004
#define SERIAL_PURGE_RXCLEAR 0x00000008

// ---------------------------------------------------------------------------
// Modem line state (IOCTL_SERIAL_GET_DTRRTS and IOCTL_SERIAL_GET_MODEMSTATUS)
// ---------------------------------------------------------------------------

#define SERIAL_DTR_STATE ((ULONG)0x00000001)
#define SERIAL_RTS_STATE ((ULONG)0x00000002)
#define SERIAL_CTS_STATE ((ULONG)0x00000010)
#define SERIAL_DSR_STATE ((ULONG)0x00000020)
#define SERIAL_RI_STATE ((ULONG)0x00000040)
#define SERIAL_DCD_STATE ((ULONG)0x00000080)

// 16550 register bits. Serial drivers commonly define these in their own
// headers as well, so each is defined only if still free.
#ifndef SERIAL_LSR_DR
#define SERIAL_LSR_DR 0x01       // data ready
#endif
#ifndef SERIAL_LSR_OE
#define SERIAL_LSR_OE 0x02       // overrun error
#endif
#ifndef SERIAL_LSR_PE
#define SERIAL_LSR_PE 0x04       // parity error
#endif
#ifndef SERIAL_LSR_FE
#define SERIAL_LSR_FE 0x08       // framing error
#endif
#ifndef SERIAL_LSR_BI
#define SERIAL_LSR_BI 0x10       // break interrupt
#endif
#ifndef SERIAL_LSR_THRE
#define SERIAL_LSR_THRE 0x20     // transmit holding register empty
#endif
#ifndef SERIAL_LSR_TEMT
#define SERIAL_LSR_TEMT 0x40     // transmitter empty
#endif
#ifndef SERIAL_LSR_FIFOERR
#define SERIAL_LSR_FIFOERR 0x80  // error in the receive FIFO
#endif

#ifndef SERIAL_MSR_DCTS
#define SERIAL_MSR_DCTS 0x01  // CTS changed
#endif
#ifndef SERIAL_MSR_DDSR
#define SERIAL_MSR_DDSR 0x02  // DSR changed
#endif
#ifndef SERIAL_MSR_TERI
#define SERIAL_MSR_TERI 0x04  // ring indicator went inactive
#endif
#ifndef SERIAL_MSR_DDCD
#define SERIAL_MSR_DDCD 0x08  // DCD changed
#endif
#ifndef SERIAL_MSR_CTS
#define SERIAL_MSR_CTS 0x10
#endif
#ifndef SERIAL_MSR_DSR
#define SERIAL_MSR_DSR 0x20
#endif
#ifndef SERIAL_MSR_RI
#define SERIAL_MSR_RI 0x40
#endif
#ifndef SERIAL_MSR_DCD
#define SERIAL_MSR_DCD 0x80
#endif

// Event types that follow the escape character when LSRMST insertion is on.
#define SERIAL_LSRMST_ESCAPE ((UCHAR)0x00)
#define SERIAL_LSRMST_LSR_DATA ((UCHAR)0x01)
#define SERIAL_LSRMST_LSR_NODATA ((UCHAR)0x02)
#define SERIAL_LSRMST_MST ((UCHAR)0x03)

// FIFO control (IOCTL_SERIAL_SET_FIFO_CONTROL) and modem control
// (IOCTL_SERIAL_GET/SET_MODEM_CONTROL) register bits.
#define SERIAL_IOC_FCR_FIFO_ENABLE ((ULONG)0x00000001)
#define SERIAL_IOC_FCR_RCVR_RESET ((ULONG)0x00000002)
#define SERIAL_IOC_FCR_XMIT_RESET ((ULONG)0x00000004)
#define SERIAL_IOC_FCR_DMA_MODE ((ULONG)0x00000008)
#define SERIAL_IOC_FCR_RES1 ((ULONG)0x00000010)
#define SERIAL_IOC_FCR_RES2 ((ULONG)0x00000020)
#define SERIAL_IOC_FCR_RCVR_TRIGGER_LSB ((ULONG)0x00000040)
#define SERIAL_IOC_FCR_RCVR_TRIGGER_MSB ((ULONG)0x00000080)

#define SERIAL_IOC_MCR_DTR ((ULONG)0x00000001)
#define SERIAL_IOC_MCR_RTS ((ULONG)0x00000002)
#define SERIAL_IOC_MCR_OUT1 ((ULONG)0x00000004)
#define SERIAL_IOC_MCR_OUT2 ((ULONG)0x00000008)
#define SERIAL_IOC_MCR_LOOP ((ULONG)0x00000010)

// ---------------------------------------------------------------------------
// Handshake and flow control (SERIAL_HANDFLOW)
// ---------------------------------------------------------------------------

// ControlHandShake
#define SERIAL_DTR_MASK ((ULONG)0x03)
#define SERIAL_DTR_CONTROL ((ULONG)0x01)
#define SERIAL_DTR_HANDSHAKE ((ULONG)0x02)
#define SERIAL_CTS_HANDSHAKE ((ULONG)0x08)
#define SERIAL_DSR_HANDSHAKE ((ULONG)0x10)
#define SERIAL_DCD_HANDSHAKE ((ULONG)0x20)
#define SERIAL_OUT_HANDSHAKEMASK ((ULONG)0x38)
#define SERIAL_DSR_SENSITIVITY ((ULONG)0x40)
#define SERIAL_ERROR_ABORT ((ULONG)0x80000000)
#define SERIAL_CONTROL_INVALID ((ULONG)0x7fffff84)  // every bit that no flag above uses

// FlowReplace
#define SERIAL_AUTO_TRANSMIT ((ULONG)0x01)
#define SERIAL_AUTO_RECEIVE ((ULONG)0x02)
#define SERIAL_ERROR_CHAR ((ULONG)0x04)
#define SERIAL_NULL_STRIPPING ((ULONG)0x08)
#define SERIAL_BREAK_CHAR ((ULONG)0x10)
#define SERIAL_RTS_MASK ((ULONG)0xc0)
#define SERIAL_RTS_CONTROL ((ULONG)0x40)
#define SERIAL_RTS_HANDSHAKE ((ULONG)0x80)
#define SERIAL_TRANSMIT_TOGGLE ((ULONG)0xc0)  // both RTS bits: RTS up only while sending
#define SERIAL_XOFF_CONTINUE ((ULONG)0x80000000)
#define SERIAL_FLOW_INVALID ((ULONG)0x7fffff20)  // every bit that no flag above uses

// ---------------------------------------------------------------------------
// Status (SERIAL_STATUS)
// ---------------------------------------------------------------------------

// HoldReasons
#define SERIAL_TX_WAITING_FOR_CTS ((ULONG)0x00000001)
#define SERIAL_TX_WAITING_FOR_DSR ((ULONG)0x00000002)
#define SERIAL_TX_WAITING_FOR_DCD ((ULONG)0x00000004)
#define SERIAL_TX_WAITING_FOR_XON ((ULONG)0x00000008)
#define SERIAL_TX_WAITING_XOFF_SENT ((ULONG)0x00000010)
#define SERIAL_TX_WAITING_ON_BREAK ((ULONG)0x00000020)
#define SERIAL_RX_WAITING_FOR_DSR ((ULONG)0x00000040)

// Errors
#define SERIAL_ERROR_BREAK ((ULONG)0x00000001)
#define SERIAL_ERROR_FRAMING ((ULONG)0x00000002)
#define SERIAL_ERROR_OVERRUN ((ULONG)0x00000004)
#define SERIAL_ERROR_QUEUEOVERRUN ((ULONG)0x00000008)
#define SERIAL_ERROR_PARITY ((ULONG)0x00000010)

// ---------------------------------------------------------------------------
// Properties (SERIAL_COMMPROP)
// ---------------------------------------------------------------------------

// ServiceMask
#define SERIAL_SP_SERIALCOMM ((ULONG)0x00000001)

// ProvSubType
#define SERIAL_SP_UNSPECIFIED ((ULONG)0x00000000)
#define SERIAL_SP_RS232 ((ULONG)0x00000001)
#define SERIAL_SP_PARALLEL ((ULONG)0x00000002)
#define SERIAL_SP_RS422 ((ULONG)0x00000003)
#define SERIAL_SP_RS423 ((ULONG)0x00000004)
#define SERIAL_SP_RS449 ((ULONG)0x00000005)
#define SERIAL_SP_MODEM ((ULONG)0x00000006)
#define SERIAL_SP_FAX ((ULONG)0x00000021)
#define SERIAL_SP_SCANNER ((ULONG)0x00000022)
#define SERIAL_SP_BRIDGE ((ULONG)0x00000100)
#define SERIAL_SP_LAT ((ULONG)0x00000101)
#define SERIAL_SP_TELNET ((ULONG)0x00000102)
#define SERIAL_SP_X25 ((ULONG)0x00000103)

// ProvCapabilities
#define SERIAL_PCF_DTRDSR ((ULONG)0x0001)
#define SERIAL_PCF_RTSCTS ((ULONG)0x0002)
#define SERIAL_PCF_CD ((ULONG)0x0004)
#define SERIAL_PCF_PARITY_CHECK ((ULONG)0x0008)
#define SERIAL_PCF_XONXOFF ((ULONG)0x0010)
#define SERIAL_PCF_SETXCHAR ((ULONG)0x0020)
#define SERIAL_PCF_TOTALTIMEOUTS ((ULONG)0x0040)
#define SERIAL_PCF_INTTIMEOUTS ((ULONG)0x0080)
#define SERIAL_PCF_SPECIALCHARS ((ULONG)0x0100)
#define SERIAL_PCF_16BITMODE ((ULONG)0x0200)

// SettableParams
#define SERIAL_SP_PARITY ((ULONG)0x0001)
#define SERIAL_SP_BAUD ((ULONG)0x0002)
#define SERIAL_SP_DATABITS ((ULONG)0x0004)
#define SERIAL_SP_STOPBITS ((ULONG)0x0008)
#define SERIAL_SP_HANDSHAKING ((ULONG)0x0010)
#define SERIAL_SP_PARITY_CHECK ((ULONG)0x0020)
#define SERIAL_SP_CARRIER_DETECT ((ULONG)0x0040)

// MaxBaud / SettableBaud
#define SERIAL_BAUD_075 ((ULONG)0x00000001)
#define SERIAL_BAUD_110 ((ULONG)0x00000002)
#define SERIAL_BAUD_134_5 ((ULONG)0x00000004)
#define SERIAL_BAUD_150 ((ULONG)0x00000008)
#define SERIAL_BAUD_300 ((ULONG)0x00000010)
#define SERIAL_BAUD_600 ((ULONG)0x00000020)
#define SERIAL_BAUD_1200 ((ULONG)0x00000040)
#define SERIAL_BAUD_1800 ((ULONG)0x00000080)
#define SERIAL_BAUD_2400 ((ULONG)0x00000100)
#define SERIAL_BAUD_4800 ((ULONG)0x00000200)
#define SERIAL_BAUD_7200 ((ULONG)0x00000400)
#define SERIAL_BAUD_9600 ((ULONG)0x00000800)
#define SERIAL_BAUD_14400 ((ULONG)0x00001000)
#define SERIAL_BAUD_19200 ((ULONG)0x00002000)
#define SERIAL_BAUD_38400 ((ULONG)0x00004000)
#define SERIAL_BAUD_56K ((ULONG)0x00008000)
#define SERIAL_BAUD_128K ((ULONG)0x00010000)
#define SERIAL_BAUD_115200 ((ULONG)0x00020000)
#define SERIAL_BAUD_57600 ((ULONG)0x00040000)
#define SERIAL_BAUD_USER ((ULONG)0x10000000)  // rates beyond the bits above

// SettableData
#define SERIAL_DATABITS_5 ((USHORT)0x0001)
#define SERIAL_DATABITS_6 ((USHORT)0x0002)
#define SERIAL_DATABITS_7 ((USHORT)0x0004)
#define SERIAL_DATABITS_8 ((USHORT)0x0008)
#define SERIAL_DATABITS_16 ((USHORT)0x0010)
#define SERIAL_DATABITS_16X ((USHORT)0x0020)

// SettableStopParity
#define SERIAL_STOPBITS_10 ((USHORT)0x0001)
#define SERIAL_STOPBITS_15 ((USHORT)0x0002)
#define SERIAL_STOPBITS_20 ((USHORT)0x0004)
#define SERIAL_PARITY_NONE ((USHORT)0x0100)
#define SERIAL_PARITY_ODD ((USHORT)0x0200)
#define SERIAL_PARITY_EVEN ((USHORT)0x0400)
#define SERIAL_PARITY_MARK ((USHORT)0x0800)
#define SERIAL_PARITY_SPACE ((USHORT)0x1000)
