// Classic USB CAN driver: channel initialisation, start and reset, board
// information, relay, baud parameters, channel state, direct transfer, and
// the receive queues (take, count, clear). Channel commands carry the
// channel number times 16 in their channel byte.
#include <cstring>
#include <mutex>

#include "drivers/common/command_exchange.h"
#include "drivers/usbcan/usbcan2.h"
#include "drivers/usbcan/usbcan2_replies.h"
#include "support/QErrMgr.h"
#include "support/QUserLog.h"

namespace {

using ycan::fail;

// The wrappers that take a record by index alone refuse what would reach
// past the table or a missing transport.
devInfo* usableRecord(uint32_t index) {
    if (index >= kUsbCanDevices) {
        fail(YCAN_ERR_PARAMETER);
        return nullptr;
    }
    if (!devInfoList[index].link.isOpen()) {
        fail(YCAN_ERR_NOT_OPENED);
        return nullptr;
    }
    return &devInfoList[index];
}

}  // namespace

int usbcan2CmdInitSend(devInfo& rec, uint32_t channel, _YCAN_INIT_CONFIG* config) {
    QUserLog* log = QUserLog::GetInstance();
    if (!rec.link.isOpen()) return fail(YCAN_ERR_NOT_OPENED);
    if (channel > 1 || config == nullptr) return fail(YCAN_ERR_PARAMETER);
    uint8_t mode;
    if (config->WorkMode == 0) {
        mode = 0x00;
    } else if (config->WorkMode == 1) {
        mode = 0x80;
    } else {
        log->Error("Warning:USBCAN <ch:%d> Init Fail->Para Err,Unkown Mode:%d \n", channel,
                   config->WorkMode);
        return 0;
    }
    const uint8_t cmd[9] = {0x12, 0x03, 0x06, 0x00, static_cast<uint8_t>(mode | (channel * 16)),
                            config->BusTiming0, config->BusTiming1, 0x02, 0x57};
    uint8_t reply[128];
    int len = sizeof reply;
    int r = usbcan2Command(rec, cmd, sizeof cmd, reply, &len, 1000);
    if (r >= 0 && (reply[2] == 0x81 || reply[2] == 0x82)) {
        log->Info("YORV Tip:USBCAN <ch:%d> Init Success", channel);
        return 1;
    }
    log->Error("YORV Tip:USBCAN <ch:%d> Init Fail", channel);
    return fail(YCAN_ERR_USB_COMMAND);
}

extern "C" int usbcan2InitCAN(uint32_t type, uint32_t index, uint32_t channel,
                              _YCAN_INIT_CONFIG* config) {
    if (channel > 1) return fail(YCAN_ERR_PARAMETER);
    RecordCall call(index);
    if (!call) return fail(YCAN_ERR_NOT_OPENED);
    if (!usbcan2IsOpen(type, index)) return fail(YCAN_ERR_NOT_OPENED);
    devInfo& rec = devInfoList[index];
    int r = usbcan2CmdInitSend(rec, channel, config);
    if (r == 1) {
        {
            std::lock_guard guard(rec.configMutex);
            rec.chConfig[channel] = *config;
        }
        rec.chActive[channel] = 1;
        usbcan2ClearBuffer(type, index, channel);  // frames from before the init go
    }
    return r;
}

int usbcan2Start(devInfo& rec, uint32_t channel) {
    if (!rec.link.isOpen() || channel >= 2 || rec.chActive[channel].load() == 0)
        return fail(YCAN_ERR_CAN_NOT_INITIALIZED);
    const uint8_t cmd[5] = {0x12, 0x0E, 0x02, 0x00, static_cast<uint8_t>(channel * 16)};
    uint8_t reply[100];
    int len = sizeof reply;
    if (usbcan2Command(rec, cmd, sizeof cmd, reply, &len, 200) == -1) {
        QUserLog::GetInstance()->Error("USBCAN <ch:%d> 启动失败", channel);
        return 0;
    }
    return 1;  // unanswered counts as started; the reply is not examined
}

extern "C" int usbcan2StartCAN(uint32_t type, uint32_t index, uint32_t channel) {
    RecordCall call(index);
    if (!call) return fail(YCAN_ERR_NOT_OPENED);
    if (!usbcan2IsInit(type, index, channel)) return fail(YCAN_ERR_CAN_NOT_INITIALIZED);
    return usbcan2Start(devInfoList[index], channel);
}

extern "C" int usbcan2ResetCAN(uint32_t type, uint32_t index, uint32_t channel) {
    if (channel > 1) return fail(YCAN_ERR_PARAMETER);
    if (!usbcan2IsOpen(type, index)) return 0;
    RecordCall call(index);
    if (!call) return fail(YCAN_ERR_NOT_OPENED);
    const uint8_t cmd[5] = {0x12, 0x0F, 0x02, 0x00, static_cast<uint8_t>(channel * 16)};
    uint8_t reply[100];
    int len = sizeof reply;
    usbcan2Command(devInfoList[index], cmd, sizeof cmd, reply, &len, 0);  // written only
    usbcan2ClearBuffer(type, index, channel);
    return 1;  // the channel stays initialised and can be started again
}

