#include "transport/QUserLibUsb.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "support/QUserLog.h"
#include "support/QUserMutex.h"
#include "support/clock.h"
#include "support/device_holders.h"

namespace {

// Only the first 63 devices with the same ids can be selected.
constexpr int kMaxMatchingDevices = 63;
constexpr uint32_t kRestartSettleUs = 100000;
constexpr int kEndpointSlots = 8;
// The adapters have one interface.
constexpr int kInterface = 0;
// USB allows 7 tiers below the root hub.
constexpr int kMaxPortDepth = 7;

// Fixed source positions quoted in the transfer failure lines, so that logs
// stay comparable with earlier releases of the driver.
constexpr int kLineInterruptWrite = 361;
constexpr int kLineBulkWrite = 401;
constexpr int kLineInterruptRead = 441;
constexpr int kLineBulkRead = 487;

int slotOf(uint8_t ep) { return ep & 0x7F; }

// Whether the kernel has a device of these ids at this bus and port path,
// as sysfs shows it ("/sys/bus/usb/devices/1-2.3").
bool kernelHasDeviceAt(uint8_t bus, const std::vector<uint8_t>& ports, unsigned vid, unsigned pid) {
    if (bus == 0 || ports.empty()) return false;
    std::string name = "/sys/bus/usb/devices/" + std::to_string(bus) + "-";
    for (size_t i = 0; i < ports.size(); ++i) {
        if (i > 0) name += '.';
        name += std::to_string(ports[i]);
    }
    auto readHex = [&](const char* attribute) {
        unsigned long value = 0x10000;  // none
        if (FILE* f = fopen((name + "/" + attribute).c_str(), "re")) {
            char text[16] = {};
            char* end = nullptr;
            if (fgets(text, sizeof text, f) != nullptr) {
                const unsigned long parsed = strtoul(text, &end, 16);
                if (end != text) value = parsed;
            }
            fclose(f);
        }
        return value;
    };
    return readHex("idVendor") == vid && readHex("idProduct") == pid;
}

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
        QUserLog::GetInstance()->Error("YORV Tip:USB Device<%04x:%04x:%d> Not Exist...", vid, pid, index);
}

int QUserLibUsb::OpenUSBDevice(unsigned vid, unsigned pid, int index) {
    QUserMutex guard(mutex);
    std::unique_lock exclusive(handleGuard);
    // An adapter this transport has open is handed back first: its claim
    // would make the new open find it busy.
    closeLocked();
    heldElsewhere = false;
    busyLogged = false;  // an open says it every time
    const int r = openLocked(vid, pid, index);
    if (r == 1) resumeTransfers();
    return r;
}

int QUserLibUsb::openLocked(unsigned vid, unsigned pid, int index) {
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
                "YORV Tip:USB Device<%04x:%04x:%d> Open Fail, Device Descriptor Get Fail...", vid, pid,
                index);
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

    Attach result = Attach::Failed;
    if (!descriptorFailed) {
        if (selected == nullptr) {
            noteAbsent(vid, pid, index);
        } else {
            result = attachLocked(selected, vid, pid, index, nullptr);
            if (result == Attach::Busy) noteBusy(selected, vid, pid, index);
        }
    }
    libusb_free_device_list(list, 1);
    if (result == Attach::Opened) return 1;
    if (libusb_device_handle* old = devHandle.exchange(nullptr)) libusb_close(old);
    return 0;
}

namespace {

// The serial number string a device reports; "" when it reports none or it
// cannot be read.
std::string serialOf(libusb_device_handle* handle, uint8_t stringIndex) {
    if (stringIndex == 0) return {};
    unsigned char text[128] = {};
    const int n = libusb_get_string_descriptor_ascii(handle, stringIndex, text, sizeof text);
    return n > 0 ? std::string(reinterpret_cast<char*>(text), static_cast<size_t>(n)) : std::string();
}

QUserLibUsb::Location placeOf(libusb_device* dev) {
    QUserLibUsb::Location at;
    at.bus = libusb_get_bus_number(dev);
    uint8_t ports[kMaxPortDepth];
    const int depth = libusb_get_port_numbers(dev, ports, kMaxPortDepth);
    if (depth > 0) at.ports.assign(ports, ports + depth);
    return at;
}

}  // namespace

