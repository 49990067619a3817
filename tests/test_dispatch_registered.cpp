// Dispatch into devices that are open in the library's registry: stand-in
// devices are registered directly, then driven through the exported
// functions, which must route each call to the right operation with its
// arguments and pass the result back unchanged.
#include <gtest/gtest.h>

#include <memory>

#include "api/QYCANDevMgr.h"
#include "fake_device.h"
#include "support/QErrMgr.h"
#include "ycan.h"

using ycantest::callText;
using ycantest::FakeDevice;
using ycantest::FakeRecorder;
using ycantest::Probe;

namespace {

class RegisteredDevice : public ::testing::Test {
protected:
    void SetUp() override {
        QErrMgr::destroyInstance();
        canfd = std::make_shared<FakeDevice>(probe);
        recorder = std::make_shared<FakeRecorder>(probe);
        ycanDevMgr.deviceAdd(43, 0, canfd);
        ycanDevMgr.deviceAdd(61, 1, recorder);
        // A last error no call here produces, to see which calls keep it.
        ycan::setLastError(YCAN_ERR_USB_TRANSPORT);
    }
    void TearDown() override {
        ycanDevMgr.deviceDel(43, 0);
        ycanDevMgr.deviceDel(61, 1);
    }
    Probe probe;
    std::shared_ptr<FakeDevice> canfd;
    std::shared_ptr<FakeRecorder> recorder;
};

}  // namespace

TEST_F(RegisteredDevice, CanFdCallsReachTheirOperationWithArguments) {
    _YCAN_BOARD_INFO info{};
    _YCAN_FLITER_CONFIG filter{};
    _YCAN_CAN_OBJ frames[4]{};
    _YCAN_CANFD_OBJ fdFrames[4]{};
    uint8_t data[64]{};
    canfd->results = {{"getBoardInf", 1},    {"clearBuffer", 1}, {"transmitData", 11}, {"setFliter", 1},
                      {"getReceiveNum", 42}, {"start", 1},       {"stop", 1},          {"receive", 3},
                      {"receiveFD", 2},      {"transmit", 4},    {"transmitFD", 1}};

    EXPECT_EQ(YCAN_BoardInfoGet(43, 0, &info), 1);
    EXPECT_EQ(YCAN_ClearBuffer(43, 0, 5), 1);
    EXPECT_EQ(YCAN_DataDirectTransfer(43, 0, data, 12), 11);
    EXPECT_EQ(YCAN_SetFliter(43, 0, 2, &filter), 1);
    EXPECT_EQ(YCAN_GetReceiveNum(43, 0, 3, 1), 42);
    EXPECT_EQ(YCAN_Start(43, 0, 6), 1);
    EXPECT_EQ(YCAN_Stop(43, 0, 7), 1);
    EXPECT_EQ(YCAN_Receive(43, 0, 1, frames, 4, 25), 3);
    EXPECT_EQ(YCAN_ReceiveFD(43, 0, 1, fdFrames, 4, -1), 2);
    EXPECT_EQ(YCAN_Transmit(43, 0, 0, frames, 4), 4);
    EXPECT_EQ(YCAN_TransmitFD(43, 0, 7, fdFrames, 1), 1);

    std::vector<std::string> want = {
        callText("getBoardInf", 0, &info),
        callText("clearBuffer", 5),
        callText("transmitData", 0, data, 12),
        callText("setFliter", 2, &filter),
        callText("getReceiveNum", 3, nullptr, 1),
        callText("start", 6),
        callText("stop", 7),
        callText("receive", 1, frames, 4, 25),
        callText("receiveFD", 1, fdFrames, 4, -1),
        callText("transmit", 0, frames, 4),
        callText("transmitFD", 7, fdFrames, 1),
    };
    EXPECT_EQ(canfd->calls, want);
    // Successful calls leave the last error alone.
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_USB_TRANSPORT);
    // Only the addressed device was reached.
    EXPECT_TRUE(recorder->calls.empty());
}

TEST_F(RegisteredDevice, InitCanFdStartsTheChannelOnlyAfterSuccess) {
    _YCAN_INITFD_CONFIG config{};
    canfd->results = {{"initCANFD", 1}, {"start", 0}};
    EXPECT_EQ(YCAN_InitCANFD(43, 0, 1, &config), 0);  // the start's result
    EXPECT_EQ(canfd->calls,
              (std::vector<std::string>{callText("initCANFD", 1, &config), callText("start", 1)}));

    canfd->calls.clear();
    canfd->results = {{"initCANFD", 0}};
    EXPECT_EQ(YCAN_InitCANFD(43, 0, 2, &config), 0);
    EXPECT_EQ(canfd->calls, (std::vector<std::string>{callText("initCANFD", 2, &config)}));
}

TEST_F(RegisteredDevice, CallsOfOtherFamiliesNeverReachACanFdDevice) {
    _YCAN_RECORD_CONFIG record{};
    _YCAN_INIT_CONFIG init{};
    uint8_t a = 0, b = 0;
    auto fdAsRecorder = std::make_shared<FakeRecorder>(probe);
    ycanDevMgr.deviceAdd(42, 0, fdAsRecorder);

    EXPECT_EQ(YCAN_RecordSettingSet(42, 0, 0, &record), 0);
    EXPECT_EQ(YCAN_RecordSettingGet(42, 0, 0, &record), 0);
    EXPECT_EQ(YCAN_RecordCmdExecute(42, 0, 0, 1, nullptr, nullptr), 0);
    EXPECT_EQ(YCAN_RecordFliterClr(42, 0, 0), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_USB_TRANSPORT);
    EXPECT_EQ(YCAN_InitCAN(42, 0, 0, &init), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_TYPE_NOT_SUPPORTED);
    ycan::setLastError(YCAN_ERR_USB_TRANSPORT);
    EXPECT_EQ(YCAN_DevRelayStatusGet(42, 0, &a, &b), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_TYPE_NOT_SUPPORTED);
    EXPECT_TRUE(fdAsRecorder->calls.empty());
    ycanDevMgr.deviceDel(42, 0);
}

