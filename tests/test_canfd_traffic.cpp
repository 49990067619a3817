// CAN FD frames on the virtual bench: transmit packets, the receive stream
// and its reassembly, the queues, and recovery after an unplugged adapter.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <random>
#include <thread>

#include "canfd_fixture.h"
#include "eventually.h"
#include "support/QErrMgr.h"
#include "test_support.h"

using namespace std::chrono_literals;
using ycansim::BusFrame;
using ycansim::FunctionSetReply;
using ycansim::StreamShape;
using ycansim::UsbEvent;
using ycansim::VirtualCanFdAdapter;
using ycantest::countOf;
using ycantest::StreamCapture;
using Bytes = std::vector<uint8_t>;

namespace {

_YCAN_CAN_OBJ classicFrame(uint32_t id, uint8_t len, uint8_t seed = 0) {
    _YCAN_CAN_OBJ f{};
    f.ID = id;
    f.DataLen = len;
    for (int i = 0; i < 8; ++i) f.Data[i] = static_cast<uint8_t>(seed + i);
    return f;
}

BusFrame rxFrame(unsigned ch, uint32_t id, uint8_t len, bool fd, uint8_t seed = 0) {
    BusFrame f;
    f.channel = ch;
    f.flags = fd ? 0x01 : 0x00;
    f.id = id;
    f.dataLen = len;
    f.timeTag = id * 10;
    for (int i = 0; i < (fd ? 64 : 8); ++i) f.data.push_back(static_cast<uint8_t>(seed + i));
    return f;
}

class CanFdTraffic : public CanFd {
protected:
    // An open type-43 adapter with channel 0 initialised and started.
    VirtualCanFdAdapter& ready(FunctionSetReply reply = FunctionSetReply::Accept) {
        VirtualCanFdAdapter& a = attach(43);
        a.setFunctionSetReply(reply);
        EXPECT_EQ(open(43), 1);
        _YCAN_INITFD_CONFIG c = rates(1000000, 5000000);
        EXPECT_EQ(YCAN_InitCANFD(43, 0, 0, &c), 1);
        return a;
    }
    ycansim::VirtualDevice& dev() { return *devices.at(0); }

    // Waits until `n` classic / FD frames are queued on the channel.
    bool waitQueued(unsigned ch, uint8_t kind, int n, std::chrono::milliseconds timeout = 3s) {
        return ycantest::eventually([&] { return YCAN_GetReceiveNum(43, 0, ch, kind) >= n; }, timeout);
    }
};

}  // namespace

// ---- Transmit ------------------------------------------------------------------

TEST_F(CanFdTraffic, ClassicFramesGoOutTenPerPacketWithEchoes) {
    VirtualCanFdAdapter& a = ready(FunctionSetReply::Decline);
    std::vector<_YCAN_CAN_OBJ> frames;
    for (uint32_t i = 0; i < 25; ++i) frames.push_back(classicFrame(0x100 + i, 8, static_cast<uint8_t>(i)));
    EXPECT_EQ(YCAN_Transmit(43, 0, 0, frames.data(), 25), 25);
    auto packets = a.dataPackets();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].size(), 197u);
    EXPECT_EQ(packets[1].size(), 197u);
    EXPECT_EQ(packets[2].size(), 102u);
    EXPECT_EQ(Bytes(packets[2].begin(), packets[2].begin() + 7),
              (Bytes{0x55, 0xF2, 0x00, 0x00, 95, 0x00, 5}));
    EXPECT_EQ(a.echoesSent(), 3);
    auto bus = a.busFrames(0);
    ASSERT_EQ(bus.size(), 25u);
    for (uint32_t i = 0; i < 25; ++i) {
        EXPECT_EQ(bus[i].id, 0x100 + i);
        EXPECT_EQ(bus[i].flags, 0x00);
        EXPECT_EQ(bus[i].dataLen, 8);
        EXPECT_EQ(bus[i].data[7], static_cast<uint8_t>(i + 7));
    }
    EXPECT_EQ(YCAN_Transmit(43, 0, 0, frames.data(), 0), 0);
    EXPECT_EQ(a.dataPackets().size(), 3u);
}

