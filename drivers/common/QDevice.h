// Interface of the driver object behind one adapter: a classic adapter, a
// CAN FD adapter or a recorder. The registry holds one per (device type,
// device index) and every exported call reaches the adapter through these
// operations; the operations keep the order below. Their results and last
// errors: drivers/README.md.
#pragma once

#include <cstdint>

#include "ycan.h"

class QDevice {
public:
    QDevice() = default;
    virtual ~QDevice() {}
    QDevice(const QDevice&) = delete;
    QDevice& operator=(const QDevice&) = delete;

    // Opens the adapter; 1 on success. The registry passes 0 as reserved.
    virtual int openDevice(unsigned type, unsigned index, unsigned reserved) = 0;
    // 1, also on a device that is already closed (then it does nothing).
    virtual int closeDevice() = 0;
    virtual int initCAN(unsigned ch, _YCAN_INIT_CONFIG* config) = 0;
    virtual int initCANFD(unsigned ch, _YCAN_INITFD_CONFIG* config) = 0;
    virtual int getBoardInf(_YCAN_BOARD_INFO* info) = 0;
    virtual int isDeviceOnLine() = 0;
    virtual int transmit(unsigned ch, _YCAN_CAN_OBJ* frames, unsigned count) = 0;
    virtual int transmitFD(unsigned ch, _YCAN_CANFD_OBJ* frames, unsigned count) = 0;
    virtual int receiveFD(unsigned ch, _YCAN_CANFD_OBJ* frames, unsigned count, int waitMs) = 0;
    virtual int receive(unsigned ch, _YCAN_CAN_OBJ* frames, unsigned count, int waitMs) = 0;
    virtual int start(unsigned ch) = 0;
    virtual int stop(unsigned ch) = 0;
    virtual int clearBuffer(unsigned ch) = 0;
    // kind 0: classic frames waiting, 1: CAN FD frames waiting, 2: both.
    virtual int getReceiveNum(unsigned ch, uint8_t kind) = 0;
    // Request in data, reply written back into it; returns the reply length.
    virtual int transmitData(uint8_t* data, unsigned length) = 0;
    virtual int setFliter(unsigned ch, _YCAN_FLITER_CONFIG* config) = 0;
    // Every channel's frames in delivery order (ch may be YCAN_ALL_CHANNELS),
    // the event descriptor, the link state. The recorder, which carries no
    // frames, refuses the first two with last error 6 and answers the link
    // state its transport last found.
    virtual int receiveAll(unsigned ch, _YCAN_RX_FRAME* frames, unsigned count, int waitMs) = 0;
    virtual int eventFd() = 0;
    virtual int linkState(uint32_t* losses) = 0;
    // Where the open adapter sits and its serial number (every family).
    virtual int location(char* portPath, uint32_t portPathSize, char* serial, uint32_t serialSize) = 0;
    // Recorder operations; other families keep these defaults.
    virtual int RecordSettingSet(unsigned, _YCAN_RECORD_CONFIG*) { return 0; }
    virtual int RecordSettingGet(unsigned, _YCAN_RECORD_CONFIG*) { return 0; }
    virtual int RecordCmdExecute(unsigned, unsigned, _YCAN_FLITER_INFO*, _YCAN_FLITER_CONFIG*) { return 0; }
    // Classic adapter operations: relay, baud parameters and channel state
    // (only the low 8 bits of the channel travel). Other families keep these
    // defaults: last error 6.
    virtual int relayStatusSet(uint8_t first, uint8_t second);
    virtual int relayStatusGet(uint8_t* first, uint8_t* second);
    virtual int baudParaGet(uint8_t ch, uint8_t* first, uint8_t* second);
    virtual int chStateGet(uint8_t ch, uint8_t* first, uint8_t* second, uint8_t* third);

    // The key under which the registry holds the object, written after a
    // successful open. The drivers keep their own copies.
    uint32_t regType = 0;
    uint32_t regIndex = 0;
};