TEST_F(RegisteredDevice, RecorderFilterWrappersPassTheirCommands) {
    _YCAN_FLITER_INFO info{};
    _YCAN_FLITER_CONFIG filter{};
    recorder->results = {{"RecordCmdExecute", 1}};

    struct Case {
        int result;
        unsigned cmd;
        _YCAN_FLITER_INFO* info;
        _YCAN_FLITER_CONFIG* filter;
    };
    Case cases[] = {
        {YCAN_RecordFliterClr(61, 1, 2), 0, nullptr, nullptr},
        {YCAN_RecordFliterAdd(61, 1, 2, &filter), 1, nullptr, &filter},
        {YCAN_RecordFliterEnable(61, 1, 2), 2, nullptr, nullptr},
        {YCAN_RecordFliterDisable(61, 1, 2), 3, nullptr, nullptr},
        {YCAN_RecordFliterInfoGet(61, 1, 2, &info), 4, &info, nullptr},
    };
    ASSERT_EQ(recorder->calls.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(cases[i].result, 1);
        EXPECT_EQ(recorder->calls[i], callText("RecordCmdExecute", 2, nullptr, cases[i].cmd));
    }
    // Pointers of the last call (InfoGet).
    EXPECT_EQ(recorder->lastInfo, &info);
    EXPECT_EQ(recorder->lastFilter, nullptr);

    // The entry index is in the record before the recorder sees it.
    recorder->results["RecordCmdExecute"] = 0;
    filter.FilterIndex = 7;
    EXPECT_EQ(YCAN_RecordFliterSettingGet(61, 1, 3, 513, &filter), 0);
    EXPECT_EQ(recorder->calls.back(), callText("RecordCmdExecute", 3, nullptr, 5));
    EXPECT_EQ(recorder->lastFilter, &filter);
    EXPECT_EQ(recorder->lastFilterIndex, 513u);

    recorder->results["RecordCmdExecute"] = 9;
    EXPECT_EQ(YCAN_RecordCmdExecute(61, 1, 0, 77, &info, &filter), 9);
    EXPECT_EQ(recorder->calls.back(), callText("RecordCmdExecute", 0, nullptr, 77));
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_USB_TRANSPORT);
}

TEST_F(RegisteredDevice, RecorderCallsReachTheRecorderOnly) {
    _YCAN_RECORD_CONFIG record{};
    _YCAN_BOARD_INFO info{};
    uint8_t data[64]{};
    recorder->results = {
        {"RecordSettingSet", 1}, {"RecordSettingGet", 1}, {"getBoardInf", 1}, {"transmitData", 38}};
    EXPECT_EQ(YCAN_RecordSettingSet(61, 1, 1, &record), 1);
    EXPECT_EQ(YCAN_RecordSettingGet(61, 1, 1, &record), 1);
    EXPECT_EQ(YCAN_BoardInfoGet(61, 1, &info), 1);
    EXPECT_EQ(YCAN_DataDirectTransfer(61, 1, data, 40), 38);
    EXPECT_EQ(recorder->calls,
              (std::vector<std::string>{
                  callText("RecordSettingSet", 1, &record), callText("RecordSettingGet", 1, &record),
                  callText("getBoardInf", 0, &info), callText("transmitData", 0, data, 40)}));
    recorder->calls.clear();
    for (int r : {YCAN_Start(61, 1, 0), YCAN_ClearBuffer(61, 1, 0), YCAN_GetReceiveNum(61, 1, 0, 0),
                  YCAN_SetFliter(61, 1, 0, nullptr)}) {
        EXPECT_EQ(r, 0);
        EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_TYPE_NOT_SUPPORTED);
    }
    EXPECT_TRUE(recorder->calls.empty());
}

TEST_F(RegisteredDevice, OpenOfARegisteredDeviceChangesNothing) {
    EXPECT_EQ(YCAN_OpenDevice(43, 0), 1);
    EXPECT_EQ(canfd->openArgs.type, ~0u);  // never reopened
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_USB_TRANSPORT);
    EXPECT_EQ(ycanDevMgr.deviceFind(43, 0), canfd);
}

TEST_F(RegisteredDevice, CloseThroughTheInterfaceUnregisters) {
    canfd->isOpen = true;
    probe.closeResult = 1;
    EXPECT_EQ(YCAN_CloseDevice(43, 0), 1);
    EXPECT_EQ(probe.closeCalls, 2);
    EXPECT_FALSE(canfd->isOpen);
    EXPECT_EQ(ycanDevMgr.deviceFind(43, 0), nullptr);
    EXPECT_EQ(YCAN_Start(43, 0, 0), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_NOT_OPENED);
    // The registry let go of it; only the test holds it now.
    EXPECT_EQ(canfd.use_count(), 1);
}
