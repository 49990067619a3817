// Classic USB CAN driver: the device table, checks, open and close, the
// receive thread's start and stop, command exchanges and the device
// function set.
//
// Commands: 12 <code> <length> <parameters> on interrupt endpoint 0x01;
// replies on 0x81. There is no matching: the first reply of at least one
// byte is taken.
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "support/QErrMgr.h"
#include "drivers/usbcan/usbcan2.h"
#include "support/QUserLog.h"
#include "support/clock.h"
#include "drivers/common/adapter_models.h"
#include "drivers/common/command_exchange.h"

namespace {

constexpr uint32_t kType = YCAN_TYPE_USBCAN_4;

// Normal commands: write 100 ms, read 500 ms; recovery's own exchanges
// write 500 ms, read 100 ms. The first reply of any length is taken.
constexpr ycan::ExchangeRules kCommandRules{
    .writeTimeoutMs = 100, .readTimeoutMs = 500, .minReplyLen = 1, .matchHeader = false};
constexpr ycan::ExchangeRules kBypassRules{
    .writeTimeoutMs = 500, .readTimeoutMs = 100, .minReplyLen = 1, .matchHeader = false};

// A command written only (time-out 0) says whether it went out and leaves
// the last error as it was: its callers (the channel reset) go on whatever
// happened to it. Exchanges that await a reply store why they failed.
int commandReturnCode(ycan::ExchangeResult r, unsigned timeoutMs) {
    if (timeoutMs == 0) return r == ycan::ExchangeResult::Ok ? 0 : -1;
    return ycan::exchangeReturnCode(r);
}

}  // namespace

QLIBUSB::QLIBUSB() { usbcan2Init(); }
QLIBUSB::~QLIBUSB() { usbcan2Exit(); }

extern "C" int usbcan2Init(void) {
    for (unsigned i = 0; i < kUsbCanDevices; ++i) {
        devInfo& rec = devInfoList[i];
        rec.usbDev = nullptr;
        rec.devIndex = i;
        rec.txWaitReply = 1;
        rec.chActive[0] = 0;
        rec.chActive[1] = 0;
        rec.link.reset();
        rec.linkHooks = usbcan2LinkHooks(rec);
    }
    return 1;
}

void usbcan2CloseAll() {
    for (unsigned i = 0; i < kUsbCanDevices; ++i) usbcan2CloseDevice(kType, i);
}

extern "C" int usbcan2Exit(void) {
    // A thread must not outlive its transport, nor a waiting receiver its
    // queue: close what is open, then shut every record for good.
    usbcan2CloseAll();
    for (devInfo& rec : devInfoList) {
        rec.calls.close();
        rec.calls.drain(std::chrono::seconds(2));
        rec.chActive[0] = 0;
        rec.chActive[1] = 0;
    }
    return 1;
}

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
    return usbcan2DevParaIsValid(type, index, 0) && devInfoList[index].usbDev.load() != nullptr;
}

extern "C" int usbcan2IsInit(uint32_t type, uint32_t index, uint32_t channel) {
    return usbcan2IsOpen(type, index) && channel < 2 && devInfoList[index].chActive[channel].load() != 0;
}

// ---- Open and close ----------------------------------------------------------

extern "C" int usbcan2OpenDevice(uint32_t type, uint32_t index, uint32_t) {
    if (!usbcan2DevParaIsValid(type, index, 0)) return 0;
    devInfo& rec = devInfoList[index];
    std::lock_guard lifecycle(rec.lifecycleLock);
    if (rec.usbDev.load() != nullptr) return 1;
    if (rec.calls.isClosed()) return 0;  // the library is being unloaded
    const ycan::AdapterModel* model = ycan::findAdapterModel(type);
    auto* usb = new QUserLibUsb();
    if (usb->OpenUSBDevice(model->vendorId, model->productId, static_cast<int>(index)) != 1) {
        QUserLog::GetInstance()->Error("USBCAN Open Fail...");
        delete usb;
        return 0;
    }
    rec.link.reset();
    rec.rxStream.clear();  // nothing half-read survives from an earlier connection
    rec.rxQueue[0].open();
    rec.rxQueue[1].open();
    rec.usbDev = usb;
    usbcan2DevFunSet(rec, false);  // its outcome does not decide the open
    usbcan2ThreadStart(rec);
    return 1;
}

