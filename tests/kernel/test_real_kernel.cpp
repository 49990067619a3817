// The library against the real Linux USB stack: the virtual adapters are
// attached to the kernel through USB/IP (vhci-hcd), so every transfer goes
// through the kernel's usbfs, hub and host controller, as with an adapter on
// a cable. Runs as root in the test machine (tests/kernel/run-in-vm.sh);
// elsewhere every test fails, saying why.
//
// Counts and order only: the machine is emulated and slow, so time-outs are
// generous and no speed is asserted.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/canfd/canfd_adapter.h"
#include "sim/recorder/recorder_adapter.h"
#include "sim/usbcan/usbcan_adapter.h"
#include "sim/usbip/usbip_bus.h"
#include "tests/adapter_families.h"
#include "tests/eventually.h"
#include "ycan.h"

using namespace std::chrono_literals;
using ycantest::eventually;

namespace {

// Frame n of (channel, kind): its number in the first four data bytes, the
// channel and kind after it, the rest a pattern; identifiers cycle.
constexpr size_t kFdBytes = 64;

uint32_t idOf(uint32_t n) { return 0x100 + (n % 0x600); }

std::vector<uint8_t> payloadOf(uint32_t n, unsigned ch, bool fd) {
    std::vector<uint8_t> d(fd ? kFdBytes : 8);
    memcpy(d.data(), &n, 4);
    d[4] = static_cast<uint8_t>(ch);
    d[5] = fd ? 0xFD : 0xCC;
    for (size_t i = 6; i < d.size(); ++i) d[i] = static_cast<uint8_t>(n + i);
    return d;
}

// The number a frame carries when it is intact; -1 when it is not one of ours.
int64_t numberOf(uint32_t id, const uint8_t* data, size_t len, unsigned ch, bool fd) {
    if (len != (fd ? kFdBytes : 8)) return -1;
    uint32_t n;
    memcpy(&n, data, 4);
    if (id != idOf(n) || std::vector<uint8_t>(data, data + len) != payloadOf(n, ch, fd)) return -1;
    return n;
}

// Frame n of (channel, kind) as the application hands it to the library.
_YCAN_CAN_OBJ classicObj(uint32_t n, unsigned ch) {
    _YCAN_CAN_OBJ c{};
    c.ID = idOf(n);
    c.DataLen = 8;
    const auto p = payloadOf(n, ch, false);
    memcpy(c.Data, p.data(), 8);
    return c;
}

_YCAN_CANFD_OBJ fdObj(uint32_t n, unsigned ch) {
    _YCAN_CANFD_OBJ f{};
    f.ID = idOf(n);
    f.DataLen = kFdBytes;
    const auto p = payloadOf(n, ch, true);
    memcpy(f.Data, p.data(), kFdBytes);
    return f;
}

// Ticks (1/100 s) the library's receive threads spent on a CPU so far.
long receiveThreadTicks() {
    long ticks = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return -1;
    while (dirent* e = readdir(tasks)) {
        if (e->d_name[0] == '.') continue;
        const std::string dir = std::string("/proc/self/task/") + e->d_name;
        std::ifstream comm(dir + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name != "ycan-rx") continue;
        std::ifstream stat(dir + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // Fields after the command name (which may hold spaces): state is
        // field 3, utime 14, stime 15.
        std::istringstream rest(text.substr(text.rfind(')') + 2));
        std::string field;
        long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::stol(field);
            if (i == 15) stime = std::stol(field);
        }
        ticks += utime + stime;
    }
    closedir(tasks);
    return ticks;
}

class RealKernel : public ::testing::Test {
protected:
    void SetUp() override {
        try {
            bus = std::make_unique<ycansim::UsbipBus>();
        } catch (const std::exception& e) {
            FAIL() << e.what() << " (these tests run in the test machine: tests/kernel/run-in-vm.sh)";
        }
    }
    void TearDown() override {
        for (auto [type, index] : opened) YCAN_CloseDevice(type, index);
        bus.reset();
    }
    int open(uint32_t type, uint32_t index = 0) {
        opened.emplace_back(type, index);
        return YCAN_OpenDevice(type, index);
    }

    std::shared_ptr<ycansim::VirtualCanFdAdapter> canFd(ycansim::DeviceEndpoints*& dev) {
        auto m = std::make_shared<ycansim::VirtualCanFdAdapter>(43);
        dev = &bus->addDevice(ycansim::canFdLayout(43), m);
        return m;
    }

