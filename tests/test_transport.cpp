// The USB transport against virtual devices on the bench: real libusb, real
// usbfs ioctls, emulated device underneath.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <libusb.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <set>
#include <thread>

#include "bench_helpers.h"
#include "eventually.h"
#include "sim/bench/child_process.h"
#include "sim/bench/usb_bench.h"
#include "test_support.h"
#include "transport/QUserLibUsb.h"

using namespace std::chrono_literals;
using ycansim::DeviceLayout;
using ycansim::EndpointType;
using ycansim::UsbBench;
using ycansim::UsbEvent;
using ycansim::VirtualDevice;
using ycantest::countOf;
using ycantest::StreamCapture;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint16_t kVid = 0x1234;
constexpr uint16_t kPid = 0x5678;

DeviceLayout testLayout() {
    DeviceLayout layout;
    layout.vendorId = kVid;
    layout.productId = kPid;
    layout.endpoints = {{0x01, EndpointType::Interrupt, 64},
                        {0x81, EndpointType::Interrupt, 64},
                        {0x02, EndpointType::Bulk, 512},
                        {0x82, EndpointType::Bulk, 512},
                        {0x83, EndpointType::Bulk, 512}};
    return layout;
}

// Sends back whatever it receives: 0x01 -> 0x81, 0x02 -> 0x82.
class EchoModel : public ycansim::DeviceModel {
public:
    void onOut(ycansim::DeviceEndpoints& dev, uint8_t ep, const Bytes& data) override {
        if (silent) return;
        dev.pushIn(static_cast<uint8_t>(ep | 0x80), data);
    }
    std::atomic<bool> silent{false};
};

std::vector<std::pair<int, int>> libusbOrder() { return ycantest::libusbOrder(kVid, kPid); }

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Whether the process's main thread waits in poll(): libusb waiting for its
// transfers, outside any ioctl.
bool waitingInPoll(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    in >> number;
    return number == SYS_poll;
}

class Transport : public ::testing::Test {
protected:
    VirtualDevice& addEcho() { return bench.addDevice(testLayout(), echo); }
    // Opens index 0 with a fresh transport.
    QUserLibUsb& openFirst() {
        usb = std::make_unique<QUserLibUsb>();
        EXPECT_EQ(usb->OpenUSBDevice(kVid, kPid, 0), 1);
        return *usb;
    }
    // A bulk read on 0x82 of u, pending in the device by the time this returns.
    std::future<int> pendingRead(QUserLibUsb& u, VirtualDevice& dev, unsigned timeoutMs) {
        auto reader = std::async(std::launch::async, [&u, timeoutMs] {
            uint8_t buf[512];
            return u.bulkReadUSBDevice(buf, sizeof buf, 0x82, timeoutMs);
        });
        EXPECT_TRUE(dev.waitPendingIn(0x82, 1, 2s));
        return reader;
    }
    int resetsOn(const VirtualDevice& dev) {
        return static_cast<int>(bench.capture().select(dev.id(), UsbEvent::Reset).size());
    }

    UsbBench bench;
    std::shared_ptr<EchoModel> echo = std::make_shared<EchoModel>();
    // Destroyed before the bench: libusb must be gone before the testbed.
    std::unique_ptr<QUserLibUsb> usb;
};

}  // namespace