TEST_F(CanFdTraffic, RecordFieldsOnTheWire) {
    VirtualCanFdAdapter& a = ready();
    _YCAN_CAN_OBJ c[3] = {classicFrame(0xFFFFFFFF, 3), classicFrame(0x7FF, 8), classicFrame(0x123, 12)};
    c[0].ExternFlag = 1;
    c[0].SendMode = 0x35;  // only the low nibble travels, beside the channel
    c[1].RemoteFlag = 1;
    ASSERT_EQ(YCAN_Transmit(43, 0, 1, c, 3), 3);
    EXPECT_EQ(c[1].DataLen, 0);  // cleared in the caller's array
    Bytes p = a.dataPackets().back();
    EXPECT_EQ(p[7], 0x15);  // channel 1, SendMode 5
    EXPECT_EQ(p[8], 0x04);  // extended
    EXPECT_EQ(Bytes(p.begin() + 13, p.begin() + 17), (Bytes{0xFF, 0xFF, 0xFF, 0x1F}));
    EXPECT_EQ(p[7 + 19 + 1], 0x02);   // remote
    EXPECT_EQ(p[7 + 19 + 10], 0x00);  // its length went to 0
    EXPECT_EQ(p[7 + 38 + 10], 12);    // passed on as it stands
    auto bus = a.busFrames(1);
    ASSERT_EQ(bus.size(), 3u);
    EXPECT_EQ(bus[2].data, (Bytes{0, 1, 2, 3, 4, 5, 6, 7}));

    _YCAN_CANFD_OBJ fd[2]{};
    fd[0].ID = 0x1ABCDEF0;
    fd[0].DataLen = 100;
    for (int i = 0; i < 64; ++i) fd[0].Data[i] = static_cast<uint8_t>(0xC0 + i);
    fd[0].FrameOpt = 0x18;
    fd[1].FrameOpt = 0x18;
    fd[1].RemoteFlag = 1;
    fd[1].ExternFlag = 1;
    fd[1].DataLen = 64;
    ASSERT_EQ(YCAN_TransmitFD(43, 0, 0, fd, 2), 2);
    Bytes q = a.dataPackets().back();
    EXPECT_EQ(q.size(), 7u + 2 * 75);
    EXPECT_EQ(q[8], 0x19);
    EXPECT_EQ(q[7 + 10], 100);
    EXPECT_EQ(q[7 + 75 + 1], 0x1F);
    EXPECT_EQ(fd[1].DataLen, 0);
    auto fdBus = a.busFrames(0);
    ASSERT_EQ(fdBus.size(), 2u);
    EXPECT_EQ(fdBus[0].id, 0x1ABCDEF0u);
    EXPECT_EQ(fdBus[0].data, Bytes(fd[0].Data, fd[0].Data + 64));
}

TEST_F(CanFdTraffic, MissingEchoEndsTheBatch) {
    VirtualCanFdAdapter& a = ready(FunctionSetReply::Decline);
    std::vector<_YCAN_CAN_OBJ> frames(30, classicFrame(0x10, 2));
    a.withholdEchoes(1, 1);  // the second packet's echo never comes
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(YCAN_Transmit(43, 0, 0, frames.data(), 30), 10);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1900ms);
    EXPECT_EQ(a.dataPackets().size(), 2u);  // the third was never sent
}

TEST_F(CanFdTraffic, AcceptedFunctionSetMeansNoEchoWaits) {
    VirtualCanFdAdapter& a = ready(FunctionSetReply::Accept);
    std::vector<_YCAN_CAN_OBJ> frames(25, classicFrame(0x10, 2));
    EXPECT_EQ(YCAN_Transmit(43, 0, 0, frames.data(), 25), 25);
    EXPECT_EQ(a.echoesSent(), 0);
    EXPECT_EQ(a.busFrames(0).size(), 25u);
}

