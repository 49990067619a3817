// The same adapter, and one program on it. Several adapters of one kind on
// one bus (a common test bench): unplugging one never restores it onto
// another, and its instance stays away until that very adapter is back in
// its own port. An adapter another opener holds is refused without a byte
// written to it. Through the exported functions, every family.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <memory>
#include <thread>
#include <vector>

#include "adapter_fixture.h"
#include "bench_helpers.h"
#include "eventually.h"
#include "sim/bench/usb_bench.h"
#include "sim/canfd/canfd_adapter.h"
#include "sim/recorder/recorder_adapter.h"
#include "sim/usbcan/usbcan_adapter.h"
#include "test_support.h"
#include "transport/QUserLibUsb.h"
#include "ycan.h"

using namespace std::chrono_literals;
using ycansim::UsbEvent;
using ycansim::VirtualDevice;
using ycantest::eventually;

namespace {

// A frame tagged with the adapter it was sent to and its number there:
// ID = 0x100 * adapter + number % 256, data = adapter, number (little-endian).
struct Tag {
    int adapter = -1;
    int number = -1;
};

std::vector<uint8_t> tagData(int adapter, int number) {
    return {static_cast<uint8_t>(adapter),
            static_cast<uint8_t>(number),
            static_cast<uint8_t>(number >> 8),
            0,
            0,
            0,
            0,
            0};
}

Tag tagOf(const _YCAN_CANFD_OBJ& f) {
    if (f.DataLen != 8) return {};
    const int adapter = f.Data[0];
    const int number = f.Data[1] | f.Data[2] << 8;
    if (f.ID != static_cast<uint32_t>(0x100 * adapter + number % 256)) return {};
    return {adapter, number};
}

// One family's adapters on the bench, driven through the exported calls.
class Adapters {
public:
    virtual ~Adapters() = default;
    virtual uint32_t type() const = 0;
    virtual void add(ycansim::UsbBench& bench) = 0;
    // Channel 0 initialised and started.
    virtual bool ready(uint32_t index) = 0;
    // Frames `first`..`first + count - 1` for adapter `k` (in the order added) on its bus.
    virtual void send(int k, int first, int count) = 0;
    // How often adapter k's channel 0 was set up (initialised, started).
    virtual int setups(int k) const = 0;
    std::vector<VirtualDevice*> devices;
};

// What the families share: adding their adapters and putting frames on a bus.
template <class Model, class Frame>
class AdaptersOf : public Adapters {
public:
    void add(ycansim::UsbBench& bench) override {
        auto added = ycantest::addAdapter<Model>(bench, type());
        models.push_back(added.model);
        devices.push_back(&added.device);
    }
    void send(int k, int first, int count) override {
        std::vector<Frame> frames;
        for (int n = first; n < first + count; ++n) {
            Frame f;
            f.id = static_cast<uint32_t>(0x100 * k + n % 256);
            f.dataLen = 8;
            f.data = tagData(k, n);
            frames.push_back(f);
        }
        model(k).fromBus(*devices[static_cast<size_t>(k)], frames);
    }
    Model& model(int k) const { return *models[static_cast<size_t>(k)]; }
    std::vector<std::shared_ptr<Model>> models;
};

class CanFdAdapters : public AdaptersOf<ycansim::VirtualCanFdAdapter, ycansim::BusFrame> {
public:
    uint32_t type() const override { return 43; }
    bool ready(uint32_t index) override {
        _YCAN_INITFD_CONFIG c{};
        c.AbitBaudRate = 1000000;
        c.DbitBaudRate = 5000000;
        c.FdEnable = 1;
        return YCAN_OpenDevice(43, index) == 1 && YCAN_InitCANFD(43, index, 0, &c) == 1 &&
               YCAN_Start(43, index, 0) == 1;
    }
    int setups(int k) const override { return model(k).requests(0x03) + model(k).channel(0).starts; }
};

class ClassicAdapters : public AdaptersOf<ycansim::VirtualUsbCanAdapter, ycansim::ClassicFrame> {
public:
    uint32_t type() const override { return 4; }
    bool ready(uint32_t index) override {
        _YCAN_INIT_CONFIG c{};
        c.AcceptMask = 0xFFFFFFFF;
        c.BusTiming0 = 0x00;
        c.BusTiming1 = 0x14;
        return YCAN_OpenDevice(4, index) == 1 && YCAN_InitCAN(4, index, 0, &c) == 1 &&
               YCAN_Start(4, index, 0) == 1;
    }
    int setups(int k) const override { return model(k).channel(0).inits + model(k).channel(0).starts; }
};

std::unique_ptr<Adapters> makeAdapters(const std::string& family) {
    if (family == "canfd") return std::make_unique<CanFdAdapters>();
    return std::make_unique<ClassicAdapters>();
}

class SameKind : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override { fam = makeAdapters(GetParam()); }
    void TearDown() override {
        for (uint32_t index = 0; index < fam->devices.size(); ++index) YCAN_CloseDevice(fam->type(), index);
    }