TEST_F(Transport, IndexSelectsInListOrderAndAbsenceIsLoggedOnce) {
    VirtualDevice& a = addEcho();
    VirtualDevice& b = addEcho();
    auto order = libusbOrder();
    ASSERT_EQ(order.size(), 2u);
    VirtualDevice& first = order[0].second == a.deviceNumber() ? a : b;
    VirtualDevice& second = &first == &a ? b : a;
    ASSERT_EQ(order[1].second, second.deviceNumber());
    // The bench documents this order: libusb lists the newest device first.
    EXPECT_EQ(&first, &b);

    {
        StreamCapture out(1);
        QUserLibUsb u0;
        ASSERT_EQ(u0.OpenUSBDevice(kVid, kPid, 0), 1);
        EXPECT_EQ(u0.GetUSBDeviceLinkStatus(), 1);
        EXPECT_EQ(resetsOn(first), 1);  // opening resets the device
        EXPECT_EQ(resetsOn(second), 0);
        QUserLibUsb u1;
        ASSERT_EQ(u1.OpenUSBDevice(kVid, kPid, 1), 1);
        EXPECT_EQ(resetsOn(second), 1);
        std::string text = out.text();
        EXPECT_NE(text.find("[INFO ] YORV Tip:USB Device<0> Link...\n"), std::string::npos) << text;
        EXPECT_NE(text.find("[INFO ] YORV Tip:USB Device<1> Link...\n"), std::string::npos) << text;
    }

    StreamCapture out(1);
    QUserLibUsb u2;
    EXPECT_EQ(u2.OpenUSBDevice(kVid, kPid, 2), 0);
    EXPECT_EQ(u2.OpenUSBDevice(kVid, kPid, 2), 0);
    EXPECT_EQ(u2.OpenUSBDevice(kVid, kPid, -1), 0);
    EXPECT_EQ(u2.GetUSBDeviceLinkStatus(), 0);
    std::string text = out.text();
    EXPECT_EQ(countOf(text, "[ERROR] YORV Tip:USB Device<1234:5678:2> Not Exist...\n"), 1u) << text;
    EXPECT_EQ(countOf(text, "Not Exist"), 1u) << text;
}

TEST_F(Transport, OnlyTheFirst63MatchingDevicesCanBeSelected) {
    std::vector<VirtualDevice*> devs;
    for (int i = 0; i < 64; ++i) devs.push_back(&addEcho());
    ASSERT_EQ(libusbOrder().size(), 64u);
    QUserLibUsb u;
    EXPECT_EQ(u.OpenUSBDevice(kVid, kPid, 63), 0);
    EXPECT_EQ(u.OpenUSBDevice(kVid, kPid, 62), 1);
    u.CloseUSBDevice();
}

// A device plugged in and out all day, beside another that stays: its
// numbers wrap like the kernel's (2..127, never one in use) and it can still
// be found and opened after every wrap.
TEST_F(Transport, DeviceNumbersWrapAndAReplugKeepsItOpenable) {
    VirtualDevice& staying = addEcho();
    VirtualDevice& dev = addEcho();
    std::set<int> seen;
    for (int cycle = 1; cycle <= 300; ++cycle) {
        bench.replug(dev);
        const int n = dev.deviceNumber();
        ASSERT_GE(n, 2);
        ASSERT_LE(n, 127);
        ASSERT_NE(n, staying.deviceNumber());
        seen.insert(n);
        if (cycle % 100 != 0) continue;
        QUserLibUsb u;
        ASSERT_EQ(libusbOrder().size(), 2u) << "cycle " << cycle;
        for (int index = 0; index < 2; ++index) {
            ASSERT_EQ(u.OpenUSBDevice(kVid, kPid, index), 1) << "cycle " << cycle;
            uint8_t cmd[2] = {0x55, static_cast<uint8_t>(index)}, reply[8] = {};
            EXPECT_EQ(u.WriteUSBDevice(cmd, 2, 0x01, 100), 2);
            EXPECT_EQ(u.ReadUSBDevice(reply, sizeof reply, 0x81, 500), 2);
            u.CloseUSBDevice();
        }
    }
    EXPECT_EQ(seen.size(), 125u);  // every number but the root hub's and the other device's
}

TEST_F(Transport, InterruptAndBulkRoundTrips) {
    VirtualDevice& dev = addEcho();
    QUserLibUsb& u = openFirst();
    Bytes cmd = {0x55, 0x01, 0x02, 0x03};
    EXPECT_EQ(u.WriteUSBDevice(cmd.data(), 4, 0x01, 100), 4);
    uint8_t reply[64] = {};
    ASSERT_EQ(u.ReadUSBDevice(reply, sizeof reply, 0x81, 500), 4);
    EXPECT_EQ(Bytes(reply, reply + 4), cmd);

    Bytes block(4096);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 31);
    EXPECT_EQ(u.bulkWriteUSBDevice(block.data(), 4096, 0x02, 1000), 4096);
    Bytes in(4096);
    ASSERT_EQ(u.bulkReadUSBDevice(in.data(), 4096, 0x82, 1000), 4096);
    EXPECT_EQ(in, block);

    auto outs = bench.capture().select(dev.id(), UsbEvent::Out);
    ASSERT_EQ(outs.size(), 2u);
    EXPECT_EQ(outs[0].endpoint, 0x01);
    EXPECT_EQ(outs[0].data, cmd);
    EXPECT_EQ(outs[1].endpoint, 0x02);
    EXPECT_EQ(bench.capture().select(dev.id(), UsbEvent::In, 0x82)[0].data, block);
}