TEST_F(CanFdTraffic, BadChannelOrArrayIsAParameterError) {
    VirtualCanFdAdapter& a = ready();
    _YCAN_CAN_OBJ f = classicFrame(1, 1);
    EXPECT_EQ(YCAN_Transmit(43, 0, 8, &f, 1), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    QErrInfoMgr::getinstance()->setLastError(YCAN_ERR_OK);
    EXPECT_EQ(YCAN_TransmitFD(43, 0, 0, nullptr, 1), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    EXPECT_TRUE(a.dataPackets().empty());
}

// ---- Receive stream ------------------------------------------------------------

TEST_F(CanFdTraffic, FramesAreDecodedIntoTheirQueues) {
    VirtualCanFdAdapter& a = ready();
    BusFrame c = rxFrame(0, 0xE0000123, 15, false, 0x10);  // length 15, id with top bits
    c.flags = 0x04;
    BusFrame fd = rxFrame(1, 0x1234567, 64, true, 0x40);
    fd.flags = 0x17;
    BusFrame high = rxFrame(9, 0x55, 1, false);
    a.inject(dev(), {c, fd, high});
    ASSERT_TRUE(waitQueued(7, 0, 1));

    _YCAN_CAN_OBJ got[4]{};
    ASSERT_EQ(YCAN_Receive(43, 0, 0, got, 4, 0), 1);
    EXPECT_EQ(got[0].ID, 0x00000123u);
    EXPECT_EQ(got[0].TimeTag, c.timeTag);
    EXPECT_EQ(got[0].DataLen, 8);
    EXPECT_EQ(got[0].ExternFlag, 1);
    EXPECT_EQ(got[0].RemoteFlag, 0);
    EXPECT_EQ(Bytes(got[0].Data, got[0].Data + 8), Bytes(c.data.begin(), c.data.begin() + 8));

    _YCAN_CANFD_OBJ fdGot[2]{};
    ASSERT_EQ(YCAN_ReceiveFD(43, 0, 1, fdGot, 2, 0), 1);
    EXPECT_EQ(fdGot[0].ID, 0x1234567u);
    EXPECT_EQ(fdGot[0].RemoteFlag, 1);
    EXPECT_EQ(fdGot[0].ExternFlag, 1);
    EXPECT_EQ(fdGot[0].FrameOpt, 0x08);
    EXPECT_EQ(fdGot[0].DataLen, 64);
    EXPECT_EQ(fdGot[0].Data[63], 0x40 + 63);

    // Channel numbers above 7 all land in channel 7's queue.
    ASSERT_EQ(YCAN_Receive(43, 0, 7, got, 4, 0), 1);
    EXPECT_EQ(got[0].ID, 0x55u);
}

TEST_F(CanFdTraffic, StreamReassemblyCases) {
    ready();
    Bytes one = ycansim::encodeDataPacket({rxFrame(0, 1, 8, false)});
    Bytes two = ycansim::encodeDataPacket({rxFrame(0, 2, 8, false), rxFrame(0, 3, 8, true)});
    // A packet split in the middle of its header (3 bytes), then the rest.
    dev().pushIn(0x83, Bytes(one.begin(), one.begin() + 3));
    dev().pushIn(0x83, Bytes(one.begin() + 3, one.end()));
    // Garbage, an empty header, and a header whose payload could never fit
    // the reassembly buffer, before a real packet.
    Bytes junk = {0x00, 0x55, 0x13, 0xF2, 0x55, 0xF2, 0,    0,    0x00,
                  0x00, 0x01, 0x55, 0xF2, 0,    0,    0xFF, 0x0F, 0x01};
    junk.insert(junk.end(), two.begin(), two.end());
    dev().pushIn(0x83, junk);
    // Two packets in one transfer.
    Bytes pair = ycansim::encodeDataPacket({rxFrame(0, 4, 1, false)});
    Bytes more = ycansim::encodeDataPacket({rxFrame(0, 5, 2, false)});
    pair.insert(pair.end(), more.begin(), more.end());
    dev().pushIn(0x83, pair);

    ASSERT_TRUE(waitQueued(0, 2, 5));
    _YCAN_CAN_OBJ got[8]{};
    ASSERT_EQ(YCAN_Receive(43, 0, 0, got, 8, 0), 4);
    EXPECT_EQ(got[0].ID, 1u);
    EXPECT_EQ(got[1].ID, 2u);
    EXPECT_EQ(got[2].ID, 4u);
    EXPECT_EQ(got[3].ID, 5u);
    _YCAN_CANFD_OBJ fd[2]{};
    ASSERT_EQ(YCAN_ReceiveFD(43, 0, 0, fd, 2, 0), 1);
    EXPECT_EQ(fd[0].ID, 3u);
}

TEST_F(CanFdTraffic, ThousandsOfFramesKeepTheirOrderAcrossTransferBoundaries) {
    VirtualCanFdAdapter& a = ready();
    std::mt19937 rng(7);
    constexpr uint32_t kFrames = 4000;
    std::vector<BusFrame> frames;
    for (uint32_t i = 0; i < kFrames; ++i)
        frames.push_back(
            rxFrame(i % 2, i, static_cast<uint8_t>(i % 9), (i % 3) == 0, static_cast<uint8_t>(i)));
    size_t at = 0;
    while (at < frames.size()) {
        size_t n = std::min<size_t>(frames.size() - at, 50 + rng() % 150);
        StreamShape shape;
        shape.recordsPerPacket = 1 + rng() % 10;
        shape.transferSize = 1 + rng() % 700;
        a.inject(dev(),
                 std::vector<BusFrame>(frames.begin() + static_cast<long>(at),
                                       frames.begin() + static_cast<long>(at + n)),
                 shape);
        at += n;
    }
    // Taken per channel and kind, each sub-stream must come in sending order.
    std::vector<uint32_t> seen[2][2];
    size_t total = 0;
    ycantest::eventually(
        [&] {
            for (unsigned ch = 0; ch < 2; ++ch) {
                _YCAN_CAN_OBJ c[64];
                int n = YCAN_Receive(43, 0, ch, c, 64, 5);
                for (int i = 0; i < n; ++i) {
                    seen[ch][0].push_back(c[i].ID);
                    EXPECT_EQ(c[i].DataLen, c[i].ID % 9);
                    if (c[i].DataLen > 0) {
                        EXPECT_EQ(c[i].Data[0], static_cast<uint8_t>(c[i].ID));
                    }
                }
                _YCAN_CANFD_OBJ f[64];
                int m = YCAN_ReceiveFD(43, 0, ch, f, 64, 5);
                for (int i = 0; i < m; ++i) seen[ch][1].push_back(f[i].ID);
                total += static_cast<size_t>(n + m);
            }
            return total >= kFrames;
        },
        60s, 0ms);
    ASSERT_EQ(total, kFrames);
    for (unsigned ch = 0; ch < 2; ++ch)
        for (unsigned kind = 0; kind < 2; ++kind) {
            std::vector<uint32_t> want;
            for (uint32_t i = 0; i < kFrames; ++i)
                if (i % 2 == ch && ((i % 3) == 0) == (kind == 1)) want.push_back(i);
            EXPECT_EQ(seen[ch][kind], want) << "channel " << ch << " kind " << kind;
        }
}

TEST_F(CanFdTraffic, FramesWaitingInTheAdapterGoOutTogether) {
    VirtualCanFdAdapter& a = ready();
    ASSERT_TRUE(dev().waitPendingIn(0x83, 1, 3s));
    const size_t before = bench.capture().select(dev().id(), UsbEvent::In, 0x83).size();
    // 1000 classic frames (19-byte records), then 200 FD frames (75 bytes),
    // each with a time tag of its own, all waiting in the adapter.
    constexpr uint32_t kClassic = 1000, kFrames = 1200;
    std::vector<BusFrame> frames;
    for (uint32_t i = 0; i < kFrames; ++i) {
        BusFrame f = rxFrame(i % 2, i, i < kClassic ? 8 : 64, i >= kClassic, static_cast<uint8_t>(i));
        f.timeTag = 1000003u * i + 7;
        frames.push_back(f);
    }
    a.fromBus(dev(), frames);

    std::vector<_YCAN_CAN_OBJ> classic[2];
    std::vector<_YCAN_CANFD_OBJ> fd[2];
    ASSERT_TRUE(ycantest::eventually(
        [&] {
            size_t total = 0;
            for (unsigned ch = 0; ch < 2; ++ch) {
                _YCAN_CAN_OBJ c[128];
                int n = YCAN_Receive(43, 0, ch, c, 128, 0);
                classic[ch].insert(classic[ch].end(), c, c + std::max(0, n));
                _YCAN_CANFD_OBJ f[128];
                n = YCAN_ReceiveFD(43, 0, ch, f, 128, 5);
                fd[ch].insert(fd[ch].end(), f, f + std::max(0, n));
                total += classic[ch].size() + fd[ch].size();
            }
            return total >= kFrames;
        },
        10s, 0ms));
    auto check = [](const auto& got, uint32_t first, uint32_t ch, uint8_t len) {
        for (size_t k = 0; k < got.size(); ++k) {
            const uint32_t i = first + static_cast<uint32_t>(2 * k) + ch;
            ASSERT_EQ(got[k].ID, i);
            EXPECT_EQ(got[k].TimeTag, 1000003u * i + 7);
            EXPECT_EQ(got[k].DataLen, len);
            EXPECT_EQ(got[k].Data[0], static_cast<uint8_t>(i));
        }
    };
    for (uint32_t ch = 0; ch < 2; ++ch) {
        ASSERT_EQ(classic[ch].size(), kClassic / 2);
        ASSERT_EQ(fd[ch].size(), (kFrames - kClassic) / 2);
        check(classic[ch], 0, ch, 8);
        check(fd[ch], kClassic, ch, 64);
    }
    EXPECT_EQ(a.framesWaiting(), 0u);
    EXPECT_EQ(a.framesSent(), kFrames);

    // Whole packets of at most 10 records, as many as a 4096-byte transfer
    // holds: 207 classic records (twenty packets of 10 and one of 7); the
    // last 172 classic and 9 FD ones; then 54 FD records (five packets of
    // 10 and one of 4).
    auto all = bench.capture().select(dev().id(), UsbEvent::In, 0x83);
    std::vector<size_t> perTransfer;
    for (size_t t = before; t < all.size(); ++t) {
        const Bytes& x = all[t].data;
        ASSERT_LE(x.size(), 4096u);
        size_t records = 0;
        for (size_t at = 0; at < x.size();) {
            ASSERT_LE(at + 7, x.size());
            ASSERT_EQ(x[at], 0x55);
            ASSERT_EQ(x[at + 1], 0xF2);
            const size_t payload = x[at + 4] | (x[at + 5] << 8);
            ASSERT_GE(x[at + 6], 1);
            ASSERT_LE(x[at + 6], 10);
            ASSERT_LE(at + 7 + payload, x.size()) << "a packet cut across transfers";
            records += x[at + 6];
            at += 7 + payload;
        }
        perTransfer.push_back(records);
    }
    EXPECT_EQ(perTransfer, (std::vector<size_t>{207, 207, 207, 207, 181, 54, 54, 54, 29}));
}

TEST_F(CanFdTraffic, ReceiveWaitsOnlyAsLongAsAsked) {
    VirtualCanFdAdapter& a = ready();
    _YCAN_CAN_OBJ got[4];
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(YCAN_Receive(43, 0, 0, got, 4, 0), 0);
    // Does not wait: far below any wait asked for here (a loaded core may
    // still hold the thread for a time slice or two).
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 250ms);
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(YCAN_Receive(43, 0, 0, got, 4, 50), 0);
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, 49ms);
    EXPECT_LT(waited, 500ms);

    // Without a limit it returns as soon as a frame is there.
    auto taker = std::async(std::launch::async, [&] { return YCAN_Receive(43, 0, 0, got, 4, -1); });
    EXPECT_EQ(taker.wait_for(150ms), std::future_status::timeout);
    a.inject(dev(), {rxFrame(0, 0x42, 1, false)});
    ASSERT_EQ(taker.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(taker.get(), 1);
    EXPECT_EQ(got[0].ID, 0x42u);

    EXPECT_EQ(YCAN_Receive(43, 0, 0, got, 0, 10), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    QErrInfoMgr::getinstance()->setLastError(YCAN_ERR_OK);
    EXPECT_EQ(YCAN_ReceiveFD(43, 0, 0, nullptr, 4, 10), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
}

TEST_F(CanFdTraffic, CountingAndClearing) {
    VirtualCanFdAdapter& a = ready();
    a.inject(dev(), {rxFrame(2, 1, 1, false), rxFrame(2, 2, 1, false), rxFrame(2, 3, 1, true)});
    ASSERT_TRUE(waitQueued(2, 2, 3));
    EXPECT_EQ(YCAN_GetReceiveNum(43, 0, 2, 0), 2);
    EXPECT_EQ(YCAN_GetReceiveNum(43, 0, 2, 1), 1);
    EXPECT_EQ(YCAN_GetReceiveNum(43, 0, 2, 2), 3);
    EXPECT_EQ(YCAN_GetReceiveNum(43, 0, 2, 3), 0);
    EXPECT_EQ(YCAN_GetReceiveNum(43, 0, 8, 0), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    EXPECT_EQ(YCAN_ClearBuffer(43, 0, 2), 1);
    EXPECT_EQ(YCAN_GetReceiveNum(43, 0, 2, 2), 0);
    QErrInfoMgr::getinstance()->setLastError(YCAN_ERR_OK);
    EXPECT_EQ(YCAN_ClearBuffer(43, 0, 8), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
}

// ---- Recovery and close ------------------------------------------------------

TEST_F(CanFdTraffic, UnpluggedAdapterIsRestoredWithItsChannelSettings) {
    VirtualCanFdAdapter& a = ready();
    auto* drv = driver(43);
    Bytes timing;
    for (auto& cmd : commandsTo(dev()))
        if (cmd[1] == 0x03) timing = cmd;
    ASSERT_EQ(timing.size(), 24u);
    a.inject(dev(), {rxFrame(0, 0x77, 1, false)});
    ASSERT_TRUE(waitQueued(0, 0, 1));

    StreamCapture out(1);
    bench.unplug(dev());
    ASSERT_TRUE(ycantest::eventually([&] { return drv->recovering(); }, 3s));
    // While recovering: commands and transmits are refused, queued frames stay readable.
    _YCAN_CAN_OBJ f = classicFrame(1, 1);
    EXPECT_EQ(YCAN_Transmit(43, 0, 0, &f, 1), 0);
    EXPECT_EQ(YCAN_Start(43, 0, 1), 0);
    _YCAN_CAN_OBJ got[2];
    EXPECT_EQ(YCAN_Receive(43, 0, 0, got, 2, 0), 1);
    EXPECT_EQ(got[0].ID, 0x77u);
    // Restarts keep coming while the adapter is away.
    std::this_thread::sleep_for(400ms);

    QErrInfoMgr::getinstance()->setLastError(YCAN_ERR_CAN_FORMAT);
    bench.replug(dev());
    ASSERT_TRUE(ycantest::eventually([&] { return !drv->recovering(); }, 5s));
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_CAN_FORMAT);  // a clean replay stores nothing
    std::string text = out.text();
    EXPECT_EQ(countOf(text, "[INFO ] YORV Tip:USBCANFD OK...\n"), 1u) << text;
    EXPECT_EQ(countOf(text, "DisLink"), 1u) << text;

    // After the replug: function set, the saved initialisation, the start.
    std::vector<Bytes> replayed;
    bool afterReplug = false;
    for (auto& t : bench.capture().all()) {
        if (t.device != dev().id()) continue;
        if (t.kind == UsbEvent::Replug) afterReplug = true;
        if (afterReplug && t.kind == UsbEvent::Out && t.endpoint == 0x01) replayed.push_back(t.data);
    }
    ASSERT_EQ(replayed.size(), 3u);
    EXPECT_EQ(Bytes(replayed[0].begin(), replayed[0].begin() + 4), (Bytes{0x12, 0xA7, 0xFE, 0xEF}));
    EXPECT_EQ(replayed[1], timing);
    EXPECT_EQ(replayed[2], (Bytes{0x55, 0x0E, 0x02, 0x00, 0x00}));
    EXPECT_TRUE(a.channel(0).started);
    EXPECT_EQ(a.channel(0).abit.bitRate(), 1000000u);

    // Frames flow again, both ways.
    a.inject(dev(), {rxFrame(0, 0x78, 1, false)});
    EXPECT_EQ(YCAN_Receive(43, 0, 0, got, 2, 3000), 1);
    EXPECT_EQ(got[0].ID, 0x78u);
    EXPECT_EQ(YCAN_Transmit(43, 0, 0, &f, 1), 1);
}

TEST_F(CanFdTraffic, NoActiveChannelNoRecovery) {
    attach(43);
    ASSERT_EQ(open(43), 1);
    auto* drv = driver(43);
    const size_t resets = bench.capture().select(dev().id(), UsbEvent::Reset).size();
    bench.unplug(dev());
    std::this_thread::sleep_for(400ms);
    EXPECT_FALSE(drv->recovering());
    EXPECT_EQ(bench.capture().select(dev().id(), UsbEvent::Reset).size(), resets);
}

TEST_F(CanFdTraffic, CloseWhileFramesArriveAndReceiversWait) {
    VirtualCanFdAdapter& a = ready();
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        uint32_t id = 0;
        while (feeding) {
            a.inject(dev(), {rxFrame(1, id++, 8, false)});
            std::this_thread::sleep_for(1ms);
        }
    });
    auto waiter = std::async(std::launch::async, [] {
        _YCAN_CANFD_OBJ f[1];
        return YCAN_ReceiveFD(43, 0, 3, f, 1, -1);  // nothing ever comes here
    });
    std::this_thread::sleep_for(200ms);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(YCAN_CloseDevice(43, 0), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2500ms);
    // A receiver waiting without limit is let go by the close.
    ASSERT_EQ(waiter.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 0);
    feeding = false;
    feeder.join();
}

TEST_F(CanFdTraffic, OpenAdapterWithWaitingReceiverCostsNoCpu) {
    ready();
    auto waiter = std::async(std::launch::async, [] {
        _YCAN_CAN_OBJ f[4];
        return YCAN_Receive(43, 0, 0, f, 4, 1200);
    });
    std::this_thread::sleep_for(100ms);
    timespec a{}, b{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
    auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1s);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
    double cpu = static_cast<double>(b.tv_sec - a.tv_sec) + static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e9;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(waiter.get(), 0);
    // The receive thread sleeps in its read, the receiver on its condition.
    EXPECT_LT(cpu / wall, 0.05) << cpu << " s CPU in " << wall << " s";
}
