// The device side of USB/IP, spoken to as vhci-hcd speaks to it: commands
// in on one end of a socket pair, answers read back. The kernel's own side
// is met in tests/kernel/; this pins the protocol where a mistake would only
// show there as a device the kernel drops or a transfer that never ends.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "sim/bench/timer_thread.h"
#include "sim/usbip/usbip_device.h"
#include "tests/eventually.h"

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kCmdSubmit = 1, kCmdUnlink = 2, kRetSubmit = 3, kRetUnlink = 4;

// Answers every command on 0x01 with the same bytes on 0x81.
class Echo : public ycansim::DeviceModel {
public:
    void onOut(ycansim::DeviceEndpoints& dev, uint8_t ep, const Bytes& data) override {
        if (ep == 0x01) dev.pushIn(0x81, data);
    }
    void onReset(ycansim::DeviceEndpoints&) override { ++resets; }
    std::atomic<int> resets{0};
};

struct Reply {
    uint32_t command = 0, seqnum = 0;
    int32_t status = 0, actual = 0;
    Bytes data;
};

class UsbipDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        ycansim::DeviceLayout layout{
            0x3068,
            0x0009,
            0x0100,
            {{0x01, ycansim::EndpointType::Interrupt, 64}, {0x81, ycansim::EndpointType::Interrupt, 64}},
            "YC-7"};
        device = std::make_unique<ycansim::UsbipDevice>(layout, echo, timer);
        device->connect(fds[0]);
    }
    void TearDown() override {
        device.reset();
        close(fds[1]);
    }

    void send(uint32_t command, uint32_t seqnum, bool in, uint32_t ep, uint32_t word5, int32_t length,
              const uint8_t setup[8] = nullptr, const Bytes& out = {}) {
        uint8_t h[48] = {};
        const uint32_t words[] = {command, seqnum, 0, in ? 1u : 0u, ep, word5, static_cast<uint32_t>(length)};
        for (size_t i = 0; i < 7; ++i) {
            const uint32_t be = htonl(words[i]);
            memcpy(h + 4 * i, &be, 4);
        }
        if (setup != nullptr) memcpy(h + 40, setup, 8);
        ASSERT_EQ(write(fds[1], h, sizeof h), 48);
        if (!out.empty()) {
            ASSERT_EQ(write(fds[1], out.data(), out.size()), static_cast<ssize_t>(out.size()));
        }
    }
    void submitOut(uint32_t seqnum, uint32_t ep, const Bytes& data) {
        send(kCmdSubmit, seqnum, false, ep, 0, static_cast<int32_t>(data.size()), nullptr, data);
    }
    void submitIn(uint32_t seqnum, uint32_t ep, int32_t length, const uint8_t setup[8] = nullptr) {
        send(kCmdSubmit, seqnum, true, ep, 0, length, setup);
    }
    // The next answer; its IN data follows the header when it has any.
    Reply reply(bool withData) {
        uint8_t h[48];
        Reply r;
        if (!readAll(h, sizeof h)) return r;
        auto word = [&](int i) {
            uint32_t v;
            memcpy(&v, h + 4 * i, 4);
            return ntohl(v);
        };
        r.command = word(0);
        r.seqnum = word(1);
        r.status = static_cast<int32_t>(word(5));
        r.actual = static_cast<int32_t>(word(6));
        if (withData && r.actual > 0) {
            r.data.resize(static_cast<size_t>(r.actual));
            if (!readAll(r.data.data(), r.data.size())) r.data.clear();
        }
        return r;
    }
    bool readAll(uint8_t* p, size_t n) {
        while (n > 0) {
            const ssize_t got = read(fds[1], p, n);
            if (got <= 0) return false;
            p += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }

    int fds[2] = {-1, -1};
    std::shared_ptr<Echo> echo = std::make_shared<Echo>();
    ycansim::TimerThread timer;
    std::unique_ptr<ycansim::UsbipDevice> device;
};

}  // namespace