    std::unique_ptr<ycansim::UsbipBus> bus;
    std::vector<std::pair<uint32_t, uint32_t>> opened;
};

_YCAN_INITFD_CONFIG fdConfig() {
    _YCAN_INITFD_CONFIG c{};
    c.AbitBaudRate = 1000000;
    c.DbitBaudRate = 5000000;
    c.FdEnable = 1;
    return c;
}

_YCAN_INIT_CONFIG classicConfig() {
    _YCAN_INIT_CONFIG c{};
    c.AcceptMask = 0xFFFFFFFF;
    c.BusTiming0 = 0x00;
    c.BusTiming1 = 0x14;
    return c;
}

// Receives `want` frames of one kind on one channel (or stops after the
// time-out); their numbers in the order received.
std::vector<int64_t> receiveNumbers(uint32_t type, uint32_t index, unsigned ch, bool fd, size_t want) {
    std::vector<int64_t> got;
    eventually(
        [&] {
            if (fd) {
                _YCAN_CANFD_OBJ f[64];
                const int n = YCAN_ReceiveFD(type, index, ch, f, 64, 50);
                for (int i = 0; i < n; ++i)
                    got.push_back(numberOf(f[i].ID, f[i].Data, f[i].DataLen, ch, true));
            } else {
                _YCAN_CAN_OBJ f[64];
                const int n = YCAN_Receive(type, index, ch, f, 64, 50);
                for (int i = 0; i < n; ++i)
                    got.push_back(numberOf(f[i].ID, f[i].Data, f[i].DataLen, ch, false));
            }
            return got.size() >= want;
        },
        60s);
    return got;
}

std::vector<int64_t> upTo(size_t n) {
    std::vector<int64_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<int64_t>(i);
    return v;
}

}  // namespace

// 1,000 frames from the bus and 1,000 to it through a CAN FD adapter: classic
// and CAN FD frames on both channels, each stream complete and in order.
TEST_F(RealKernel, CanFdFramesBothWaysInOrder) {
    ycansim::DeviceEndpoints* dev = nullptr;
    auto model = canFd(dev);
    ASSERT_EQ(open(43), 1) << YCAN_GetLastErrorStr();
    for (unsigned ch = 0; ch < 2; ++ch) {
        _YCAN_INITFD_CONFIG c = fdConfig();
        ASSERT_EQ(YCAN_InitCANFD(43, 0, ch, &c), 1);
        ASSERT_EQ(YCAN_Start(43, 0, ch), 1);
    }
    constexpr uint32_t kPerStream = 250;  // 4 streams: 2 channels x classic/FD
    for (uint32_t n = 0; n < kPerStream; n += 25) {
        std::vector<ycansim::BusFrame> batch;
        for (uint32_t k = n; k < n + 25; ++k)
            for (unsigned ch = 0; ch < 2; ++ch)
                for (bool fd : {false, true}) {
                    ycansim::BusFrame f;
                    f.channel = ch;
                    f.flags = fd ? 0x01 : 0x00;
                    f.id = idOf(k);
                    f.dataLen = fd ? kFdBytes : 8;
                    f.timeTag = k;
                    f.data = payloadOf(k, ch, fd);
                    batch.push_back(f);
                }
        model->inject(*dev, batch);
    }
    for (unsigned ch = 0; ch < 2; ++ch)
        for (bool fd : {false, true})
            EXPECT_EQ(receiveNumbers(43, 0, ch, fd, kPerStream), upTo(kPerStream))
                << "from the bus, channel " << ch << (fd ? " CAN FD" : " classic");

    for (uint32_t k = 0; k < kPerStream; ++k) {
        for (unsigned ch = 0; ch < 2; ++ch) {
            _YCAN_CAN_OBJ c = classicObj(k, ch);
            ASSERT_EQ(YCAN_Transmit(43, 0, ch, &c, 1), 1) << "frame " << k;
            _YCAN_CANFD_OBJ f = fdObj(k, ch);
            ASSERT_EQ(YCAN_TransmitFD(43, 0, ch, &f, 1), 1) << "frame " << k;
        }
    }
    // A frame is on the bus once the adapter has taken it from its
    // transfer, which may be after the transfer completed.
    for (unsigned ch = 0; ch < 2; ++ch) {
        std::vector<int64_t> classic, fd;
        eventually(
            [&] {
                for (const ycansim::BusFrame& f : model->takeBusFrames(ch))
                    (f.fd() ? fd : classic)
                        .push_back(numberOf(f.id, f.data.data(), f.data.size(), ch, f.fd()));
                return classic.size() >= kPerStream && fd.size() >= kPerStream;
            },
            30s);
        EXPECT_EQ(classic, upTo(kPerStream)) << "to the bus, channel " << ch << " classic";
        EXPECT_EQ(fd, upTo(kPerStream)) << "to the bus, channel " << ch << " CAN FD";
    }
}

