// Classic USB CAN driver: the checks of a call's type, index and channel,
// the command exchanges, the direct data transfer and the device function
// set. Every other classic file builds on this one; it calls none of them.
//
// Commands: 12 <code> <length> <parameters> on interrupt endpoint 0x01;
// replies on 0x81. There is no matching: the first reply of at least one
// byte is taken.
#include <cstring>

#include "drivers/common/command_exchange.h"
#include "drivers/usbcan/usbcan2.h"
#include "support/QErrMgr.h"

namespace {

// Normal commands: write 100 ms, read 500 ms; the replay's exchanges
// write 500 ms, read 100 ms. The first reply of any length is taken.
constexpr ycan::ExchangeRules kCommandRules{
    .writeTimeoutMs = 100, .readTimeoutMs = 500, .minReplyLen = 1, .matchHeader = false};
constexpr ycan::ExchangeRules kReplayRules{
    .writeTimeoutMs = 500, .readTimeoutMs = 100, .minReplyLen = 1, .matchHeader = false};

// A command written only (time-out 0) says whether it went out and leaves
// the last error as it was: its callers (the channel reset) go on whatever
// happened to it. Exchanges that await a reply store why they failed.
int commandReturnCode(ycan::ExchangeResult r, unsigned timeoutMs) {
    if (timeoutMs == 0) return r == ycan::ExchangeResult::Ok ? 0 : -1;
    return ycan::exchangeReturnCode(r);
}

}  // namespace

// ---- Checks ------------------------------------------------------------------

extern "C" int usbcan2DevParaIsValid(uint32_t type, uint32_t index, uint32_t channel) {
    if (type != YCAN_TYPE_USBCAN_3 && type != YCAN_TYPE_USBCAN_4) {
        ycan::setLastError(YCAN_ERR_TYPE_NOT_SUPPORTED);
        return 0;
    }
    if (index >= kUsbCanDevices || channel >= 2) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return 0;
    }
    return 1;
}

extern "C" int usbcan2IsOpen(uint32_t type, uint32_t index) {
    return usbcan2DevParaIsValid(type, index, 0) && devInfoList[index].link.isOpen();
}

extern "C" int usbcan2IsInit(uint32_t type, uint32_t index, uint32_t channel) {
    return usbcan2IsOpen(type, index) && channel < 2 && devInfoList[index].chActive[channel].load() != 0;
}

RecordCall::RecordCall(uint32_t index) {
    if (index < kUsbCanDevices) held.emplace(devInfoList[index].commands().calls());
}

// ---- Exchanges ------------------------------------------------------------------

int usbCmdSend(devInfo& rec, const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen, uint8_t epOut,
               uint8_t epIn, unsigned timeoutMs) {
    return commandReturnCode(
        rec.commands().exchange(kCommandRules, tx, txLen, rx, rxLen, epOut, epIn, timeoutMs), timeoutMs);
}

int usbCmdSendDirect(devInfo& rec, const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen,
                     uint8_t epOut, uint8_t epIn, unsigned timeoutMs) {
    ycan::ExchangeRules rules = kReplayRules;
    if (timeoutMs == 0) rules.writeTimeoutMs = 100;
    return commandReturnCode(
        rec.commands().ownerExchange(rules, tx, txLen, rx, rxLen, epOut, epIn, timeoutMs), timeoutMs);
}

// The receive thread replaying the channels sends with its own time-outs.
int usbcan2Command(devInfo& rec, const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen, unsigned timeoutMs) {
    memset(rx, 0, static_cast<size_t>(*rxLen));
    return rec.commands().calledByOwner() ? usbCmdSendDirect(rec, tx, txLen, rx, rxLen, 0x01, 0x81, timeoutMs)
                                          : usbCmdSend(rec, tx, txLen, rx, rxLen, 0x01, 0x81, timeoutMs);
}

int usbDataSend(devInfo& rec, const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen, uint8_t epOut,
                uint8_t epIn, unsigned timeoutMs) {
    if (rec.link.isOpen() && timeoutMs > 0) {
        // The packet goes out once on bulk; while replies are awaited, the
        // adapter's reply comes on the interrupt endpoint.
        const ycan::ExchangeRules rules{.writeType = ycan::TransferType::Bulk,
                                        .readType = ycan::TransferType::Interrupt,
                                        .writeTimeoutMs = timeoutMs,
                                        .readTimeoutMs = timeoutMs,
                                        .rewrite = false,
                                        .minReplyLen = 1,
                                        .matchHeader = false};
        const unsigned wait = rec.txWaitReply.load() == 1 ? timeoutMs : 0;
        if (rec.commands().sendData(rules, tx, txLen, rx, rxLen, epOut, epIn, wait) ==
            ycan::ExchangeResult::Ok)
            return 0;
    }
    ycan::setLastError(YCAN_ERR_USB_COMMAND);
    return -1;
}

// ---- Direct data transfer and device function set -------------------------------

int usbcan2DevDataTransferExcute(devInfo& rec, uint8_t* data, int length) {
    const ycan::DirectRequest request(data, length < 0 ? 0u : static_cast<unsigned>(length));
    uint8_t reply[64];
    int len = sizeof reply;
    if (usbcan2Command(rec, request.bytes, request.length, reply, &len, 3000) < 0 || len < 2) return 0;
    return ycan::copyDirectReply(data, reply, len);
}

int usbcan2DevFunSet(devInfo& rec) {
    int packetLen = 0;
    const ycan::FunctionSetResult r = ycan::sendFunctionSet(
        [&](uint8_t* packet, unsigned len) {
            return usbcan2DevDataTransferExcute(rec, packet, static_cast<int>(len));
        },
        &packetLen);
    // Once accepted, data packets go out without waiting for replies.
    if (r == ycan::FunctionSetResult::Accepted) rec.txWaitReply = 0;
    return ycan::reportFunctionSet(r, packetLen, "YORV Tip:USBCAN设备功能设置成功!",
                                   "USBCAN设备功能设置无效...");
}
