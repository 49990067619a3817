// CAN FD adapters on the virtual bench: open and close, the command channel,
// board information, direct transfer, the device function set, and channel
// configuration, through the exported functions wherever they reach.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>

#include "api/QYCANDevMgr.h"
#include "bench_helpers.h"
#include "canfd_fixture.h"
#include "drivers/canfd/QDeviceUsbCanFd2.h"
#include "sim/bench/usb_bench.h"
#include "sim/canfd/canfd_adapter.h"
#include "support/QErrMgr.h"
#include "test_support.h"
#include "ycan.h"

using namespace std::chrono_literals;
using ycansim::FunctionSetReply;
using ycansim::UsbEvent;
using ycansim::VirtualCanFdAdapter;
using ycansim::VirtualDevice;
using ycantest::countOf;
using ycantest::StreamCapture;
using Bytes = std::vector<uint8_t>;

// ---- Open and close --------------------------------------------------------

TEST_F(CanFd, OpenReadsVersionsSendsFunctionSetAndResetsLastError) {
    VirtualCanFdAdapter& adapter = attach(43);
    QErrInfoMgr::getinstance()->setLastError(YCAN_ERR_PARAMETER);
    ASSERT_EQ(open(43), 1);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_OK);
    EXPECT_EQ(adapter.requests(0x01), 1);
    EXPECT_EQ(adapter.requests(0x12), 1);
    EXPECT_EQ(adapter.functionSetRequests(), 1);
    // The adapter deciphered and checked the packet with its own AES.
    EXPECT_TRUE(adapter.lastFunctionSetValid());
    auto cmds = commandsTo(*devices[0]);
    ASSERT_GE(cmds.size(), 3u);
    EXPECT_EQ(cmds[0], (Bytes{0x55, 0x01, 0x01, 0x01}));
    EXPECT_EQ(cmds[1], (Bytes{0x55, 0x12, 0x01, 0x01}));

    const size_t before = bench.capture().all().size();
    EXPECT_EQ(open(43), 1);  // already open: nothing goes to the adapter
    EXPECT_EQ(bench.capture().all().size(), before);

    EXPECT_EQ(YCAN_CloseDevice(43, 0), 1);
    EXPECT_EQ(YCAN_Start(43, 0, 0), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_NOT_OPENED);
}

TEST_F(CanFd, TypeAndIndexSelectTheAdapter) {
    VirtualCanFdAdapter& first = attach(66);
    VirtualCanFdAdapter& second = attach(66);
    VirtualCanFdAdapter& small = attach(42);
    auto order = ycantest::libusbOrder(0x0471, 0x2018);
    ASSERT_EQ(order.size(), 2u);
    // Index 1 is the second adapter in libusb's order.
    VirtualCanFdAdapter& atIndex1 = order[1].second == devices[0]->deviceNumber() ? first : second;

    ASSERT_EQ(open(66, 1), 1);
    EXPECT_EQ(atIndex1.requests(0x01), 1);
    EXPECT_EQ((&atIndex1 == &first ? second : first).requests(0x01), 0);
    _YCAN_BOARD_INFO info{};
    ASSERT_EQ(YCAN_BoardInfoGet(66, 1, &info), 1);
    EXPECT_EQ(info.ChannelNum, 8);
    EXPECT_EQ(driver(66, 1)->channels(), 8u);

    ASSERT_EQ(open(42), 1);
    EXPECT_EQ(small.requests(0x01), 1);
    ASSERT_EQ(YCAN_BoardInfoGet(42, 0, &info), 1);
    EXPECT_EQ(info.ChannelNum, 2);
    EXPECT_EQ(driver(42)->channels(), 2u);
}

TEST_F(CanFd, AdapterWithoutSecondVersionIsClosedAgain) {
    VirtualCanFdAdapter& adapter = attach(43);
    adapter.setSilentCommand(0x12, true);
    EXPECT_EQ(open(43), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_DEVICE_INFO);
    EXPECT_GE(adapter.requests(0x12), 1);
    EXPECT_EQ(adapter.functionSetRequests(), 0);
    // Closed again: the close resets the device a second time.
    EXPECT_EQ(bench.capture().select(devices[0]->id(), UsbEvent::Reset).size(), 2u);
    EXPECT_EQ(ycanDevMgr.deviceFind(43, 0), nullptr);
}

