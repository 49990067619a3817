// Classic USB CAN adapters (types 3 and 4) on the virtual bench, through the
// exported functions.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>
#include <thread>

#include "adapter_fixture.h"
#include "drivers/usbcan/QDeviceUsbCan2.h"
#include "eventually.h"
#include "support/QErrMgr.h"
#include "test_support.h"
#include "ycan.h"

using namespace std::chrono_literals;
using ycansim::ClassicFrame;
using ycansim::FunctionSetReply;
using ycansim::UsbEvent;
using ycansim::VirtualUsbCanAdapter;
using ycantest::countOf;
using ycantest::StreamCapture;
using Bytes = std::vector<uint8_t>;

namespace {

// The library's object for the classic adapter at index 0.
QDeviceUsbCan2& classic() { return dynamic_cast<QDeviceUsbCan2&>(*ycanDevMgr.deviceFind(4, 0)); }

class UsbCan : public ycantest::AdapterFixture<VirtualUsbCanAdapter> {
protected:
    VirtualUsbCanAdapter& attach(FunctionSetReply reply = FunctionSetReply::Accept) {
        VirtualUsbCanAdapter& a = AdapterFixture::attach();
        a.setFunctionSetReply(reply);
        adapter = models.back().get();
        dev = devices.back();
        return a;
    }
    // Opens and initialises channel 0 at 1 Mbit/s (BTR 00 14).
    void ready(FunctionSetReply reply = FunctionSetReply::Accept) {
        attach(reply);
        ASSERT_EQ(open(), 1);
        _YCAN_INIT_CONFIG c = config(0);
        ASSERT_EQ(YCAN_InitCAN(4, 0, 0, &c), 1);
    }
    static _YCAN_INIT_CONFIG config(uint8_t mode, uint8_t bt0 = 0x00, uint8_t bt1 = 0x14) {
        _YCAN_INIT_CONFIG c{};
        c.AcceptMask = 0xFFFFFFFF;
        c.FilterType = 1;
        c.BusTiming0 = bt0;
        c.BusTiming1 = bt1;
        c.WorkMode = mode;
        return c;
    }
    std::vector<Bytes> commands() { return commandsTo(*dev); }
    bool waitReceived(uint32_t ch, _YCAN_CAN_OBJ* out, unsigned n, std::chrono::milliseconds t = 3s) {
        unsigned got = 0;
        return ycantest::eventually(
            [&] {
                int r = YCAN_Receive(4, 0, ch, out + got, n - got, 100);
                if (r > 0) got += static_cast<unsigned>(r);
                return got == n;
            },
            t, 0ms);
    }

    VirtualUsbCanAdapter* adapter = nullptr;  // the adapter attached
    ycansim::VirtualDevice* dev = nullptr;
};

_YCAN_CAN_OBJ frame(uint32_t id, uint8_t len, uint8_t seed = 0) {
    _YCAN_CAN_OBJ f{};
    f.ID = id;
    f.DataLen = len;
    for (int i = 0; i < 8; ++i) f.Data[i] = static_cast<uint8_t>(seed + i);
    return f;
}

ClassicFrame rx(unsigned ch, uint32_t id, uint8_t len, bool ext = false, uint8_t seed = 0) {
    ClassicFrame f;
    f.channel = ch;
    f.id = id;
    f.extended = ext;
    f.dataLen = len;
    for (int i = 0; i < 8; ++i) f.data.push_back(static_cast<uint8_t>(seed + i));
    f.timeTag = id;
    return f;
}

}  // namespace

