#include "drivers/common/command_exchange.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "support/QErrMgr.h"
#include "support/QUserLog.h"
#include "support/clock.h"
#include "support/yorvProcotol.h"
#include "transport/QUserLibUsb.h"
#include "ycan.h"

namespace ycan {
namespace {

constexpr uint8_t kFunctionSetCmd = 7;

int writeOnce(QUserLibUsb& usb, TransferType type, const uint8_t* data, int len, uint8_t ep,
              unsigned timeoutMs) {
    // The transport's transfers take a non-const buffer; nothing writes to it.
    return usb.write(type, const_cast<uint8_t*>(data), len, ep, timeoutMs);
}

int readOnce(QUserLibUsb& usb, TransferType type, uint8_t* buf, int cap, uint8_t ep, unsigned timeoutMs) {
    return usb.read(type, buf, cap, ep, timeoutMs);
}

// An attempt that failed at once (nothing answering yet) is not repeated in
// a tight loop: the retries keep their time bound but not the CPU.
void pace(uint32_t attemptStart) {
    if (getLapseMicroSec(attemptStart) < 1000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Replies already waiting belong to earlier exchanges (an answer that came
// after its exchange gave up, or one sent twice): read and dropped before
// the request goes out, so that none is ever taken for this exchange's
// reply and none makes the request be written again.
constexpr int kMaxStaleReplies = 16;
constexpr unsigned kStaleReadMs = 1;

void dropStaleReplies(QUserLibUsb& usb, TransferType type, uint8_t epIn) {
    uint8_t scratch[64];
    for (int i = 0; i < kMaxStaleReplies; ++i)
        if (readOnce(usb, type, scratch, sizeof scratch, epIn, kStaleReadMs) <= 0) return;
}

}  // namespace

ExchangeResult runExchange(QUserLibUsb& usb, const ExchangeRules& rules, const uint8_t* request,
                           int requestLen, uint8_t* reply, int* replyLen, uint8_t epOut, uint8_t epIn,
                           unsigned timeoutMs) {
    if (timeoutMs == 0)
        return writeOnce(usb, rules.writeType, request, requestLen, epOut, rules.writeTimeoutMs) > 0
                   ? ExchangeResult::Ok
                   : ExchangeResult::WriteFailed;

    dropStaleReplies(usb, rules.readType, epIn);
    const uint32_t start = curMicroSec32();
    const uint64_t limitUs = static_cast<uint64_t>(timeoutMs) * 1000u;
    bool written = false;
    bool writeFailed = false;
    while (getLapseMicroSec(start) < limitUs) {
        const uint32_t attempt = curMicroSec32();
        if (usb.transfersAborted()) return ExchangeResult::Aborted;
        if (rules.rewrite || !written) {
            const int w = writeOnce(usb, rules.writeType, request, requestLen, epOut, rules.writeTimeoutMs);
            if (w <= 0) {
                writeFailed = true;
                if (w == LIBUSB_ERROR_NO_DEVICE) return ExchangeResult::Gone;
                if (w == LIBUSB_ERROR_INTERRUPTED) return ExchangeResult::Aborted;
                pace(attempt);
                continue;
            }
            written = true;
            writeFailed = false;
        }
        // The read never runs past the exchange's own time-out.
        const uint64_t leftUs = limitUs - std::min<uint64_t>(limitUs, getLapseMicroSec(start));
        const unsigned readMs =
            static_cast<unsigned>(std::clamp<uint64_t>((leftUs + 999) / 1000, 1, rules.readTimeoutMs));
        const int n = readOnce(usb, rules.readType, reply, *replyLen, epIn, readMs);
        if (n >= rules.minReplyLen && n > 0 &&
            (!rules.matchHeader || (reply[0] == request[0] && reply[1] == request[1]))) {
            *replyLen = n;
            return ExchangeResult::Ok;
        }
        if (n == LIBUSB_ERROR_NO_DEVICE) return ExchangeResult::Gone;
        if (n == LIBUSB_ERROR_INTERRUPTED) return ExchangeResult::Aborted;
        pace(attempt);  // nothing, too short, or another request's reply
    }
    return writeFailed || !written ? ExchangeResult::WriteFailed : ExchangeResult::NoReply;
}

int exchangeReturnCode(ExchangeResult r) {
    switch (r) {
        case ExchangeResult::Ok:
            return 0;
        case ExchangeResult::NoReply:
            setLastError(YCAN_ERR_USB_COMMAND);
            return -2;
        case ExchangeResult::Aborted:
            setLastError(YCAN_ERR_NOT_OPENED);
            return -1;
        case ExchangeResult::Refused:
            return -1;
        case ExchangeResult::WriteFailed:
        case ExchangeResult::Gone:
            break;
    }
    setLastError(YCAN_ERR_USB_COMMAND);
    return -1;
}

int reportFunctionSet(FunctionSetResult r, int packetLen, const char* acceptedLine,
                      const char* notAcceptedLine) {
    QUserLog* log = QUserLog::GetInstance();
    if (r == FunctionSetResult::Accepted) {
        log->Info("%s", acceptedLine);
        return 0;
    }
    if (r == FunctionSetResult::NotDelivered) setLastError(YCAN_ERR_USB_TRANSPORT);
    if (r == FunctionSetResult::BadReply) setLastError(YCAN_ERR_PACKAGE_FORMAT);
    log->Info("%s", notAcceptedLine);
    return r == FunctionSetResult::Declined ? packetLen : -2;
}

DirectRequest::DirectRequest(const uint8_t* data, unsigned dataLen) {
    const unsigned n = std::min(dataLen, kMaxData);
    if (n > 0 && data != nullptr) memcpy(bytes + 2, data, n);
    length = static_cast<int>(n + 2);
}

int copyDirectReply(uint8_t* data, const uint8_t* reply, int replyLen) {
    if (replyLen <= 2) return 0;
    const int n = std::min<int>(replyLen - 2, static_cast<int>(DirectRequest::kMaxData));
    memcpy(data, reply + 2, static_cast<size_t>(n));
    return n;
}

int packFunctionSet(uint8_t (&packet)[64]) {
    uint8_t payload[2] = {0x00, 0x00};
    return yorvProcotolPack(packet, sizeof packet, kFunctionSetCmd, true, payload, 2);
}

FunctionSetResult openFunctionSetReply(const uint8_t* reply, int replyLen) {
    uint8_t opened[64] = {};  // a reply without payload reads as declined
    if (yorvProcotolUnPack(const_cast<uint8_t*>(reply), replyLen, opened, sizeof opened) == 0)
        return FunctionSetResult::BadReply;
    return opened[1] != 0 ? FunctionSetResult::Accepted : FunctionSetResult::Declined;
}

}  // namespace ycan
