// QDeviceUsbCanFd2: the command channel. Commands and replies travel on the
// interrupt endpoints; a reply belongs to a request when it has at least 3
// bytes and starts with the request's first two bytes. Data packets and
// their echoes travel on the bulk endpoints.
#include <cstring>

#include "drivers/canfd/QDeviceUsbCanFd2.h"
#include "support/QErrMgr.h"

namespace {

constexpr unsigned kTransferTimeoutMs = 1000;

// Commands: interrupt both ways, written again after every unmatched read.
constexpr ycan::ExchangeRules kCommandRules{.writeTimeoutMs = kTransferTimeoutMs,
                                            .readTimeoutMs = kTransferTimeoutMs};

// Data packets: written once on bulk, the echo read on bulk.
constexpr ycan::ExchangeRules kDataRules{.writeType = ycan::TransferType::Bulk,
                                         .readType = ycan::TransferType::Bulk,
                                         .writeTimeoutMs = kTransferTimeoutMs,
                                         .readTimeoutMs = kTransferTimeoutMs,
                                         .rewrite = false};

}  // namespace

int QDeviceUsbCanFd2::usbCmdSend(const uint8_t* request, int requestLen, uint8_t* reply, int* replyLen,
                                 uint8_t epOut, uint8_t epIn, unsigned timeoutMs) {
    return ycan::exchangeReturnCode(
        life.channel().exchange(kCommandRules, request, requestLen, reply, replyLen, epOut, epIn, timeoutMs));
}

int QDeviceUsbCanFd2::usbCmdExtSendByBulk(const uint8_t* request, int requestLen, uint8_t* reply,
                                          int* replyLen, uint8_t epOut, uint8_t epIn, unsigned timeoutMs) {
    return bulkExchange(request, requestLen, reply, replyLen, epOut, epIn, timeoutMs, false);
}

int QDeviceUsbCanFd2::usbCmdSendByBulk(const uint8_t* request, int requestLen, uint8_t* reply, int* replyLen,
                                       uint8_t epOut, uint8_t epIn, unsigned timeoutMs) {
    return bulkExchange(request, requestLen, reply, replyLen, epOut, epIn, timeoutMs, true);
}

int QDeviceUsbCanFd2::bulkExchange(const uint8_t* request, int requestLen, uint8_t* reply, int* replyLen,
                                   uint8_t epOut, uint8_t epIn, unsigned timeoutMs, bool alwaysAwaitEcho) {
    // No echo awaited: the packet is only written.
    const unsigned wait = alwaysAwaitEcho || echoWait.load() != 0 ? timeoutMs : 0;
    ycan::ExchangeRules rules = kDataRules;
    if (wait == 0) rules.writeTimeoutMs = kTransferTimeoutMs;
    return life.channel().sendData(rules, request, requestLen, reply, replyLen, epOut, epIn, wait) ==
                   ycan::ExchangeResult::Ok
               ? 0
               : -1;
}

int QDeviceUsbCanFd2::command(const uint8_t* request, int length, uint8_t (&reply)[64], unsigned timeoutMs) {
    memset(reply, 0, sizeof reply);
    int replyLen = sizeof reply;
    int r = usbCmdSend(request, length, reply, &replyLen, 0x01, 0x81, timeoutMs);
    return r < 0 ? r : replyLen;
}
