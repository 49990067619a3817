#include "drivers/driver_factory.h"

#include "drivers/canfd/QDeviceUsbCanFd2.h"
#include "drivers/common/adapter_models.h"
#include "drivers/recorder/QDeviceCanRecord.h"
#include "drivers/usbcan/QDeviceUsbCan2.h"

std::shared_ptr<QDevice> createDriverObject(uint32_t type) {
    const ycan::AdapterModel* model = ycan::findAdapterModel(type);
    if (model == nullptr) return nullptr;
    switch (model->family) {
        case ycan::AdapterFamily::Classic:
            return std::make_shared<QDeviceUsbCan2>();
        case ycan::AdapterFamily::CanFd:
            return std::make_shared<QDeviceUsbCanFd2>();
        case ycan::AdapterFamily::Recorder:
            return std::make_shared<QDeviceCanRecord>();
        case ycan::AdapterFamily::ClassicReserved:
            break;  // never opened
    }
    return nullptr;
}