extern "C" int usbcan2ReadBoardInfo(uint32_t type, uint32_t index, _YCAN_BOARD_INFO* info) {
    if (!usbcan2IsOpen(type, index)) return fail(YCAN_ERR_NOT_OPENED);
    if (info == nullptr) return fail(YCAN_ERR_PARAMETER);
    RecordCall call(index);
    if (!call) return fail(YCAN_ERR_NOT_OPENED);
    devInfo& rec = devInfoList[index];
    uint8_t reply[100];
    int len = sizeof reply;
    const uint8_t v0[4] = {0x12, 0x01, 0x01, 0x00};
    if (usbcan2Command(rec, v0, 4, reply, &len, 500) < 0 || len != 6) {
        QUserLog::GetInstance()->Error("USBCAN 获取板卡信息失败");
        return 0;
    }
    // Version words arrive low byte first.
    info->Version0 = ycan::usbcan2::versionWord(reply, len);

    // The remaining queries are not checked: a missing reply leaves the
    // cleared buffer (and, for the count, the length at the capacity).
    len = sizeof reply;
    const uint8_t v1[4] = {0x12, 0x12, 0x01, 0x00};
    usbcan2Command(rec, v1, 4, reply, &len, 500);
    info->Version1 = ycan::usbcan2::versionWord(reply, len);

    len = sizeof reply;
    const uint8_t count[4] = {0x12, 0x13, 0x01, 0x00};
    usbcan2Command(rec, count, 4, reply, &len, 500);
    info->ChannelNum = ycan::usbcan2::channelCount(reply, len);

    for (auto [code, field] : {std::pair<uint8_t, char*>{0x14, info->SerialNum},
                               std::pair<uint8_t, char*>{0x15, info->HwType}}) {
        len = sizeof reply;
        const uint8_t text[4] = {0x12, code, 0x01, 0x00};
        usbcan2Command(rec, text, 4, reply, &len, 500);
        ycan::usbcan2::boardText(reply, len, field, code == 0x14 ? sizeof info->SerialNum : sizeof info->HwType);
    }
    return 1;
}

// ---- Relay, baud parameters, channel state ------------------------------------

int usbcan2DevRelayStatusSetExcute(devInfo& rec, uint8_t first, uint8_t second) {
    const uint8_t cmd[5] = {0x12, 0xB1, 0x02, first, second};
    uint8_t reply[64];
    int len = sizeof reply;
    return usbcan2Command(rec, cmd, 5, reply, &len, 1000) >= 0 && len > 4 && reply[1] == 0xB1 ? 1 : 0;
}

int usbcan2DevRelayStatusGetExcute(devInfo& rec, uint8_t* first, uint8_t* second) {
    const uint8_t cmd[5] = {0x12, 0xB2, 0x02, 0x00, 0x00};
    uint8_t reply[64];
    int len = sizeof reply;
    return usbcan2Command(rec, cmd, 5, reply, &len, 1000) >= 0 && ycan::usbcan2::relayStatus(reply, len, first, second) ? 1
                                                                                                        : 0;
}

int usbcan2DevBaudParaGetExcute(devInfo& rec, uint8_t channel, uint8_t* first, uint8_t* second) {
    const uint8_t cmd[4] = {0x12, 0xA4, 0x01, channel};
    uint8_t reply[64];
    int len = sizeof reply;
    return usbcan2Command(rec, cmd, 4, reply, &len, 1000) >= 0 && ycan::usbcan2::baudParams(reply, len, first, second) ? 1 : 0;
}

int usbcan2DevChStateGetExcute(devInfo& rec, uint8_t channel, uint8_t* first, uint8_t* second,
                               uint8_t* third) {
    const uint8_t cmd[6] = {0x12, 0x80, 0x01, channel, 0x00, 0x00};
    uint8_t reply[64];
    int len = sizeof reply;
    return usbcan2Command(rec, cmd, 6, reply, &len, 1000) >= 0 &&
                   ycan::usbcan2::channelState(reply, len, first, second, third)
               ? 1
               : 0;
}

extern "C" int usbcan2DevRelayStatusSet(uint32_t, uint32_t index, uint8_t first, uint8_t second) {
    RecordCall call(index);
    if (!call) return fail(YCAN_ERR_NOT_OPENED);
    devInfo* rec = usableRecord(index);
    return rec != nullptr ? usbcan2DevRelayStatusSetExcute(*rec, first, second) : 0;
}