// The same through a classic adapter: 500 frames each way on each channel.
TEST_F(RealKernel, ClassicFramesBothWaysInOrder) {
    auto model = std::make_shared<ycansim::VirtualUsbCanAdapter>();
    ycansim::DeviceEndpoints& dev = bus->addDevice(ycansim::usbCanLayout(), model);
    ASSERT_EQ(open(4), 1) << YCAN_GetLastErrorStr();
    for (unsigned ch = 0; ch < 2; ++ch) {
        _YCAN_INIT_CONFIG c = classicConfig();
        ASSERT_EQ(YCAN_InitCAN(4, 0, ch, &c), 1);
        ASSERT_EQ(YCAN_Start(4, 0, ch), 1);
    }
    constexpr uint32_t kPerChannel = 500;
    for (uint32_t n = 0; n < kPerChannel; n += 50) {
        std::vector<ycansim::ClassicFrame> batch;
        for (uint32_t k = n; k < n + 50; ++k)
            for (unsigned ch = 0; ch < 2; ++ch) {
                ycansim::ClassicFrame f;
                f.channel = ch;
                f.id = idOf(k);
                f.dataLen = 8;
                f.data = payloadOf(k, ch, false);
                f.timeTag = k;
                batch.push_back(f);
            }
        model->inject(dev, batch);
    }
    for (unsigned ch = 0; ch < 2; ++ch)
        EXPECT_EQ(receiveNumbers(4, 0, ch, false, kPerChannel), upTo(kPerChannel))
            << "from the bus, channel " << ch;

    for (uint32_t k = 0; k < kPerChannel; ++k)
        for (unsigned ch = 0; ch < 2; ++ch) {
            _YCAN_CAN_OBJ c = classicObj(k, ch);
            ASSERT_EQ(YCAN_Transmit(4, 0, ch, &c, 1), 1) << "frame " << k;
        }
    for (unsigned ch = 0; ch < 2; ++ch) {
        std::vector<int64_t> sent;
        eventually(
            [&] {
                for (const ycansim::ClassicFrame& f : model->takeBusFrames(ch))
                    sent.push_back(numberOf(f.id, f.data.data(), f.data.size(), ch, false));
                return sent.size() >= kPerChannel;
            },
            30s);
        EXPECT_EQ(sent, upTo(kPerChannel)) << "to the bus, channel " << ch;
    }
}

// A recorder's settings and filter list, written and read back, per channel.
TEST_F(RealKernel, RecorderSettingsAndFilterList) {
    auto model = std::make_shared<ycansim::VirtualRecorder>();
    bus->addDevice(ycansim::recorderLayout(61), model);
    ASSERT_EQ(open(61), 1) << YCAN_GetLastErrorStr();
    for (uint32_t ch = 0; ch < 2; ++ch) {
        _YCAN_RECORD_CONFIG c{};
        c.RecordFlag = 1;
        c.OptionA = 1;
        c.AbitClock = 60;
        c.DbitClock = 60;
        c.AbitTiming = 0x01400106u + ch;
        c.DbitTiming = 0x00020005u;
        ASSERT_EQ(YCAN_RecordSettingSet(61, 0, ch, &c), 1);
        _YCAN_RECORD_CONFIG back{};
        ASSERT_EQ(YCAN_RecordSettingGet(61, 0, ch, &back), 1);
        EXPECT_EQ(back.RecordFlag, 1);
        EXPECT_EQ(back.OptionA, 1);
        EXPECT_EQ(back.AbitClock, 60);
        EXPECT_EQ(back.AbitTiming, c.AbitTiming);
        EXPECT_EQ(back.DbitTiming, c.DbitTiming);

        ASSERT_EQ(YCAN_RecordFliterClr(61, 0, ch), 1);
        for (uint32_t k = 0; k < 3; ++k) {
            _YCAN_FLITER_CONFIG f{};
            f.FilterKind = k == 2 ? 1 : 0;
            f.StartId = 0x100 * (k + 1) + ch;
            f.EndId = f.StartId + 0x10;
            ASSERT_EQ(YCAN_RecordFliterAdd(61, 0, ch, &f), 1);
        }
        ASSERT_EQ(YCAN_RecordFliterEnable(61, 0, ch), 1);
        _YCAN_FLITER_INFO info{};
        ASSERT_EQ(YCAN_RecordFliterInfoGet(61, 0, ch, &info), 1);
        EXPECT_EQ(info.FilterCount, 3);
        EXPECT_EQ(info.FilterState, 1);
        for (uint32_t k = 0; k < 3; ++k) {
            _YCAN_FLITER_CONFIG e{};
            ASSERT_EQ(YCAN_RecordFliterSettingGet(61, 0, ch, k, &e), 1);
            EXPECT_EQ(e.StartId, 0x100 * (k + 1) + ch);
            EXPECT_EQ(e.EndId, e.StartId + 0x10);
            EXPECT_EQ(e.FilterKind, k == 2 ? 1 : 0);
        }
    }
    EXPECT_EQ(model->filters(0).size(), 3u);
    EXPECT_EQ(model->filters(1).size(), 3u);
}

