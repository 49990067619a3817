// The registry: one driver object per (device type, device index), for
// every family, and the one place an exported call finds its adapter.
// CAN FD adapters and recorders have an entry while they are open. The
// classic family's objects are kept under one key for both its type codes,
// one per device index below 32, made on first lookup and kept until unload
// (ycan::keptIndices); opening and closing them changes no entry.
//
// Locking: mapLock guards the two maps and is held only for a lookup or an
// update; lifecycleLock serialises open and close (and teardown) with each
// other. Lookups hand out shared ownership, so a call that found a device
// keeps the object alive until it returns, even if another thread closes
// the device meanwhile.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "drivers/common/QDevice.h"
#include "support/QUserMutex.h"

// Holder of one registered device. If it still holds the device when it is
// destroyed, it closes it first.
class QYCANDevice {
public:
    explicit QYCANDevice(std::shared_ptr<QDevice> dev) : device(std::move(dev)) {}
    ~QYCANDevice();
    QYCANDevice(const QYCANDevice&) = delete;
    QYCANDevice& operator=(const QYCANDevice&) = delete;

    std::shared_ptr<QDevice> device;
};

// The devices of one type, by device index.
class QYCANType {
public:
    std::map<uint32_t, std::unique_ptr<QYCANDevice>> devices;
};

class QYCANDevMgr {
public:
    // Creates the driver object for a device type; null when the type has no
    // driver.
    using DriverFactory = std::function<std::shared_ptr<QDevice>(uint32_t type)>;

    QYCANDevMgr();
    explicit QYCANDevMgr(DriverFactory factory);
    // Closes every device still registered.
    ~QYCANDevMgr();
    QYCANDevMgr(const QYCANDevMgr&) = delete;
    QYCANDevMgr& operator=(const QYCANDevMgr&) = delete;

    // The holder registered under (type, index), or null. The holder stays
    // valid only while no registry close runs.
    QYCANDevice* devFind(uint32_t type, uint32_t index);
    // The device of (type, index), or null: a CAN FD adapter or recorder
    // that is not open, a classic index past the kept ones. A kept object
    // is made here on first use.
    std::shared_ptr<QDevice> deviceFind(uint32_t type, uint32_t index);
    // Registers dev unless (type, index) already has an entry. Always 1.
    int deviceAdd(uint32_t type, uint32_t index, std::shared_ptr<QDevice> dev);
    // Closes the registered device and removes its entry. Always 1.
    int deviceDel(uint32_t type, uint32_t index);

    // YCAN_OpenDevice: 1 opened or already open, 0 failed (last error set
    // by the driver). A kept object answers for itself; a new one is
    // registered once open, and the last error then reads 0.
    int openDevice(uint32_t type, uint32_t index);
    // YCAN_CloseDevice: the driver's close result, 1 when nothing was open.
    // An entry goes before its device is closed; a kept one stays.
    // A classic index past the kept ones fails both with last error 8.
    int closeDevice(uint32_t type, uint32_t index);
    // Closes every device.
    void closeAll();
    // Library unload: closes every device; opens fail from now on.
    void shutDown();

private:
    void removeEntry(uint32_t type, uint32_t index);

    DriverFactory factory;
    std::map<uint32_t, std::unique_ptr<QYCANType>> types;
    QRecursiveMutex mapLock;
    QRecursiveMutex lifecycleLock;
    bool shut = false;  // lifecycleLock held
};

// The library's one registry (defined with the library's other static
// objects in library_objects.cpp).
extern QYCANDevMgr ycanDevMgr;
