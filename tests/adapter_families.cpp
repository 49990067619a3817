#include "adapter_families.h"

#include <algorithm>

#include "adapter_fixture.h"
#include "api/QYCANDevMgr.h"
#include "drivers/canfd/QDeviceUsbCanFd2.h"
#include "drivers/usbcan/QDeviceUsbCan2.h"

using namespace std::chrono_literals;
using std::chrono::milliseconds;

namespace ycantest {

uint32_t frameId(uint32_t n) { return n & 0x7FF; }

std::vector<uint8_t> framePayload(uint32_t n) {
    const uint32_t inv = ~n;
    return {static_cast<uint8_t>(n),         static_cast<uint8_t>(n >> 8),   static_cast<uint8_t>(n >> 16),
            static_cast<uint8_t>(n >> 24),   static_cast<uint8_t>(inv),      static_cast<uint8_t>(inv >> 8),
            static_cast<uint8_t>(inv >> 16), static_cast<uint8_t>(inv >> 24)};
}

int64_t frameNumber(const _YCAN_CAN_OBJ& f) {
    if (f.DataLen != 8 || f.ExternFlag != 0 || f.RemoteFlag != 0) return -1;
    const uint32_t n = f.Data[0] | f.Data[1] << 8 | f.Data[2] << 16 | static_cast<uint32_t>(f.Data[3]) << 24;
    if (f.ID != frameId(n) || std::vector<uint8_t>(f.Data, f.Data + 8) != framePayload(n)) return -1;
    return n;
}

namespace {

int64_t numberOnTheBus(uint32_t id, const std::vector<uint8_t>& data) {
    if (data.size() < 8) return -1;
    const uint32_t n = data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
    if (id != frameId(n) || std::vector<uint8_t>(data.begin(), data.begin() + 8) != framePayload(n))
        return -1;
    return n;
}

}  // namespace

void AdapterFamily::attach(ycansim::UsbBench& bench) {
    dev = &bench.addDevice(layout(), makeModel());
    endpoints = dev;
}

void AdapterFamily::attach(ycansim::UsbipBus& bus) {
    dev = nullptr;
    endpoints = &bus.addDevice(layout(), makeModel());
}

int AdapterFamily::transmit(uint32_t n) {
    _YCAN_CAN_OBJ f{};
    f.ID = frameId(n);
    f.DataLen = 8;
    const std::vector<uint8_t> payload = framePayload(n);
    std::copy(payload.begin(), payload.end(), f.Data);
    return YCAN_Transmit(type(), 0, 0, &f, 1);
}

namespace {

bool zeroOrOne(int r) { return r == 0 || r == 1; }
auto upTo(int most) {
    return [most](int r) { return r >= 0 && r <= most; };
}
// Each call's exchanges, at their time-outs, plus room for a slow build.
milliseconds bound(int exchanges, milliseconds each) { return exchanges * each + 750ms; }

ycansim::BusFrame fdFrame(uint32_t n) {
    ycansim::BusFrame f;
    f.channel = 0;
    f.flags = 0x00;
    f.id = frameId(n);
    f.dataLen = 8;
    f.timeTag = n;
    f.data = framePayload(n);
    return f;
}

ycansim::ClassicFrame classicFrame(uint32_t n) {
    ycansim::ClassicFrame f;
    f.channel = 0;
    f.id = frameId(n);
    f.dataLen = 8;
    f.data = framePayload(n);
    f.timeTag = n & 0xFFFFFF;
    return f;
}

class CanFdFamily : public AdapterFamily {
public:
    std::string name() const override { return "canfd"; }
    uint32_t type() const override { return 43; }
    std::shared_ptr<ycansim::DeviceModel> makeModel() override {
        model = AdapterKind<ycansim::VirtualCanFdAdapter>::make(43);
        return model;
    }
    ycansim::DeviceLayout layout() const override {
        return AdapterKind<ycansim::VirtualCanFdAdapter>::layout(43);
    }
    bool ready() override {
        if (YCAN_OpenDevice(43, 0) != 1) return false;
        _YCAN_INITFD_CONFIG c = config();
        return YCAN_InitCANFD(43, 0, 0, &c) == 1;
    }
    bool recovering() override {
        auto d = ycanDevMgr.deviceFind(43, 0);
        auto* fd = dynamic_cast<QDeviceUsbCanFd2*>(d.get());
        return fd != nullptr && fd->recovering();
    }
    void inject(uint32_t n) override { model->inject(*endpoints, {fdFrame(n)}); }
    std::vector<uint8_t> encoded(uint32_t n) override { return ycansim::encodeDataPacket({fdFrame(n)}); }
    uint8_t streamEp() const override { return 0x83; }
    unsigned reassemblyBytes() override {
        auto d = ycanDevMgr.deviceFind(43, 0);
        auto* fd = dynamic_cast<QDeviceUsbCanFd2*>(d.get());
        return fd != nullptr ? fd->reassemblyBytes() : 0;
    }
    std::vector<int64_t> takeBusNumbers() override {
        std::vector<int64_t> out;
        for (const auto& f : model->takeBusFrames(0)) out.push_back(numberOnTheBus(f.id, f.data));
        return out;
    }
    uint8_t commandOutEp() const override { return 0x01; }
    uint8_t replyEp() const override { return 0x81; }
    bool command() override {
        uint8_t data[62] = {1, 2, 3};
        _YCAN_BOARD_INFO info{};
        int a = YCAN_DataDirectTransfer(43, 0, data, 3);
        int b = YCAN_BoardInfoGet(43, 0, &info);
        return a > 0 && b == 1;
    }
    std::vector<ExportedCall> calls() override {
        const milliseconds cmd = 1500ms;
        // Channel 1 is configured over and over; channel 0 carries the frames.
        return {
            {"BoardInfoGet", bound(3, cmd),
             [] {
                 _YCAN_BOARD_INFO i{};
                 return YCAN_BoardInfoGet(43, 0, &i);
             },
             zeroOrOne},
            {"DataDirectTransfer", bound(1, cmd),
             [] {
                 uint8_t d[62] = {9, 8, 7, 6};
                 return YCAN_DataDirectTransfer(43, 0, d, 4);
             },
             upTo(62)},
            {"InitCANFD", bound(3, 2000ms),
             [] {
                 _YCAN_INITFD_CONFIG c = config();
                 return YCAN_InitCANFD(43, 0, 1, &c);
             },
             zeroOrOne},
            {"Stop", bound(1, cmd), [] { return YCAN_Stop(43, 0, 1); }, zeroOrOne},
            {"Start", bound(1, cmd), [] { return YCAN_Start(43, 0, 1); }, zeroOrOne},
            {"SetFliter", bound(3, cmd),
             [] {
                 _YCAN_FLITER_CONFIG f{};
                 f.FilterOp = 1;
                 f.FilterMode = 0;
                 f.StartId = 0x100;
                 f.EndId = 0x1FF;
                 return YCAN_SetFliter(43, 0, 1, &f);
             },
             zeroOrOne},
            {"Transmit", bound(1, 1000ms),
             [] {
                 _YCAN_CAN_OBJ f[2]{};
                 f[0].ID = 0x123;
                 f[0].DataLen = 8;
                 f[1].ID = 0x124;
                 return YCAN_Transmit(43, 0, 1, f, 2);
             },
             upTo(2)},
            {"TransmitFD", bound(1, 1000ms),
             [] {
                 _YCAN_CANFD_OBJ f{};
                 f.ID = 0x321;
                 f.DataLen = 64;
                 f.FrameOpt = 0x08;
                 return YCAN_TransmitFD(43, 0, 1, &f, 1);
             },
             upTo(1)},
            {"ReceiveFD", 250ms,
             [] {
                 _YCAN_CANFD_OBJ f[4];
                 return YCAN_ReceiveFD(43, 0, 1, f, 4, 0);
             },
             upTo(4)},
            {"GetReceiveNum", 250ms, [] { return YCAN_GetReceiveNum(43, 0, 1, 2); },
             [](int r) { return r >= 0; }},
            {"ClearBuffer", 250ms, [] { return YCAN_ClearBuffer(43, 0, 1); }, zeroOrOne},
        };
    }

