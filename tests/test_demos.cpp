// The echo demos as real programs, run as children of a test that holds the
// virtual adapters.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "adapter_fixture.h"
#include "eventually.h"
#include "sim/bench/child_process.h"
#include "test_support.h"

using namespace std::chrono_literals;
using ycansim::BusFrame;
using ycansim::ChildProcess;
using ycansim::ClassicFrame;
using ycantest::countOf;
using ycantest::eventually;
using Bytes = std::vector<uint8_t>;

namespace {

BusFrame fdBusFrame(uint32_t id, uint8_t len, uint8_t flags, Bytes data) {
    BusFrame f;
    f.flags = flags;
    f.id = id;
    f.dataLen = len;
    f.data = std::move(data);
    f.data.resize((flags & 1) ? 64 : 8, 0);
    return f;
}

class Demos : public ::testing::Test {
protected:
    ycansim::UsbBench bench;
};

}  // namespace

TEST_F(Demos, WithoutAdapterTheyEndByThemselves) {
    ChildProcess::Options piped;
    piped.terminal = false;
    ChildProcess fd({YCAN_CANFD_DEMO}, piped);
    EXPECT_EQ(fd.wait(20s), 0);
    std::string out = fd.output();
    EXPECT_EQ(out.rfind("Demo Start...\n", 0), 0u) << out;
    EXPECT_NE(out.find("\nDevice Open Fail...\n"), std::string::npos) << out;
    EXPECT_TRUE(out.ends_with("\nDemo Stop...\n")) << out;

    ChildProcess classic({YCAN_CLASSIC_DEMO}, piped);
    EXPECT_EQ(classic.wait(20s), 0);
    // Only the library's own log lines: the demo prints nothing of its own.
    std::string text = classic.output();
    EXPECT_EQ(countOf(text, "\n"), countOf(text, "] [ERROR] ")) << text;
}

TEST_F(Demos, ClassicDemoEchoesAFrame) {
    auto added = ycantest::addAdapter<ycansim::VirtualUsbCanAdapter>(bench, 4);
    auto adapter = added.model;
    ycansim::VirtualDevice& dev = added.device;
    ChildProcess demo({YCAN_CLASSIC_DEMO});
    ASSERT_TRUE(demo.waitForOutput("DEMO功能:CAN1波特率1M,接收到什么数据就回发什么数据。\n", 10s))
        << demo.output();
    ClassicFrame f;
    f.id = 0x123;
    f.dataLen = 2;
    f.data = {0x11, 0x22, 0, 0, 0, 0, 0, 0};
    adapter->inject(dev, {f});
    ASSERT_TRUE(demo.waitForOutput("-----send :1\n", 10s)) << demo.output();
    EXPECT_NE(demo.output().find("---recvlen:1\n"
                                 "ID: 00000123 DataLen:02 ExternFlag:00 RemoteFlag: 00 data:11 22 \n"
                                 "-----send :1\n"),
              std::string::npos)
        << demo.output();
    auto bus = adapter->busFrames(0);
    ASSERT_EQ(bus.size(), 1u);
    EXPECT_EQ(bus[0].id, 0x123u);
    EXPECT_EQ(bus[0].dataLen, 2);
    EXPECT_EQ(Bytes(bus[0].data.begin(), bus[0].data.begin() + 2), (Bytes{0x11, 0x22}));
    EXPECT_FALSE(bus[0].extended);
    demo.stop(SIGTERM, 3s);
}