    // Adds n adapters and opens each at its index; indexOf[k] is adapter k's.
    void openAll(int n) {
        for (int k = 0; k < n; ++k) fam->add(bench);
        const auto d = fam->devices.front()->layout();
        const auto order = ycantest::libusbOrder(d.vendorId, d.productId);
        ASSERT_EQ(order.size(), static_cast<size_t>(n));
        indexOf.assign(static_cast<size_t>(n), -1);
        for (size_t i = 0; i < order.size(); ++i)
            for (int k = 0; k < n; ++k)
                if (fam->devices[static_cast<size_t>(k)]->deviceNumber() == order[i].second)
                    indexOf[static_cast<size_t>(k)] = static_cast<int>(i);
        for (int k = 0; k < n; ++k) ASSERT_TRUE(fam->ready(index(k))) << "adapter " << k;
    }
    uint32_t index(int k) const { return static_cast<uint32_t>(indexOf[static_cast<size_t>(k)]); }
    int link(int k) { return YCAN_GetLinkState(fam->type(), index(k), nullptr); }

    // Takes what adapter k's instance has received within `wait` until it
    // has `want` frames; adds each frame's tag to got.
    void collect(int k, size_t want, std::vector<Tag>& got, std::chrono::milliseconds wait) {
        const auto end = std::chrono::steady_clock::now() + wait;
        _YCAN_RX_FRAME frames[64];
        while (got.size() < want && std::chrono::steady_clock::now() < end) {
            const int n = YCAN_ReceiveAll(fam->type(), index(k), YCAN_ALL_CHANNELS, frames, 64, 50);
            for (int i = 0; i < n; ++i) got.push_back(tagOf(frames[i].Frame));
        }
    }
    // Everything adapter k's instance holds now.
    std::vector<Tag> drain(int k) {
        std::vector<Tag> got;
        collect(k, SIZE_MAX, got, 0ms);
        _YCAN_RX_FRAME frames[64];
        for (int n; (n = YCAN_ReceiveAll(fam->type(), index(k), YCAN_ALL_CHANNELS, frames, 64, 0)) > 0;)
            for (int i = 0; i < n; ++i) got.push_back(tagOf(frames[i].Frame));
        return got;
    }
    static bool all(const std::vector<Tag>& got, int adapter, int first, int count) {
        if (got.size() != static_cast<size_t>(count)) return false;
        for (int i = 0; i < count; ++i)
            if (got[static_cast<size_t>(i)].adapter != adapter ||
                got[static_cast<size_t>(i)].number != first + i)
                return false;
        return true;
    }