extern "C" int usbcan2CloseDevice(uint32_t type, uint32_t index) {
    if (!usbcan2DevParaIsValid(type, index, 0)) return 0;
    devInfo& rec = devInfoList[index];
    std::lock_guard lifecycle(rec.lifecycleLock);
    QUserLibUsb* usb = rec.usbDev.load();
    if (usb == nullptr) return 1;
    // New calls are refused from here; waiting receivers go at once; calls
    // inside leave as soon as their transfers are aborted.
    const bool unloading = rec.calls.isClosed();
    rec.calls.close();
    rec.rxQueue[0].close();
    rec.rxQueue[1].close();
    usbcan2ThreadStop(rec);  // aborts the transport's transfers
    rec.calls.drain(std::chrono::seconds(5));
    usb->resumeTransfers();
    if (!rec.link.recovering() && usb->GetUSBDeviceLinkStatus() != 0) {
        for (uint8_t ch = 0; ch < 2; ++ch) {
            const uint8_t reset[5] = {0x12, 0x0F, 0x02, 0x00, static_cast<uint8_t>(ch * 16)};
            uint8_t reply[100];
            int len = sizeof reply;
            usbCmdSend(rec, reset, sizeof reset, reply, &len, 0x01, 0x81, 100);
        }
    }
    rec.usbDev = nullptr;
    usb->CloseUSBDevice();
    delete usb;
    rec.chActive[0] = 0;
    rec.chActive[1] = 0;
    // The queues keep their frames until the channel is initialised again.
    if (!unloading) rec.calls.open();
    return 1;
}

// ---- Receive thread start and stop ------------------------------------------------

void usbcan2ThreadStart(devInfo& rec) {
    rec.rxThread.start([&rec] { usbcan2ReceivePass(rec); });
}

void usbcan2ThreadStop(devInfo& rec) {
    rec.rxThread.stop([&rec] {
        if (QUserLibUsb* usb = rec.usbDev.load()) usb->abortTransfers();
    });
}

// ---- Exchanges ------------------------------------------------------------------

int usbCmdSend(devInfo& rec, const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen, uint8_t epOut,
               uint8_t epIn, unsigned timeoutMs) {
    ycan::ExchangeScope scope(rec.link);
    if (!scope) return -1;  // recovery under way: refused, no last error
    std::lock_guard serialised(rec.cmdMutex);
    QUserLibUsb* usb = rec.usbDev.load();
    if (usb == nullptr) return ycan::exchangeReturnCode(ycan::ExchangeResult::Aborted);
    return commandReturnCode(
        ycan::runExchange(*usb, kCommandRules, tx, txLen, rx, rxLen, epOut, epIn, timeoutMs), timeoutMs);
}

int usbCmdSendDirect(devInfo& rec, const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen,
                     uint8_t epOut, uint8_t epIn, unsigned timeoutMs) {
    QUserLibUsb* usb = rec.usbDev.load();
    if (usb == nullptr) return ycan::exchangeReturnCode(ycan::ExchangeResult::Aborted);
    ycan::ExchangeRules rules = kBypassRules;
    if (timeoutMs == 0) rules.writeTimeoutMs = 100;
    return commandReturnCode(ycan::runExchange(*usb, rules, tx, txLen, rx, rxLen, epOut, epIn, timeoutMs),
                             timeoutMs);
}

int usbDataSend(devInfo& rec, const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen, uint8_t epOut,
                uint8_t epIn, unsigned timeoutMs) {
    QUserLibUsb* usb = rec.usbDev.load();
    if (usb != nullptr && timeoutMs > 0) {
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
        if (ycan::runExchange(*usb, rules, tx, txLen, rx, rxLen, epOut, epIn, wait) ==
            ycan::ExchangeResult::Ok)
            return 0;
    }
    ycan::setLastError(YCAN_ERR_USB_COMMAND);
    return -1;
}

// ---- Device function set ------------------------------------------------------

int usbcan2DevFunSet(devInfo& rec, bool bypass) {
    int packetLen = 0;
    const ycan::FunctionSetResult r = ycan::sendFunctionSet(
        [&](uint8_t* packet, unsigned len) {
            return usbcan2DevDataTransferExcute(rec, packet, static_cast<int>(len), bypass);
        },
        &packetLen);
    // Once accepted, data packets go out without waiting for replies.
    if (r == ycan::FunctionSetResult::Accepted) rec.txWaitReply = 0;
    return ycan::reportFunctionSet(r, packetLen, "YORV Tip:USBCAN设备功能设置成功!",
                                   "USBCAN设备功能设置无效...");
}
