/*
 * ycan.h - public C interface of libycan, the user-space driver for the
 * YCAN family of USB-to-CAN adapters.
 *
 * Every call names its adapter by a device type code (YCAN_TYPE_...) and a
 * device index: the 0-based position among the attached adapters of that
 * type, in USB enumeration order. Calls return 1 for success and 0 for
 * failure unless documented otherwise; on failure YCAN_GetLastError() and
 * YCAN_GetLastErrorStr() tell why. The last error is one value for the whole
 * process and successful calls do not reset it (a successful open of a CAN FD
 * adapter or a recorder sets it to 0).
 *
 * The records below are plain data with natural alignment; their layouts are
 * part of the binary interface and never change.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef YCAN_H
#define YCAN_H

#include <stddef.h>
#include <stdint.h>

#if defined(YCAN_BUILDING_LIBRARY) && defined(__GNUC__)
#define YCAN_API __attribute__((visibility("default")))
#else
#define YCAN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Device type codes ------------------------------------------------ */

/* Classic USB CAN adapters, two channels. */
#define YCAN_TYPE_USBCAN_3 3u
#define YCAN_TYPE_USBCAN_4 4u
/* Reserved classic codes: accepted by the dispatch, never openable. */
#define YCAN_TYPE_USBCAN_RESERVED_63 63u
#define YCAN_TYPE_USBCAN_RESERVED_68 68u
#define YCAN_TYPE_USBCAN_RESERVED_69 69u
#define YCAN_TYPE_USBCAN_RESERVED_70 70u
#define YCAN_TYPE_USBCAN_RESERVED_71 71u
#define YCAN_TYPE_USBCAN_RESERVED_72 72u
#define YCAN_TYPE_USBCAN_RESERVED_73 73u
/* CAN FD adapters: two channels, 60 MHz CAN clock. */
#define YCAN_TYPE_CANFD2_41 41u
#define YCAN_TYPE_CANFD2_42 42u
#define YCAN_TYPE_CANFD2_43 43u
/* CAN FD adapters: four channels, 60 MHz CAN clock. */
#define YCAN_TYPE_CANFD4_64 64u
#define YCAN_TYPE_CANFD4_65 65u
/* CAN FD adapters: eight channels, 80 MHz CAN clock. */
#define YCAN_TYPE_CANFD8_66 66u
#define YCAN_TYPE_CANFD8_67 67u
/* CAN bus recorders. */
#define YCAN_TYPE_RECORDER_61 61u
#define YCAN_TYPE_RECORDER_62 62u

/* ---- Last error codes (YCAN_GetLastError) ----------------------------- */

#define YCAN_ERR_OK 0                   /* "OK" */
#define YCAN_ERR_DEVICE_NOT_EXIST 1     /* "Device Not Exist!" */
#define YCAN_ERR_USB_TRANSPORT 3        /* "USB Transport Error!" */
#define YCAN_ERR_PACKAGE_FORMAT 4       /* "Package Format Error!" */
#define YCAN_ERR_DEVICE_INFO 5          /* "Device Info Get Failed!" */
#define YCAN_ERR_TYPE_NOT_SUPPORTED 6   /* "Device Type Not Supported!" */
#define YCAN_ERR_NOT_OPENED 7           /* "Device Not Opened!" */
#define YCAN_ERR_PARAMETER 8            /* "Parameter Error!" */
#define YCAN_ERR_MEMORY 9               /* "Memory Malloc Failed!" */
#define YCAN_ERR_PARAM_NOT_SUPPORTED 10 /* "Parameter Not Supported!" */
#define YCAN_ERR_BAUDRATE 11            /* "Baud Rate Parameter Not Supported!" */
#define YCAN_ERR_USB_COMMAND 12         /* "USB Command Failed!" */
#define YCAN_ERR_CAN_NOT_INITIALIZED 13 /* "CAN Not Initialized!" */
#define YCAN_ERR_CAN_FORMAT 14          /* "CAN Format Error!" */

