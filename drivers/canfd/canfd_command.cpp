// QDeviceUsbCanFd2: the command channel. Commands and replies travel on the
// interrupt endpoints; a reply belongs to a request when it has at least 3
// bytes and starts with the request's first two bytes. Data packets and
// their echoes travel on the bulk endpoints.
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "api/QErrMgr.h"
#include "drivers/canfd/QDeviceUsbCanFd2.h"
#include "support/clock.h"

namespace {

constexpr unsigned kTransferTimeoutMs = 1000;

bool matches(const uint8_t* request, const uint8_t* reply, int n) {
    return n >= 3 && reply[0] == request[0] && reply[1] == request[1];
}

// An attempt that failed at once (a vanished device, say) is not retried
// in a tight loop: the retries keep their bound but not the CPU.
void paceFastFailure(uint32_t attemptStart) {
    if (getLapseMicroSec(attemptStart) < 1000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Holds faultCheck at 0 (link supervision paused) for one exchange.
class ExchangeInProgress {
public:
    explicit ExchangeInProgress(std::atomic<uint8_t>& flag) : flag(flag) { flag = 0; }
    ~ExchangeInProgress() { flag = 1; }

private:
    std::atomic<uint8_t>& flag;
};

}  // namespace

int QDeviceUsbCanFd2::usbCmdSend(const uint8_t* request, int requestLen, uint8_t* reply,
                                 int* replyLen, uint8_t epOut, uint8_t epIn, unsigned timeoutMs) {
    return usbCmdSend(request, requestLen, reply, replyLen, epOut, epIn, timeoutMs, false);
}

int QDeviceUsbCanFd2::usbCmdSend(const uint8_t* request, int requestLen, uint8_t* reply,
                                 int* replyLen, uint8_t epOut, uint8_t epIn, unsigned timeoutMs,
                                 bool bypass) {
    ExchangeInProgress busy(faultCheck);
    std::unique_lock<QRecursiveMutex> serialised(cmdLock, std::defer_lock);
    if (!bypass) {
        if (isDeviceReady() < 0) return -1;  // link being restored
        serialised.lock();
    }
    // The transport's interrupt transfers take a non-const buffer.
    uint8_t* out = const_cast<uint8_t*>(request);
    if (timeoutMs == 0)
        return usb.WriteUSBDevice(out, requestLen, epOut, kTransferTimeoutMs) > 0 ? 0 : -1;

    const uint32_t start = ycan::curMicroSec32();
    const uint64_t limitUs = static_cast<uint64_t>(timeoutMs) * 1000u;
    bool writeFailed = false;
    while (getLapseMicroSec(start) < limitUs) {
        const uint32_t attempt = ycan::curMicroSec32();
        if (usb.WriteUSBDevice(out, requestLen, epOut, kTransferTimeoutMs) <= 0) {
            writeFailed = true;
            paceFastFailure(attempt);
            continue;
        }
        writeFailed = false;
        int n = usb.ReadUSBDevice(reply, *replyLen, epIn, kTransferTimeoutMs);
        if (!matches(request, reply, n)) {
            paceFastFailure(attempt);
            continue;  // nothing, too short, or another command's reply: write again
        }
        *replyLen = n;
        return 0;
    }
    ycan::setLastError(YCAN_ERR_USB_COMMAND);
    return writeFailed ? -1 : -2;
}

int QDeviceUsbCanFd2::usbCmdExtSendByBulk(const uint8_t* request, int requestLen, uint8_t* reply,
                                          int* replyLen, uint8_t epOut, uint8_t epIn,
                                          unsigned timeoutMs) {
    return bulkExchange(request, requestLen, reply, replyLen, epOut, epIn, timeoutMs, false);
}

int QDeviceUsbCanFd2::usbCmdSendByBulk(const uint8_t* request, int requestLen, uint8_t* reply,
                                       int* replyLen, uint8_t epOut, uint8_t epIn,
                                       unsigned timeoutMs) {
    return bulkExchange(request, requestLen, reply, replyLen, epOut, epIn, timeoutMs, true);
}

int QDeviceUsbCanFd2::bulkExchange(const uint8_t* request, int requestLen, uint8_t* reply,
                                   int* replyLen, uint8_t epOut, uint8_t epIn, unsigned timeoutMs,
                                   bool alwaysAwaitEcho) {
    ExchangeInProgress busy(faultCheck);
    uint8_t* out = const_cast<uint8_t*>(request);
    if (usb.bulkWriteUSBDevice(out, requestLen, epOut, kTransferTimeoutMs) <= 0) return -1;
    if (timeoutMs == 0 || (!alwaysAwaitEcho && echoWait.load() == 0)) return 0;
    const uint32_t start = ycan::curMicroSec32();
    const uint64_t limitUs = static_cast<uint64_t>(timeoutMs) * 1000u;
    while (getLapseMicroSec(start) < limitUs) {
        const uint32_t attempt = ycan::curMicroSec32();
        int n = usb.bulkReadUSBDevice(reply, *replyLen, epIn, kTransferTimeoutMs);
        if (matches(request, reply, n)) {
            *replyLen = n;
            return 0;
        }
        paceFastFailure(attempt);
    }
    return -1;
}

int QDeviceUsbCanFd2::command(const uint8_t* request, int length, uint8_t (&reply)[64],
                              unsigned timeoutMs, bool bypass) {
    memset(reply, 0, sizeof reply);
    int replyLen = sizeof reply;
    int r = usbCmdSend(request, length, reply, &replyLen, 0x01, 0x81, timeoutMs, bypass);
    return r < 0 ? r : replyLen;
}
