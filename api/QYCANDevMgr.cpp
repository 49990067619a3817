#include "api/QYCANDevMgr.h"

#include <mutex>
#include <vector>

#include "support/QErrMgr.h"
#include "drivers/driver_factory.h"
#include "support/aes128.h"
#include "support/yorvProcotol.h"

QYCANDevMgr ycanDevMgr;

QYCANDevice::~QYCANDevice() {
    if (device) {
        device->closeDevice();
        device.reset();
    }
}

QYCANDevMgr::QYCANDevMgr() : QYCANDevMgr(createDriverObject) {}

QYCANDevMgr::QYCANDevMgr(DriverFactory driverFactory) : factory(std::move(driverFactory)) {
    AES_Init(au8AES_Cipher);
}

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
    auto t = types.find(type);
    if (t == types.end()) return nullptr;
    auto d = t->second->devices.find(index);
    return d == t->second->devices.end() ? nullptr : d->second.get();
}

std::shared_ptr<QDevice> QYCANDevMgr::deviceFind(uint32_t type, uint32_t index) {
    std::lock_guard guard(mapLock);
    QYCANDevice* holder = devFind(type, index);
    return holder != nullptr ? holder->device : nullptr;
}

int QYCANDevMgr::deviceAdd(uint32_t type, uint32_t index, std::shared_ptr<QDevice> dev) {
    std::lock_guard guard(mapLock);
    auto& node = types[type];
    if (!node) node = std::make_unique<QYCANType>();
    auto& holder = node->devices[index];
    if (!holder) holder = std::make_unique<QYCANDevice>(std::move(dev));
    return 1;
}

int QYCANDevMgr::deviceDel(uint32_t type, uint32_t index) {
    std::lock_guard lifecycle(lifecycleLock);
    if (auto dev = deviceFind(type, index)) dev->closeDevice();
    std::unique_ptr<QYCANDevice> removed;
    {
        std::lock_guard guard(mapLock);
        auto t = types.find(type);
        if (t != types.end()) {
            auto d = t->second->devices.find(index);
            if (d != t->second->devices.end()) {
                removed = std::move(d->second);
                t->second->devices.erase(d);
            }
        }
    }
    // The device was closed above; the holder lets go of it without closing
    // it again.
    if (removed) removed->device.reset();
    return 1;
}

int QYCANDevMgr::openDevice(uint32_t type, uint32_t index) {
    std::lock_guard lifecycle(lifecycleLock);
    if (deviceFind(type, index)) return 1;
    std::shared_ptr<QDevice> dev = factory ? factory(type) : nullptr;
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
    std::shared_ptr<QDevice> dev = deviceFind(type, index);
    if (!dev) return 1;
    int result = dev->closeDevice();
    deviceDel(type, index);
    return result;
}