TEST_F(CanFd, NoAdapterIsDeviceNotExist) {
    attach(64);  // another type
    EXPECT_EQ(open(43), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_DEVICE_NOT_EXIST);
    EXPECT_EQ(open(64, 1), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_DEVICE_NOT_EXIST);
}

// ---- Command channel -------------------------------------------------------

TEST_F(CanFd, UnmatchedRepliesAreIgnoredAndTheRequestResent) {
    VirtualCanFdAdapter& adapter = attach(43);
    ASSERT_EQ(open(43), 1);
    _YCAN_BOARD_INFO info{};
    info.Version0 = 0xBEEF;

    adapter.setReplyLength(2);  // too short to match
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(YCAN_BoardInfoGet(43, 0, &info), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1400ms);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_USB_COMMAND);
    EXPECT_GE(adapter.requests(0x01), 3);  // open's one, then written again and again

    adapter.setReplyLength(0);
    adapter.setWrongCommand(0x13);  // another command's reply
    const int before = adapter.requests(0x01);
    QErrInfoMgr::getinstance()->setLastError(YCAN_ERR_OK);
    EXPECT_EQ(YCAN_BoardInfoGet(43, 0, &info), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_USB_COMMAND);
    EXPECT_GE(adapter.requests(0x01) - before, 2);
    EXPECT_EQ(info.Version0, 0xBEEF);
}

TEST_F(CanFd, LateReplyWithinTheExchangeStillCounts) {
    VirtualCanFdAdapter& adapter = attach(43);
    ASSERT_EQ(open(43), 1);
    adapter.setReplyDelay(300ms);
    _YCAN_BOARD_INFO info{};
    EXPECT_EQ(YCAN_BoardInfoGet(43, 0, &info), 1);
    EXPECT_EQ(info.ChannelNum, 2);
}

// ---- Board information and direct transfer ----------------------------------

TEST_F(CanFd, BoardInformationFillsItsFieldsOnly) {
    VirtualCanFdAdapter& adapter = attach(64);
    adapter.setVersions(0x1234, 0xA0B1);
    ASSERT_EQ(open(64), 1);
    _YCAN_BOARD_INFO info;
    memset(&info, 'x', sizeof info);
    ASSERT_EQ(YCAN_BoardInfoGet(64, 0, &info), 1);
    EXPECT_EQ(info.Version0, 0x1234);  // high byte first on the wire
    EXPECT_EQ(info.Version1, 0xA0B1);
    EXPECT_EQ(info.ChannelNum, 4);
    EXPECT_EQ(info.ApiVersion, 0x0100);
    EXPECT_EQ(info.Version2, 0x7878);
    EXPECT_EQ(info.Spare8, 0x7878);
    EXPECT_EQ(std::count(info.SerialNum, info.SerialNum + 20, 'x'), 20);
    EXPECT_EQ(std::count(info.HwType, info.HwType + 40, 'x'), 40);
    EXPECT_EQ(driver(64)->firmwareVersion0(), 0x1234);

    EXPECT_EQ(YCAN_BoardInfoGet(64, 0, nullptr), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);

    // A matching reply too short for bytes 4 and 5 is a failed query.
    adapter.setReplyLength(5);
    _YCAN_BOARD_INFO again{};
    again.Version0 = 7;
    QErrInfoMgr::getinstance()->setLastError(YCAN_ERR_OK);
    EXPECT_EQ(YCAN_BoardInfoGet(64, 0, &again), 0);
    EXPECT_EQ(again.Version0, 7);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_OK);
}

TEST_F(CanFd, DirectTransferSendsAtMost62BytesAndCopiesTheReplyBack) {
    VirtualCanFdAdapter& adapter = attach(43);
    ASSERT_EQ(open(43), 1);
    uint8_t data[100];
    for (int i = 0; i < 100; ++i) data[i] = static_cast<uint8_t>(i + 1);
    EXPECT_EQ(YCAN_DataDirectTransfer(43, 0, data, 100), 62);
    Bytes sent = adapter.lastDirectPayload();
    ASSERT_EQ(sent.size(), 62u);
    for (int i = 0; i < 62; ++i) EXPECT_EQ(sent[i], i + 1);
    // The adapter answers 12 A7 and the inverted bytes; from byte 2 on they
    // replace the request.
    for (int i = 0; i < 62; ++i) EXPECT_EQ(data[i], static_cast<uint8_t>(~(i + 1))) << i;
    EXPECT_EQ(data[62], 63);

    uint8_t small[62] = {0xF0, 0x0F};
    EXPECT_EQ(YCAN_DataDirectTransfer(43, 0, small, 2), 2);
    EXPECT_EQ(small[0], 0x0F);
    EXPECT_EQ(small[1], 0xF0);
    EXPECT_EQ(commandsTo(*devices[0]).back(), (Bytes{0x12, 0xA7, 0xF0, 0x0F}));
}

