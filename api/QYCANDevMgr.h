// The registry of opened CAN FD adapters and recorders: one driver object per
// (device type, device index). Classic adapters keep their own table.
//
// Locking: mapLock guards the two maps and is held only for a lookup or an
// update; lifecycleLock serialises registry open and close (and teardown)
// with each other. Lookups hand out shared ownership, so a call that found a
// device keeps the object alive until it returns, even if another thread
// closes the device meanwhile.
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
    std::shared_ptr<QDevice> deviceFind(uint32_t type, uint32_t index);
    // Registers dev unless (type, index) already has an entry. Always 1.
    int deviceAdd(uint32_t type, uint32_t index, std::shared_ptr<QDevice> dev);
    // Closes the registered device and removes its entry. Always 1.
    int deviceDel(uint32_t type, uint32_t index);

    // YCAN_OpenDevice for CAN FD and recorder types: 1 opened or already
    // open, 0 failed (last error set by the driver).
    int openDevice(uint32_t type, uint32_t index);
    // YCAN_CloseDevice for those types: the driver's close result, 1 when
    // nothing was open. The entry goes before the device is closed.
    int closeDevice(uint32_t type, uint32_t index);
    // Closes every registered device (library unload).
    void closeAll();

private:
    void removeEntry(uint32_t type, uint32_t index);

    DriverFactory factory;
    std::map<uint32_t, std::unique_ptr<QYCANType>> types;
    QRecursiveMutex mapLock;
    QRecursiveMutex lifecycleLock;
};

// The library's one registry (defined with the library's other static
// objects in library_objects.cpp).
extern QYCANDevMgr ycanDevMgr;
