// Classic USB CAN driver: the device table, checks, open and close,
// command exchanges and the device function set.
//
// Commands: 12 <code> <length> <parameters> on interrupt endpoint 0x01;
// replies on 0x81. There is no matching: the first reply of at least one
// byte is taken.
#include <cstring>
#include <mutex>

#include "support/QErrMgr.h"
#include "drivers/usbcan/usbcan2.h"
#include "support/QUserLog.h"
#include "drivers/common/adapter_models.h"
#include "drivers/common/command_exchange.h"

namespace {

constexpr uint32_t kType = YCAN_TYPE_USBCAN_4;

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

QLIBUSB::QLIBUSB() { usbcan2Init(); }
QLIBUSB::~QLIBUSB() { usbcan2Exit(); }

extern "C" int usbcan2Init(void) {
    for (unsigned i = 0; i < kUsbCanDevices; ++i) {
        devInfo& rec = devInfoList[i];
        rec.devIndex = i;
        rec.txWaitReply = 1;
        rec.chActive[0] = 0;
        rec.chActive[1] = 0;
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
        rec.link.retire();
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
    return usbcan2DevParaIsValid(type, index, 0) && devInfoList[index].link.isOpen();
}

extern "C" int usbcan2IsInit(uint32_t type, uint32_t index, uint32_t channel) {
    return usbcan2IsOpen(type, index) && channel < 2 && devInfoList[index].chActive[channel].load() != 0;
}

// ---- Open and close ----------------------------------------------------------

extern "C" int usbcan2OpenDevice(uint32_t type, uint32_t index, uint32_t) {
    if (!usbcan2DevParaIsValid(type, index, 0)) return 0;
    devInfo& rec = devInfoList[index];
    std::lock_guard lifecycle(rec.lifecycleLock);
    if (rec.link.isOpen()) return 1;
    if (rec.link.isRetired()) return 0;  // the library is being unloaded
    const ycan::AdapterModel* model = ycan::findAdapterModel(type);
    if (!rec.link.open(model->vendorId, model->productId, index)) {
        QUserLog::GetInstance()->Error("USBCAN Open Fail...");
        return 0;
    }
    rec.rxStream.clear();  // nothing half-read survives from an earlier connection
    rec.rxQueue[0].open();
    rec.rxQueue[1].open();
    usbcan2DevFunSet(rec);  // its outcome does not decide the open
    rec.link.startReceiving();
    return 1;
}

extern "C" int usbcan2CloseDevice(uint32_t type, uint32_t index) {
    if (!usbcan2DevParaIsValid(type, index, 0)) return 0;
    devInfo& rec = devInfoList[index];
    std::lock_guard lifecycle(rec.lifecycleLock);
    rec.link.close();
    rec.chActive[0] = 0;
    rec.chActive[1] = 0;
    // The queues keep their frames until the channel is initialised again.
    return 1;
}

void devInfo::releaseWaiters() {
    rxQueue[0].close();
    rxQueue[1].close();
}

void devInfo::closeChannels(bool adapterAnswers) {
    if (!adapterAnswers) return;
    for (uint8_t ch = 0; ch < 2; ++ch) {
        const uint8_t reset[5] = {0x12, 0x0F, 0x02, 0x00, static_cast<uint8_t>(ch * 16)};
        uint8_t reply[100];
        int len = sizeof reply;
        usbCmdSend(*this, reset, sizeof reset, reply, &len, 0x01, 0x81, 100);
    }
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

// ---- Device function set ------------------------------------------------------

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