// ---- Device function set ---------------------------------------------------

TEST_F(CanFd, FunctionSetAcceptedStopsEchoWaits) {
    attach(43);
    StreamCapture out(1);
    ASSERT_EQ(open(43), 1);
    std::string text = out.text();
    EXPECT_EQ(countOf(text, "[INFO ] USBCANFD设备功能设置成功!\n"), 1u) << text;
    EXPECT_FALSE(driver(43)->awaitingEchoes());
}

TEST_F(CanFd, FunctionSetDeclinedKeepsEchoWaits) {
    VirtualCanFdAdapter& adapter = attach(43);
    adapter.setFunctionSetReply(FunctionSetReply::Decline);
    StreamCapture out(1);
    ASSERT_EQ(open(43), 1);
    std::string text = out.text();
    EXPECT_EQ(countOf(text, "[INFO ] USBCANFD设备功能设置无效...\n"), 1u) << text;
    EXPECT_EQ(countOf(text, "成功"), 0u);
    EXPECT_TRUE(driver(43)->awaitingEchoes());
    EXPECT_NE(driver(43)->canDevFunSet(), 0);
}

TEST_F(CanFd, FunctionSetFailuresNeverFailTheOpen) {
    VirtualCanFdAdapter& adapter = attach(43);
    // Straight on a driver object: the registry's open would reset the error.
    adapter.setFunctionSetReply(FunctionSetReply::Broken);
    {
        QDeviceUsbCanFd2 dev;
        EXPECT_EQ(dev.openDevice(43, 0, 0), 1);
        EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PACKAGE_FORMAT);
        EXPECT_TRUE(dev.awaitingEchoes());
        EXPECT_EQ(dev.closeDevice(), 1);
    }
    adapter.setFunctionSetReply(FunctionSetReply::Silent);
    {
        QDeviceUsbCanFd2 dev;
        EXPECT_EQ(dev.openDevice(43, 0, 0), 1);
        EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_USB_TRANSPORT);
        EXPECT_EQ(dev.closeDevice(), 1);
        EXPECT_EQ(dev.closeDevice(), 1);  // already closed
    }
}

// ---- Channel configuration -------------------------------------------------

TEST_F(CanFd, BitTimingCommandForTheWorkedExamples) {
    VirtualCanFdAdapter& fd43 = attach(43);
    VirtualCanFdAdapter& fd66 = attach(66);
    ASSERT_EQ(open(43), 1);
    ASSERT_EQ(open(66), 1);
    _YCAN_INITFD_CONFIG c = rates(1000000, 5000000);
    ASSERT_EQ(YCAN_InitCANFD(43, 0, 0, &c), 1);
    ASSERT_EQ(YCAN_InitCANFD(66, 0, 5, &c), 1);

    Bytes timing43;
    for (auto& cmd : commandsTo(*devices[0]))
        if (cmd[1] == 0x03) timing43 = cmd;
    EXPECT_EQ(timing43, (Bytes{0x55, 0x03, 0x00, 0x01, 0x00, 0x00, 0x3C, 0x00, 0x05, 0x00, 0x00, 0x06,
                               0x00, 0x01, 0x00, 0x3C, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}));
    Bytes timing66;
    for (auto& cmd : commandsTo(*devices[1]))
        if (cmd[1] == 0x03) timing66 = cmd;
    EXPECT_EQ(timing66, (Bytes{0x55, 0x03, 0x05, 0x01, 0x00, 0x00, 0x50, 0x00, 0x03, 0x00, 0x00, 0x0E,
                               0x00, 0x03, 0x00, 0x50, 0x00, 0x01, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00}));

    auto ch43 = fd43.channel(0);
    EXPECT_EQ(ch43.abit.bitRate(), 1000000u);
    EXPECT_EQ(ch43.dbit.bitRate(), 5000000u);
    auto ch66 = fd66.channel(5);
    EXPECT_EQ(ch66.abit.clockMHz, 80u);
    EXPECT_EQ(ch66.abit.bitRate(), 1000000u);
    EXPECT_EQ(ch66.dbit.bitRate(), 5000000u);
    // YCAN_InitCANFD starts the channel as well.
    EXPECT_TRUE(ch43.started);
    EXPECT_TRUE(ch66.started);
    EXPECT_TRUE(driver(43)->channelActive(0));
}

