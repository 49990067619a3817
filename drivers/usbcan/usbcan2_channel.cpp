// Classic USB CAN driver: channel initialisation, start and reset, board
// information, relay, baud parameters, channel state, direct transfer, and
// the receive queues (take, count, clear). Channel commands carry the
// channel number times 16 in their channel byte.
//
// An application call that uses the transport holds the command channel's
// call gate for its length: close waits for it to leave before it frees the
// transport, and refuses it (7) once closing.
#include <cstring>
#include <mutex>

#include "drivers/common/command_exchange.h"
#include "drivers/common/queued_calls.h"
#include "drivers/usbcan/QDeviceUsbCan2.h"
#include "drivers/usbcan/usbcan2_replies.h"
#include "support/QErrMgr.h"
#include "support/QUserLog.h"

using ycan::fail;

int QDeviceUsbCan2::cmdInitSend(unsigned channel, const _YCAN_INIT_CONFIG* config) {
    QUserLog* log = QUserLog::GetInstance();
    if (!life.isOpen()) return fail(YCAN_ERR_NOT_OPENED);
    if (channel > 1 || config == nullptr) return fail(YCAN_ERR_PARAMETER);
    uint8_t mode;
    if (config->WorkMode == 0) {
        mode = 0x00;
    } else if (config->WorkMode == 1) {
        mode = 0x80;
    } else {
        log->Error("Warning:USBCAN <ch:%d> Init Fail->Para Err,Unkown Mode:%d \n", channel, config->WorkMode);
        return 0;
    }
    const uint8_t cmd[9] = {0x12,
                            0x03,
                            0x06,
                            0x00,
                            static_cast<uint8_t>(mode | (channel * 16)),
                            config->BusTiming0,
                            config->BusTiming1,
                            0x02,
                            0x57};
    uint8_t reply[128];
    int len = sizeof reply;
    int r = command(cmd, sizeof cmd, reply, &len, 1000);
    if (r >= 0 && (reply[2] == 0x81 || reply[2] == 0x82)) {
        log->Info("YORV Tip:USBCAN <ch:%d> Init Success", channel);
        return 1;
    }
    log->Error("YORV Tip:USBCAN <ch:%d> Init Fail", channel);
    return fail(YCAN_ERR_USB_COMMAND);
}

int QDeviceUsbCan2::initCAN(unsigned channel, _YCAN_INIT_CONFIG* config) {
    if (channel > 1) return fail(YCAN_ERR_PARAMETER);
    ycan::GateScope call(commands().calls());
    if (!call || !life.isOpen()) return fail(YCAN_ERR_NOT_OPENED);
    int r = cmdInitSend(channel, config);
    if (r == 1) {
        {
            std::lock_guard guard(configLock);
            chConfig[channel] = *config;
        }
        chActive[channel] = 1;
        clearBuffer(channel);  // frames from before the init go
    }
    return r;
}

int QDeviceUsbCan2::initCANFD(unsigned, _YCAN_INITFD_CONFIG*) { return fail(YCAN_ERR_TYPE_NOT_SUPPORTED); }

int QDeviceUsbCan2::startChannel(unsigned channel) {
    if (!isInit(channel)) return fail(YCAN_ERR_CAN_NOT_INITIALIZED);
    const uint8_t cmd[5] = {0x12, 0x0E, 0x02, 0x00, static_cast<uint8_t>(channel * 16)};
    uint8_t reply[100];
    int len = sizeof reply;
    if (command(cmd, sizeof cmd, reply, &len, 200) == -1) {
        QUserLog::GetInstance()->Error("USBCAN <ch:%d> 启动失败", channel);
        return 0;
    }
    return 1;  // unanswered counts as started; the reply is not examined
}

int QDeviceUsbCan2::start(unsigned channel) {
    ycan::GateScope call(commands().calls());
    if (!call) return fail(YCAN_ERR_NOT_OPENED);
    return startChannel(channel);
}