    static _YCAN_INITFD_CONFIG config() {
        _YCAN_INITFD_CONFIG c{};
        c.AbitBaudRate = 1000000;
        c.DbitBaudRate = 5000000;
        c.FdEnable = 1;
        return c;
    }

    std::shared_ptr<ycansim::VirtualCanFdAdapter> model;
};

class ClassicFamily : public AdapterFamily {
    static QDeviceUsbCan2& device() { return dynamic_cast<QDeviceUsbCan2&>(*ycanDevMgr.deviceFind(4, 0)); }

public:
    std::string name() const override { return "classic"; }
    uint32_t type() const override { return 4; }
    std::shared_ptr<ycansim::DeviceModel> makeModel() override {
        model = AdapterKind<ycansim::VirtualUsbCanAdapter>::make(4);
        return model;
    }
    ycansim::DeviceLayout layout() const override {
        return AdapterKind<ycansim::VirtualUsbCanAdapter>::layout(4);
    }
    bool ready() override {
        if (YCAN_OpenDevice(4, 0) != 1) return false;
        _YCAN_INIT_CONFIG c = config();
        return YCAN_InitCAN(4, 0, 0, &c) == 1;
    }
    bool recovering() override { return device().recovering(); }
    void inject(uint32_t n) override { model->inject(*endpoints, {classicFrame(n)}); }
    std::vector<uint8_t> encoded(uint32_t n) override {
        return ycansim::VirtualUsbCanAdapter::encodeRecord(classicFrame(n));
    }
    uint8_t streamEp() const override { return 0x82; }
    unsigned reassemblyBytes() override { return device().reassemblyBytes(); }
    std::vector<int64_t> takeBusNumbers() override {
        std::vector<int64_t> out;
        for (const auto& f : model->takeBusFrames(0)) out.push_back(numberOnTheBus(f.id, f.data));
        return out;
    }
    uint8_t commandOutEp() const override { return 0x01; }
    uint8_t replyEp() const override { return 0x81; }
    bool command() override {
        uint8_t data[62] = {1, 2, 3};
        uint8_t a = 0, b = 0, c = 0;
        int x = YCAN_DataDirectTransfer(4, 0, data, 3);
        int y = YCAN_DevChStateGet(4, 0, 0, &a, &b, &c);
        return x > 0 && y == 1;
    }
    std::vector<ExportedCall> calls() override {
        const milliseconds cmd = 1000ms;
        return {
            {"BoardInfoGet", bound(5, 500ms),
             [] {
                 _YCAN_BOARD_INFO i{};
                 return YCAN_BoardInfoGet(4, 0, &i);
             },
             zeroOrOne},
            {"DataDirectTransfer", bound(1, 3000ms),
             [] {
                 uint8_t d[62] = {9, 8, 7, 6};
                 return YCAN_DataDirectTransfer(4, 0, d, 4);
             },
             upTo(62)},
            {"InitCAN", bound(3, cmd),
             [] {
                 _YCAN_INIT_CONFIG c = config();
                 return YCAN_InitCAN(4, 0, 1, &c);
             },
             zeroOrOne},
            {"Start", bound(1, cmd), [] { return YCAN_Start(4, 0, 1); }, zeroOrOne},
            {"DevRelayStatusSet", bound(1, cmd), [] { return YCAN_DevRelayStatusSet(4, 0, 1, 0); },
             zeroOrOne},
            {"DevRelayStatusGet", bound(1, cmd),
             [] {
                 uint8_t a = 0, b = 0;
                 return YCAN_DevRelayStatusGet(4, 0, &a, &b);
             },
             zeroOrOne},
            {"DevBaudParaGet", bound(1, cmd),
             [] {
                 uint8_t a = 0, b = 0;
                 return YCAN_DevBaudParaGet(4, 0, 1, &a, &b);
             },
             zeroOrOne},
            {"DevChStateGet", bound(1, cmd),
             [] {
                 uint8_t a = 0, b = 0, c = 0;
                 return YCAN_DevChStateGet(4, 0, 1, &a, &b, &c);
             },
             zeroOrOne},
            {"Transmit", bound(1, cmd),
             [] {
                 _YCAN_CAN_OBJ f[4]{};
                 for (int i = 0; i < 4; ++i) {
                     f[i].ID = 0x200 + static_cast<uint32_t>(i);
                     f[i].DataLen = 8;
                 }
                 return YCAN_Transmit(4, 0, 1, f, 4);
             },
             upTo(4)},
            {"Receive", 250ms,
             [] {
                 _YCAN_CAN_OBJ f[4];
                 return YCAN_Receive(4, 0, 1, f, 4, 0);
             },
             upTo(4)},
            {"GetReceiveNum", 250ms, [] { return YCAN_GetReceiveNum(4, 0, 1, 0); },
             [](int r) { return r >= 0; }},
            {"ClearBuffer", 250ms, [] { return YCAN_ClearBuffer(4, 0, 1); }, zeroOrOne},
        };
    }

