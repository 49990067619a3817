// Driver object for one CAN bus recorder (device types 61 and 62). The
// library carries no frames for it: every operation is a request and reply
// exchange over bulk endpoints 0x01/0x81, on the caller's thread.
//
//   record_device.cpp    identity, open/close, board values, direct
//                        transfer, filter list operations
//   record_settings.cpp  per-channel record settings
//
// A reply belongs to a request when it has more than 2 bytes and repeats the
// request's first two bytes. The command channel's lock keeps two callers
// of the same recorder from taking each other's replies; open and close are
// the shared adapter life's (no receive thread, no channels to stop).
#pragma once

#include <cstdint>

#include "drivers/common/QDevice.h"
#include "drivers/common/adapter_link.h"

class QDeviceCanRecord : public QDevice, private ycan::AdapterLink::Family {
public:
    QDeviceCanRecord() = default;
    ~QDeviceCanRecord() override;

    // QDevice, in slot order.
    int openDevice(unsigned type, unsigned index, unsigned reserved) override;
    int closeDevice() override;
    int initCAN(unsigned ch, _YCAN_INIT_CONFIG* config) override;
    int initCANFD(unsigned ch, _YCAN_INITFD_CONFIG* config) override;
    int getBoardInf(_YCAN_BOARD_INFO* info) override;
    int isDeviceOnLine() override;
    int transmit(unsigned, _YCAN_CAN_OBJ*, unsigned) override { return 0; }
    int transmitFD(unsigned, _YCAN_CANFD_OBJ*, unsigned) override { return 0; }
    int receiveFD(unsigned, _YCAN_CANFD_OBJ*, unsigned, int) override { return 0; }
    int receive(unsigned, _YCAN_CAN_OBJ*, unsigned, int) override { return 0; }
    int start(unsigned) override { return 0; }
    int stop(unsigned) override { return 0; }
    int clearBuffer(unsigned) override { return 0; }
    int getReceiveNum(unsigned, uint8_t) override { return 0; }
    int transmitData(uint8_t* data, unsigned length) override;
    int setFliter(unsigned, _YCAN_FLITER_CONFIG*) override { return 0; }
    // No frame traffic: refused with last error 6.
    int receiveAll(unsigned ch, _YCAN_RX_FRAME* frames, unsigned count, int waitMs) override;
    int eventFd() override;
    // What the recorder's last transfer found (no thread watches its link).
    int linkState(uint32_t* losses) override;
    int location(char* portPath, uint32_t portPathSize, char* serial, uint32_t serialSize) override;
    int RecordSettingSet(unsigned ch, _YCAN_RECORD_CONFIG* config) override;
    int RecordSettingGet(unsigned ch, _YCAN_RECORD_CONFIG* config) override;
    // Selector 0 clear, 1 add, 2 enable, 3 disable, 4 summary, 5 one entry.
    int RecordCmdExecute(unsigned ch, unsigned selector, _YCAN_FLITER_INFO* info,
                         _YCAN_FLITER_CONFIG* config) override;

    // Exchange: the matched reply's length (also in *replyLen), 0 when no
    // reply is awaited (timeout 0), negative on failure.
    int usbCmdSend(const uint8_t* request, int requestLen, uint8_t* reply, int* replyLen, uint8_t epOut,
                   uint8_t epIn, unsigned timeoutMs);
    int fliterSimpleSetCmdSend(unsigned ch, uint8_t code);
    int fliterAdd(unsigned ch, const _YCAN_FLITER_CONFIG* config);
    int fliterInfoGet(unsigned ch, _YCAN_FLITER_INFO* info);
    int fliterSettingGet(unsigned ch, _YCAN_FLITER_CONFIG* config);

    bool isOpen() const { return life.isOpen(); }

private:
    // One exchange on the recorder's endpoints with a 64-byte reply buffer.
    int exchange(const uint8_t* request, int length, uint8_t (&reply)[64]);

    unsigned deviceIndex = 0;
    ycan::AdapterLink life{*this, {}};
};