TEST_F(CanFd, TimingSourceFollowsFdEnableAndTheRates) {
    VirtualCanFdAdapter& adapter = attach(43);
    ASSERT_EQ(open(43), 1);
    // FD with both rates 0: the record's words as they are.
    _YCAN_INITFD_CONFIG words{};
    words.FdEnable = 1;
    words.AbitTiming = 0x01400106;
    words.DbitTiming = 0x00800001;
    words.OptionA = 0x11;
    words.OptionB = 0x22;
    ASSERT_EQ(YCAN_InitCANFD(43, 0, 1, &words), 1);
    auto s = adapter.channel(1);
    EXPECT_EQ(s.abit.bitRate(), 1000000u);
    EXPECT_EQ(s.dbit.bitRate(), 5000000u);
    EXPECT_EQ(s.optionA, 0x11);
    EXPECT_EQ(s.optionB, 0x22);

    // Classic: the arbitration rate's word in both halves, data fields ignored.
    _YCAN_INITFD_CONFIG classic = rates(500000, 300000, 0);
    classic.DbitTiming = 0x00800001;
    ASSERT_EQ(YCAN_InitCANFD(43, 0, 0, &classic), 1);
    s = adapter.channel(0);
    EXPECT_EQ(s.abit.bitRate(), 500000u);
    EXPECT_EQ(s.dbit.bitRate(), 500000u);
    EXPECT_EQ(s.dbit.prescaler, 12u);
}