TEST_F(UsbCan, TypesShareTheRecordOfTheirIndex) {
    VirtualUsbCanAdapter& a = attach();
    ASSERT_EQ(open(3), 1);
    EXPECT_EQ(a.functionSetRequests(), 1);
    EXPECT_TRUE(a.lastFunctionSetValid());
    const size_t before = bench.capture().all().size();
    EXPECT_EQ(open(4), 1);  // record 0 is open already
    EXPECT_EQ(bench.capture().all().size(), before);
    EXPECT_EQ(YCAN_OpenDevice(4, 32), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    EXPECT_EQ(YCAN_OpenDevice(5, 0), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_TYPE_NOT_SUPPORTED);
    EXPECT_EQ(YCAN_OpenDevice(4, 1), 0);  // only one adapter attached
}

TEST_F(UsbCan, CloseResetsBothChannelsThenClosesTheTransport) {
    attach();
    ASSERT_EQ(open(), 1);
    bench.capture().clear();
    QErrInfoMgr::getinstance()->setLastError(YCAN_ERR_OK);
    EXPECT_EQ(YCAN_CloseDevice(4, 0), 1);
    std::vector<std::string> seen;
    for (auto& t : bench.capture().all()) {
        if (t.kind == UsbEvent::Out) seen.push_back("OUT " + std::to_string(t.data.back()));
        if (t.kind == UsbEvent::Reset) seen.push_back("RESET");
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"OUT 0", "OUT 16", "RESET"}));
    // Unlike the channel reset, close's resets await a reply (100 ms each),
    // and the adapter never answers one: the exchange says so.
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_USB_COMMAND);
    EXPECT_EQ(commands()[0], (Bytes{0x12, 0x0F, 0x02, 0x00, 0x00}));
    bench.capture().clear();
    EXPECT_EQ(YCAN_CloseDevice(4, 0), 1);  // not open: nothing sent
    EXPECT_TRUE(bench.capture().all().empty());
    EXPECT_EQ(YCAN_BoardInfoGet(4, 0, nullptr), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_NOT_OPENED);
}

TEST_F(UsbCan, UnansweredCommandIsWrittenAgainUntilItsTimeOut) {
    VirtualUsbCanAdapter& a = attach();
    ASSERT_EQ(open(), 1);
    a.setSilentCommand(0xB2, true);
    uint8_t first = 9, second = 9;
    EXPECT_EQ(YCAN_DevRelayStatusGet(4, 0, &first, &second), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_USB_COMMAND);
    EXPECT_EQ(a.requests(0xB2), 2);  // 1000 ms with 500 ms reads: written twice
    EXPECT_EQ(first, 9);
}

TEST_F(UsbCan, InitialisationCommandAndAcknowledgements) {
    VirtualUsbCanAdapter& a = attach();
    ASSERT_EQ(open(), 1);
    _YCAN_INIT_CONFIG c0 = config(0);
    ASSERT_EQ(YCAN_InitCAN(4, 0, 0, &c0), 1);
    _YCAN_INIT_CONFIG c1 = config(1, 0x03, 0x1C);
    a.setInitAck(0x82);  // acknowledged like 0x81
    ASSERT_EQ(YCAN_InitCAN(4, 0, 1, &c1), 1);
    std::vector<Bytes> inits;
    for (auto& c : commands())
        if (c[1] == 0x03) inits.push_back(c);
    ASSERT_EQ(inits.size(), 2u);
    EXPECT_EQ(inits[0], (Bytes{0x12, 0x03, 0x06, 0x00, 0x00, 0x00, 0x14, 0x02, 0x57}));
    EXPECT_EQ(inits[1], (Bytes{0x12, 0x03, 0x06, 0x00, 0x90, 0x03, 0x1C, 0x02, 0x57}));
    EXPECT_TRUE(a.channel(1).altMode);
    EXPECT_EQ(a.channel(0).starts, 1);  // YCAN_InitCAN starts the channel too

    a.setInitAck(0x00);  // refused
    EXPECT_EQ(classic().initCAN(0, &c0), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_USB_COMMAND);

    StreamCapture out(1);
    _YCAN_INIT_CONFIG bad = config(2);
    const int before = a.requests(0x03);
    EXPECT_EQ(classic().initCAN(1, &bad), 0);
    EXPECT_EQ(a.requests(0x03), before);
    EXPECT_NE(out.text().find("[ERROR] Warning:USBCAN <ch:1> Init Fail->Para Err,Unkown Mode:2 \n"),
              std::string::npos);
    EXPECT_EQ(classic().initCAN(2, &c0), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
}

TEST_F(UsbCan, InitCanStartsEvenAfterAFailedInit) {
    VirtualUsbCanAdapter& a = attach();
    ASSERT_EQ(open(), 1);
    a.setInitAck(0x00);
    _YCAN_INIT_CONFIG c = config(0);
    EXPECT_EQ(YCAN_InitCAN(4, 0, 0, &c), 0);
    // The start ran, and its "not initialised" replaced the init's error.
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_CAN_NOT_INITIALIZED);
}

