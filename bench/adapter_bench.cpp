#include "adapter_bench.h"

#include <cstdlib>

#include "ycan.h"

namespace ycanbench {

namespace {

class Plain : public ycansim::DeviceModel {
public:
    void onOut(ycansim::DeviceEndpoints&, uint8_t, const std::vector<uint8_t>&) override {}
};

ycansim::DeviceLayout plainLayout() {
    ycansim::DeviceLayout layout;
    layout.vendorId = 0x1234;
    layout.productId = 0x5678;
    layout.endpoints = {{0x01, ycansim::EndpointType::Interrupt, 64},
                        {0x81, ycansim::EndpointType::Interrupt, 64},
                        {0x83, ycansim::EndpointType::Bulk, 512}};
    return layout;
}

}  // namespace

Adapters::Adapters() {
    fd = std::make_shared<ycansim::VirtualCanFdAdapter>(43);
    fdDevice = &bench.addDevice(ycansim::canFdLayout(43), fd);
    classic = std::make_shared<ycansim::VirtualUsbCanAdapter>();
    classicDevice = &bench.addDevice(ycansim::usbCanLayout(), classic);
    plainDevice = &bench.addDevice(plainLayout(), std::make_shared<Plain>());
    plain = std::make_unique<QUserLibUsb>();
    plain->OpenUSBDevice(0x1234, 0x5678, 0);
}

Adapters::~Adapters() {
    // Every libusb handle goes before the bench does.
    YCAN_CloseDevice(43, 0);
    YCAN_CloseDevice(YCAN_TYPE_USBCAN_4, 0);
    plain.reset();
}

Adapters& adapters() {
    static Adapters a;
    return a;
}

bool openAndStart(uint32_t type) {
    adapters();
    if (YCAN_OpenDevice(type, 0) != 1) return false;
    if (type == YCAN_TYPE_USBCAN_4) {
        _YCAN_INIT_CONFIG c{};
        c.AcceptMask = 0xFFFFFFFF;
        c.FilterType = 1;
        c.BusTiming1 = 0x14;
        return YCAN_InitCAN(type, 0, 0, &c) == 1;
    }
    _YCAN_INITFD_CONFIG c{};
    c.AbitBaudRate = 1000000;
    c.DbitBaudRate = 5000000;
    c.FdEnable = 1;
    return YCAN_InitCANFD(type, 0, 0, &c) == 1;
}

ycansim::BusFrame fdFrame(uint32_t id, uint32_t timeTag) {
    ycansim::BusFrame f;
    f.flags = 0x01;
    f.id = id & 0x1FFFFFFF;
    f.timeTag = timeTag;
    f.dataLen = 8;
    f.data.assign(64, static_cast<uint8_t>(id));
    return f;
}

ycansim::ClassicFrame classicFrame(uint32_t id, uint32_t timeTag) {
    ycansim::ClassicFrame f;
    f.id = id & 0x7FF;
    f.dataLen = 8;
    f.data.assign(8, static_cast<uint8_t>(id));
    f.timeTag = timeTag;
    return f;
}

bool quick() {
    const char* q = getenv("YCAN_BENCH_QUICK");  // NOLINT(concurrency-mt-unsafe): read-only environment
    return q != nullptr && *q != '\0' && *q != '0';
}

}  // namespace ycanbench