    // The adapter at index `goneIndex` is unplugged for about 2 s while every other one
    // carries 200 frames; then it is plugged back into its own port and
    // carries 50. Each instance gets its own adapter's frames, all of them,
    // in order, and nothing else; nobody else's channel is set up again.
    void unplugOneOf(int n, uint32_t goneIndex) {
        openAll(n);
        int gone = 0;
        while (index(gone) != goneIndex) ++gone;
        std::vector<int> setupsBefore;
        for (int k = 0; k < n; ++k) setupsBefore.push_back(fam->setups(k));

        bench.unplug(*fam->devices[static_cast<size_t>(gone)]);
        ASSERT_TRUE(eventually([&] { return link(gone) == 0; }, 3s)) << "the unplug was never noticed";
        std::vector<std::vector<Tag>> got(static_cast<size_t>(n));
        const auto away = std::chrono::steady_clock::now();
        for (int batch = 0; batch < 4; ++batch) {
            for (int k = 0; k < n; ++k)
                if (k != gone) fam->send(k, batch * 50, 50);
            for (int k = 0; k < n; ++k)
                if (k != gone)
                    collect(k, static_cast<size_t>(batch + 1) * 50, got[static_cast<size_t>(k)], 5s);
            // Restore attempts come every 50 ms; give them the time to go wrong.
            std::this_thread::sleep_until(away + (batch + 1) * 500ms);
            EXPECT_EQ(link(gone), 0) << "batch " << batch;
        }
        for (int k = 0; k < n; ++k) {
            if (k == gone) continue;
            auto& mine = got[static_cast<size_t>(k)];
            auto rest = drain(k);
            mine.insert(mine.end(), rest.begin(), rest.end());
            EXPECT_TRUE(all(mine, k, 0, 200)) << "adapter " << k << " got " << mine.size() << " frames";
            EXPECT_EQ(link(k), 1) << "adapter " << k;
        }
        EXPECT_TRUE(drain(gone).empty());
        EXPECT_EQ(link(gone), 0);

        // Back in its own port: restored, and its frames reach its own instance.
        bench.replug(*fam->devices[static_cast<size_t>(gone)]);
        ASSERT_TRUE(eventually([&] { return link(gone) == 1; }, 5s)) << "never restored";
        fam->send(gone, 0, 50);
        std::vector<Tag> back;
        collect(gone, 50, back, 5s);
        auto rest = drain(gone);
        back.insert(back.end(), rest.begin(), rest.end());
        EXPECT_TRUE(all(back, gone, 0, 50)) << "got " << back.size() << " frames";
        for (int k = 0; k < n; ++k) {
            if (k == gone) continue;
            EXPECT_TRUE(drain(k).empty()) << "adapter " << k;
            // Only the restored adapter's channel was set up again.
            EXPECT_EQ(fam->setups(k), setupsBefore[static_cast<size_t>(k)]) << "adapter " << k;
        }
        EXPECT_GT(fam->setups(gone), setupsBefore[static_cast<size_t>(gone)]);
    }

    ycansim::UsbBench bench;
    std::unique_ptr<Adapters> fam;
    std::vector<int> indexOf;
};

}  // namespace

// The unplugged adapter is the first in the list: afterwards the other one
// stands at its index.
TEST_P(SameKind, TwoAdaptersTheFirstUnplugged) { unplugOneOf(2, 0); }

TEST_P(SameKind, ThreeAdaptersTheMiddleOneUnplugged) { unplugOneOf(3, 1); }

// Back in another port it is another adapter: its old instance stays away,
// and the adapter can be opened afresh there.
TEST_P(SameKind, AnAdapterBackInAnotherPortIsANewAdapter) {
    openAll(2);
    // The one at index 0: back in, it is listed first again (the newest).
    const int gone = index(0) == 0 ? 0 : 1;
    const int other = 1 - gone;
    VirtualDevice& dev = *fam->devices[static_cast<size_t>(gone)];
    bench.unplug(dev);
    ASSERT_TRUE(eventually([&] { return link(gone) == 0; }, 3s));
    bench.replug(dev, {.port = dev.portNumber() + 10});
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(link(gone), 0);
    fam->send(gone, 0, 10);
    fam->send(other, 0, 10);
    std::vector<Tag> got;
    collect(other, 10, got, 5s);
    EXPECT_TRUE(all(got, other, 0, 10));
    EXPECT_TRUE(drain(gone).empty());
    EXPECT_TRUE(drain(other).empty());

    // A program opening the adapters afresh finds it there.
    YCAN_CloseDevice(fam->type(), index(gone));
    EXPECT_TRUE(fam->ready(0));
    std::vector<Tag> fresh;
    fam->send(gone, 10, 5);
    collect(gone, 5, fresh, 5s);
    EXPECT_TRUE(all(fresh, gone, 10, 5));
}

// The link is seen lost and restored whichever way the read pending at the
// unplug ends: an I/O error (as Linux host controllers end it), then "no
// device" for the next read; or "no device" at once.
TEST_P(SameKind, TheLinkIsRestoredWhicheverWayAPendingReadEnds) {
    openAll(1);
    VirtualDevice& dev = *fam->devices[0];
    int number = 0;
    for (int status : {-EPROTO, -ESHUTDOWN}) {
        bench.unplug(dev, status);
        ASSERT_TRUE(eventually([&] { return link(0) == 0; }, 3s)) << "status " << status;
        bench.replug(dev);
        ASSERT_TRUE(eventually([&] { return link(0) == 1; }, 5s)) << "status " << status;
        fam->send(0, number, 5);
        std::vector<Tag> got;
        collect(0, 5, got, 5s);
        EXPECT_TRUE(all(got, 0, number, 5)) << "status " << status;
        number += 5;
    }
}

