/*
 * Compiled as C99 with -Wall -Werror -pedantic: the public header must be
 * plain C, and the record layouts must be what applications were built
 * against. Layouts are checked at compile time and again at run time (so a
 * mismatch also names the field), then a few calls go through the shared
 * library.
 */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "ycan.h"

#define GLUE2(a, b) a##b
#define GLUE(a, b) GLUE2(a, b)
#define STATIC_CHECK(cond) typedef char GLUE(layout_check_, __LINE__)[(cond) ? 1 : -1]

STATIC_CHECK(sizeof(_YCAN_CAN_OBJ) == 24);
STATIC_CHECK(sizeof(_YCAN_CANFD_OBJ) == 80);
STATIC_CHECK(sizeof(_YCAN_INIT_CONFIG) == 16);
STATIC_CHECK(sizeof(_YCAN_INITFD_CONFIG) == 56);
STATIC_CHECK(sizeof(_YCAN_BOARD_INFO) == 76);
STATIC_CHECK(sizeof(_YCAN_FLITER_CONFIG) == 16);
STATIC_CHECK(sizeof(_YCAN_FLITER_INFO) == 4);
STATIC_CHECK(sizeof(_YCAN_RECORD_CONFIG) == 24);

static int failures = 0;

static void expect(const char* what, size_t actual, size_t wanted) {
    if (actual != wanted) {
        printf("FAIL %s: %lu, expected %lu\n", what, (unsigned long)actual, (unsigned long)wanted);
        ++failures;
    }
}

#define OFF(rec, field, off) expect(#rec "." #field, offsetof(rec, field), off)
#define SIZE(rec, size) expect("sizeof " #rec, sizeof(rec), size)
#define WIDTH(rec, field, width) expect("width " #rec "." #field, sizeof(((rec*)0)->field), width)