QUserLibUsb::Attach QUserLibUsb::attachLocked(libusb_device* dev, unsigned vid, unsigned pid, int index,
                                              const Location* expected) {
    libusb_device_handle* handle = nullptr;
    if (libusb_open(dev, &handle) != LIBUSB_SUCCESS) {
        QUserLog::GetInstance()->Error("设备打开失败,检测设备是否已连接，程序是否管理员权限运行!");
        return Attach::Failed;
    }
    // Nothing goes to the adapter before it is ours: another program that
    // holds it keeps it untouched.
    const int claimed = libusb_claim_interface(handle, kInterface);
    if (claimed != LIBUSB_SUCCESS) {
        libusb_close(handle);
        if (claimed == LIBUSB_ERROR_BUSY) return Attach::Busy;
        QUserLog::GetInstance()->Error("设备打开失败,检测设备是否已连接，程序是否管理员权限运行!");
        return Attach::Failed;
    }
    libusb_device_descriptor desc{};
    libusb_get_device_descriptor(dev, &desc);
    Location at = placeOf(dev);
    at.serial = serialOf(handle, desc.iSerialNumber);
    if (expected != nullptr && !expected->serial.empty() && at.serial != expected->serial) {
        // Another adapter in its place: left as it was found.
        libusb_release_interface(handle, kInterface);
        libusb_close(handle);
        return Attach::Elsewhere;
    }
    // libusb lets go of the interface around the reset and claims it again
    // after it; when another program took it in between, it is theirs now.
    if (libusb_reset_device(handle) != LIBUSB_SUCCESS) {
        const int again = libusb_claim_interface(handle, kInterface);
        if (again != LIBUSB_SUCCESS) {
            libusb_close(handle);
            return again == LIBUSB_ERROR_BUSY ? Attach::Busy : Attach::Failed;
        }
    }
    // A handle left from an earlier open is not leaked.
    if (libusb_device_handle* old = devHandle.exchange(handle)) libusb_close(old);
    if (expected == nullptr || !located) {
        where = at;
        located = true;
    }
    vendorId = vid;
    productId = pid;
    deviceIndex = index;
    QUserLog::GetInstance()->Info("YORV Tip:USB Device<%d> Link...", index);
    linkStatus = 1;
    return Attach::Opened;
}

void QUserLibUsb::reopenLocked() {
    const unsigned vid = vendorId, pid = productId;
    const int index = deviceIndex.load();
    libusb_device** list = nullptr;
    listedAtItsPort = false;
    if (usbContext == nullptr || libusb_get_device_list(usbContext, &list) < 0) return;
    bool opened = false;
    bool busyHere = false;
    for (ssize_t i = 0; list[i] != nullptr && !opened; ++i) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(list[i], &desc) != LIBUSB_SUCCESS) continue;
        if (desc.idVendor != vid || desc.idProduct != pid) continue;
        const Location at = placeOf(list[i]);
        // Without a port path (no sysfs), the serial number alone tells:
        // every adapter of the kind is looked at.
        const bool atItsPort = !where.ports.empty() && at.bus == where.bus && at.ports == where.ports;
        if (!where.ports.empty() && !atItsPort) continue;
        listedAtItsPort = listedAtItsPort || atItsPort;
        const Attach result = attachLocked(list[i], vid, pid, index, &where);
        opened = result == Attach::Opened;
        // Held by another program: ours when it sits at our port; without
        // a port path it may be anybody's.
        if (result == Attach::Busy && atItsPort) {
            busyHere = true;
            noteBusy(list[i], vid, pid, index);
        }
    }
    libusb_free_device_list(list, 1);
    if (!opened && !busyHere) noteAbsent(vid, pid, index);
}