INSTANTIATE_TEST_SUITE_P(Families, SameKind, ::testing::Values("canfd", "classic"),
                         [](const auto& p) { return std::string(p.param); });

// ---- One program per adapter ----------------------------------------------------

namespace {

// Another opener of the adapter, as a second program would be: a transport
// of its own holding the adapter.
class HeldElsewhere : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        const std::string family = GetParam();
        if (family == "canfd") {
            type = 43;
            dev = &ycantest::addAdapter<ycansim::VirtualCanFdAdapter>(bench, 43).device;
        } else if (family == "classic") {
            type = 4;
            dev = &ycantest::addAdapter<ycansim::VirtualUsbCanAdapter>(bench, 4).device;
        } else {
            type = 61;
            dev = &ycantest::addAdapter<ycansim::VirtualRecorder>(bench, 61).device;
        }
    }
    void TearDown() override {
        YCAN_CloseDevice(type, 0);
        holder.reset();
    }

    ycansim::UsbBench bench;
    ycansim::VirtualDevice* dev = nullptr;
    uint32_t type = 0;
    std::unique_ptr<QUserLibUsb> holder;
};

}  // namespace

TEST_P(HeldElsewhere, TheOpenFailsAsForAnAbsentAdapterAndTouchesNothing) {
    // What a failed open leaves as the last error, with no adapter there.
    YCAN_OpenDevice(type, 5);
    const int absent = YCAN_GetLastError();

    holder = std::make_unique<QUserLibUsb>();
    ASSERT_EQ(holder->OpenUSBDevice(dev->layout().vendorId, dev->layout().productId, 0), 1);
    bench.capture().clear();
    {
        ycantest::StreamCapture out(1);
        EXPECT_EQ(YCAN_OpenDevice(type, 0), 0);
        const std::string text = out.text();
        EXPECT_NE(text.find(" is already open in this program"), std::string::npos) << text;
    }
    EXPECT_EQ(YCAN_GetLastError(), absent);
    auto seen = bench.capture().all();
    ASSERT_EQ(seen.size(), 1u) << (seen.empty() ? std::string() : ycansim::describe(seen.back()));
    EXPECT_EQ(seen[0].kind, UsbEvent::Claim);
    EXPECT_EQ(seen[0].status, -EBUSY);
    EXPECT_EQ(YCAN_GetLinkState(type, 0, nullptr), -1);  // not open

    // Once the other lets go, it opens.
    holder.reset();
    EXPECT_EQ(YCAN_OpenDevice(type, 0), 1);
}

INSTANTIATE_TEST_SUITE_P(Families, HeldElsewhere, ::testing::Values("canfd", "classic", "recorder"),
                         [](const auto& p) { return std::string(p.param); });

// Device types that open the same adapter (41, 42 and 43; 3 and 4) are one
// adapter: the second open of it is refused and the first goes on.
TEST(SameAdapterTwoTypes, TheSecondTypeIsRefusedAndTheFirstKeepsItsChannel) {
    ycansim::UsbBench bench;
    auto added = ycantest::addAdapter<ycansim::VirtualCanFdAdapter>(bench, 43);
    CanFdAdapters one;
    one.models.push_back(added.model);
    one.devices.push_back(&added.device);
    ASSERT_TRUE(one.ready(0));
    const int setups = one.setups(0);
    EXPECT_EQ(YCAN_OpenDevice(41, 0), 0);
    EXPECT_EQ(one.setups(0), setups);
    one.send(0, 0, 5);
    _YCAN_RX_FRAME frames[8];
    int got = 0;
    eventually([&] { return (got += YCAN_ReceiveAll(43, 0, 0, frames + got, 8 - got, 10)) >= 5; }, 5s);
    EXPECT_EQ(got, 5);
    EXPECT_EQ(YCAN_GetLinkState(43, 0, nullptr), 1);
    YCAN_CloseDevice(43, 0);
    YCAN_CloseDevice(41, 0);
}

// ---- Which adapter is open --------------------------------------------------