TEST_F(Transport, DeviceBuffersChunksInOrderAndSplitsLongOnes) {
    VirtualDevice& dev = addEcho();
    QUserLibUsb& u = openFirst();
    dev.pushIn(0x83, {1, 2, 3});
    dev.pushIn(0x83, Bytes(100, 7));
    uint8_t buf[64];
    ASSERT_EQ(u.bulkReadUSBDevice(buf, 64, 0x83, 500), 3);
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{1, 2, 3}));
    ASSERT_EQ(u.bulkReadUSBDevice(buf, 64, 0x83, 500), 64);
    ASSERT_EQ(u.bulkReadUSBDevice(buf, 64, 0x83, 500), 36);
    EXPECT_EQ(dev.queuedIn(0x83), 0);
}

TEST_F(Transport, PendingReadCompletesWhenDataArrivesLater) {
    VirtualDevice& dev = addEcho();
    QUserLibUsb& u = openFirst();
    auto start = std::chrono::steady_clock::now();
    auto reader = std::async(std::launch::async, [&] {
        uint8_t buf[64];
        int n = u.ReadUSBDevice(buf, sizeof buf, 0x81, 5000);
        return std::make_pair(n, Bytes(buf, buf + std::max(n, 0)));
    });
    ASSERT_TRUE(dev.waitPendingIn(0x81, 1, 2s));
    std::this_thread::sleep_for(50ms);
    dev.pushIn(0x81, {0xAA, 0xBB});
    auto [n, data] = reader.get();
    EXPECT_EQ(n, 2);
    EXPECT_EQ(data, (Bytes{0xAA, 0xBB}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

TEST_F(Transport, ReadTimeoutIsDiscardedAndNotLogged) {
    VirtualDevice& dev = addEcho();
    QUserLibUsb& u = openFirst();
    uint8_t buf[64];
    StreamCapture out(1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(u.ReadUSBDevice(buf, sizeof buf, 0x81, 60), LIBUSB_ERROR_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 55ms);
    EXPECT_EQ(u.bulkReadUSBDevice(buf, sizeof buf, 0x82, 30), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(out.text(), "");
    // libusb cancelled both transfers when their time ran out.
    EXPECT_EQ(bench.capture().select(dev.id(), UsbEvent::Discard).size(), 2u);
    EXPECT_EQ(dev.pendingIn(0x81), 0);
    // The endpoint still works afterwards.
    dev.pushIn(0x81, {9});
    EXPECT_EQ(u.ReadUSBDevice(buf, sizeof buf, 0x81, 500), 1);
}

TEST_F(Transport, DroppedAndDelayedReplies) {
    VirtualDevice& dev = addEcho();
    QUserLibUsb& u = openFirst();
    uint8_t cmd[2] = {1, 2};
    uint8_t buf[64];
    dev.dropNextIn(0x81);
    u.WriteUSBDevice(cmd, 2, 0x01, 100);
    EXPECT_EQ(u.ReadUSBDevice(buf, sizeof buf, 0x81, 100), LIBUSB_ERROR_TIMEOUT);

    dev.delayNextIn(0x81, 150ms);
    auto start = std::chrono::steady_clock::now();
    u.WriteUSBDevice(cmd, 2, 0x01, 100);
    EXPECT_EQ(u.ReadUSBDevice(buf, sizeof buf, 0x81, 2000), 2);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 140ms);
}

TEST_F(Transport, ReadFailuresLogOncePerDistinctCode) {
    VirtualDevice& dev = addEcho();
    QUserLibUsb& u = openFirst();
    uint8_t buf[64];
    StreamCapture out(1);
    dev.stall(0x81);
    EXPECT_EQ(u.ReadUSBDevice(buf, sizeof buf, 0x81, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(u.ReadUSBDevice(buf, sizeof buf, 0x81, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(u.resetUSBEp(0x81), 0);
    EXPECT_FALSE(dev.halted(0x81));
    EXPECT_EQ(u.ReadUSBDevice(buf, sizeof buf, 0x81, 30), LIBUSB_ERROR_TIMEOUT);
    dev.stall(0x82);
    EXPECT_EQ(u.bulkReadUSBDevice(buf, sizeof buf, 0x82, 100), LIBUSB_ERROR_PIPE);
    std::string text = out.text();
    EXPECT_EQ(countOf(text, "[WARN ] line:441 ep:81 read fail,ret=-9 "), 1u) << text;
    EXPECT_EQ(countOf(text, "[WARN ] line:487 ep:82 bulk read fail,ret=-9 "), 1u) << text;
    EXPECT_EQ(countOf(text, "\n"), 2u) << text;
    // The link stays up: only a vanished device takes it down.
    EXPECT_EQ(u.GetUSBDeviceLinkStatus(), 1);
}

TEST_F(Transport, WriteFailuresLogOncePerEndpointInARow) {
    VirtualDevice& dev = addEcho();
    QUserLibUsb& u = openFirst();
    uint8_t data[8] = {};
    StreamCapture out(1);
    dev.stall(0x01);
    dev.stall(0x02);
    EXPECT_EQ(u.WriteUSBDevice(data, 8, 0x01, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(u.WriteUSBDevice(data, 8, 0x01, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(u.bulkWriteUSBDevice(data, 6, 0x02, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(u.WriteUSBDevice(data, 8, 0x01, 100), LIBUSB_ERROR_PIPE);
    std::string text = out.text();
    EXPECT_EQ(countOf(text, "[WARN ] line:361 ep:01 write 8byte fail,ret=-9 "), 2u) << text;
    EXPECT_EQ(countOf(text, "[WARN ] line:401 ep:02 bulk write 6byte fail,ret=-9 "), 1u) << text;
    EXPECT_EQ(countOf(text, "\n"), 3u) << text;
}

TEST_F(Transport, CloseClearsHaltsOfUsedEndpointsReadBeforeWrite) {
    VirtualDevice& dev = addEcho();
    QUserLibUsb& u = openFirst();
    uint8_t buf[512] = {1};
    u.bulkWriteUSBDevice(buf, 8, 0x02, 100);
    u.bulkReadUSBDevice(buf, sizeof buf, 0x82, 200);
    u.WriteUSBDevice(buf, 8, 0x01, 100);
    u.ReadUSBDevice(buf, 64, 0x81, 200);
    bench.capture().clear();
    EXPECT_EQ(u.CloseUSBDevice(), 1);

    std::vector<std::string> seen;
    for (auto& t : bench.capture().all()) {
        if (t.device != dev.id()) continue;
        char line[32];
        snprintf(line, sizeof line, "%s %02x %d", toString(t.kind), t.endpoint, t.status);
        seen.push_back(line);
    }
    // libusb lets go of the interface around the reset and claims it again;
    // the close then hands it back.
    EXPECT_EQ(seen, (std::vector<std::string>{"CLEAR_HALT 81 0", "CLEAR_HALT 01 0", "CLEAR_HALT 82 0",
                                              "CLEAR_HALT 02 0", "RELEASE 00 0", "RESET 00 0", "CLAIM 00 0",
                                              "RELEASE 00 0"}));
    EXPECT_EQ(u.CloseUSBDevice(), 1);  // already closed: nothing more

    // The table starts empty again after a close.
    ASSERT_EQ(u.OpenUSBDevice(kVid, kPid, 0), 1);
    bench.capture().clear();
    u.CloseUSBDevice();
    EXPECT_TRUE(bench.capture().select(dev.id(), UsbEvent::ClearHalt).empty());
    EXPECT_EQ(bench.capture().select(dev.id(), UsbEvent::Reset).size(), 1u);
}

TEST_F(Transport, ClosedTransportMovesNothing) {
    VirtualDevice& dev = addEcho();
    QUserLibUsb u;
    uint8_t buf[8] = {};
    EXPECT_EQ(u.WriteUSBDevice(buf, 8, 0x01, 100), -1);
    EXPECT_EQ(u.bulkWriteUSBDevice(buf, 8, 0x02, 100), -1);
    EXPECT_EQ(u.ReadUSBDevice(buf, 8, 0x81, 100), 0);
    EXPECT_EQ(u.bulkReadUSBDevice(buf, 8, 0x82, 100), 0);
    EXPECT_EQ(u.resetUSBEp(0x81), 0);
    EXPECT_EQ(u.CloseUSBDevice(), 1);
    EXPECT_EQ(u.GetUSBDeviceLinkStatus(), 0);
    EXPECT_TRUE(bench.capture().all().empty());
    (void)dev;
}

TEST_F(Transport, UnplugDuringReadThenReplugAndRestart) {
    VirtualDevice& dev = addEcho();
    QUserLibUsb& u = openFirst();
    const int firstDevnum = dev.deviceNumber();
    StreamCapture out(1);
    auto reader = pendingRead(u, dev, 5000);
    bench.unplug(dev);
    // As on a real host controller: the read in flight ends with an I/O
    // error, which does not yet say the device is gone; the next transfer does.
    EXPECT_EQ(reader.get(), LIBUSB_ERROR_IO);
    EXPECT_EQ(u.GetUSBDeviceLinkStatus(), 1);

    uint8_t buf[64];
    EXPECT_EQ(u.bulkReadUSBDevice(buf, sizeof buf, 0x82, 100), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(u.GetUSBDeviceLinkStatus(), 0);
    EXPECT_EQ(u.WriteUSBDevice(buf, 4, 0x01, 100), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(u.ReadUSBDevice(buf, sizeof buf, 0x81, 100), LIBUSB_ERROR_NO_DEVICE);

    // Still away: the restart finds nothing.
    EXPECT_EQ(u.RestartUSBDevice(), 1);
    EXPECT_EQ(u.GetUSBDeviceLinkStatus(), 0);

    bench.replug(dev);
    EXPECT_NE(dev.deviceNumber(), firstDevnum);
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(u.RestartUSBDevice(), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 100ms);
    EXPECT_EQ(u.GetUSBDeviceLinkStatus(), 1);
    std::string text = out.text();
    EXPECT_EQ(countOf(text, "[WARN ] USB Device<0> DisLink...\n"), 1u) << text;
    EXPECT_EQ(countOf(text, "line:487 ep:82 bulk read fail,ret=-1 "), 1u) << text;
    EXPECT_EQ(countOf(text, "line:487 ep:82 bulk read fail,ret=-4 "), 1u) << text;
    EXPECT_EQ(countOf(text, "line:441 ep:81 read fail,ret=-4 "), 0u) << text;
    EXPECT_EQ(countOf(text, "line:361 ep:01 write 4byte fail,ret=-4 "), 1u) << text;
    // Reads already left -4 behind, so the failed reopen adds no "Not Exist" line.
    EXPECT_EQ(countOf(text, "Not Exist..."), 0u) << text;
    EXPECT_EQ(countOf(text, "[INFO ] YORV Tip:USB Device<0> Link...\n"), 1u) << text;

    uint8_t cmd[3] = {4, 5, 6};
    EXPECT_EQ(u.WriteUSBDevice(cmd, 3, 0x01, 100), 3);
    EXPECT_EQ(u.ReadUSBDevice(buf, sizeof buf, 0x81, 500), 3);
}

// One program per adapter: a second open of an adapter in use claims
// nothing, writes nothing and leaves the first's transfers alone.
TEST_F(Transport, AnAdapterOpenElsewhereInTheProgramIsLeftUntouched) {
    VirtualDevice& dev = addEcho();
    QUserLibUsb& first = openFirst();
    auto reader = pendingRead(first, dev, 5000);
    bench.capture().clear();
    {
        StreamCapture out(1);
        QUserLibUsb second;
        EXPECT_EQ(second.OpenUSBDevice(kVid, kPid, 0), 0);
        EXPECT_TRUE(second.busy());
        EXPECT_EQ(second.GetUSBDeviceLinkStatus(), 0);
        EXPECT_EQ(
            countOf(out.text(), "[ERROR] YORV Tip:USB Device<1234:5678:0> is already open in this program\n"),
            1u);
    }
    auto seen = bench.capture().all();
    ASSERT_EQ(seen.size(), 1u) << (seen.empty() ? std::string() : describe(seen.back()));
    EXPECT_EQ(seen[0].kind, UsbEvent::Claim);
    EXPECT_EQ(seen[0].status, -EBUSY);

    dev.pushIn(0x82, {1, 2, 3});
    EXPECT_EQ(reader.get(), 3);
    EXPECT_EQ(first.GetUSBDeviceLinkStatus(), 1);

    // Opening again what a transport holds hands it back first: not busy.
    EXPECT_EQ(first.OpenUSBDevice(kVid, kPid, 0), 1);
    uint8_t cmd[2] = {0x55, 1}, reply[8];
    EXPECT_EQ(first.WriteUSBDevice(cmd, 2, 0x01, 100), 2);
    EXPECT_EQ(first.ReadUSBDevice(reply, sizeof reply, 0x81, 500), 2);

    // Once the first lets go, the adapter can be had again.
    first.CloseUSBDevice();
    QUserLibUsb second;
    EXPECT_EQ(second.OpenUSBDevice(kVid, kPid, 0), 1);
    EXPECT_FALSE(second.busy());
}

TEST_F(Transport, AnotherProgramsAdapterIsRefusedNamingItsHolder) {
    VirtualDevice& dev = addEcho();
    ycansim::ChildProcess holder({YCAN_CHILD_PROBE, "hold"});
    ASSERT_TRUE(holder.waitForOutput("probe: holding", 20s)) << holder.output();
    bench.capture().clear();
    {
        StreamCapture out(1);
        QUserLibUsb u;
        EXPECT_EQ(u.OpenUSBDevice(kVid, kPid, 0), 0);
        EXPECT_TRUE(u.busy());
        const std::string text = out.text();
        // /proc/PID/comm holds the first 15 characters of the name.
        EXPECT_NE(text.find("[ERROR] YORV Tip:USB Device<1234:5678:0> is in use by another program (pid " +
                            std::to_string(holder.pid()) + ", bench_child_pro)\n"),
                  std::string::npos)
            << text;
    }
    // Besides the holder's own reads (a read that times out is discarded),
    // only the refused claim reached the device.
    std::vector<ycansim::UsbTransfer> seen;
    for (auto& t : bench.capture().all())
        if (t.kind != UsbEvent::Discard) seen.push_back(t);
    ASSERT_EQ(seen.size(), 1u) << (seen.empty() ? std::string() : describe(seen.back()));
    EXPECT_EQ(seen[0].kind, UsbEvent::Claim);
    EXPECT_EQ(seen[0].status, -EBUSY);

    // The holder kept its adapter and its reads.
    dev.pushIn(0x82, Bytes(100, 0x5A));
    EXPECT_TRUE(holder.waitForOutput("probe: read 100 bytes", 10s)) << holder.output();

    // A holder that dies lets go of it with its open files. (Killed while
    // it waits for data: the emulation cannot tell a process killed inside
    // an ioctl from one that is still there.)
    ASSERT_TRUE(dev.waitPendingIn(0x82, 1, 2s));
    ASSERT_TRUE(ycantest::eventually([&] { return waitingInPoll(holder.pid()); }, 10s));
    EXPECT_EQ(holder.stop(SIGKILL, 5s), 128 + SIGKILL);
    QUserLibUsb u;
    EXPECT_EQ(u.OpenUSBDevice(kVid, kPid, 0), 1);
}

// With two adapters of one kind, a restart never takes the other one, which
// now stands first in the list, nor its own adapter come back in another
// port: only the adapter back at its own port.
TEST_F(Transport, RestartTakesOnlyTheAdapterBackAtItsOwnPort) {
    VirtualDevice& a = addEcho();
    VirtualDevice& b = addEcho();
    QUserLibUsb& u = openFirst();
    auto order = libusbOrder();
    ASSERT_EQ(order.size(), 2u);
    VirtualDevice& mine = order[0].second == a.deviceNumber() ? a : b;
    VirtualDevice& other = &mine == &a ? b : a;
    const int home = mine.portNumber();
    EXPECT_EQ(u.location().bus, 1);
    EXPECT_EQ(u.location().ports, std::vector<uint8_t>{static_cast<uint8_t>(home)});

    bench.unplug(mine);
    uint8_t buf[64];
    EXPECT_EQ(u.bulkReadUSBDevice(buf, sizeof buf, 0x82, 100), LIBUSB_ERROR_NO_DEVICE);
    bench.capture().clear();
    StreamCapture out(1);
    u.RestartUSBDevice();
    EXPECT_EQ(u.GetUSBDeviceLinkStatus(), 0);
    EXPECT_TRUE(bench.capture().select(other.id(), UsbEvent::Claim).empty());
    EXPECT_TRUE(bench.capture().select(other.id(), UsbEvent::Reset).empty());

    bench.replug(mine, {.port = home + 10});
    u.RestartUSBDevice();
    EXPECT_EQ(u.GetUSBDeviceLinkStatus(), 0);
    EXPECT_TRUE(bench.capture().select(mine.id(), UsbEvent::Claim).empty());

    bench.replug(mine, {.port = home});
    u.RestartUSBDevice();
    EXPECT_EQ(u.GetUSBDeviceLinkStatus(), 1);
    EXPECT_EQ(bench.capture().select(mine.id(), UsbEvent::Reset).size(), 1u);
    EXPECT_TRUE(bench.capture().select(other.id(), UsbEvent::Claim).empty());
    uint8_t cmd[3] = {7, 8, 9};
    EXPECT_EQ(u.WriteUSBDevice(cmd, 3, 0x01, 100), 3);
    EXPECT_EQ(u.ReadUSBDevice(buf, sizeof buf, 0x81, 500), 3);
    EXPECT_EQ(bench.capture().select(mine.id(), UsbEvent::Out, 0x01).size(), 1u);
    EXPECT_TRUE(bench.capture().select(other.id(), UsbEvent::Out).empty());
    const std::string text = out.text();
    EXPECT_EQ(countOf(text, "Not Exist..."), 0u) << text;  // the failed read already said so
    EXPECT_EQ(countOf(text, "[INFO ] YORV Tip:USB Device<0> Link...\n"), 1u) << text;
}

// Back, but taken by another program first: the restart leaves it alone,
// says so once, and gets it once the other lets go.
TEST_F(Transport, RestartWaitsWhileAnotherHoldsItsAdapter) {
    VirtualDevice& dev = addEcho();
    QUserLibUsb& u = openFirst();
    bench.unplug(dev);
    uint8_t buf[64];
    EXPECT_EQ(u.bulkReadUSBDevice(buf, sizeof buf, 0x82, 100), LIBUSB_ERROR_NO_DEVICE);
    bench.replug(dev);
    auto other = std::make_unique<QUserLibUsb>();
    ASSERT_EQ(other->OpenUSBDevice(kVid, kPid, 0), 1);
    bench.capture().clear();
    {
        StreamCapture out(1);
        for (int attempt = 0; attempt < 3; ++attempt) {
            u.RestartUSBDevice();
            EXPECT_EQ(u.GetUSBDeviceLinkStatus(), 0);
            EXPECT_TRUE(u.busy());
        }
        const std::string text = out.text();
        EXPECT_EQ(countOf(text, "YORV Tip:USB Device<1234:5678:0> is already open in this program\n"), 1u)
            << text;
        EXPECT_EQ(countOf(text, "Not Exist"), 0u) << text;
    }
    EXPECT_TRUE(bench.capture().select(dev.id(), UsbEvent::Reset).empty());
    other.reset();
    u.RestartUSBDevice();
    EXPECT_EQ(u.GetUSBDeviceLinkStatus(), 1);
    EXPECT_FALSE(u.busy());
}

// Another adapter of the same kind put into the port: its serial number
// tells it apart; it is looked at, not reset or written to.
TEST_F(Transport, RestartChecksTheSerialNumberOfWhatIsInItsPort) {
    DeviceLayout own = testLayout();
    own.serial = "YC-0001";
    DeviceLayout strange = testLayout();
    strange.serial = "YC-0002";
    VirtualDevice& mine = bench.addDevice(own, echo);
    QUserLibUsb& u = openFirst();
    EXPECT_EQ(u.location().serial, "YC-0001");
    const int home = mine.portNumber();

    bench.unplug(mine);
    uint8_t buf[64];
    EXPECT_EQ(u.bulkReadUSBDevice(buf, sizeof buf, 0x82, 100), LIBUSB_ERROR_NO_DEVICE);
    VirtualDevice& stranger = bench.addDevice(strange, echo, {.port = home});
    bench.capture().clear();
    u.RestartUSBDevice();
    EXPECT_EQ(u.GetUSBDeviceLinkStatus(), 0);
    EXPECT_EQ(bench.capture().select(stranger.id(), UsbEvent::Claim).size(), 1u);
    EXPECT_EQ(bench.capture().select(stranger.id(), UsbEvent::Release).size(), 1u);
    EXPECT_TRUE(bench.capture().select(stranger.id(), UsbEvent::Reset).empty());
    EXPECT_TRUE(bench.capture().select(stranger.id(), UsbEvent::Out).empty());

    bench.unplug(stranger);
    bench.replug(mine);
    u.RestartUSBDevice();
    EXPECT_EQ(u.GetUSBDeviceLinkStatus(), 1);
    EXPECT_EQ(u.location().serial, "YC-0001");
    EXPECT_EQ(bench.capture().select(mine.id(), UsbEvent::Reset).size(), 1u);
}

// Some host controllers end a transfer pending at an unplug as "no device"
// at once, instead of with an I/O error first.
TEST_F(Transport, ReadPendingAtAnUnplugThatEndsAsNoDevice) {
    VirtualDevice& dev = addEcho();
    QUserLibUsb& u = openFirst();
    auto reader = pendingRead(u, dev, 5000);
    bench.unplug(dev, -ESHUTDOWN);
    EXPECT_EQ(reader.get(), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(u.GetUSBDeviceLinkStatus(), 0);
    bench.replug(dev);
    u.RestartUSBDevice();
    EXPECT_EQ(u.GetUSBDeviceLinkStatus(), 1);
}

TEST_F(Transport, IdleBlockedReadCostsNoCpu) {
    VirtualDevice& dev = addEcho();
    QUserLibUsb& u = openFirst();
    auto reader = pendingRead(u, dev, 1500);
    double cpu0 = processCpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1s);
    double cpu = processCpuSeconds() - cpu0;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(reader.get(), LIBUSB_ERROR_TIMEOUT);
    // A spinning event loop would burn most of a core here.
    EXPECT_LT(cpu / wall, 0.05) << "CPU " << cpu << " s over " << wall << " s";
}

TEST_F(Transport, ChildProgramTalksToTheBenchInItsParent) {
    VirtualDevice& dev = addEcho();
    ycansim::ChildProcess child({YCAN_CHILD_PROBE});
    EXPECT_EQ(child.wait(20s), 0) << child.output();
    EXPECT_NE(child.output().find("probe: reply 68 65 6c 6c 6f\n"), std::string::npos) << child.output();
    EXPECT_NE(child.output().find("YORV Tip:USB Device<0> Link..."), std::string::npos);
    auto outs = bench.capture().select(dev.id(), UsbEvent::Out, 0x01);
    ASSERT_EQ(outs.size(), 1u);
    EXPECT_EQ(outs[0].data, (Bytes{'h', 'e', 'l', 'l', 'o'}));
}

TEST_F(Transport, ChildrenStartAndEndWhileOurThreadsBusyThePreload) {
    // Other threads of a bench process open files all the time (through the
    // preload's wrappers, which take a lock); a child forked meanwhile must
    // still reach its program, and everything it printed before it ended
    // must be collected.
    std::atomic<bool> busy{true};
    std::thread opener([&] {
        while (busy) {
            int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd >= 0) close(fd);
        }
    });
    auto children = [] {
        for (int i = 0; i < 40; ++i) {
            ycansim::ChildProcess::Options options;
            options.terminal = i % 2 == 0;
            ycansim::ChildProcess missing({"/nonexistent/program"}, options);
            ASSERT_EQ(missing.wait(10s), 127) << "child " << i << " never reached exec";
            ycansim::ChildProcess lines({"seq", "1", "400"}, options);
            ASSERT_EQ(lines.wait(10s), 0);
            const std::string out = lines.output();
            ASSERT_GE(out.size(), 4u);
            EXPECT_EQ(out.substr(out.size() - 4), "400\n") << "child " << i << " lost its last lines";
            EXPECT_EQ(countOf(out, "\n"), 400u) << "child " << i;
        }
    };
    children();
    busy = false;
    opener.join();
}

TEST_F(Transport, ChildWithoutDeviceFailsAndIsStoppedCleanly) {
    ycansim::ChildProcess::Options piped;
    piped.terminal = false;
    ycansim::ChildProcess probe({YCAN_CHILD_PROBE}, piped);
    EXPECT_EQ(probe.wait(20s), 2);
    EXPECT_NE(probe.output().find("probe: no device"), std::string::npos) << probe.output();

    ycansim::ChildProcess sleeper({"sleep", "30"});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sleeper.stop(SIGTERM, 2s), 128 + SIGTERM);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}
