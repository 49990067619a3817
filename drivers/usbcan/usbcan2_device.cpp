// Classic USB CAN driver: open and close, and what the shared adapter life
// asks of the device: the receive thread's decoding (it reads 0x82 in
// 64-byte transfers and queues the frames per channel), the replay of an
// initialised channel after an unplug, and the channel resets at close.
#include <mutex>

#include "drivers/common/adapter_models.h"
#include "drivers/usbcan/QDeviceUsbCan2.h"
#include "support/QErrMgr.h"
#include "support/QUserLog.h"

// ---- Open and close ----------------------------------------------------------

int QDeviceUsbCan2::openDevice(unsigned type, unsigned index, unsigned) {
    if (life.isOpen()) return 1;
    const ycan::AdapterModel* model = ycan::findAdapterModel(type);
    if (model == nullptr || !life.open(model->vendorId, model->productId, index)) {
        QUserLog::GetInstance()->Error("USBCAN Open Fail...");
        return 0;
    }
    rxStream.clear();  // nothing half-read survives from an earlier connection
    rxFrames.open();
    usbcan2DevFunSet();  // its outcome does not decide the open
    life.startReceiving();
    return 1;
}

int QDeviceUsbCan2::closeDevice() {
    life.close();
    chActive[0] = 0;
    chActive[1] = 0;
    // The queues keep their frames until the channel is initialised again.
    return 1;
}

// ---- What the shared adapter life asks of the device ---------------------------

void QDeviceUsbCan2::decode(const uint8_t* data, unsigned length) {
    // The frames of one transfer reach the queues together.
    rxStream.feed(data, length, rxStaged);
    rxFrames.publish(rxStaged);
}

void QDeviceUsbCan2::dropPartial() { rxStream.clear(); }

bool QDeviceUsbCan2::anyChannelActive() const { return chActive[0].load() || chActive[1].load(); }

bool QDeviceUsbCan2::replayChannel(unsigned ch) {
    if (!chActive[ch].load()) return true;
    _YCAN_INIT_CONFIG saved;
    {
        std::lock_guard guard(configLock);
        saved = chConfig[ch];
    }
    usbcan2DevFunSet();
    return cmdInitSend(ch, &saved) == 1 && startChannel(ch) == 1;
}

void QDeviceUsbCan2::releaseWaiters() { rxFrames.close(); }

void QDeviceUsbCan2::linkChanged() { rxFrames.linkChanged(); }

void QDeviceUsbCan2::closeChannels(bool adapterAnswers) {
    if (!adapterAnswers) return;
    for (uint8_t ch = 0; ch < kChannels; ++ch) {
        const uint8_t reset[5] = {0x12, 0x0F, 0x02, 0x00, static_cast<uint8_t>(ch * 16)};
        uint8_t reply[100];
        int len = sizeof reply;
        usbCmdSend(reset, sizeof reset, reply, &len, 0x01, 0x81, 100);
    }
}
