// Classic USB CAN driver: the device table, open and close, and what the
// shared adapter life asks of a record: the receive thread's decoding (it
// reads 0x82 in 64-byte transfers and queues the frames per channel), the
// replay of an initialised channel after an unplug, and the channel resets
// at close.
#include <mutex>

#include "drivers/common/adapter_models.h"
#include "drivers/usbcan/usbcan2.h"
#include "support/QErrMgr.h"
#include "support/QUserLog.h"

namespace {
constexpr uint32_t kType = YCAN_TYPE_USBCAN_4;
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
    rec.rxFrames.open();
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

// ---- What the shared adapter life asks of a record ----------------------------

void devInfo::decode(const uint8_t* data, unsigned length) {
    // The frames of one transfer reach the queues together.
    rxStream.feed(data, length, rxStaged);
    rxFrames.publish(rxStaged);
}

void devInfo::dropPartial() { rxStream.clear(); }

bool devInfo::anyChannelActive() const { return chActive[0].load() || chActive[1].load(); }

bool devInfo::replayChannel(unsigned ch) {
    if (!chActive[ch].load()) return true;
    _YCAN_INIT_CONFIG saved;
    {
        std::lock_guard guard(configMutex);
        saved = chConfig[ch];
    }
    usbcan2DevFunSet(*this);
    return usbcan2CmdInitSend(*this, ch, &saved) == 1 && usbcan2Start(*this, ch) == 1;
}

void devInfo::releaseWaiters() { rxFrames.close(); }

void devInfo::linkChanged() { rxFrames.linkChanged(); }

void devInfo::closeChannels(bool adapterAnswers) {
    if (!adapterAnswers) return;
    for (uint8_t ch = 0; ch < 2; ++ch) {
        const uint8_t reset[5] = {0x12, 0x0F, 0x02, 0x00, static_cast<uint8_t>(ch * 16)};
        uint8_t reply[100];
        int len = sizeof reply;
        usbCmdSend(*this, reset, sizeof reset, reply, &len, 0x01, 0x81, 100);
    }
}