namespace {

template <class Model>
ycansim::VirtualDevice& plugIn(ycansim::UsbBench& bench, unsigned type, int port, const std::string& serial,
                               std::vector<std::shared_ptr<ycansim::DeviceModel>>& keep) {
    auto model = ycantest::AdapterKind<Model>::make(type);
    ycansim::DeviceLayout layout = ycantest::AdapterKind<Model>::layout(type);
    layout.serial = serial;
    keep.push_back(model);
    return bench.addDevice(layout, model, {.port = port});
}

struct Located {
    int result;
    int error;
    std::string port, serial;
};

Located locate(uint32_t type, uint32_t index) {
    char port[YCAN_PORT_PATH_SIZE];
    char serial[YCAN_SERIAL_SIZE];
    const int r = YCAN_GetDeviceLocation(type, index, port, sizeof port, serial, sizeof serial);
    if (r != 1) return {r, YCAN_GetLastError(), "", ""};
    return {r, 0, port, serial};
}

}  // namespace

// Every family names the port and serial number of the adapter its index
// opened, as the open found them, also while the adapter is away; a buffer
// too small for a text is refused, never overrun.
TEST(DeviceLocation, ThePortAndSerialOfTheAdapterOpen) {
    ycansim::UsbBench bench;
    std::vector<std::shared_ptr<ycansim::DeviceModel>> models;
    ycansim::VirtualDevice& fdA = plugIn<ycansim::VirtualCanFdAdapter>(bench, 43, 4, "FD43-0001", models);
    plugIn<ycansim::VirtualCanFdAdapter>(bench, 43, 7, "", models);
    plugIn<ycansim::VirtualUsbCanAdapter>(bench, 4, 2, "CL-77", models);
    plugIn<ycansim::VirtualRecorder>(bench, 61, 9, "REC 9", models);

    const auto fdOrder = ycantest::libusbOrder(fdA.layout().vendorId, fdA.layout().productId);
    ASSERT_EQ(fdOrder.size(), 2u);
    const uint32_t fdIndexA = fdOrder[0].second == fdA.deviceNumber() ? 0 : 1;
    ASSERT_EQ(YCAN_OpenDevice(43, 0), 1);
    ASSERT_EQ(YCAN_OpenDevice(43, 1), 1);
    ASSERT_EQ(YCAN_OpenDevice(4, 0), 1);
    ASSERT_EQ(YCAN_OpenDevice(61, 0), 1);

    Located a = locate(43, fdIndexA), b = locate(43, 1 - fdIndexA);
    EXPECT_EQ(a.result, 1);
    EXPECT_EQ(a.port, "1-4");
    EXPECT_EQ(a.serial, "FD43-0001");
    EXPECT_EQ(b.result, 1);
    EXPECT_EQ(b.port, "1-7");
    EXPECT_EQ(b.serial, "") << "an adapter without a serial number string";
    const Located classic = locate(4, 0), recorder = locate(61, 0);
    EXPECT_EQ(classic.port + " " + classic.serial, "1-2 CL-77");
    EXPECT_EQ(recorder.port + " " + recorder.serial, "1-9 REC 9");

    // Room for the text and its terminator, or nothing is written.
    char small[10];
    memset(small, 'x', sizeof small);
    EXPECT_EQ(YCAN_GetDeviceLocation(43, fdIndexA, nullptr, 0, small, 9), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    EXPECT_EQ(std::string(small, sizeof small), std::string(10, 'x'));
    EXPECT_EQ(YCAN_GetDeviceLocation(43, fdIndexA, nullptr, 0, small, 10), 1);
    EXPECT_STREQ(small, "FD43-0001");
    EXPECT_EQ(YCAN_GetDeviceLocation(43, fdIndexA, small, 3, nullptr, 0), 0) << "\"1-4\" needs 4 bytes";
    EXPECT_EQ(YCAN_GetDeviceLocation(43, fdIndexA, nullptr, 8, nullptr, 0), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    EXPECT_EQ(YCAN_GetDeviceLocation(43, fdIndexA, nullptr, 0, nullptr, 0), 1);

    // Away, it is still the adapter in port 4.
    bench.unplug(fdA);
    ASSERT_TRUE(eventually([&] { return YCAN_GetLinkState(43, fdIndexA, nullptr) == 0; }, 3s));
    a = locate(43, fdIndexA);
    EXPECT_EQ(a.port + " " + a.serial, "1-4 FD43-0001");

    for (const auto& [type, index] : {std::pair{43u, 0u}, {43u, 1u}, {4u, 0u}, {61u, 0u}})
        YCAN_CloseDevice(type, index);
    const Located closed = locate(43, 0);
    EXPECT_EQ(closed.result, 0);
    EXPECT_EQ(closed.error, YCAN_ERR_NOT_OPENED);
    EXPECT_EQ(locate(99, 0).error, YCAN_ERR_TYPE_NOT_SUPPORTED);
}