TEST_F(UsbCan, StartWithoutReplyAndResetKeepTheChannel) {
    ready();
    adapter->setSilentCommand(0x0E, true);
    EXPECT_EQ(YCAN_Start(4, 0, 0), 1);  // unanswered still counts
    EXPECT_EQ(YCAN_Stop(4, 0, 0), 1);
    EXPECT_EQ(adapter->channel(0).resets, 1);
    EXPECT_EQ(YCAN_GetReceiveNum(4, 0, 0, 0), 0);  // still initialised: no error
    EXPECT_EQ(YCAN_Start(4, 0, 0), 1);
    EXPECT_EQ(YCAN_Stop(4, 0, 2), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    QErrInfoMgr::getinstance()->setLastError(YCAN_ERR_OK);
    EXPECT_EQ(YCAN_Start(4, 0, 1), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_CAN_NOT_INITIALIZED);
}

// The reset is written once and its result is not examined: a reset that
// cannot be written still succeeds, keeps the channel initialised and
// leaves the last error as it was.
TEST_F(UsbCan, ResetThatCannotBeWrittenLeavesTheLastError) {
    ready();
    QErrInfoMgr::getinstance()->setLastError(YCAN_ERR_CAN_FORMAT);
    EXPECT_EQ(YCAN_Stop(4, 0, 0), 1);  // written, never answered
    EXPECT_EQ(adapter->channel(0).resets, 1);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_CAN_FORMAT);

    dev->stall(0x01);
    EXPECT_EQ(YCAN_Stop(4, 0, 0), 1);
    EXPECT_EQ(adapter->channel(0).resets, 1);  // this one never reached the adapter
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_CAN_FORMAT);
    EXPECT_EQ(YCAN_GetReceiveNum(4, 0, 0, 0), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_CAN_FORMAT);  // still initialised

    // A channel never initialised keeps the queue clearing's error.
    EXPECT_EQ(YCAN_Stop(4, 0, 1), 1);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_CAN_NOT_INITIALIZED);
}

TEST_F(UsbCan, BoardInformation) {
    VirtualUsbCanAdapter& a = attach();
    a.setVersions(0x1234, 0xABCD);
    a.setTexts("SN00000042", "USBCAN-II");
    ASSERT_EQ(open(), 1);
    _YCAN_BOARD_INFO info;
    memset(&info, 'x', sizeof info);
    ASSERT_EQ(YCAN_BoardInfoGet(4, 0, &info), 1);
    EXPECT_EQ(info.Version0, 0x1234);  // low byte first on this family's wire
    EXPECT_EQ(info.Version1, 0xABCD);
    EXPECT_EQ(info.ChannelNum, 2);
    EXPECT_EQ(std::string(info.SerialNum, 10), "SN00000042");
    EXPECT_EQ(info.SerialNum[10], 'x');  // no terminator written
    EXPECT_EQ(std::string(info.HwType, 9), "USBCAN-II");
    EXPECT_EQ(info.HwType[9], 'x');
    EXPECT_EQ(info.ApiVersion, 0x7878);  // not this family's field

    // Later replies missing: still 1, the count from the cleared buffer.
    for (uint8_t code : {0x12, 0x13, 0x14, 0x15}) a.setSilentCommand(code, true);
    _YCAN_BOARD_INFO partial;
    memset(&partial, 'y', sizeof partial);
    ASSERT_EQ(YCAN_BoardInfoGet(4, 0, &partial), 1);
    EXPECT_EQ(partial.Version0, 0x1234);
    EXPECT_EQ(partial.ChannelNum, 0);
    EXPECT_EQ(partial.SerialNum[0], 'y');

    // The first reply must be exactly 6 bytes.
    a.setReplyLength(0x01, 5);
    StreamCapture out(1);
    EXPECT_EQ(YCAN_BoardInfoGet(4, 0, &partial), 0);
    EXPECT_NE(out.text().find("[ERROR] USBCAN 获取板卡信息失败\n"), std::string::npos);
}