int QDeviceUsbCan2::stop(unsigned channel) {
    if (channel > 1) return fail(YCAN_ERR_PARAMETER);
    if (!life.isOpen()) return 0;
    ycan::GateScope call(commands().calls());
    if (!call) return fail(YCAN_ERR_NOT_OPENED);
    const uint8_t cmd[5] = {0x12, 0x0F, 0x02, 0x00, static_cast<uint8_t>(channel * 16)};
    uint8_t reply[100];
    int len = sizeof reply;
    command(cmd, sizeof cmd, reply, &len, 0);  // written only
    clearBuffer(channel);
    return 1;  // the channel stays initialised and can be started again
}

int QDeviceUsbCan2::getBoardInf(_YCAN_BOARD_INFO* info) {
    if (!life.isOpen()) return fail(YCAN_ERR_NOT_OPENED);
    if (info == nullptr) return fail(YCAN_ERR_PARAMETER);
    ycan::GateScope call(commands().calls());
    if (!call) return fail(YCAN_ERR_NOT_OPENED);
    uint8_t reply[100];
    int len = sizeof reply;
    const uint8_t v0[4] = {0x12, 0x01, 0x01, 0x00};
    if (command(v0, 4, reply, &len, 500) < 0 || len != 6) {
        QUserLog::GetInstance()->Error("USBCAN 获取板卡信息失败");
        return 0;
    }
    // Version words arrive low byte first.
    info->Version0 = ycan::usbcan2::versionWord(reply, len);

    // The remaining queries are not checked: a missing reply leaves the
    // cleared buffer (and, for the count, the length at the capacity).
    len = sizeof reply;
    const uint8_t v1[4] = {0x12, 0x12, 0x01, 0x00};
    command(v1, 4, reply, &len, 500);
    info->Version1 = ycan::usbcan2::versionWord(reply, len);

    len = sizeof reply;
    const uint8_t count[4] = {0x12, 0x13, 0x01, 0x00};
    command(count, 4, reply, &len, 500);
    info->ChannelNum = ycan::usbcan2::channelCount(reply, len);

    for (auto [code, field] :
         {std::pair<uint8_t, char*>{0x14, info->SerialNum}, std::pair<uint8_t, char*>{0x15, info->HwType}}) {
        len = sizeof reply;
        const uint8_t text[4] = {0x12, code, 0x01, 0x00};
        command(text, 4, reply, &len, 500);
        ycan::usbcan2::boardText(reply, len, field,
                                 code == 0x14 ? sizeof info->SerialNum : sizeof info->HwType);
    }
    return 1;
}

int QDeviceUsbCan2::isDeviceOnLine() { return life.isOpen() ? 1 : 0; }

int QDeviceUsbCan2::setFliter(unsigned, _YCAN_FLITER_CONFIG*) { return fail(YCAN_ERR_TYPE_NOT_SUPPORTED); }

// ---- Relay, baud parameters, channel state, direct transfer ----------------------

// The queries below refuse a closing or closed adapter (7) before they look
// at their output pointers (8).
int QDeviceUsbCan2::relayStatusSet(uint8_t first, uint8_t second) {
    ycan::GateScope call(commands().calls());
    if (!call || !life.isOpen()) return fail(YCAN_ERR_NOT_OPENED);
    const uint8_t cmd[5] = {0x12, 0xB1, 0x02, first, second};
    uint8_t reply[64];
    int len = sizeof reply;
    return command(cmd, 5, reply, &len, 1000) >= 0 && len > 4 && reply[1] == 0xB1 ? 1 : 0;
}

int QDeviceUsbCan2::relayStatusGet(uint8_t* first, uint8_t* second) {
    ycan::GateScope call(commands().calls());
    if (!call || !life.isOpen()) return fail(YCAN_ERR_NOT_OPENED);
    if (first == nullptr || second == nullptr) return fail(YCAN_ERR_PARAMETER);
    const uint8_t cmd[5] = {0x12, 0xB2, 0x02, 0x00, 0x00};
    uint8_t reply[64];
    int len = sizeof reply;
    return command(cmd, 5, reply, &len, 1000) >= 0 && ycan::usbcan2::relayStatus(reply, len, first, second)
               ? 1
               : 0;
}