extern "C" int usbcan2DevRelayStatusGet(uint32_t, uint32_t index, uint8_t* first, uint8_t* second) {
    RecordCall call(index);
    if (!call) return fail(YCAN_ERR_NOT_OPENED);
    devInfo* rec = usableRecord(index);
    if (rec == nullptr) return 0;
    if (first == nullptr || second == nullptr) return fail(YCAN_ERR_PARAMETER);
    return usbcan2DevRelayStatusGetExcute(*rec, first, second);
}

extern "C" int usbcan2DevBaudParaGet(uint32_t, uint32_t index, uint32_t channel, uint8_t* first,
                                     uint8_t* second) {
    RecordCall call(index);
    if (!call) return fail(YCAN_ERR_NOT_OPENED);
    devInfo* rec = usableRecord(index);
    if (rec == nullptr) return 0;
    if (first == nullptr || second == nullptr) return fail(YCAN_ERR_PARAMETER);
    return usbcan2DevBaudParaGetExcute(*rec, static_cast<uint8_t>(channel), first, second);
}

extern "C" int usbcan2DevChStateGet(uint32_t, uint32_t index, uint32_t channel, uint8_t* first,
                                    uint8_t* second, uint8_t* third) {
    RecordCall call(index);
    if (!call) return fail(YCAN_ERR_NOT_OPENED);
    devInfo* rec = usableRecord(index);
    if (rec == nullptr) return 0;
    if (first == nullptr || second == nullptr || third == nullptr) return fail(YCAN_ERR_PARAMETER);
    return usbcan2DevChStateGetExcute(*rec, static_cast<uint8_t>(channel), first, second, third);
}

extern "C" int usbcan2DevDataTransfer(uint32_t, uint32_t index, uint8_t* data, int length) {
    RecordCall call(index);
    if (!call) return fail(YCAN_ERR_NOT_OPENED);
    devInfo* rec = usableRecord(index);
    if (rec == nullptr) return 0;
    if (data == nullptr) return fail(YCAN_ERR_PARAMETER);
    return usbcan2DevDataTransferExcute(*rec, data, length);
}

// ---- Receive, count, clear ---------------------------------------------------------

extern "C" int usbcan2Receive(uint32_t, uint32_t index, uint32_t channel, _YCAN_CAN_OBJ* frames,
                              unsigned max, int waitMs) {
    if (index >= kUsbCanDevices || frames == nullptr || max == 0) return fail(YCAN_ERR_PARAMETER);
    devInfo& rec = devInfoList[index];
    // Through the record's gate, so that close and unload know the caller
    // has left the queue. A closed queue serves what it holds, never waits.
    RecordCall call(index);
    if (!call) return 0;
    return rec.rxFrames.take(channel == 0 ? 0 : 1, frames, max, waitMs);
}

extern "C" int usbcan2ReceiveAll(uint32_t type, uint32_t index, uint32_t channel,
                                 _YCAN_RX_FRAME* frames, unsigned max, int waitMs) {
    if (index >= kUsbCanDevices || frames == nullptr || max == 0 ||
        (channel != YCAN_ALL_CHANNELS && channel >= 2))
        return fail(YCAN_ERR_PARAMETER);
    RecordCall call(index);
    if (!call || !usbcan2IsOpen(type, index)) return fail(YCAN_ERR_NOT_OPENED);
    return devInfoList[index].rxFrames.takeInOrder(channel, frames, max, waitMs);
}

extern "C" int usbcan2EventFd(uint32_t type, uint32_t index) {
    if (index >= kUsbCanDevices) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return -1;
    }
    RecordCall call(index);
    if (!call || !usbcan2IsOpen(type, index)) {
        ycan::setLastError(YCAN_ERR_NOT_OPENED);
        return -1;
    }
    devInfo& rec = devInfoList[index];
    const int fd = rec.rxFrames.eventFd();
    if (fd < 0) ycan::setLastError(rec.rxFrames.isOpen() ? YCAN_ERR_MEMORY : YCAN_ERR_NOT_OPENED);
    return fd;
}

extern "C" int usbcan2LinkState(uint32_t, uint32_t index, uint32_t* losses) {
    if (index >= kUsbCanDevices) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return -1;
    }
    devInfo& rec = devInfoList[index];
    rec.rxFrames.linkSeen();
    const int state = rec.link.linkState(losses);
    if (state < 0) ycan::setLastError(YCAN_ERR_NOT_OPENED);
    return state;
}

extern "C" int usbcan2GetReceiveNum(uint32_t type, uint32_t index, uint32_t channel) {
    if (!usbcan2IsInit(type, index, channel)) return fail(YCAN_ERR_CAN_NOT_INITIALIZED);
    return static_cast<int>(devInfoList[index].rxFrames.size(channel, 0));
}

extern "C" int usbcan2ClearBuffer(uint32_t type, uint32_t index, uint32_t channel) {
    if (!usbcan2IsInit(type, index, channel)) return fail(YCAN_ERR_CAN_NOT_INITIALIZED);
    devInfoList[index].rxFrames.clear(channel);
    return 1;
}