TEST_F(UsbCan, RelayBaudStateAndDirectTransfer) {
    VirtualUsbCanAdapter& a = attach();
    ASSERT_EQ(open(), 1);
    EXPECT_EQ(YCAN_DevRelayStatusSet(4, 0, 0x01, 0x02), 1);
    EXPECT_EQ(a.relay(), std::make_pair(uint8_t{1}, uint8_t{2}));
    uint8_t r1 = 0, r2 = 0, r3 = 0;
    EXPECT_EQ(YCAN_DevRelayStatusGet(4, 0, &r1, &r2), 1);
    EXPECT_EQ(r1, 1);
    EXPECT_EQ(r2, 2);
    a.setBaudParameters(0x31, 0x1C);
    EXPECT_EQ(YCAN_DevBaudParaGet(4, 0, 1, &r1, &r2), 1);
    EXPECT_EQ(r1, 0x31);
    EXPECT_EQ(r2, 0x1C);
    EXPECT_EQ(commands().back(), (Bytes{0x12, 0xA4, 0x01, 0x01}));
    a.setChannelState(7, 8, 9);
    EXPECT_EQ(YCAN_DevChStateGet(4, 0, 0x101, &r1, &r2, &r3), 1);  // low 8 bits of the channel
    EXPECT_EQ(commands().back(), (Bytes{0x12, 0x80, 0x01, 0x01, 0x00, 0x00}));
    EXPECT_EQ(r1, 7);
    EXPECT_EQ(r2, 8);
    EXPECT_EQ(r3, 9);
    EXPECT_EQ(YCAN_DevChStateGet(4, 0, 0, nullptr, &r2, &r3), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);

    uint8_t data[100];
    for (int i = 0; i < 100; ++i) data[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(YCAN_DataDirectTransfer(4, 0, data, 100), 62);
    EXPECT_EQ(a.lastDirectPayload().size(), 62u);
    EXPECT_EQ(data[0], 0xFF);
    EXPECT_EQ(data[61], static_cast<uint8_t>(~61));
    EXPECT_EQ(data[62], 62);
}

TEST_F(UsbCan, TransmitPacksThreeRecordsPerPacket) {
    ready(FunctionSetReply::Decline);  // replies to data packets are awaited
    std::vector<_YCAN_CAN_OBJ> frames;
    for (uint32_t i = 0; i < 7; ++i) frames.push_back(frame(0x120 + i, 8, static_cast<uint8_t>(i)));
    frames[0].TimeTag = 0x11223344;
    frames[0].SendMode = 0x5A;
    frames[1].ExternFlag = 1;
    frames[1].ID = 0x1ABCDEF;
    EXPECT_EQ(YCAN_Transmit(4, 0, 0, frames.data(), 7), 7);
    auto packets = adapter->dataPackets();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].size(), 57u);
    EXPECT_EQ(packets[2].size(), 19u);
    const Bytes& p = packets[0];
    EXPECT_EQ(Bytes(p.begin(), p.begin() + 11),
              (Bytes{0x11, 0x22, 0x33, 0x44, 0x00, 0x5A, 0x08, 0x00, 0x24, 0x00, 0x00}));
    EXPECT_EQ(p[19 + 6], 0x88);  // extended, length 8
    auto bus = adapter->busFrames(0);
    ASSERT_EQ(bus.size(), 7u);
    EXPECT_EQ(bus[1].id, 0x1ABCDEFu);
    EXPECT_EQ(bus[6].data[0], 6);

    // The adapter's word counts, but never for more frames than a packet
    // carried: packets of 3, 3 and 1 frames.
    adapter->setAcceptedCount(2);
    EXPECT_EQ(YCAN_Transmit(4, 0, 0, frames.data(), 7), 5);
    adapter->setAcceptedCount(200);
    EXPECT_EQ(YCAN_Transmit(4, 0, 0, frames.data(), 7), 7);

    // A bad frame anywhere: nothing goes out.
    const size_t sent = adapter->dataPackets().size();
    frames[3].DataLen = 9;
    EXPECT_EQ(YCAN_Transmit(4, 0, 0, frames.data(), 7), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_CAN_FORMAT);
    frames[3].DataLen = 8;
    frames[5].ExternFlag = 2;
    EXPECT_EQ(YCAN_Transmit(4, 0, 0, frames.data(), 7), 0);
    EXPECT_EQ(adapter->dataPackets().size(), sent);
    EXPECT_EQ(YCAN_Transmit(4, 0, 0, frames.data(), 65536), 0);  // counted modulo 65536
    EXPECT_EQ(adapter->dataPackets().size(), sent);
}

