#include "api/QYCANDevMgr.h"

#include <mutex>
#include <vector>

#include "drivers/common/adapter_models.h"
#include "drivers/driver_factory.h"
#include "support/QErrMgr.h"

QYCANDevice::~QYCANDevice() {
    if (device) {
        device->closeDevice();
        device.reset();
    }
}

QYCANDevMgr::QYCANDevMgr() : QYCANDevMgr(createDriverObject) {}

QYCANDevMgr::QYCANDevMgr(DriverFactory driverFactory) : factory(std::move(driverFactory)) {}

QYCANDevMgr::~QYCANDevMgr() {
    std::lock_guard lifecycle(lifecycleLock);
    std::map<uint32_t, std::unique_ptr<QYCANType>> left;
    {
        std::lock_guard guard(mapLock);
        left.swap(types);
    }
    // Holders close their devices as they are freed; the devices themselves
    // go once the last call still using them returns.
    for (auto& [type, node] : left) {
        for (auto& [index, holder] : node->devices) {
            if (holder->device) {
                holder->device->closeDevice();
                holder->device.reset();
            }
            holder.reset();
        }
        node.reset();
    }
}

QYCANDevice* QYCANDevMgr::devFind(uint32_t type, uint32_t index) {
    std::lock_guard guard(mapLock);
    auto t = types.find(ycan::registryKey(type));
    if (t == types.end()) return nullptr;
    auto d = t->second->devices.find(index);
    return d == t->second->devices.end() ? nullptr : d->second.get();
}

std::shared_ptr<QDevice> QYCANDevMgr::deviceFind(uint32_t type, uint32_t index) {
    std::lock_guard guard(mapLock);
    QYCANDevice* holder = devFind(type, index);
    if (holder != nullptr) return holder->device;
    if (index >= ycan::keptIndices(type) || !factory) return nullptr;
    std::shared_ptr<QDevice> dev = factory(type);
    if (dev) deviceAdd(type, index, dev);
    return dev;
}

int QYCANDevMgr::deviceAdd(uint32_t type, uint32_t index, std::shared_ptr<QDevice> dev) {
    std::lock_guard guard(mapLock);
    auto& node = types[ycan::registryKey(type)];
    if (!node) node = std::make_unique<QYCANType>();
    auto& holder = node->devices[index];
    if (!holder) holder = std::make_unique<QYCANDevice>(std::move(dev));
    return 1;
}

int QYCANDevMgr::deviceDel(uint32_t type, uint32_t index) {
    std::lock_guard lifecycle(lifecycleLock);
    std::shared_ptr<QDevice> dev = deviceFind(type, index);
    removeEntry(type, index);
    if (dev) dev->closeDevice();
    return 1;
}

int QYCANDevMgr::openDevice(uint32_t type, uint32_t index) {
    std::lock_guard lifecycle(lifecycleLock);
    if (shut) return 0;
    const bool kept = ycan::keptIndices(type) > 0;
    std::shared_ptr<QDevice> dev = deviceFind(type, index);
    if (kept) {
        if (!dev) return ycan::fail(YCAN_ERR_PARAMETER);
        const int result = dev->openDevice(type, index, 0);
        if (result == 1) {
            dev->regType = type;
            dev->regIndex = index;
        }
        return result;
    }
    if (dev) return 1;
    dev = factory ? factory(type) : nullptr;
    if (!dev) {
        ycan::setLastError(YCAN_ERR_DEVICE_NOT_EXIST);
        return 0;
    }
    if (dev->openDevice(type, index, 0) != 1) return 0;
    dev->regType = type;
    dev->regIndex = index;
    deviceAdd(type, index, std::move(dev));
    ycan::setLastError(YCAN_ERR_OK);
    return 1;
}

int QYCANDevMgr::closeDevice(uint32_t type, uint32_t index) {
    std::lock_guard lifecycle(lifecycleLock);
    const bool kept = ycan::keptIndices(type) > 0;
    std::shared_ptr<QDevice> dev = deviceFind(type, index);
    if (!dev) return kept ? ycan::fail(YCAN_ERR_PARAMETER) : 1;
    if (kept) return dev->closeDevice();
    // Out of the registry first: calls that start from now on find no device
    // (last error 7); calls already holding it are let go by the close.
    removeEntry(type, index);
    const int result = dev->closeDevice();
    // A driver is closed twice (the close, then the removal of its entry);
    // every driver's close does nothing on a device already closed, and
    // drivers plugged in through a factory see both calls.
    dev->closeDevice();
    return result;
}

void QYCANDevMgr::removeEntry(uint32_t type, uint32_t index) {
    std::unique_ptr<QYCANDevice> removed;
    {
        std::lock_guard guard(mapLock);
        auto t = types.find(ycan::registryKey(type));
        if (t == types.end()) return;
        auto d = t->second->devices.find(index);
        if (d == t->second->devices.end()) return;
        removed = std::move(d->second);
        t->second->devices.erase(d);
    }
    // The holder lets go of the device without closing it: its caller does.
    removed->device.reset();
}

void QYCANDevMgr::closeAll() {
    std::lock_guard lifecycle(lifecycleLock);
    std::vector<std::pair<uint32_t, uint32_t>> keys;
    {
        std::lock_guard guard(mapLock);
        for (auto& [type, node] : types)
            for (auto& [index, holder] : node->devices) keys.emplace_back(type, index);
    }
    for (auto [type, index] : keys) closeDevice(type, index);
}

void QYCANDevMgr::shutDown() {
    std::lock_guard lifecycle(lifecycleLock);
    shut = true;
    closeAll();
}
