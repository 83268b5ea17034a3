/* The messages between the test bus (qvsimbus.sys) and the device host
 * (qvsimhost.exe). The bus sends one URB message per URB it receives on a
 * child that reaches the device; the host answers each with one answer
 * message carrying the same tag (all but QVLINK_OP_CLOSE, which the bus
 * sends on its own when a configuration goes). Both travel over two message-mode named pipes that the host creates
 * (a kernel thread of the bus is their client): URB messages on
 * QVLINK_URB_PIPE, answers on QVLINK_ANSWER_PIPE. A second channel beside
 * the I/O manager's request path is needed because a driver that waits for
 * a synchronous URB holds that path (Wine dispatches requests one at a
 * time), so the host's answer must not depend on it.
 *
 * The bus's end of the answer pipe reads bytes, not messages (a client
 * handle's default), so one read can hold several answers: each says how
 * much data follows it.
 *
 * Plain C with fixed-width fields: the bus is C, the host is C++. */
#pragma once

#include <stdint.h>

#define QVLINK_URB_PIPE_W L"\\??\\pipe\\qvsimbus.urbs"
#define QVLINK_ANSWER_PIPE_W L"\\??\\pipe\\qvsimbus.answers"
#define QVLINK_URB_PIPE_WIN32 "\\\\.\\pipe\\qvsimbus.urbs"
#define QVLINK_ANSWER_PIPE_WIN32 "\\\\.\\pipe\\qvsimbus.answers"

#define QVLINK_CHILDREN 2
#define QVLINK_MAX_DATA 4096

/* Which endpoint of the modem a URB is for. */
enum qvlink_pipe {
    QVLINK_PIPE_CONTROL = 0,
    QVLINK_PIPE_BULK_IN = 1,
    QVLINK_PIPE_BULK_OUT = 2,
    QVLINK_PIPE_INTERRUPT = 3,
    QVLINK_PIPES = 4,
};

/* The modem's endpoints, as its configuration descriptor names them (the
 * host checks that they are the modem's). */
#define QVLINK_EP_BULK_IN 0x81
#define QVLINK_EP_BULK_OUT 0x02
#define QVLINK_EP_INTERRUPT 0x83

/* What the host is asked to do. */
enum qvlink_op {
    QVLINK_OP_CONTROL_OUT = 1, /* control request on the default pipe, host to device */
    QVLINK_OP_CONTROL_IN = 2,  /* control request on the default pipe, device to host */
    QVLINK_OP_TRANSFER = 3,    /* bulk or interrupt transfer on pipe */
    QVLINK_OP_ABORT = 4,       /* every pending transfer of pipe ends cancelled */
    QVLINK_OP_RESET = 5,       /* clear pipe's halt */
    QVLINK_OP_CLOSE = 6,       /* the child's configuration is gone: its pending
                                  transfers are forgotten; no answer (tag 0) */
};

#pragma pack(push, 1)
typedef struct QVLINK_URB {
    uint32_t tag;
    uint16_t child; /* 0 or 1 */
    uint16_t op;
    uint32_t pipe;
    uint8_t requestType; /* the setup packet's bmRequestType: standard or class */
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t reserved;
    uint32_t length;                /* bytes asked for (IN) or carried (OUT) */
    uint8_t data[QVLINK_MAX_DATA];  /* OUT data: length bytes */
} QVLINK_URB;

typedef struct QVLINK_ANSWER {
    uint32_t tag;
    int32_t status;      /* NTSTATUS of the request */
    uint32_t usbdStatus; /* the URB's USBD status */
    uint32_t length;     /* bytes transferred */
    uint32_t dataLength; /* bytes of data that follow: length for IN, else 0 */
    uint8_t data[QVLINK_MAX_DATA]; /* IN data: length bytes */
} QVLINK_ANSWER;
#pragma pack(pop)

#define QVLINK_URB_HEADER (sizeof(QVLINK_URB) - QVLINK_MAX_DATA)
#define QVLINK_ANSWER_HEADER (sizeof(QVLINK_ANSWER) - QVLINK_MAX_DATA)