// An OUT transfer completes with all its bytes; the model's answer completes
// the IN transfer waiting on its endpoint, with the data after the header.
TEST_F(UsbipDeviceTest, OutCompletesWholeAndTheAnswerFillsThePendingIn) {
    submitIn(1, 1, 64);
    ASSERT_TRUE(ycantest::eventually([&] { return device->pendingIn(0x81) == 1; }, 5s));
    submitOut(2, 1, {0x55, 0xAA, 0x01});
    Reply out = reply(false);
    EXPECT_EQ(out.command, kRetSubmit);
    EXPECT_EQ(out.seqnum, 2u);
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.actual, 3);  // the kernel reports this as the bytes written
    Reply in = reply(true);
    EXPECT_EQ(in.seqnum, 1u);
    EXPECT_EQ(in.status, 0);
    EXPECT_EQ(in.data, (Bytes{0x55, 0xAA, 0x01}));

    // Data waiting for a transfer goes to the next one, cut to its length.
    device->pushIn(0x81, Bytes(10, 7));
    submitIn(3, 1, 4);
    EXPECT_EQ(reply(true).data, Bytes(4, 7));
    submitIn(4, 1, 64);
    EXPECT_EQ(reply(true).data, Bytes(6, 7));
}

// A cancelled transfer that is still pending ends as unlinked and gets no
// answer of its own; one already answered is unlinked with status 0.
TEST_F(UsbipDeviceTest, UnlinkCancelsAPendingTransferOnly) {
    submitIn(5, 1, 64);
    ASSERT_TRUE(ycantest::eventually([&] { return device->pendingIn(0x81) == 1; }, 5s));
    send(kCmdUnlink, 6, false, 1, 5, 0);
    Reply r = reply(false);
    EXPECT_EQ(r.command, kRetUnlink);
    EXPECT_EQ(r.seqnum, 6u);
    EXPECT_EQ(r.status, -ECONNRESET);
    EXPECT_EQ(device->pendingIn(0x81), 0);
    send(kCmdUnlink, 7, false, 1, 5, 0);
    EXPECT_EQ(reply(false).status, 0);
    // Data pushed now waits for the next transfer instead of the cancelled one.
    device->pushIn(0x81, {1, 2});
    submitIn(8, 1, 64);
    Reply next = reply(true);
    EXPECT_EQ(next.seqnum, 8u);
    EXPECT_EQ(next.data, (Bytes{1, 2}));
}

// The default pipe: descriptors from the layout (cut to the length asked),
// SET_CONFIGURATION seen by the model as a reset, anything else stalled.
TEST_F(UsbipDeviceTest, DefaultPipeAnswersDescriptorsConfiguresAndStallsTheRest) {
    const uint8_t device8[8] = {0x80, 6, 0, 1, 0, 0, 8, 0};
    submitIn(10, 0, 8, device8);
    Reply d = reply(true);
    EXPECT_EQ(d.status, 0);
    EXPECT_EQ(d.data, (Bytes{18, 1, 0x00, 0x02, 0, 0, 0, 64}));

    const uint8_t serial[8] = {0x80, 6, 3, 3, 0x09, 0x04, 255, 0};
    submitIn(11, 0, 255, serial);
    EXPECT_EQ(reply(true).data, (Bytes{10, 3, 'Y', 0, 'C', 0, '-', 0, '7', 0}));

    const uint8_t configure[8] = {0x00, 9, 1, 0, 0, 0, 0, 0};
    send(kCmdSubmit, 12, false, 0, 0, 0, configure);
    EXPECT_EQ(reply(false).status, 0);
    EXPECT_TRUE(ycantest::eventually([&] { return echo->resets == 1; }, 5s));

    const uint8_t vendor[8] = {0xC0, 0x42, 0, 0, 0, 0, 4, 0};
    submitIn(13, 0, 4, vendor);
    EXPECT_EQ(reply(false).status, -EPIPE);
}

// The kernel letting go of the port ends the connection: nothing more is
// answered and the device says it is no longer connected.
TEST_F(UsbipDeviceTest, TheKernelClosingItsEndDisconnects) {
    ASSERT_TRUE(device->connected());
    shutdown(fds[1], SHUT_RDWR);
    EXPECT_TRUE(ycantest::eventually([&] { return !device->connected(); }, 5s));
    device->pushIn(0x81, {1});  // dropped, not a crash
    EXPECT_EQ(device->pendingIn(0x81), 0);
}
