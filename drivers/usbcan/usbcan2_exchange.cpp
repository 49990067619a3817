// Classic USB CAN driver: the command exchanges, the data packets, the
// direct data transfer and the device function set. Every other classic
// file builds on this one; it calls none of them.
//
// Commands: 12 <code> <length> <parameters> on interrupt endpoint 0x01;
// replies on 0x81. There is no matching: the first reply of at least one
// byte is taken.
#include <cstring>

#include "drivers/common/command_exchange.h"
#include "drivers/usbcan/QDeviceUsbCan2.h"
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

QDeviceUsbCan2::~QDeviceUsbCan2() { QDeviceUsbCan2::closeDevice(); }

int QDeviceUsbCan2::usbCmdSend(const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen, uint8_t epOut,
                               uint8_t epIn, unsigned timeoutMs) {
    return commandReturnCode(commands().exchange(kCommandRules, tx, txLen, rx, rxLen, epOut, epIn, timeoutMs),
                             timeoutMs);
}

int QDeviceUsbCan2::usbCmdSendDirect(const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen, uint8_t epOut,
                                     uint8_t epIn, unsigned timeoutMs) {
    ycan::ExchangeRules rules = kReplayRules;
    if (timeoutMs == 0) rules.writeTimeoutMs = 100;
    return commandReturnCode(commands().ownerExchange(rules, tx, txLen, rx, rxLen, epOut, epIn, timeoutMs),
                             timeoutMs);
}

// The receive thread replaying the channels sends with its own time-outs.
int QDeviceUsbCan2::command(const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen, unsigned timeoutMs) {
    memset(rx, 0, static_cast<size_t>(*rxLen));
    return commands().calledByOwner() ? usbCmdSendDirect(tx, txLen, rx, rxLen, 0x01, 0x81, timeoutMs)
                                      : usbCmdSend(tx, txLen, rx, rxLen, 0x01, 0x81, timeoutMs);
}

int QDeviceUsbCan2::usbDataSend(const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen, uint8_t epOut,
                                uint8_t epIn, unsigned timeoutMs) {
    if (life.isOpen() && timeoutMs > 0) {
        // The packet goes out once on bulk; while replies are awaited, the
        // adapter's reply comes on the interrupt endpoint.
        const ycan::ExchangeRules rules{.writeType = ycan::TransferType::Bulk,
                                        .readType = ycan::TransferType::Interrupt,
                                        .writeTimeoutMs = timeoutMs,
                                        .readTimeoutMs = timeoutMs,
                                        .rewrite = false,
                                        .minReplyLen = 1,
                                        .matchHeader = false};
        const unsigned wait = txWaitReply.load() == 1 ? timeoutMs : 0;
        if (commands().sendData(rules, tx, txLen, rx, rxLen, epOut, epIn, wait) == ycan::ExchangeResult::Ok)
            return 0;
    }
    ycan::setLastError(YCAN_ERR_USB_COMMAND);
    return -1;
}

// ---- Direct data transfer and device function set -------------------------------

int QDeviceUsbCan2::directTransfer(uint8_t* data, int length) {
    const ycan::DirectRequest request(data, length < 0 ? 0u : static_cast<unsigned>(length));
    uint8_t reply[64];
    int len = sizeof reply;
    if (command(request.bytes, request.length, reply, &len, 3000) < 0 || len < 2) return 0;
    return ycan::copyDirectReply(data, reply, len);
}

int QDeviceUsbCan2::usbcan2DevFunSet() {
    int packetLen = 0;
    const ycan::FunctionSetResult r = ycan::sendFunctionSet(
        [&](uint8_t* packet, unsigned len) { return directTransfer(packet, static_cast<int>(len)); },
        &packetLen);
    // Once accepted, data packets go out without waiting for replies.
    if (r == ycan::FunctionSetResult::Accepted) txWaitReply = 0;
    return ycan::reportFunctionSet(r, packetLen, "YORV Tip:USBCAN设备功能设置成功!",
                                   "USBCAN设备功能设置无效...");
}