int QDeviceUsbCan2::baudParaGet(uint8_t channel, uint8_t* first, uint8_t* second) {
    ycan::GateScope call(commands().calls());
    if (!call || !life.isOpen()) return fail(YCAN_ERR_NOT_OPENED);
    if (first == nullptr || second == nullptr) return fail(YCAN_ERR_PARAMETER);
    const uint8_t cmd[4] = {0x12, 0xA4, 0x01, channel};
    uint8_t reply[64];
    int len = sizeof reply;
    return command(cmd, 4, reply, &len, 1000) >= 0 && ycan::usbcan2::baudParams(reply, len, first, second)
               ? 1
               : 0;
}

int QDeviceUsbCan2::chStateGet(uint8_t channel, uint8_t* first, uint8_t* second, uint8_t* third) {
    ycan::GateScope call(commands().calls());
    if (!call || !life.isOpen()) return fail(YCAN_ERR_NOT_OPENED);
    if (first == nullptr || second == nullptr || third == nullptr) return fail(YCAN_ERR_PARAMETER);
    const uint8_t cmd[6] = {0x12, 0x80, 0x01, channel, 0x00, 0x00};
    uint8_t reply[64];
    int len = sizeof reply;
    return command(cmd, 6, reply, &len, 1000) >= 0 &&
                   ycan::usbcan2::channelState(reply, len, first, second, third)
               ? 1
               : 0;
}

int QDeviceUsbCan2::transmitData(uint8_t* data, unsigned length) {
    ycan::GateScope call(commands().calls());
    if (!call || !life.isOpen()) return fail(YCAN_ERR_NOT_OPENED);
    if (data == nullptr) return fail(YCAN_ERR_PARAMETER);
    // A length past what an int holds is an application's negative length.
    return directTransfer(data, length > 0x7FFFFFFFu ? -1 : static_cast<int>(length));
}

// ---- Receive, count, clear ---------------------------------------------------------

int QDeviceUsbCan2::receive(unsigned channel, _YCAN_CAN_OBJ* frames, unsigned max, int waitMs) {
    if (frames == nullptr || max == 0) return fail(YCAN_ERR_PARAMETER);
    // Through the gate, so that close and unload know the caller has left
    // the queue. A closed queue serves what it holds, never waits.
    ycan::GateScope call(commands().calls());
    if (!call) return 0;
    return rxFrames.take(channel == 0 ? 0 : 1, frames, max, waitMs);
}

int QDeviceUsbCan2::receiveFD(unsigned, _YCAN_CANFD_OBJ*, unsigned, int) {
    return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
}

int QDeviceUsbCan2::receiveAll(unsigned channel, _YCAN_RX_FRAME* frames, unsigned max, int waitMs) {
    ycan::GateScope call(commands().calls());
    return ycan::takeInOrder(rxFrames, kChannels, call && life.isOpen(), channel, frames, max, waitMs);
}

int QDeviceUsbCan2::eventFd() {
    ycan::GateScope call(commands().calls());
    if (!call || !life.isOpen()) {
        ycan::setLastError(YCAN_ERR_NOT_OPENED);
        return -1;
    }
    return ycan::eventDescriptor(rxFrames);
}

int QDeviceUsbCan2::linkState(uint32_t* losses) { return ycan::linkState(&rxFrames, life, losses); }

int QDeviceUsbCan2::location(char* portPath, uint32_t portPathSize, char* serial, uint32_t serialSize) {
    return ycan::deviceLocation(life, portPath, portPathSize, serial, serialSize);
}

int QDeviceUsbCan2::getReceiveNum(unsigned channel, uint8_t kind) {
    if (kind != 0) return 0;
    if (!isInit(channel)) return fail(YCAN_ERR_CAN_NOT_INITIALIZED);
    return static_cast<int>(rxFrames.size(channel, 0));
}

int QDeviceUsbCan2::clearBuffer(unsigned channel) {
    if (!isInit(channel)) return fail(YCAN_ERR_CAN_NOT_INITIALIZED);
    rxFrames.clear(channel);
    return 1;
}