TEST_F(CanFd, UnknownRatesFailWithNothingSent) {
    VirtualCanFdAdapter& adapter = attach(43);
    ASSERT_EQ(open(43), 1);
    _YCAN_INITFD_CONFIG c = rates(300000, 2000000);
    c.OptionA = 0x5A;
    StreamCapture out(1);
    EXPECT_EQ(YCAN_InitCANFD(43, 0, 0, &c), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_BAUDRATE);
    // OptionA was taken before the rates were looked up.
    EXPECT_EQ(driver(43)->channelOptionA(0), 0x5A);
    _YCAN_INITFD_CONFIG noData = rates(1000000, 0);
    EXPECT_EQ(YCAN_InitCANFD(43, 0, 0, &noData), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_BAUDRATE);
    EXPECT_EQ(countOf(out.text(), "[ERROR] USBCANFD Init Fail...\n"), 2u);
    EXPECT_EQ(adapter.requests(0x03), 0);
    EXPECT_EQ(adapter.requests(0x0E), 0);
    EXPECT_FALSE(driver(43)->channelActive(0));

    EXPECT_EQ(YCAN_InitCANFD(43, 0, 8, &c), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    EXPECT_EQ(YCAN_InitCANFD(43, 0, 0, nullptr), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    _YCAN_INIT_CONFIG classic{};
    EXPECT_EQ(driver(43)->initCAN(0, &classic), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_TYPE_NOT_SUPPORTED);
}

TEST_F(CanFd, RefusedTimingLeavesTheChannelInactive) {
    VirtualCanFdAdapter& adapter = attach(43);
    ASSERT_EQ(open(43), 1);
    adapter.setRefuseTiming(true);
    _YCAN_INITFD_CONFIG c = rates(1000000, 2000000);
    EXPECT_EQ(YCAN_InitCANFD(43, 0, 0, &c), 0);
    EXPECT_EQ(adapter.requests(0x03), 1);
    EXPECT_EQ(adapter.requests(0x0E), 0);
    EXPECT_FALSE(driver(43)->channelActive(0));
}

TEST_F(CanFd, StopOnlyTellsInitialisedChannels) {
    VirtualCanFdAdapter& adapter = attach(43);
    ASSERT_EQ(open(43), 1);
    EXPECT_EQ(YCAN_Start(43, 0, 1), 1);  // started, never initialised
    EXPECT_TRUE(adapter.channel(1).started);
    EXPECT_EQ(YCAN_Stop(43, 0, 1), 1);
    EXPECT_EQ(adapter.requests(0x0F), 0);

    _YCAN_INITFD_CONFIG c = rates(500000, 2000000);
    ASSERT_EQ(YCAN_InitCANFD(43, 0, 0, &c), 1);
    EXPECT_EQ(YCAN_Stop(43, 0, 0), 1);
    EXPECT_EQ(adapter.requests(0x0F), 1);
    EXPECT_FALSE(adapter.channel(0).started);
    EXPECT_EQ(YCAN_Stop(43, 0, 0), 1);  // no longer active: not sent again
    EXPECT_EQ(adapter.requests(0x0F), 1);

    EXPECT_EQ(YCAN_Stop(43, 0, 8), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    EXPECT_EQ(YCAN_Start(43, 0, 8), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    EXPECT_EQ(YCAN_Start(43, 0, 256), 0);  // never wraps onto channel 0
    EXPECT_EQ(adapter.channel(0).starts, 1);
}

TEST_F(CanFd, CloseStopsActiveChannels) {
    VirtualCanFdAdapter& adapter = attach(64);
    ASSERT_EQ(open(64), 1);
    _YCAN_INITFD_CONFIG c = rates(250000, 1000000);
    ASSERT_EQ(YCAN_InitCANFD(64, 0, 0, &c), 1);
    ASSERT_EQ(YCAN_InitCANFD(64, 0, 3, &c), 1);
    QErrInfoMgr::getinstance()->setLastError(YCAN_ERR_CAN_FORMAT);
    EXPECT_EQ(YCAN_CloseDevice(64, 0), 1);
    EXPECT_EQ(adapter.channel(0).stops, 1);
    EXPECT_EQ(adapter.channel(3).stops, 1);
    EXPECT_EQ(adapter.channel(1).stops, 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_CAN_FORMAT);  // answered stops change nothing

    // A stop the adapter does not answer fails its exchange, which says so;
    // the close still succeeds.
    ASSERT_EQ(open(64), 1);
    ASSERT_EQ(YCAN_InitCANFD(64, 0, 0, &c), 1);
    adapter.setSilentCommand(0x0F, true);
    QErrInfoMgr::getinstance()->setLastError(YCAN_ERR_CAN_FORMAT);
    EXPECT_EQ(YCAN_CloseDevice(64, 0), 1);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_USB_COMMAND);
}

TEST_F(CanFd, ChannelStatusWord) {
    VirtualCanFdAdapter& adapter = attach(43);
    ASSERT_EQ(open(43), 1);
    adapter.setStatusWord(1, 0xA1B2C3D4);
    unsigned status = 0;
    ASSERT_EQ(driver(43)->canChStatusGet(1, &status), 1);
    EXPECT_EQ(status, 0xA1B2C3D4u);
    EXPECT_EQ(commandsTo(*devices[0]).back(), (Bytes{0x55, 0x16, 0x11, 0x00}));
    EXPECT_EQ(driver(43)->canChStatusGet(8, &status), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
}

// ---- Filters -----------------------------------------------------------------

TEST_F(CanFd, FilterRangesAreMaskedByMode) {
    VirtualCanFdAdapter& adapter = attach(43);
    ASSERT_EQ(open(43), 1);
    _YCAN_FLITER_CONFIG f{};
    f.FilterOp = 1;
    f.FilterMode = 0;
    f.StartId = 0xF123;
    f.EndId = 0xFFFF;
    ASSERT_EQ(YCAN_SetFliter(43, 0, 0, &f), 1);
    Bytes filterCmd = commandsTo(*devices[0]).back();
    EXPECT_EQ(filterCmd,
              (Bytes{0x55, 0x04, 0x0A, 0x02, 0x00, 0x23, 0x01, 0x00, 0x00, 0xFF, 0x07, 0x00, 0x00}));

    f.FilterMode = 1;
    f.StartId = 0xE0000001;
    f.EndId = 0xFFFFFFFF;
    ASSERT_EQ(YCAN_SetFliter(43, 0, 1, &f), 1);
    f.FilterMode = 7;  // any other mode: operation 5 at once, then unmasked
    f.StartId = 0xE0000001;
    ASSERT_EQ(YCAN_SetFliter(43, 0, 1, &f), 1);
    auto s1 = adapter.channel(1);
    ASSERT_EQ(s1.filters.size(), 3u);
    EXPECT_EQ(s1.filters[0].operation, 3);
    EXPECT_EQ(s1.filters[0].startId, 0x00000001u);
    EXPECT_EQ(s1.filters[0].endId, 0x1FFFFFFFu);
    EXPECT_EQ(s1.filters[1].operation, 5);
    EXPECT_EQ(s1.filters[1].startId, 0u);
    EXPECT_EQ(s1.filters[2].operation, 5);
    EXPECT_EQ(s1.filters[2].startId, 0xE0000001u);
    EXPECT_EQ(s1.filters[2].endId, 0xFFFFFFFFu);

    f.FilterOp = 2;
    ASSERT_EQ(YCAN_SetFliter(43, 0, 1, &f), 1);
    EXPECT_TRUE(adapter.channel(1).filterEnabled);
    f.FilterOp = 0;
    ASSERT_EQ(YCAN_SetFliter(43, 0, 1, &f), 1);
    EXPECT_TRUE(adapter.channel(1).filters.empty());
    EXPECT_EQ(adapter.channel(1).filterClears, 1);

    f.FilterOp = 3;
    EXPECT_EQ(YCAN_SetFliter(43, 0, 1, &f), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    f.FilterOp = 0;
    QErrInfoMgr::getinstance()->setLastError(YCAN_ERR_OK);
    EXPECT_EQ(YCAN_SetFliter(43, 0, 256, &f), 0);  // not narrowed onto channel 0
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    EXPECT_EQ(YCAN_SetFliter(43, 0, 0, nullptr), 0);
    EXPECT_EQ(adapter.channel(0).filterClears, 0);

    adapter.setRefuseFilters(true);
    f.FilterOp = 2;
    EXPECT_EQ(YCAN_SetFliter(43, 0, 0, &f), 0);
}

// Two threads setting different ranges on one channel: each call installs
// its own range whole, never one thread's start with the other's end.
TEST_F(CanFd, RangesSetFromTwoThreadsArriveWhole) {
    VirtualCanFdAdapter& adapter = attach(43);
    ASSERT_EQ(open(43), 1);
    constexpr int kCalls = 200;
    const std::pair<uint32_t, uint32_t> ranges[2] = {{0x100, 0x1FF}, {0x1000000, 0x1FFFFFF}};
    std::atomic<int> failed{0};
    auto setter = [&](std::pair<uint32_t, uint32_t> range) {
        _YCAN_FLITER_CONFIG f{};
        f.FilterOp = 1;
        f.FilterMode = 2;  // unmasked: operation 5 with the identifiers as given
        f.StartId = range.first;
        f.EndId = range.second;
        for (int i = 0; i < kCalls; ++i)
            if (YCAN_SetFliter(43, 0, 0, &f) != 1) failed++;
    };
    std::thread a(setter, ranges[0]);
    std::thread b(setter, ranges[1]);
    a.join();
    b.join();
    EXPECT_EQ(failed, 0);
    std::map<std::pair<uint32_t, uint32_t>, int> installed;
    for (const auto& r : adapter.channel(0).filters)
        if (r.startId != 0 || r.endId != 0) installed[{r.startId, r.endId}]++;  // not the mode's 0-0
    EXPECT_EQ(installed,
              (std::map<std::pair<uint32_t, uint32_t>, int>{{ranges[0], kCalls}, {ranges[1], kCalls}}));
}

TEST_F(CanFd, FilterStepsMustComeInOrder) {
    attach(43);
    ASSERT_EQ(open(43), 1);
    auto dev = driver(43);
    QErrInfoMgr::getinstance()->setLastError(YCAN_ERR_USB_TRANSPORT);
    EXPECT_EQ(dev->canFilterStartIdSet(0, 0x100), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_USB_TRANSPORT);  // unchanged
    EXPECT_EQ(dev->canFilterEndIdSet(0, 0x200), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    EXPECT_EQ(dev->canFilterModeSet(0, 0), 1);
    EXPECT_EQ(dev->canFilterEndIdSet(0, 0x200), 0);  // start identifier missing
    EXPECT_EQ(dev->canFilterStartIdSet(0, 0x100), 1);
    EXPECT_EQ(dev->canFilterStartIdSet(0, 0x101), 0);  // needs a new mode first
    EXPECT_EQ(dev->canFilterEndIdSet(0, 0x200), 1);
    EXPECT_EQ(dev->canFilterEndIdSet(0, 0x300), 1);  // more end identifiers may follow
    EXPECT_EQ(dev->canFilterModeSet(8, 0), 0);
    EXPECT_EQ(dev->canFilterClear(8, 0), 0);
}

// ---- Key/value settings ------------------------------------------------------

TEST_F(CanFd, KeyValueSettings) {
    VirtualCanFdAdapter& adapter = attach(43);
    ASSERT_EQ(open(43), 1);
    auto dev = driver(43);
    EXPECT_EQ(dev->setValue("0/canfd_abit_baud_rate", "500000"), 1);
    EXPECT_EQ(dev->channelAbitTiming(0), 0x02C00106u);
    EXPECT_EQ(dev->setValue("1/canfd_dbit_baud_rate", "2000000"), 1);
    EXPECT_EQ(dev->channelDbitTiming(1), 0x00800106u);
    EXPECT_EQ(dev->setValue("0/canfd_abit_baud_rate", "300000"), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_BAUDRATE);
    EXPECT_EQ(dev->setValue("1/canfd_standard", "1"), 1);
    EXPECT_EQ(dev->channelIsoMode(1), 1);

    // Only channel characters 0 and 1 select a channel; anything else, or no
    // character at all, matches nothing.
    EXPECT_EQ(dev->setValue("2/filter_mode", "0"), 1);
    EXPECT_EQ(dev->setValue("2/canfd_standard", "1"), 1);
    EXPECT_EQ(dev->channelIsoMode(2), 0);
    EXPECT_EQ(dev->setValue("a/canfd_standard", "1"), 1);
    EXPECT_EQ(dev->setValue("/canfd_standard", "1"), 1);
    EXPECT_EQ(dev->channelIsoMode(0), 0);
    EXPECT_EQ(dev->setValue("/filter_mode", "0"), 1);
    EXPECT_EQ(dev->setValue("1/filter_mode", nullptr), 1);
    EXPECT_EQ(dev->getValue("1/filter_mode"), nullptr);

    EXPECT_EQ(dev->setValue("1/filter_start", "0x00000100"), 0);  // no mode yet
    EXPECT_EQ(dev->setValue("1/filter_mode", "0"), 1);
    EXPECT_EQ(dev->setValue("1/filter_start", "0x00000100"), 1);
    EXPECT_EQ(dev->setValue("1/filter_end", "000007FF"), 1);
    auto s = adapter.channel(1);
    ASSERT_EQ(s.filters.size(), 1u);
    EXPECT_EQ(s.filters[0].startId, 0x100u);
    EXPECT_EQ(s.filters[0].endId, 0x7FFu);
    EXPECT_EQ(dev->setValue("1/filter_ack", "0"), 1);
    EXPECT_TRUE(adapter.channel(1).filterEnabled);
    EXPECT_EQ(dev->setValue("1/filter_clear", "0"), 1);
    EXPECT_FALSE(adapter.channel(1).filterEnabled);
}

TEST_F(CanFd, CustomTimingText) {
    attach(43);
    ASSERT_EQ(open(43), 1);
    auto dev = driver(43);
    EXPECT_EQ(dev->setValue("0/baud_rate_custom", "custom,(1000,01400106,00800001)"), 1);
    EXPECT_EQ(dev->channelAbitTiming(0), 0x01400106u);
    EXPECT_EQ(dev->channelDbitTiming(0), 0x00800001u);

    QErrInfoMgr::getinstance()->setLastError(YCAN_ERR_OK);
    EXPECT_EQ(dev->canBaudCustom(1, "(1,01400106,00800001)"), 0);  // no ",("
    EXPECT_EQ(dev->canBaudCustom(1, ",(1,01400106,00800001"), 0);  // no ')'
    EXPECT_EQ(dev->canBaudCustom(1, ",(1;01400106;00800001)"), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_OK);
    std::string longField = ",(1," + std::string(64, '1') + ",00800001)";
    EXPECT_EQ(dev->canBaudCustom(1, longField.c_str()), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    EXPECT_EQ(dev->channelAbitTiming(1), 0u);
    EXPECT_EQ(dev->canBaudCustom(8, ",(1,01400106,00800001)"), 0);
    EXPECT_EQ(dev->canBaudCustom(0, nullptr), 0);
}