// Unplugged while frames flow and plugged back, ten times: the link is seen
// lost and restored every time, nothing arrives twice or damaged, frames
// flow after each return, and the receive thread rests while the adapter is
// away. The recorder, which has no receive thread, fails its commands while
// away and is opened again after.
class RealKernelUnplug : public RealKernel, public ::testing::WithParamInterface<const char*> {};

TEST_P(RealKernelUnplug, TenCyclesDuringTraffic) {
    auto fam = ycantest::makeFamily(GetParam());
    fam->attach(*bus);
    opened.emplace_back(fam->type(), 0);
    ASSERT_TRUE(fam->ready()) << YCAN_GetLastErrorStr();
    const uint32_t type = fam->type();

    std::atomic<bool> running{true};
    std::atomic<int> corrupted{0}, duplicated{0}, received{0};
    std::thread receiver;
    if (fam->carriesFrames()) {
        receiver = std::thread([&] {
            int64_t last = -1;
            while (running) {
                _YCAN_CAN_OBJ f[32];
                const int n = YCAN_Receive(type, 0, 0, f, 32, 20);
                for (int i = 0; i < n; ++i) {
                    const int64_t k = ycantest::frameNumber(f[i]);
                    if (k < 0)
                        ++corrupted;
                    else if (k <= last)
                        ++duplicated;
                    else
                        last = k;
                    ++received;
                }
            }
        });
    }
    long idleTicks = 0;
    double awaySeconds = 0;
    uint32_t next = 0;
    constexpr int kCycles = 10;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        // Frames flow, then the adapter is pulled out in the middle of them.
        if (fam->carriesFrames()) {
            const int before = received.load();
            for (int i = 0; i < 20; ++i) fam->inject(next++);
            ASSERT_TRUE(eventually([&] { return received.load() >= before + 20; }, 30s)) << "cycle " << cycle;
            for (int i = 0; i < 20; ++i) fam->inject(next++);
        } else {
            ASSERT_TRUE(fam->command()) << "cycle " << cycle;
        }
        bus->unplug(*fam->endpoints);
        if (fam->carriesFrames()) {
            ASSERT_TRUE(eventually([&] { return YCAN_GetLinkState(type, 0, nullptr) == 0; }, 30s))
                << "cycle " << cycle << ": the link was not seen lost";
            const long before = receiveThreadTicks();
            const auto from = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(1s);
            idleTicks += receiveThreadTicks() - before;
            awaySeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
        } else {
            EXPECT_FALSE(fam->command()) << "cycle " << cycle << ": a command worked while unplugged";
            EXPECT_EQ(YCAN_GetLinkState(type, 0, nullptr), 0) << "cycle " << cycle;
        }
        bus->replug(*fam->endpoints);
        if (fam->carriesFrames()) {
            ASSERT_TRUE(eventually([&] { return YCAN_GetLinkState(type, 0, nullptr) == 1; }, 60s))
                << "cycle " << cycle << ": the link was not restored";
        } else {
            // The recorder has no thread that restores it: its owner opens
            // it again.
            YCAN_CloseDevice(type, 0);
            ASSERT_TRUE(eventually([&] { return fam->ready(); }, 30s)) << "cycle " << cycle;
            EXPECT_TRUE(fam->command()) << "cycle " << cycle;
            EXPECT_EQ(YCAN_GetLinkState(type, 0, nullptr), 1) << "cycle " << cycle;
        }
    }
    if (fam->carriesFrames()) {
        uint32_t losses = 0;
        EXPECT_EQ(YCAN_GetLinkState(type, 0, &losses), 1);
        EXPECT_EQ(losses, static_cast<uint32_t>(kCycles));
        // After the last return frames still flow.
        const int before = received.load();
        for (int i = 0; i < 20; ++i) fam->inject(next++);
        EXPECT_TRUE(eventually([&] { return received.load() >= before + 20; }, 30s));
        running = false;
        receiver.join();
        EXPECT_EQ(corrupted.load(), 0);
        EXPECT_EQ(duplicated.load(), 0);
        // A thread that kept polling while the adapter was away would have
        // used most of a CPU; one that waits, next to none.
        std::printf(
            "[ kernel ] %s: %d cycles, %d frames received, receive threads %.0f%% of a CPU while away\n",
            GetParam(), kCycles, received.load(), 100.0 * idleTicks / 100.0 / awaySeconds);
        EXPECT_LT(idleTicks / 100.0, 0.25 * awaySeconds)
            << "the receive thread did not rest while the adapter was away";
    }
}

