#include "transport/QUserLibUsb.h"

#include <libusb.h>

#include <chrono>
#include <thread>

#include "support/QUserLog.h"
#include "support/QUserMutex.h"
#include "support/clock.h"

namespace {

// Only the first 63 devices with the same ids can be selected.
constexpr int kMaxMatchingDevices = 63;
constexpr uint32_t kRestartSettleUs = 100000;
constexpr int kEndpointSlots = 8;

// Fixed source positions quoted in the transfer failure lines, so that logs
// stay comparable with earlier releases of the driver.
constexpr int kLineInterruptWrite = 361;
constexpr int kLineBulkWrite = 401;
constexpr int kLineInterruptRead = 441;
constexpr int kLineBulkRead = 487;

int slotOf(uint8_t ep) { return ep & 0x7F; }

}  // namespace

QUserLibUsb::QUserLibUsb() {
    // Without USB support on the machine the context stays null; the
    // transport then finds no device and moves no data.
    if (libusb_init(&usbContext) != LIBUSB_SUCCESS) usbContext = nullptr;
    ycan::userMutexCreate(mutex);
}

QUserLibUsb::~QUserLibUsb() {
    CloseUSBDevice();
    if (usbContext != nullptr) libusb_exit(usbContext);
    usbContext = nullptr;
    pthread_mutex_destroy(&mutex);
}

void QUserLibUsb::noteAbsent(unsigned vid, unsigned pid, int index) {
    // Written once while the adapter stays away.
    if (lastReadErr.exchange(LIBUSB_ERROR_NO_DEVICE) != LIBUSB_ERROR_NO_DEVICE)
        QUserLog::GetInstance()->Error("YORV Tip:USB Device<%04x:%04x:%d> Not Exist...", vid, pid,
                                       index);
}

int QUserLibUsb::OpenUSBDevice(unsigned vid, unsigned pid, int index) {
    QUserMutex guard(mutex);
    if (usbContext == nullptr) {
        noteAbsent(vid, pid, index);
        return 0;
    }
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(usbContext, &list);
    if (n < 0) return static_cast<int>(n);

    libusb_device* selected = nullptr;
    bool descriptorFailed = false;
    int matching = 0;
    for (ssize_t i = 0; list[i] != nullptr; ++i) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(list[i], &desc) != LIBUSB_SUCCESS) {
            QUserLog::GetInstance()->Error(
                "YORV Tip:USB Device<%04x:%04x:%d> Open Fail, Device Descriptor Get Fail...", vid,
                pid, index);
            descriptorFailed = true;
            break;
        }
        if (desc.idVendor != vid || desc.idProduct != pid) continue;
        ++matching;
        if (matching > kMaxMatchingDevices) continue;
        // A negative index never selects anything.
        if (index >= 0 && index <= matching - 1) {
            selected = list[i];
            break;
        }
    }

    libusb_device_handle* handle = nullptr;
    if (!descriptorFailed) {
        if (selected == nullptr) {
            noteAbsent(vid, pid, index);
        } else if (libusb_open(selected, &handle) != LIBUSB_SUCCESS) {
            handle = nullptr;
            QUserLog::GetInstance()->Error(
                "设备打开失败,检测设备是否已连接，程序是否管理员权限运行!");
        } else {
            libusb_free_device_list(list, 1);
            libusb_reset_device(handle);
            devHandle = handle;
            vendorId = vid;
            productId = pid;
            deviceIndex = index;
            QUserLog::GetInstance()->Info("YORV Tip:USB Device<%d> Link...", index);
            linkStatus = 1;
            return 1;
        }
    }

    libusb_free_device_list(list, 1);
    if (libusb_device_handle* old = devHandle.exchange(nullptr)) libusb_close(old);
    return 0;
}

int QUserLibUsb::CloseUSBDevice() {
    QUserMutex guard(mutex);
    libusb_device_handle* handle = devHandle.load();
    if (handle == nullptr) return 1;
    for (int n = 0; n < kEndpointSlots; ++n) {
        if (uint8_t ep = readEps[n].exchange(0)) libusb_clear_halt(handle, ep);
        if (uint8_t ep = writeEps[n].exchange(0)) libusb_clear_halt(handle, ep);
    }
    libusb_reset_device(handle);
    libusb_close(handle);
    devHandle = nullptr;
    return 1;
}

int QUserLibUsb::GetUSBDeviceLinkStatus() { return linkStatus.load(); }

