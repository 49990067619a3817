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
#include "support/yorvProcotol.h"

devInfo devInfoList[kUsbCanDevices];
QLIBUSB usbcan2LibUsb;  // after the table: it sets the table up

namespace {

constexpr uint16_t kVendorId = 0x0471;
constexpr uint16_t kProductId = 0x1200;
constexpr uint32_t kExitGraceUs = 2000000;

void pace(uint32_t attemptStart) {
    // An attempt that failed at once is not retried in a tight loop.
    if (getLapseMicroSec(attemptStart) < 1000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Marks an exchange in flight: link supervision waits for it.
class Busy {
public:
    explicit Busy(devInfo& rec) : rec(rec) { rec.cmdIdle = 0; }
    ~Busy() { rec.cmdIdle = 1; }

private:
    devInfo& rec;
};

int exchange(devInfo& rec, const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen, uint8_t epOut,
             uint8_t epIn, unsigned timeoutMs, unsigned writeMs, unsigned readMs) {
    QUserLibUsb* usb = rec.usbDev.load();
    if (usb == nullptr) return -1;
    uint8_t* out = const_cast<uint8_t*>(tx);
    if (timeoutMs == 0) return usb->WriteUSBDevice(out, txLen, epOut, 100) > 0 ? 0 : -1;
    const uint32_t start = ycan::curMicroSec32();
    const uint64_t limitUs = static_cast<uint64_t>(timeoutMs) * 1000u;
    bool writeFailed = false;
    bool attempted = false;
    while (getLapseMicroSec(start) < limitUs) {
        attempted = true;
        const uint32_t attempt = ycan::curMicroSec32();
        if (usb->WriteUSBDevice(out, txLen, epOut, writeMs) <= 0) {
            writeFailed = true;
            pace(attempt);
            continue;
        }
        writeFailed = false;
        int n = usb->ReadUSBDevice(rx, *rxLen, epIn, readMs);
        if (n > 0) {
            *rxLen = n;
            return 0;
        }
        pace(attempt);  // unanswered: the packet is sent again
    }
    ycan::setLastError(YCAN_ERR_USB_COMMAND);
    return writeFailed || !attempted ? -1 : -2;
}

}  // namespace

devInfo::devInfo() {
    ycan::userMutexCreate(threadMutex);
    ycan::userMutexCreate(cmdMutex);
}

devInfo::~devInfo() {
    pthread_mutex_destroy(&cmdMutex);
    pthread_mutex_destroy(&threadMutex);
}

QLIBUSB::QLIBUSB() { usbcan2Init(); }
QLIBUSB::~QLIBUSB() { usbcan2Exit(); }

extern "C" int usbcan2Init(void) {
    for (unsigned i = 0; i < kUsbCanDevices; ++i) {
        devInfo& rec = devInfoList[i];
        rec.rxThread = 0;
        rec.threadRunning = false;
        rec.usbDev = nullptr;
        rec.devIndex = i;
        rec.threadStop = 0;
        rec.threadExited = 0;
        rec.txWaitReply = 1;
        rec.cmdIdle = 1;
        rec.chInit[0] = 0;
        rec.chInit[1] = 0;
    }
    return 1;
}

extern "C" int usbcan2Exit(void) {
    for (devInfo& rec : devInfoList) {
        // A thread must not outlive its transport: stop it first.
        usbcan2ThreadStop(rec);
        delete rec.usbDev.exchange(nullptr);
        rec.rxThread = 0;
        rec.chInit[0] = 0;
        rec.chInit[1] = 0;
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
    return usbcan2IsOpen(type, index) && channel < 2 && devInfoList[index].chInit[channel].load() != 0;
}

int usbcan2IsReady(devInfo& rec) { return rec.faultState.load() == 0 ? 0 : -1; }

// ---- Open and close ----------------------------------------------------------

extern "C" int usbcan2OpenDevice(uint32_t type, uint32_t index, uint32_t) {
    if (!usbcan2DevParaIsValid(type, index, 0)) return 0;
    devInfo& rec = devInfoList[index];
    if (rec.usbDev.load() != nullptr) return 1;
    auto* usb = new QUserLibUsb();
    if (usb->OpenUSBDevice(kVendorId, kProductId, static_cast<int>(index)) != 1) {
        QUserLog::GetInstance()->Error("USBCAN Open Fail...");
        delete usb;
        return 0;
    }
    rec.faultState = 0;
    rec.usbDev = usb;
    usbcan2DevFunSet(rec, false);  // its outcome does not decide the open
    usbcan2ThreadStart(rec);
    return 1;
}

extern "C" int usbcan2CloseDevice(uint32_t type, uint32_t index) {
    if (!usbcan2DevParaIsValid(type, index, 0)) return 0;
    devInfo& rec = devInfoList[index];
    if (rec.usbDev.load() == nullptr) return 1;
    for (uint8_t ch = 0; ch < 2; ++ch) {
        const uint8_t reset[5] = {0x12, 0x0F, 0x02, 0x00, static_cast<uint8_t>(ch * 16)};
        uint8_t reply[100];
        int len = sizeof reply;
        usbCmdSend(rec, reset, sizeof reset, reply, &len, 0x01, 0x81, 100);
    }
    usbcan2ThreadStop(rec);
    QUserLibUsb* usb = nullptr;
    {
        // Under rxMutex, so that a receiver about to wait sees the close.
        std::lock_guard guard(rec.rxMutex);
        usb = rec.usbDev.exchange(nullptr);
    }
    rec.rxArrived.notify_all();
    usb->CloseUSBDevice();
    delete usb;
    rec.chInit[0] = 0;
    rec.chInit[1] = 0;
    // The queues keep their frames until the channel is initialised again.
    return 1;
}

// ---- Receive thread start and stop ------------------------------------------------

void usbcan2ThreadStart(devInfo& rec) {
    if (rec.threadRunning) return;
    {
        QUserMutex guard(rec.threadMutex);
        rec.threadStop = 0;
        rec.threadExited = 0;
    }
    if (pthread_create(&rec.rxThread, nullptr, usbcan2ThreadMainLoop, &rec.devIndex) == 0)
        rec.threadRunning = true;
}

void usbcan2ThreadStop(devInfo& rec) {
    if (!rec.threadRunning) return;
    {
        QUserMutex guard(rec.threadMutex);
        rec.threadStop = 1;
        rec.threadExited = 0;
    }
    const uint32_t start = ycan::curMicroSec32();
    bool exited = false;
    while (getLapseMicroSec(start) <= kExitGraceUs - 1) {
        {
            QUserMutex guard(rec.threadMutex);
            exited = rec.threadExited != 0;
        }
        if (exited) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!exited) {
        QUserLog::GetInstance()->Error("Thread Exit Fail...");
        pthread_cancel(rec.rxThread);
    }
    pthread_join(rec.rxThread, nullptr);
    rec.threadRunning = false;
    rec.rxThread = 0;
}

// ---- Exchanges ------------------------------------------------------------------

int usbCmdSend(devInfo& rec, const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen, uint8_t epOut,
               uint8_t epIn, unsigned timeoutMs) {
    QUserMutex guard(rec.cmdMutex);
    Busy busy(rec);
    if (usbcan2IsReady(rec) < 0) return -1;  // recovery under way
    return exchange(rec, tx, txLen, rx, rxLen, epOut, epIn, timeoutMs, 100, 500);
}

int usbCmdSendDirect(devInfo& rec, const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen,
                     uint8_t epOut, uint8_t epIn, unsigned timeoutMs) {
    Busy busy(rec);
    return exchange(rec, tx, txLen, rx, rxLen, epOut, epIn, timeoutMs, 500, 100);
}

int usbDataSend(devInfo& rec, const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen, uint8_t epOut,
                uint8_t epIn, unsigned timeoutMs) {
    Busy busy(rec);
    QUserLibUsb* usb = rec.usbDev.load();
    bool ok = false;
    if (usb != nullptr && timeoutMs > 0 &&
        usb->bulkWriteUSBDevice(const_cast<uint8_t*>(tx), txLen, epOut, timeoutMs) > 0) {
        if (rec.txWaitReply.load() != 1) return 0;
        int n = usb->ReadUSBDevice(rx, *rxLen, epIn, timeoutMs);
        if (n > 0) {
            *rxLen = n;
            ok = true;
        }
    }
    if (ok) return 0;
    ycan::setLastError(YCAN_ERR_USB_COMMAND);
    return -1;
}

// ---- Device function set ------------------------------------------------------

int usbcan2DevFunSet(devInfo& rec, bool direct) {
    QUserLog* log = QUserLog::GetInstance();
    uint8_t packet[64];
    uint8_t payload[2] = {0x00, 0x00};
    int result = -2;
    const int len = yorvProcotolPack(packet, sizeof packet, 7, true, payload, 2);
    if (len > 0) {
        const int n = usbcan2DevDataTransferExcute(rec, packet, len, direct);
        if (n == 0) {
            ycan::setLastError(YCAN_ERR_USB_TRANSPORT);
        } else {
            uint8_t opened[64] = {};  // a reply without payload reads as declined
            if (yorvProcotolUnPack(packet, n, opened, sizeof opened) == 0) {
                ycan::setLastError(YCAN_ERR_PACKAGE_FORMAT);
            } else if (opened[1] != 0) {
                log->Info("YORV Tip:USBCAN设备功能设置成功!");
                rec.txWaitReply = 0;
                return 0;
            } else {
                result = len;
            }
        }
    }
    log->Info("USBCAN设备功能设置无效...");
    return result;
}