TEST_F(UsbCan, TransmitWithoutRepliesOnceTheFunctionSetIsAccepted) {
    ready(FunctionSetReply::Accept);
    std::vector<_YCAN_CAN_OBJ> frames(7, frame(0x10, 1));
    adapter->setAcceptedCount(0);  // would count nothing, but is not asked
    EXPECT_EQ(YCAN_Transmit(4, 0, 0, frames.data(), 7), 7);
    EXPECT_EQ(adapter->busFrames(0).size(), 7u);
}

TEST_F(UsbCan, ReceiveStreamResynchronisesAndDecodes) {
    ready();
    // Leading garbage mid-record, a record split across transfers.
    Bytes stream = {0x01, 0x00, 0x07, 0x55};
    Bytes a = VirtualUsbCanAdapter::encodeRecord(rx(1, 0x1FFFFFFF, 15, true));  // flags 0x9F
    EXPECT_EQ(a[6], 0x9F);
    Bytes b = VirtualUsbCanAdapter::encodeRecord(rx(0, 0x7FF, 2));
    EXPECT_EQ(Bytes(b.begin() + 7, b.begin() + 11), (Bytes{0xE0, 0xFF, 0x00, 0x00}));
    stream.insert(stream.end(), a.begin(), a.end());
    stream.insert(stream.end(), b.begin(), b.end());
    dev->pushIn(0x82, Bytes(stream.begin(), stream.begin() + 10));
    dev->pushIn(0x82, Bytes(stream.begin() + 10, stream.end()));

    _YCAN_CAN_OBJ got[2];
    ASSERT_TRUE(waitReceived(7, got, 1));  // channel 7 reads channel 1
    EXPECT_EQ(got[0].ID, 0x1FFFFFFFu);
    EXPECT_EQ(got[0].ExternFlag, 1);
    EXPECT_EQ(got[0].DataLen, 8);
    EXPECT_EQ(got[0].TimeTag >> 24, 0x01u);
    ASSERT_TRUE(waitReceived(0, got, 1));
    EXPECT_EQ(got[0].ID, 0x7FFu);
    EXPECT_EQ(got[0].DataLen, 2);
    EXPECT_EQ(got[0].Data[1], 1);
}

TEST_F(UsbCan, FramesOfAnUninitialisedChannelAreQueuedUntilItsInit) {
    ready();
    adapter->inject(*dev, {rx(1, 1, 1), rx(1, 2, 1), rx(1, 3, 1), rx(0, 99, 1)});
    _YCAN_CAN_OBJ got[4];
    ASSERT_TRUE(waitReceived(0, got, 1));  // the marker came after them
    EXPECT_EQ(YCAN_Receive(4, 0, 1, got, 4, 0), 3);

    adapter->inject(*dev, {rx(1, 4, 1), rx(1, 5, 1), rx(0, 100, 1)});
    ASSERT_TRUE(waitReceived(0, got, 1));
    _YCAN_INIT_CONFIG c = config(0);
    ASSERT_EQ(YCAN_InitCAN(4, 0, 1, &c), 1);
    EXPECT_EQ(YCAN_GetReceiveNum(4, 0, 1, 0), 0);  // the initialisation dropped them
}