INSTANTIATE_TEST_SUITE_P(Families, RealKernelUnplug, ::testing::Values("canfd", "classic", "recorder"),
                         [](const auto& param) { return std::string(param.param); });

// Two adapters of one type: the first one pulled out and plugged back is
// restored onto itself, and the other one carries on untouched throughout.
TEST_F(RealKernel, SecondAdapterOfATypeIsUntouched) {
    ycansim::DeviceEndpoints* devA = nullptr;
    ycansim::DeviceEndpoints* devB = nullptr;
    auto a = canFd(devA);
    auto b = canFd(devB);
    ASSERT_EQ(open(43, 0), 1) << YCAN_GetLastErrorStr();
    ASSERT_EQ(open(43, 1), 1) << YCAN_GetLastErrorStr();
    for (uint32_t index = 0; index < 2; ++index) {
        _YCAN_INITFD_CONFIG c = fdConfig();
        ASSERT_EQ(YCAN_InitCANFD(43, index, 0, &c), 1);
        ASSERT_EQ(YCAN_Start(43, index, 0), 1);
    }
    // Which index is which adapter: a frame from A's bus tells.
    auto injectOn = [](ycansim::VirtualCanFdAdapter& m, ycansim::DeviceEndpoints& d, uint32_t n) {
        ycansim::BusFrame f;
        f.id = idOf(n);
        f.dataLen = 8;
        f.data = payloadOf(n, 0, false);
        m.inject(d, {f});
    };
    injectOn(*a, *devA, 7);
    int indexOfA = -1;
    ASSERT_TRUE(eventually(
        [&] {
            for (uint32_t index = 0; index < 2; ++index) {
                _YCAN_CAN_OBJ f[4];
                if (YCAN_Receive(43, index, 0, f, 4, 10) == 1 &&
                    numberOf(f[0].ID, f[0].Data, 8, 0, false) == 7)
                    indexOfA = static_cast<int>(index);
            }
            return indexOfA >= 0;
        },
        60s));
    const auto indexA = static_cast<uint32_t>(indexOfA);
    const uint32_t indexB = 1 - indexA;

    bus->unplug(*devA);
    ASSERT_TRUE(eventually([&] { return YCAN_GetLinkState(43, indexA, nullptr) == 0; }, 30s));
    // B is left alone: its frames flow while A is away.
    for (uint32_t n = 100; n < 150; ++n) injectOn(*b, *devB, n);
    std::vector<int64_t> want;
    for (int64_t n = 100; n < 150; ++n) want.push_back(n);
    EXPECT_EQ(receiveNumbers(43, indexB, 0, false, 50), want);
    bus->replug(*devA);
    ASSERT_TRUE(eventually([&] { return YCAN_GetLinkState(43, indexA, nullptr) == 1; }, 60s));

    // A is back on its own index, and B never lost its link.
    injectOn(*a, *devA, 200);
    EXPECT_EQ(receiveNumbers(43, indexA, 0, false, 1), std::vector<int64_t>{200});
    injectOn(*b, *devB, 201);
    EXPECT_EQ(receiveNumbers(43, indexB, 0, false, 1), std::vector<int64_t>{201});
    uint32_t lossesB = 5;
    EXPECT_EQ(YCAN_GetLinkState(43, indexB, &lossesB), 1);
    EXPECT_EQ(lossesB, 0u);
    EXPECT_GE(b->channel(0).starts, 1);
    EXPECT_EQ(b->channel(0).stops, 0) << "the adapter left alone was stopped";
}