    static _YCAN_INIT_CONFIG config() {
        _YCAN_INIT_CONFIG c{};
        c.AcceptMask = 0xFFFFFFFF;
        c.BusTiming0 = 0x00;
        c.BusTiming1 = 0x14;
        return c;
    }

    std::shared_ptr<ycansim::VirtualUsbCanAdapter> model;
};

class RecorderFamily : public AdapterFamily {
public:
    std::string name() const override { return "recorder"; }
    uint32_t type() const override { return 61; }
    bool carriesFrames() const override { return false; }
    std::shared_ptr<ycansim::DeviceModel> makeModel() override {
        model = AdapterKind<ycansim::VirtualRecorder>::make(61);
        return model;
    }
    ycansim::DeviceLayout layout() const override {
        return AdapterKind<ycansim::VirtualRecorder>::layout(61);
    }
    bool ready() override { return YCAN_OpenDevice(61, 0) == 1; }
    bool recovering() override { return false; }
    void inject(uint32_t) override {}
    std::vector<uint8_t> encoded(uint32_t) override { return {}; }
    uint8_t streamEp() const override { return 0x81; }
    uint8_t commandOutEp() const override { return 0x01; }
    uint8_t replyEp() const override { return 0x81; }
    bool command() override {
        _YCAN_BOARD_INFO info{};
        return YCAN_BoardInfoGet(61, 0, &info) == 1;
    }
    std::vector<ExportedCall> calls() override {
        const milliseconds cmd = 1000ms;
        return {
            {"BoardInfoGet", bound(3, cmd),
             [] {
                 _YCAN_BOARD_INFO i{};
                 return YCAN_BoardInfoGet(61, 0, &i);
             },
             zeroOrOne},
            {"DataDirectTransfer", bound(1, cmd),
             [] {
                 uint8_t d[62] = {9, 8, 7, 6};
                 return YCAN_DataDirectTransfer(61, 0, d, 4);
             },
             upTo(62)},
            {"RecordFliterClr", bound(1, cmd), [] { return YCAN_RecordFliterClr(61, 0, 0); }, zeroOrOne},
            {"RecordFliterAdd", bound(1, cmd),
             [] {
                 _YCAN_FLITER_CONFIG f{};
                 f.FilterKind = 1;
                 f.StartId = 0x100;
                 f.EndId = 0x200;
                 return YCAN_RecordFliterAdd(61, 0, 0, &f);
             },
             zeroOrOne},
            {"RecordFliterEnable", bound(1, cmd), [] { return YCAN_RecordFliterEnable(61, 0, 0); },
             zeroOrOne},
            {"RecordFliterDisable", bound(1, cmd), [] { return YCAN_RecordFliterDisable(61, 0, 0); },
             zeroOrOne},
            {"RecordFliterInfoGet", bound(1, cmd),
             [] {
                 _YCAN_FLITER_INFO i{};
                 return YCAN_RecordFliterInfoGet(61, 0, 0, &i);
             },
             zeroOrOne},
            {"RecordFliterSettingGet", bound(1, cmd),
             [] {
                 _YCAN_FLITER_CONFIG f{};
                 return YCAN_RecordFliterSettingGet(61, 0, 0, 0, &f);
             },
             zeroOrOne},
            {"RecordSettingSet", bound(1, cmd),
             [] {
                 _YCAN_RECORD_CONFIG c{};
                 c.RecordFlag = 1;
                 c.AbitClock = 60;
                 c.AbitTiming = 0x01400106;
                 return YCAN_RecordSettingSet(61, 0, 1, &c);
             },
             zeroOrOne},
            {"RecordSettingGet", bound(1, cmd),
             [] {
                 _YCAN_RECORD_CONFIG c{};
                 return YCAN_RecordSettingGet(61, 0, 1, &c);
             },
             zeroOrOne},
            {"RecordCmdExecute", bound(1, cmd),
             [] {
                 _YCAN_FLITER_INFO i{};
                 _YCAN_FLITER_CONFIG f{};
                 return YCAN_RecordCmdExecute(61, 0, 0, 4, &i, &f);
             },
             zeroOrOne},
        };
    }

    std::shared_ptr<ycansim::VirtualRecorder> model;
};

}  // namespace

std::unique_ptr<AdapterFamily> makeFamily(const std::string& name) {
    if (name == "canfd") return std::make_unique<CanFdFamily>();
    if (name == "classic") return std::make_unique<ClassicFamily>();
    if (name == "recorder") return std::make_unique<RecorderFamily>();
    return nullptr;
}

}  // namespace ycantest