TEST_F(Demos, CanFdDemoEchoesClassicAndFdFrames) {
    auto added = ycantest::addAdapter<ycansim::VirtualCanFdAdapter>(bench, 43);
    auto adapter = added.model;
    ycansim::VirtualDevice& dev = added.device;
    ChildProcess demo({YCAN_CANFD_DEMO});
    ASSERT_TRUE(demo.waitForOutput("功能:接收到什么数据就回发什么数据。\n", 10s)) << demo.output();
    EXPECT_NE(demo.output().find("\r\nDEMO 参数:CAN1 ISO:NONE Baud:<1M,5M> 功能:"), std::string::npos);
    EXPECT_EQ(adapter->channel(0).abit.bitRate(), 1000000u);
    EXPECT_EQ(adapter->channel(0).dbit.bitRate(), 5000000u);

    adapter->inject(dev, {fdBusFrame(0x123, 2, 0x00, {0x11, 0x22})});
    ASSERT_TRUE(demo.waitForOutput("---can send:1\n", 10s)) << demo.output();
    EXPECT_NE(demo.output().find("---can recv:1\n"
                                 "ID: 00000123 DataLen:02 ExternFlag:0 RemoteFlag: 0 data:11 22 \n"
                                 "---can send:1\n"),
              std::string::npos)
        << demo.output();

    Bytes payload;
    for (int i = 0; i < 12; ++i) payload.push_back(static_cast<uint8_t>(0xA0 + i));
    adapter->inject(dev, {fdBusFrame(0xFFFFFFFF, 12, 0x05, payload)});  // FD, extended
    ASSERT_TRUE(demo.waitForOutput("---fd send:1\n", 10s)) << demo.output();
    EXPECT_NE(demo.output().find("ID: 1fffffff DataLen:0c ExternFlag:1 RemoteFlag: 0 data:a0 a1 a2 a3 a4 "
                                 "a5 a6 a7 a8 a9 aa ab \n"),
              std::string::npos)
        << demo.output();
    ASSERT_TRUE(eventually([&] { return adapter->busFrames(0).size() == 2; }, 10s));
    auto bus = adapter->busFrames(0);
    EXPECT_EQ(bus[0].id, 0x123u);
    EXPECT_EQ(bus[1].id, 0x1FFFFFFFu);
    EXPECT_EQ(bus[1].flags, 0x05);
    EXPECT_EQ(bus[1].dataLen, 12);
    EXPECT_EQ(Bytes(bus[1].data.begin(), bus[1].data.begin() + 12), payload);
    demo.stop(SIGTERM, 3s);
}

TEST_F(Demos, CanFdDemoTakesABurstIn32AndThe8Left) {
    auto added = ycantest::addAdapter<ycansim::VirtualCanFdAdapter>(bench, 43);
    auto adapter = added.model;
    ycansim::VirtualDevice& dev = added.device;
    ChildProcess demo({YCAN_CANFD_DEMO});
    ASSERT_TRUE(demo.waitForOutput("功能:接收到什么数据就回发什么数据。\n", 10s));
    std::vector<BusFrame> burst;
    for (uint32_t i = 0; i < 40; ++i)
        burst.push_back(fdBusFrame(0x200 + i, 1, 0x00, {static_cast<uint8_t>(i)}));
    ycansim::StreamShape oneTransfer;
    oneTransfer.packetsPerTransfer = 4;  // all 40 queued at once
    adapter->inject(dev, burst, oneTransfer);
    // The demo's lines may reach us after its frames reach the bus.
    ASSERT_TRUE(demo.waitForOutput("---can send:8\n", 10s)) << demo.output();
    std::string out = demo.output();
    EXPECT_NE(out.find("---can recv:32\n"), std::string::npos) << out;
    EXPECT_NE(out.find("---can recv:8\n"), std::string::npos) << out;
    EXPECT_TRUE(eventually([&] { return adapter->busFrames(0).size() == 40; }, 10s));
    demo.stop(SIGTERM, 3s);
}

TEST_F(Demos, CanFdDemoKeepsEchoingAfterUnplugAndReplug) {
    auto added = ycantest::addAdapter<ycansim::VirtualCanFdAdapter>(bench, 43);
    auto adapter = added.model;
    ycansim::VirtualDevice& dev = added.device;
    ChildProcess demo({YCAN_CANFD_DEMO});
    ASSERT_TRUE(demo.waitForOutput("功能:接收到什么数据就回发什么数据。\n", 10s));
    std::vector<BusFrame> five;
    for (uint32_t i = 0; i < 5; ++i) five.push_back(fdBusFrame(0x300 + i, 1, 0x00, {1}));
    adapter->inject(dev, five);
    ASSERT_TRUE(eventually([&] { return adapter->busFrames(0).size() == 5; }, 10s));

    bench.unplug(dev);
    std::this_thread::sleep_for(300ms);
    bench.replug(dev);
    // The driver restores the channel: timing and start arrive again.
    ASSERT_TRUE(demo.waitForOutput("YORV Tip:USBCANFD OK...", 10s)) << demo.output();
    EXPECT_TRUE(adapter->channel(0).started);
    adapter->inject(dev, five);
    ASSERT_TRUE(eventually([&] { return adapter->busFrames(0).size() == 10; }, 10s)) << demo.output();
    demo.stop(SIGTERM, 3s);
}