int QUserLibUsb::RestartUSBDevice() {
    CloseUSBDevice();
    OpenUSBDevice(vendorId, productId, deviceIndex);
    // Give the adapter time to come up before it is talked to.
    uint32_t reopened = ycan::curMicroSec32();
    while (getLapseMicroSec(reopened) < kRestartSettleUs) {
        uint32_t left = kRestartSettleUs - getLapseMicroSec(reopened);
        std::this_thread::sleep_for(std::chrono::microseconds(left));
    }
    return 1;
}

void QUserLibUsb::ProcessUSBDeviceErrCode(int err) {
    if (err != LIBUSB_ERROR_NO_DEVICE) return;
    if (linkStatus.exchange(0) != 0)
        QUserLog::GetInstance()->Warn("USB Device<%d> DisLink...", deviceIndex.load());
}

int QUserLibUsb::WriteUSBDevice(uint8_t* data, int length, uint8_t ep, unsigned timeoutMs) {
    return write(Kind::Interrupt, data, length, ep, timeoutMs);
}

int QUserLibUsb::bulkWriteUSBDevice(uint8_t* data, int length, uint8_t ep, unsigned timeoutMs) {
    return write(Kind::Bulk, data, length, ep, timeoutMs);
}

int QUserLibUsb::ReadUSBDevice(uint8_t* buffer, int capacity, uint8_t ep, unsigned timeoutMs) {
    return read(Kind::Interrupt, buffer, capacity, ep, timeoutMs);
}

int QUserLibUsb::bulkReadUSBDevice(uint8_t* buffer, int capacity, uint8_t ep, unsigned timeoutMs) {
    return read(Kind::Bulk, buffer, capacity, ep, timeoutMs);
}

int QUserLibUsb::write(Kind kind, uint8_t* data, int length, uint8_t ep, unsigned timeoutMs) {
    libusb_device_handle* handle = devHandle.load();
    if (handle == nullptr) return -1;
    if (slotOf(ep) < kEndpointSlots) writeEps[slotOf(ep)] = ep;

    int transferred = 0;
    int r;
    if (kind == Kind::Bulk) {
        QUserMutex guard(mutex);
        r = libusb_bulk_transfer(handle, ep, data, length, &transferred, timeoutMs);
    } else {
        r = libusb_interrupt_transfer(handle, ep, data, length, &transferred, timeoutMs);
    }
    if (r < 0) {
        ProcessUSBDeviceErrCode(r);
        if (lastWriteFailEp.exchange(ep) != ep) {
            if (kind == Kind::Bulk)
                QUserLog::GetInstance()->Warn("line:%d ep:%02x bulk write %dbyte fail,ret=%d %s ",
                                              kLineBulkWrite, ep, length, r, libusb_strerror(r));
            else
                QUserLog::GetInstance()->Warn("line:%d ep:%02x write %dbyte fail,ret=%d %s ",
                                              kLineInterruptWrite, ep, length, r,
                                              libusb_strerror(r));
        }
        return r;
    }
    return transferred;
}

int QUserLibUsb::read(Kind kind, uint8_t* buffer, int capacity, uint8_t ep, unsigned timeoutMs) {
    libusb_device_handle* handle = devHandle.load();
    if (handle == nullptr) return 0;
    if (slotOf(ep) < kEndpointSlots) readEps[slotOf(ep)] = ep;

    int transferred = 0;
    int r = kind == Kind::Bulk
                ? libusb_bulk_transfer(handle, ep, buffer, capacity, &transferred, timeoutMs)
                : libusb_interrupt_transfer(handle, ep, buffer, capacity, &transferred, timeoutMs);
    if (r >= 0) {
        lastReadErr = 0;
        return transferred;
    }
    ProcessUSBDeviceErrCode(r);
    if (lastReadErr.exchange(r) == r) return r;
    if (r != LIBUSB_ERROR_TIMEOUT) {
        if (kind == Kind::Bulk)
            QUserLog::GetInstance()->Warn("line:%d ep:%02x bulk read fail,ret=%d %s", kLineBulkRead,
                                          ep, r, libusb_strerror(r));
        else
            QUserLog::GetInstance()->Warn("line:%d ep:%02x read fail,ret=%d %s",
                                          kLineInterruptRead, ep, r, libusb_strerror(r));
    }
    return r;
}

int QUserLibUsb::resetUSBEp(uint8_t ep) {
    if (libusb_device_handle* handle = devHandle.load()) libusb_clear_halt(handle, ep);
    return 0;
}