void QUserLibUsb::noteBusy(libusb_device* dev, unsigned vid, unsigned pid, int index) {
    heldElsewhere = true;
    // Said once while the adapter stays in other hands (an open after a
    // close says it again).
    if (busyLogged) return;
    busyLogged = true;
    char what[64];
    snprintf(what, sizeof what, "YORV Tip:USB Device<%04x:%04x:%d>", vid, pid, index);
    const std::string text =
        ycan::inUseText(what, ycan::usbNodePath(libusb_get_bus_number(dev), libusb_get_device_address(dev)));
    QUserLog::GetInstance()->Error("%s", text.c_str());
}

QUserLibUsb::Location QUserLibUsb::location() const {
    QUserMutex guard(mutex);
    return where;
}

int QUserLibUsb::CloseUSBDevice() {
    QUserMutex guard(mutex);
    // Transfers in flight end first: close waits for them, never frees the
    // handle under them.
    std::unique_lock exclusive(handleGuard);
    closeLocked();
    return 1;
}

void QUserLibUsb::closeLocked() {
    libusb_device_handle* handle = devHandle.load();
    if (handle == nullptr) return;
    for (int n = 0; n < kEndpointSlots; ++n) {
        if (uint8_t ep = readEps[n].exchange(0)) libusb_clear_halt(handle, ep);
        if (uint8_t ep = writeEps[n].exchange(0)) libusb_clear_halt(handle, ep);
    }
    // Reset while still holding the interface (libusb lets go of it only
    // around the reset itself), then hand it back.
    libusb_reset_device(handle);
    libusb_release_interface(handle, kInterface);
    // Cleared before the handle goes: a transfer starting now sees no device.
    devHandle = nullptr;
    libusb_close(handle);
}

int QUserLibUsb::GetUSBDeviceLinkStatus() { return linkStatus.load(); }

int QUserLibUsb::RestartUSBDevice() {
    {
        QUserMutex guard(mutex);
        // An abort means the owner is stopping: nothing is reopened for it.
        if (aborted.load()) return 1;
        std::unique_lock exclusive(handleGuard);
        closeLocked();
        heldElsewhere = false;
        // Without a port path or a serial number nothing tells the adapter
        // from another of its kind: it is looked for by its index again.
        auto lookAgain = [this] {
            if (located && (!where.ports.empty() || !where.serial.empty()))
                reopenLocked();
            else
                openLocked(vendorId, productId, deviceIndex);
        };
        lookAgain();
        // libusb's list of devices follows udev's events; where udevd does
        // not run (a container, a rescue system) it stays as it was when the
        // context began, and an adapter plugged back in never shows. When
        // the kernel has the adapter at its port but libusb did not find it
        // there, a new context lists what the kernel has now (at most once a
        // second; once a second in any case when the port is not known).
        const bool missed = devHandle.load() == nullptr && !heldElsewhere.load();
        const bool known = located && !where.ports.empty();
        const bool stale =
            known ? !listedAtItsPort && kernelHasDeviceAt(where.bus, where.ports, vendorId, productId) : true;
        if (missed && stale && renewContextLocked()) lookAgain();
        // Back, or just away: the next time it is held elsewhere is said again.
        if (!heldElsewhere.load()) busyLogged = false;
    }
    // Give the adapter time to come up before it is talked to; an abort ends
    // the pause early.
    std::unique_lock lock(inflightLock);
    abortSignal.wait_for(lock, std::chrono::microseconds(kRestartSettleUs),
                         [this] { return aborted.load(); });
    return 1;
}