/* ---- Records ----------------------------------------------------------- */

/* One classic CAN frame (24 bytes). */
typedef struct _YCAN_CAN_OBJ {
    uint32_t ID;      /* 11- or 29-bit identifier, right-aligned */
    uint32_t TimeTag; /* adapter time stamp of a received frame */
    uint8_t FrameOpt;
    uint8_t SendMode;
    uint8_t RemoteFlag; /* 1 = remote frame */
    uint8_t ExternFlag; /* 1 = 29-bit identifier */
    uint8_t DataLen;    /* 0..8 */
    uint8_t Reserved[3];
    uint8_t Data[8];
} _YCAN_CAN_OBJ;

/* One CAN FD frame (80 bytes); the first 16 bytes match _YCAN_CAN_OBJ. */
typedef struct _YCAN_CANFD_OBJ {
    uint32_t ID;
    uint32_t TimeTag;
    uint8_t FrameOpt; /* YCAN_FRAMEOPT_BRS, YCAN_FRAMEOPT_ESI (below); on the wire
                         bit 3 is adapter flag 0x10, bit 4 adapter flag 0x08 */
    uint8_t SendMode;
    uint8_t RemoteFlag;
    uint8_t ExternFlag;
    uint8_t DataLen; /* 0..64 */
    uint8_t Reserved[3];
    uint8_t Data[64];
} _YCAN_CANFD_OBJ;

/* Classic channel initialisation (16 bytes), classic adapters only. */
typedef struct _YCAN_INIT_CONFIG {
    uint32_t AcceptCode;
    uint32_t AcceptMask;
    uint32_t Reserved;
    uint8_t FilterType;
    uint8_t BusTiming0; /* SJA1000 BTR0 */
    uint8_t BusTiming1; /* SJA1000 BTR1 */
    uint8_t WorkMode;   /* 0 normal, 1 alternative mode */
} _YCAN_INIT_CONFIG;

/*
 * CAN FD channel initialisation (56 bytes).
 * Timing words: bits 31..22 prescaler-1, 21..15 SJW-1, 14..8 TSEG2-1,
 * 7..0 TSEG1-1, relative to the adapter's CAN clock.
 */
typedef struct _YCAN_INITFD_CONFIG {
    uint32_t AbitBaudRate; /* bit/s from the rate table, 0 selects AbitTiming */
    uint32_t DbitBaudRate;
    uint32_t AbitTiming;
    uint32_t DbitTiming;
    uint8_t OptionA;
    uint8_t FdEnable;
    uint8_t OptionB;
    uint8_t Reserved[37];
} _YCAN_INITFD_CONFIG;

/* Board information (76 bytes); each family fills only some fields. */
typedef struct _YCAN_BOARD_INFO {
    uint16_t Version0;
    uint16_t Version1;
    uint16_t Version2;
    uint16_t ApiVersion;
    uint16_t Spare8;
    uint8_t ChannelNum;
    char SerialNum[20]; /* not necessarily terminated */
    char HwType[40];    /* not necessarily terminated */
    uint32_t Reserved;
} _YCAN_BOARD_INFO;

/* A filter operation (CAN FD) or a recorder filter entry (16 bytes). */
typedef struct _YCAN_FLITER_CONFIG {
    uint8_t FilterOp; /* CAN FD: 0 clear, 1 mode and range, 2 enable */
    uint8_t FilterMode;
    uint8_t FilterKind; /* recorder entries */
    uint32_t StartId;
    uint32_t EndId;
    uint32_t FilterIndex; /* recorder entry index */
} _YCAN_FLITER_CONFIG;

/* Recorder filter summary (4 bytes). */
typedef struct _YCAN_FLITER_INFO {
    uint16_t FilterCount;
    uint8_t FilterState;
} _YCAN_FLITER_INFO;