// The adapter's received frames and its transmit mode belong to the device
// index, not to one connection: frames still queued at close are handed out
// afterwards, and a function set accepted once stays in force after a
// reopen the adapter declines.
TEST_F(UsbCan, WhatAnIndexHoldsOutlivesItsClose) {
    ready(FunctionSetReply::Accept);
    adapter->inject(*dev, {rx(1, 7, 1), rx(1, 8, 1), rx(0, 99, 1)});
    _YCAN_CAN_OBJ got[4];
    ASSERT_TRUE(waitReceived(0, got, 1));  // the marker came after them
    ASSERT_EQ(YCAN_CloseDevice(4, 0), 1);
    EXPECT_EQ(YCAN_Receive(4, 0, 1, got, 4, 1000), 2);
    EXPECT_EQ(got[1].ID, 8u);
    EXPECT_EQ(YCAN_Receive(4, 0, 1, got, 4, 0), 0);

    adapter->setFunctionSetReply(FunctionSetReply::Decline);
    ASSERT_EQ(open(3), 1);  // the other type code reaches the same index
    _YCAN_INIT_CONFIG c = config(0);
    ASSERT_EQ(YCAN_InitCAN(3, 0, 0, &c), 1);
    std::vector<_YCAN_CAN_OBJ> frames(4, frame(0x10, 1));
    adapter->setAcceptedCount(0);  // would count nothing, but is not asked
    EXPECT_EQ(YCAN_Transmit(3, 0, 0, frames.data(), 4), 4);
    YCAN_CloseDevice(3, 0);
}

TEST_F(UsbCan, ThousandsOfFramesInOrder) {
    ready();
    std::mt19937 rng(3);
    constexpr uint32_t kFrames = 3000;
    for (uint32_t at = 0; at < kFrames;) {
        std::vector<ClassicFrame> batch;
        for (uint32_t n = 0; n < 40 && at < kFrames; ++n, ++at)
            batch.push_back(
                rx(at % 2, at, static_cast<uint8_t>(at % 9), at % 5 == 0, static_cast<uint8_t>(at)));
        adapter->inject(*dev, batch, 1 + rng() % 64);
    }
    std::vector<uint32_t> seen[2];
    ycantest::eventually(
        [&] {
            for (uint32_t ch = 0; ch < 2; ++ch) {
                _YCAN_CAN_OBJ f[32];
                int n = YCAN_Receive(4, 0, ch, f, 32, 5);
                for (int i = 0; i < n; ++i) {
                    seen[ch].push_back(f[i].ID);
                    EXPECT_EQ(f[i].DataLen, std::min<uint32_t>(f[i].ID % 9, 8));
                    EXPECT_EQ(f[i].ExternFlag, f[i].ID % 5 == 0 ? 1 : 0);
                }
            }
            return seen[0].size() + seen[1].size() >= kFrames;
        },
        60s, 0ms);
    for (uint32_t ch = 0; ch < 2; ++ch) {
        std::vector<uint32_t> want;
        for (uint32_t i = ch; i < kFrames; i += 2) want.push_back(i);
        EXPECT_EQ(seen[ch], want) << "channel " << ch;
    }
}