bool QUserLibUsb::renewContextLocked() {
    const auto now = std::chrono::steady_clock::now();
    if (contextRenewed != std::chrono::steady_clock::time_point{} && now - contextRenewed < kContextRenewal)
        return false;
    contextRenewed = now;
    libusb_context* fresh = nullptr;
    if (libusb_init(&fresh) != LIBUSB_SUCCESS) return false;
    if (usbContext != nullptr) libusb_exit(usbContext);
    usbContext = fresh;
    return true;
}

void QUserLibUsb::abortTransfers() {
    std::lock_guard lock(inflightLock);
    aborted = true;
    for (libusb_transfer* t : inflight) libusb_cancel_transfer(t);
    abortSignal.notify_all();
}

void QUserLibUsb::resumeTransfers() {
    std::lock_guard lock(inflightLock);
    aborted = false;
}

void QUserLibUsb::ProcessUSBDeviceErrCode(int err) {
    if (err != LIBUSB_ERROR_NO_DEVICE) return;
    if (linkStatus.exchange(0) == 0) return;
    losses.fetch_add(1);
    QUserLog::GetInstance()->Warn("USB Device<%d> DisLink...", deviceIndex.load());
}

int QUserLibUsb::WriteUSBDevice(uint8_t* data, int length, uint8_t ep, unsigned timeoutMs) {
    return write(TransferType::Interrupt, data, length, ep, timeoutMs);
}

int QUserLibUsb::bulkWriteUSBDevice(uint8_t* data, int length, uint8_t ep, unsigned timeoutMs) {
    return write(TransferType::Bulk, data, length, ep, timeoutMs);
}

int QUserLibUsb::ReadUSBDevice(uint8_t* buffer, int capacity, uint8_t ep, unsigned timeoutMs) {
    return read(TransferType::Interrupt, buffer, capacity, ep, timeoutMs);
}

int QUserLibUsb::bulkReadUSBDevice(uint8_t* buffer, int capacity, uint8_t ep, unsigned timeoutMs) {
    return read(TransferType::Bulk, buffer, capacity, ep, timeoutMs);
}

int QUserLibUsb::write(TransferType kind, uint8_t* data, int length, uint8_t ep, unsigned timeoutMs) {
    int transferred = 0;
    int r;
    {
        // Bulk writes hold the transport mutex (taken before the guard, in
        // the order open and close take them).
        std::optional<QUserMutex> serial;
        if (kind == TransferType::Bulk) serial.emplace(mutex);
        std::shared_lock shared(handleGuard);
        libusb_device_handle* handle = devHandle.load();
        if (handle == nullptr) return -1;
        if (slotOf(ep) < kEndpointSlots) writeEps[slotOf(ep)] = ep;
        r = transfer(handle, kind, ep, data, length, &transferred, timeoutMs);
    }
    if (r < 0) {
        ProcessUSBDeviceErrCode(r);
        if (lastWriteFailEp.exchange(ep) != ep) {
            if (kind == TransferType::Bulk)
                QUserLog::GetInstance()->Warn("line:%d ep:%02x bulk write %dbyte fail,ret=%d %s ",
                                              kLineBulkWrite, ep, length, r, libusb_strerror(r));
            else
                QUserLog::GetInstance()->Warn("line:%d ep:%02x write %dbyte fail,ret=%d %s ",
                                              kLineInterruptWrite, ep, length, r, libusb_strerror(r));
        }
        return r;
    }
    return transferred;
}