int main(void) {
    SIZE(_YCAN_CAN_OBJ, 24);
    OFF(_YCAN_CAN_OBJ, ID, 0);
    OFF(_YCAN_CAN_OBJ, TimeTag, 4);
    OFF(_YCAN_CAN_OBJ, FrameOpt, 8);
    OFF(_YCAN_CAN_OBJ, SendMode, 9);
    OFF(_YCAN_CAN_OBJ, RemoteFlag, 10);
    OFF(_YCAN_CAN_OBJ, ExternFlag, 11);
    OFF(_YCAN_CAN_OBJ, DataLen, 12);
    OFF(_YCAN_CAN_OBJ, Reserved, 13);
    OFF(_YCAN_CAN_OBJ, Data, 16);
    WIDTH(_YCAN_CAN_OBJ, Data, 8);

    SIZE(_YCAN_CANFD_OBJ, 80);
    OFF(_YCAN_CANFD_OBJ, ID, 0);
    OFF(_YCAN_CANFD_OBJ, TimeTag, 4);
    OFF(_YCAN_CANFD_OBJ, FrameOpt, 8);
    OFF(_YCAN_CANFD_OBJ, SendMode, 9);
    OFF(_YCAN_CANFD_OBJ, RemoteFlag, 10);
    OFF(_YCAN_CANFD_OBJ, ExternFlag, 11);
    OFF(_YCAN_CANFD_OBJ, DataLen, 12);
    OFF(_YCAN_CANFD_OBJ, Reserved, 13);
    OFF(_YCAN_CANFD_OBJ, Data, 16);
    WIDTH(_YCAN_CANFD_OBJ, Data, 64);

    SIZE(_YCAN_INIT_CONFIG, 16);
    OFF(_YCAN_INIT_CONFIG, AcceptCode, 0);
    OFF(_YCAN_INIT_CONFIG, AcceptMask, 4);
    OFF(_YCAN_INIT_CONFIG, Reserved, 8);
    OFF(_YCAN_INIT_CONFIG, FilterType, 12);
    OFF(_YCAN_INIT_CONFIG, BusTiming0, 13);
    OFF(_YCAN_INIT_CONFIG, BusTiming1, 14);
    OFF(_YCAN_INIT_CONFIG, WorkMode, 15);

    SIZE(_YCAN_INITFD_CONFIG, 56);
    OFF(_YCAN_INITFD_CONFIG, AbitBaudRate, 0);
    OFF(_YCAN_INITFD_CONFIG, DbitBaudRate, 4);
    OFF(_YCAN_INITFD_CONFIG, AbitTiming, 8);
    OFF(_YCAN_INITFD_CONFIG, DbitTiming, 12);
    OFF(_YCAN_INITFD_CONFIG, OptionA, 16);
    OFF(_YCAN_INITFD_CONFIG, FdEnable, 17);
    OFF(_YCAN_INITFD_CONFIG, OptionB, 18);
    OFF(_YCAN_INITFD_CONFIG, Reserved, 19);
    WIDTH(_YCAN_INITFD_CONFIG, Reserved, 37);

    SIZE(_YCAN_BOARD_INFO, 76);
    OFF(_YCAN_BOARD_INFO, Version0, 0);
    OFF(_YCAN_BOARD_INFO, Version1, 2);
    OFF(_YCAN_BOARD_INFO, Version2, 4);
    OFF(_YCAN_BOARD_INFO, ApiVersion, 6);
    OFF(_YCAN_BOARD_INFO, Spare8, 8);
    OFF(_YCAN_BOARD_INFO, ChannelNum, 10);
    OFF(_YCAN_BOARD_INFO, SerialNum, 11);
    WIDTH(_YCAN_BOARD_INFO, SerialNum, 20);
    OFF(_YCAN_BOARD_INFO, HwType, 31);
    WIDTH(_YCAN_BOARD_INFO, HwType, 40);
    OFF(_YCAN_BOARD_INFO, Reserved, 72);
    WIDTH(_YCAN_BOARD_INFO, Reserved, 4);

    SIZE(_YCAN_FLITER_CONFIG, 16);
    OFF(_YCAN_FLITER_CONFIG, FilterOp, 0);
    OFF(_YCAN_FLITER_CONFIG, FilterMode, 1);
    OFF(_YCAN_FLITER_CONFIG, FilterKind, 2);
    OFF(_YCAN_FLITER_CONFIG, StartId, 4);
    OFF(_YCAN_FLITER_CONFIG, EndId, 8);
    OFF(_YCAN_FLITER_CONFIG, FilterIndex, 12);

    SIZE(_YCAN_FLITER_INFO, 4);
    OFF(_YCAN_FLITER_INFO, FilterCount, 0);
    OFF(_YCAN_FLITER_INFO, FilterState, 2);

    SIZE(_YCAN_RECORD_CONFIG, 24);
    OFF(_YCAN_RECORD_CONFIG, Reserved, 0);
    OFF(_YCAN_RECORD_CONFIG, RecordFlag, 1);
    OFF(_YCAN_RECORD_CONFIG, OptionB, 2);
    OFF(_YCAN_RECORD_CONFIG, OptionA, 3);
    OFF(_YCAN_RECORD_CONFIG, AbitClock, 4);
    OFF(_YCAN_RECORD_CONFIG, DbitClock, 5);
    OFF(_YCAN_RECORD_CONFIG, AbitTiming, 8);
    OFF(_YCAN_RECORD_CONFIG, DbitTiming, 12);
    OFF(_YCAN_RECORD_CONFIG, TailFlag0, 16);
    OFF(_YCAN_RECORD_CONFIG, TailByte0, 17);
    OFF(_YCAN_RECORD_CONFIG, TailByte1, 18);
    OFF(_YCAN_RECORD_CONFIG, TailFlag1, 19);
    OFF(_YCAN_RECORD_CONFIG, TailByte2, 20);

    /* The interface is callable from C. */
    if (YCAN_GetLastError() != 0 || strcmp(YCAN_GetLastErrorStr(), "OK") != 0) {
        printf("FAIL initial last error\n");
        ++failures;
    }
    if (YCAN_OpenDevice(5, 0) != 0 || YCAN_GetLastError() != YCAN_ERR_TYPE_NOT_SUPPORTED ||
        strcmp(YCAN_GetLastErrorStr(), "Device Type Not Supported!") != 0) {
        printf("FAIL open of an unknown device type\n");
        ++failures;
    }

    if (failures == 0) printf("C99 ABI check passed\n");
    return failures == 0 ? 0 : 1;
}