/* Recorder per-channel record settings (24 bytes). */
typedef struct _YCAN_RECORD_CONFIG {
    uint8_t Reserved;
    uint8_t RecordFlag;
    uint8_t OptionB;
    uint8_t OptionA;
    uint8_t AbitClock; /* MHz */
    uint8_t DbitClock; /* MHz */
    uint32_t AbitTiming;
    uint32_t DbitTiming;
    uint8_t TailFlag0;
    uint8_t TailByte0;
    uint8_t TailByte1;
    uint8_t TailFlag1;
    uint8_t TailByte2;
} _YCAN_RECORD_CONFIG;

/* ---- Layout pins ------------------------------------------------------- */

#if defined(__cplusplus)
#define YCAN_LAYOUT_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define YCAN_LAYOUT_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#ifdef YCAN_LAYOUT_ASSERT
#define YCAN_PIN_OFFSET(rec, field, off) \
    YCAN_LAYOUT_ASSERT(offsetof(rec, field) == (off), #rec "." #field " offset")
#define YCAN_PIN_SIZE(rec, size) YCAN_LAYOUT_ASSERT(sizeof(rec) == (size), #rec " size")

YCAN_PIN_SIZE(_YCAN_CAN_OBJ, 24);
YCAN_PIN_OFFSET(_YCAN_CAN_OBJ, ID, 0);
YCAN_PIN_OFFSET(_YCAN_CAN_OBJ, TimeTag, 4);
YCAN_PIN_OFFSET(_YCAN_CAN_OBJ, FrameOpt, 8);
YCAN_PIN_OFFSET(_YCAN_CAN_OBJ, SendMode, 9);
YCAN_PIN_OFFSET(_YCAN_CAN_OBJ, RemoteFlag, 10);
YCAN_PIN_OFFSET(_YCAN_CAN_OBJ, ExternFlag, 11);
YCAN_PIN_OFFSET(_YCAN_CAN_OBJ, DataLen, 12);
YCAN_PIN_OFFSET(_YCAN_CAN_OBJ, Reserved, 13);
YCAN_PIN_OFFSET(_YCAN_CAN_OBJ, Data, 16);

YCAN_PIN_SIZE(_YCAN_CANFD_OBJ, 80);
YCAN_PIN_OFFSET(_YCAN_CANFD_OBJ, ID, 0);
YCAN_PIN_OFFSET(_YCAN_CANFD_OBJ, TimeTag, 4);
YCAN_PIN_OFFSET(_YCAN_CANFD_OBJ, FrameOpt, 8);
YCAN_PIN_OFFSET(_YCAN_CANFD_OBJ, SendMode, 9);
YCAN_PIN_OFFSET(_YCAN_CANFD_OBJ, RemoteFlag, 10);
YCAN_PIN_OFFSET(_YCAN_CANFD_OBJ, ExternFlag, 11);
YCAN_PIN_OFFSET(_YCAN_CANFD_OBJ, DataLen, 12);
YCAN_PIN_OFFSET(_YCAN_CANFD_OBJ, Reserved, 13);
YCAN_PIN_OFFSET(_YCAN_CANFD_OBJ, Data, 16);

YCAN_PIN_SIZE(_YCAN_INIT_CONFIG, 16);
YCAN_PIN_OFFSET(_YCAN_INIT_CONFIG, AcceptCode, 0);
YCAN_PIN_OFFSET(_YCAN_INIT_CONFIG, AcceptMask, 4);
YCAN_PIN_OFFSET(_YCAN_INIT_CONFIG, Reserved, 8);
YCAN_PIN_OFFSET(_YCAN_INIT_CONFIG, FilterType, 12);
YCAN_PIN_OFFSET(_YCAN_INIT_CONFIG, BusTiming0, 13);
YCAN_PIN_OFFSET(_YCAN_INIT_CONFIG, BusTiming1, 14);
YCAN_PIN_OFFSET(_YCAN_INIT_CONFIG, WorkMode, 15);

YCAN_PIN_SIZE(_YCAN_INITFD_CONFIG, 56);
YCAN_PIN_OFFSET(_YCAN_INITFD_CONFIG, AbitBaudRate, 0);
YCAN_PIN_OFFSET(_YCAN_INITFD_CONFIG, DbitBaudRate, 4);
YCAN_PIN_OFFSET(_YCAN_INITFD_CONFIG, AbitTiming, 8);
YCAN_PIN_OFFSET(_YCAN_INITFD_CONFIG, DbitTiming, 12);
YCAN_PIN_OFFSET(_YCAN_INITFD_CONFIG, OptionA, 16);
YCAN_PIN_OFFSET(_YCAN_INITFD_CONFIG, FdEnable, 17);
YCAN_PIN_OFFSET(_YCAN_INITFD_CONFIG, OptionB, 18);
YCAN_PIN_OFFSET(_YCAN_INITFD_CONFIG, Reserved, 19);

YCAN_PIN_SIZE(_YCAN_BOARD_INFO, 76);
YCAN_PIN_OFFSET(_YCAN_BOARD_INFO, Version0, 0);
YCAN_PIN_OFFSET(_YCAN_BOARD_INFO, Version1, 2);
YCAN_PIN_OFFSET(_YCAN_BOARD_INFO, Version2, 4);
YCAN_PIN_OFFSET(_YCAN_BOARD_INFO, ApiVersion, 6);
YCAN_PIN_OFFSET(_YCAN_BOARD_INFO, Spare8, 8);
YCAN_PIN_OFFSET(_YCAN_BOARD_INFO, ChannelNum, 10);
YCAN_PIN_OFFSET(_YCAN_BOARD_INFO, SerialNum, 11);
YCAN_PIN_OFFSET(_YCAN_BOARD_INFO, HwType, 31);
YCAN_PIN_OFFSET(_YCAN_BOARD_INFO, Reserved, 72);

YCAN_PIN_SIZE(_YCAN_FLITER_CONFIG, 16);
YCAN_PIN_OFFSET(_YCAN_FLITER_CONFIG, FilterOp, 0);
YCAN_PIN_OFFSET(_YCAN_FLITER_CONFIG, FilterMode, 1);
YCAN_PIN_OFFSET(_YCAN_FLITER_CONFIG, FilterKind, 2);
YCAN_PIN_OFFSET(_YCAN_FLITER_CONFIG, StartId, 4);
YCAN_PIN_OFFSET(_YCAN_FLITER_CONFIG, EndId, 8);
YCAN_PIN_OFFSET(_YCAN_FLITER_CONFIG, FilterIndex, 12);

YCAN_PIN_SIZE(_YCAN_FLITER_INFO, 4);
YCAN_PIN_OFFSET(_YCAN_FLITER_INFO, FilterCount, 0);
YCAN_PIN_OFFSET(_YCAN_FLITER_INFO, FilterState, 2);

YCAN_PIN_SIZE(_YCAN_RECORD_CONFIG, 24);
YCAN_PIN_OFFSET(_YCAN_RECORD_CONFIG, Reserved, 0);
YCAN_PIN_OFFSET(_YCAN_RECORD_CONFIG, RecordFlag, 1);
YCAN_PIN_OFFSET(_YCAN_RECORD_CONFIG, OptionB, 2);
YCAN_PIN_OFFSET(_YCAN_RECORD_CONFIG, OptionA, 3);
YCAN_PIN_OFFSET(_YCAN_RECORD_CONFIG, AbitClock, 4);
YCAN_PIN_OFFSET(_YCAN_RECORD_CONFIG, DbitClock, 5);
YCAN_PIN_OFFSET(_YCAN_RECORD_CONFIG, AbitTiming, 8);
YCAN_PIN_OFFSET(_YCAN_RECORD_CONFIG, DbitTiming, 12);
YCAN_PIN_OFFSET(_YCAN_RECORD_CONFIG, TailFlag0, 16);
YCAN_PIN_OFFSET(_YCAN_RECORD_CONFIG, TailByte0, 17);
YCAN_PIN_OFFSET(_YCAN_RECORD_CONFIG, TailByte1, 18);
YCAN_PIN_OFFSET(_YCAN_RECORD_CONFIG, TailFlag1, 19);
YCAN_PIN_OFFSET(_YCAN_RECORD_CONFIG, TailByte2, 20);

#undef YCAN_PIN_OFFSET
#undef YCAN_PIN_SIZE
#endif /* YCAN_LAYOUT_ASSERT */

/* ---- Functions ------------------------------------------------------------
 * type: device type code; index: device index; ch: channel, from 0.
 */

/* Opens an adapter; 1 also when it is already open. */
YCAN_API int YCAN_OpenDevice(uint32_t type, uint32_t index);
/* Closes an adapter; 1 also when it was not open. Safe while other threads
 * are inside calls on the same adapter: receivers waiting on it return at
 * once, calls in flight end promptly, and calls made after the close began
 * fail ("Device Not Opened!" where the family uses it). */
YCAN_API int YCAN_CloseDevice(uint32_t type, uint32_t index);
YCAN_API int YCAN_BoardInfoGet(uint32_t type, uint32_t index, _YCAN_BOARD_INFO* info);
/* Discards the frames waiting on a channel. */
YCAN_API int YCAN_ClearBuffer(uint32_t type, uint32_t index, uint32_t ch);
/* Sends raw command bytes (at most the first 62 of length are sent). The
 * adapter's reply is written back into data, up to 62 bytes: data must
 * point to a buffer of at least 62 bytes whatever length is. Returns the
 * number of reply bytes written, 0 on failure; a null data is refused with
 * last error 8 ("Parameter Error!"). */
YCAN_API int YCAN_DataDirectTransfer(uint32_t type, uint32_t index, uint8_t* data, int length);
YCAN_API int YCAN_SetFliter(uint32_t type, uint32_t index, uint32_t ch, _YCAN_FLITER_CONFIG* config);
/* Frames waiting on a channel; kind 0 classic frames, 1 CAN FD frames,
 * 2 both (CAN FD adapters). */
YCAN_API int YCAN_GetReceiveNum(uint32_t type, uint32_t index, uint32_t ch, uint8_t kind);
/* Classic adapters: initialises and starts a channel. */
YCAN_API int YCAN_InitCAN(uint32_t type, uint32_t index, uint32_t ch, _YCAN_INIT_CONFIG* config);
/* CAN FD adapters: initialises and starts a channel. */
YCAN_API int YCAN_InitCANFD(uint32_t type, uint32_t index, uint32_t ch, _YCAN_INITFD_CONFIG* config);
YCAN_API int YCAN_Start(uint32_t type, uint32_t index, uint32_t ch);
YCAN_API int YCAN_Stop(uint32_t type, uint32_t index, uint32_t ch);
/* Receive up to count frames, waiting at most waitMs for the first one
 * (-1: no limit; 0 and any other negative value: no wait). Returns the
 * number of frames stored; 0 also when the adapter is closed meanwhile. */
YCAN_API int YCAN_Receive(uint32_t type, uint32_t index, uint32_t ch, _YCAN_CAN_OBJ* frames, uint32_t count,
                          int waitMs);
YCAN_API int YCAN_ReceiveFD(uint32_t type, uint32_t index, uint32_t ch, _YCAN_CANFD_OBJ* frames,
                            uint32_t count, int waitMs);
/* Transmit count frames; returns the number of frames sent. */
YCAN_API int YCAN_Transmit(uint32_t type, uint32_t index, uint32_t ch, _YCAN_CAN_OBJ* frames, uint32_t count);
YCAN_API int YCAN_TransmitFD(uint32_t type, uint32_t index, uint32_t ch, _YCAN_CANFD_OBJ* frames,
                             uint32_t count);
/* Recorders. */
YCAN_API int YCAN_RecordSettingSet(uint32_t type, uint32_t index, uint32_t ch, _YCAN_RECORD_CONFIG* config);
YCAN_API int YCAN_RecordSettingGet(uint32_t type, uint32_t index, uint32_t ch, _YCAN_RECORD_CONFIG* config);
YCAN_API int YCAN_RecordFliterInfoGet(uint32_t type, uint32_t index, uint32_t ch, _YCAN_FLITER_INFO* info);
YCAN_API int YCAN_RecordFliterClr(uint32_t type, uint32_t index, uint32_t ch);
YCAN_API int YCAN_RecordFliterAdd(uint32_t type, uint32_t index, uint32_t ch, _YCAN_FLITER_CONFIG* config);
YCAN_API int YCAN_RecordFliterEnable(uint32_t type, uint32_t index, uint32_t ch);
YCAN_API int YCAN_RecordFliterDisable(uint32_t type, uint32_t index, uint32_t ch);
YCAN_API int YCAN_RecordFliterSettingGet(uint32_t type, uint32_t index, uint32_t ch, uint16_t entry,
                                         _YCAN_FLITER_CONFIG* config);
YCAN_API int YCAN_RecordCmdExecute(uint32_t type, uint32_t index, uint32_t ch, uint32_t cmd,
                                   _YCAN_FLITER_INFO* info, _YCAN_FLITER_CONFIG* config);
/* Classic adapters: relay, baud parameters and channel state. */
YCAN_API int YCAN_DevRelayStatusSet(uint32_t type, uint32_t index, uint8_t first, uint8_t second);
YCAN_API int YCAN_DevRelayStatusGet(uint32_t type, uint32_t index, uint8_t* first, uint8_t* second);
YCAN_API int YCAN_DevBaudParaGet(uint32_t type, uint32_t index, uint32_t ch, uint8_t* first, uint8_t* second);
YCAN_API int YCAN_DevChStateGet(uint32_t type, uint32_t index, uint32_t ch, uint8_t* first, uint8_t* second,
                                uint8_t* third);
/* The last error of the process and its message (static text). */
YCAN_API int YCAN_GetLastError(void);
YCAN_API const char* YCAN_GetLastErrorStr(void);

/* ---- Ordered and pollable receiving, link state ---------------------------
 * Additions beside the calls above, which keep their behaviour. The frames
 * they return are the same frames the per-kind calls return: one set of
 * queues, read either way. A frame taken by YCAN_ReceiveAll is no longer
 * waiting for YCAN_Receive or YCAN_ReceiveFD, and the other way round;
 * YCAN_GetReceiveNum and YCAN_ClearBuffer count and clear both.
 */

/* ch for every channel of the adapter. */
#define YCAN_ALL_CHANNELS 0xFFFFFFFFu
/* _YCAN_RX_FRAME.Kind */
#define YCAN_KIND_CLASSIC 0u
#define YCAN_KIND_CANFD 1u
/* _YCAN_CANFD_OBJ.FrameOpt bits, by name. Transmitting, YCAN_FRAMEOPT_BRS
 * sends the data phase at the data bit rate (bit rate switch) and
 * YCAN_FRAMEOPT_ESI flags the frame as sent by an error-passive node (error
 * state indicator). A received frame reports the bit rate switch; its ESI
 * bit reads 0 (the adapter does not pass it on). */
#define YCAN_FRAMEOPT_BRS 0x08u
#define YCAN_FRAMEOPT_ESI 0x10u

/* A received frame as the adapter delivered it (96 bytes). */
typedef struct _YCAN_RX_FRAME {
    _YCAN_CANFD_OBJ Frame; /* classic frames too (DataLen <= 8); TimeTag is the adapter's */
    uint64_t HostTimeUs;   /* CLOCK_REALTIME, microseconds since the epoch, when the
                              library took the frame from USB; never decreases within
                              an adapter unless the clock is set back by over a second */
    uint8_t Kind;          /* YCAN_KIND_CLASSIC or YCAN_KIND_CANFD */
    uint8_t Channel;
    uint8_t Reserved[6];
} _YCAN_RX_FRAME;

#ifdef YCAN_LAYOUT_ASSERT
YCAN_LAYOUT_ASSERT(sizeof(_YCAN_RX_FRAME) == 96, "_YCAN_RX_FRAME size");
YCAN_LAYOUT_ASSERT(offsetof(_YCAN_RX_FRAME, Frame) == 0, "_YCAN_RX_FRAME.Frame offset");
YCAN_LAYOUT_ASSERT(offsetof(_YCAN_RX_FRAME, HostTimeUs) == 80, "_YCAN_RX_FRAME.HostTimeUs offset");
YCAN_LAYOUT_ASSERT(offsetof(_YCAN_RX_FRAME, Kind) == 88, "_YCAN_RX_FRAME.Kind offset");
YCAN_LAYOUT_ASSERT(offsetof(_YCAN_RX_FRAME, Channel) == 89, "_YCAN_RX_FRAME.Channel offset");
YCAN_LAYOUT_ASSERT(offsetof(_YCAN_RX_FRAME, Reserved) == 90, "_YCAN_RX_FRAME.Reserved offset");
#endif

/* Receives up to count frames of channel ch, classic and CAN FD together,
 * in the order the adapter delivered them; ch = YCAN_ALL_CHANNELS takes
 * from every channel, still in delivery order. Waits as YCAN_ReceiveFD
 * does: at most waitMs for the first frame (-1: no limit; 0 and any other
 * negative value: no wait), and returns at once when the adapter is closed
 * meanwhile. Returns the number of frames stored; 0 with last error 8 for a
 * null frames, a count of 0 or a channel the adapter does not have, 7 when
 * the adapter is not open, 6 for a recorder (it carries no frames). */
YCAN_API int YCAN_ReceiveAll(uint32_t type, uint32_t index, uint32_t ch, _YCAN_RX_FRAME* frames,
                             uint32_t count, int waitMs);
/* A file descriptor, owned by the library, that polls readable (POLLIN)
 * while frames wait on any channel of the adapter or its link state changed
 * since YCAN_GetLinkState last read it. It stays readable until the frames
 * are taken: poll, select and epoll see it level-triggered. Do not read,
 * write or close it; it is valid until the adapter is closed (the close
 * makes it readable first, so a thread polling it wakes). The same
 * descriptor while the adapter stays open. -1 when the adapter is not open
 * (last error 7), for a recorder (6), or when the system has no descriptor
 * to spare (9). */
YCAN_API int YCAN_GetEventFd(uint32_t type, uint32_t index);
/* 1 while the adapter is linked, 0 while it is away (unplugged, or its link
 * being restored); *losses (when losses is not null) receives how many times
 * the link was lost since the adapter was opened. -1 with last error 7 when
 * the adapter is not open. The recorders, which have no receive thread to
 * watch the link, answer what their last transfer found. */
YCAN_API int YCAN_GetLinkState(uint32_t type, uint32_t index, uint32_t* losses);

/* ---- Which adapter is open ------------------------------------------------ */

/* Room YCAN_GetDeviceLocation needs for each text, terminator included. */
#define YCAN_PORT_PATH_SIZE 32u
#define YCAN_SERIAL_SIZE 128u

/* Where the open adapter sits on the USB tree and the serial number it
 * reports, as texts ending in a zero byte: portPath as Linux names the
 * device ("1-2.3": bus 1, port 3 of the hub in port 2), serial the USB
 * serial number string ("" when the adapter reports none; "" for the port
 * path when the system gives none). The place recorded when the adapter
 * was opened, also while it is away. Either pointer may be null with its
 * size 0 when that text is not wanted. Returns 1; 0 with last error 7 when
 * the adapter is not open, 8 for a null pointer with a size or a text that
 * does not fit its size (YCAN_PORT_PATH_SIZE and YCAN_SERIAL_SIZE always
 * do), 6 for a type the library does not know. */
YCAN_API int YCAN_GetDeviceLocation(uint32_t type, uint32_t index, char* portPath, uint32_t portPathSize,
                                    char* serial, uint32_t serialSize);

#ifdef __cplusplus
}
#endif

#endif /* YCAN_H */