int QUserLibUsb::read(TransferType kind, uint8_t* buffer, int capacity, uint8_t ep, unsigned timeoutMs) {
    int transferred = 0;
    int r;
    {
        std::shared_lock shared(handleGuard);
        libusb_device_handle* handle = devHandle.load();
        if (handle == nullptr) return 0;
        if (slotOf(ep) < kEndpointSlots) readEps[slotOf(ep)] = ep;
        r = transfer(handle, kind, ep, buffer, capacity, &transferred, timeoutMs);
    }
    // An aborted read is the owner's doing, not the adapter's: nothing to log.
    if (r == LIBUSB_ERROR_INTERRUPTED) return r;
    if (r >= 0) {
        lastReadErr = 0;
        return transferred;
    }
    ProcessUSBDeviceErrCode(r);
    if (lastReadErr.exchange(r) == r) return r;
    if (r != LIBUSB_ERROR_TIMEOUT) {
        if (kind == TransferType::Bulk)
            QUserLog::GetInstance()->Warn("line:%d ep:%02x bulk read fail,ret=%d %s", kLineBulkRead, ep, r,
                                          libusb_strerror(r));
        else
            QUserLog::GetInstance()->Warn("line:%d ep:%02x read fail,ret=%d %s", kLineInterruptRead, ep, r,
                                          libusb_strerror(r));
    }
    return r;
}

int QUserLibUsb::resetUSBEp(uint8_t ep) {
    std::shared_lock shared(handleGuard);
    if (libusb_device_handle* handle = devHandle.load()) libusb_clear_halt(handle, ep);
    return 0;
}

namespace {

void LIBUSB_CALL transferDone(libusb_transfer* t) {
    __atomic_store_n(static_cast<int*>(t->user_data), 1, __ATOMIC_RELEASE);
}

// libusb's own mapping of a finished transfer to a result code.
int resultOf(const libusb_transfer* t) {
    switch (t->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return LIBUSB_SUCCESS;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return LIBUSB_ERROR_TIMEOUT;
        case LIBUSB_TRANSFER_STALL:
            return LIBUSB_ERROR_PIPE;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return LIBUSB_ERROR_NO_DEVICE;
        case LIBUSB_TRANSFER_OVERFLOW:
            return LIBUSB_ERROR_OVERFLOW;
        case LIBUSB_TRANSFER_CANCELLED:
            return LIBUSB_ERROR_INTERRUPTED;
        default:
            return LIBUSB_ERROR_IO;
    }
}

}  // namespace

// The synchronous transfer, written out so that abortTransfers() can cancel
// it: submit, then handle events until it has finished.
int QUserLibUsb::transfer(libusb_device_handle* handle, TransferType kind, uint8_t ep, uint8_t* data,
                          int length, int* transferred, unsigned timeoutMs) {
    libusb_transfer* t = libusb_alloc_transfer(0);
    if (t == nullptr) return LIBUSB_ERROR_NO_MEM;
    int completed = 0;
    if (kind == TransferType::Bulk)
        libusb_fill_bulk_transfer(t, handle, ep, data, length, transferDone, &completed, timeoutMs);
    else
        libusb_fill_interrupt_transfer(t, handle, ep, data, length, transferDone, &completed, timeoutMs);
    {
        std::lock_guard lock(inflightLock);
        if (aborted.load()) {
            libusb_free_transfer(t);
            return LIBUSB_ERROR_INTERRUPTED;
        }
        const int r = libusb_submit_transfer(t);
        if (r < 0) {
            libusb_free_transfer(t);
            return r;
        }
        inflight.push_back(t);
    }
    // The transfer and the caller's buffer stay the kernel's until its
    // callback has run: never leave before that, whatever event handling
    // says (as libusb's own synchronous calls do).
    bool cancelled = false;
    while (__atomic_load_n(&completed, __ATOMIC_ACQUIRE) == 0) {
        const int r = libusb_handle_events_completed(usbContext, &completed);
        if (r < 0 && r != LIBUSB_ERROR_INTERRUPTED) {
            // Event handling itself failed: cancel, and keep handling events
            // until the cancellation is through.
            if (!cancelled) libusb_cancel_transfer(t);
            cancelled = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    {
        std::lock_guard lock(inflightLock);
        inflight.erase(std::find(inflight.begin(), inflight.end(), t));
    }
    *transferred = t->actual_length;
    const int r = resultOf(t);
    libusb_free_transfer(t);
    return r;
}