TEST_F(UsbCan, FramesWaitingInTheAdapterGoOutThreeToATransfer) {
    ready();
    ASSERT_TRUE(dev->waitPendingIn(0x82, 1, 3s));
    const size_t before = bench.capture().select(dev->id(), ycansim::UsbEvent::In, 0x82).size();
    std::vector<ClassicFrame> frames;
    for (uint32_t i = 0; i < 30; ++i) frames.push_back(rx(0, 0x100 + i, 8, false, static_cast<uint8_t>(i)));
    adapter->fromBus(*dev, frames);
    _YCAN_CAN_OBJ got[30];
    ASSERT_TRUE(waitReceived(0, got, 30));
    for (uint32_t i = 0; i < 30; ++i) {
        EXPECT_EQ(got[i].ID, 0x100 + i);
        EXPECT_EQ(got[i].TimeTag & 0xFFFFFF, 0x100 + i);
        EXPECT_EQ(got[i].Data[0], i);
    }
    // 19-byte records, whole, as many as a 64-byte transfer holds.
    auto all = bench.capture().select(dev->id(), ycansim::UsbEvent::In, 0x82);
    ASSERT_EQ(all.size() - before, 10u);
    for (size_t t = before; t < all.size(); ++t) EXPECT_EQ(all[t].data.size(), 57u);
    EXPECT_EQ(adapter->framesSent(), 30u);
}

// A replayed initialisation the adapter refuses fails like the
// application's own, last error included; recovery keeps trying and ends
// once the adapter takes it.
TEST_F(UsbCan, RefusedReplayIsReportedAndRetried) {
    ready();
    bench.unplug(*dev);
    ASSERT_TRUE(ycantest::eventually([] { return classic().recovering(); }, 3s));
    adapter->setInitAck(0x00);
    QErrInfoMgr::getinstance()->setLastError(YCAN_ERR_OK);
    bench.replug(*dev);
    ASSERT_TRUE(ycantest::eventually([&] { return adapter->requests(0x03) >= 3; }, 10s));
    EXPECT_TRUE(classic().recovering());
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_USB_COMMAND);
    adapter->setInitAck(0x81);
    ASSERT_TRUE(ycantest::eventually([] { return !classic().recovering(); }, 10s));
    EXPECT_TRUE(adapter->channel(0).initialised);
}

TEST_F(UsbCan, UnpluggedAdapterIsRestored) {
    ready();
    StreamCapture out(1);
    bench.unplug(*dev);
    ASSERT_TRUE(ycantest::eventually([] { return classic().recovering(); }, 3s));
    _YCAN_CAN_OBJ f = frame(1, 1);
    EXPECT_EQ(YCAN_Transmit(4, 0, 0, &f, 1), 0);  // refused while recovering
    uint8_t r1, r2;
    EXPECT_EQ(YCAN_DevRelayStatusGet(4, 0, &r1, &r2), 0);
    std::this_thread::sleep_for(300ms);

    QErrInfoMgr::getinstance()->setLastError(YCAN_ERR_CAN_FORMAT);
    bench.replug(*dev);
    ASSERT_TRUE(ycantest::eventually([] { return !classic().recovering(); }, 5s));
    EXPECT_EQ(countOf(out.text(), "[INFO ] YORV Tip:USBCAN OK...\n"), 1u);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_CAN_FORMAT);  // a clean replay stores nothing

    std::vector<Bytes> replayed;
    bool after = false;
    for (auto& t : bench.capture().all()) {
        if (t.kind == UsbEvent::Replug) after = true;
        if (after && t.kind == UsbEvent::Out && t.endpoint == 0x01) replayed.push_back(t.data);
    }
    ASSERT_EQ(replayed.size(), 3u);
    EXPECT_EQ(Bytes(replayed[0].begin(), replayed[0].begin() + 4), (Bytes{0x12, 0xA7, 0xFE, 0xEF}));
    EXPECT_EQ(replayed[1], (Bytes{0x12, 0x03, 0x06, 0x00, 0x00, 0x00, 0x14, 0x02, 0x57}));
    EXPECT_EQ(replayed[2], (Bytes{0x12, 0x0E, 0x02, 0x00, 0x00}));
    EXPECT_TRUE(adapter->channel(0).initialised);

    adapter->inject(*dev, {rx(0, 0x55, 1)});
    _YCAN_CAN_OBJ got[1];
    ASSERT_TRUE(waitReceived(0, got, 1));
    EXPECT_EQ(got[0].ID, 0x55u);
    EXPECT_EQ(YCAN_Transmit(4, 0, 0, &f, 1), 1);
}
