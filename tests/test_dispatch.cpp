// The exported functions as an application sees them, through libycan.so,
// with no adapter attached: which family serves each call, and which calls
// fail with which last error before any adapter is involved.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ycan.h"

namespace {

// Leaves a known last error behind, through the interface itself.
void presetError(int code) {
    if (code == YCAN_ERR_PARAMETER) {
        ASSERT_EQ(YCAN_Transmit(YCAN_TYPE_USBCAN_3, 0, 0, nullptr, 0), 0);
    } else {
        ASSERT_EQ(code, YCAN_ERR_TYPE_NOT_SUPPORTED);
        ASSERT_EQ(YCAN_OpenDevice(5, 0), 0);
    }
    ASSERT_EQ(YCAN_GetLastError(), code);
}

// The answer a call gives.
struct Outcome {
    enum Kind { Error, Unchanged, One, Failed } kind;
    int code = 0;
};
Outcome E(int code) { return {Outcome::Error, code}; }
const Outcome Z{Outcome::Unchanged};    // 0, last error untouched
const Outcome ONE{Outcome::One};        // 1, last error untouched
const Outcome FAILED{Outcome::Failed};  // 0, whatever the driver reports
// 0 with these last errors.
const Outcome NO_DEVICE = E(YCAN_ERR_DEVICE_NOT_EXIST);
const Outcome UNSUPPORTED = E(YCAN_ERR_TYPE_NOT_SUPPORTED);
const Outcome NOT_OPENED = E(YCAN_ERR_NOT_OPENED);
const Outcome NOT_INITIALISED = E(YCAN_ERR_CAN_NOT_INITIALIZED);

struct Buffers {
    _YCAN_BOARD_INFO info{};
    _YCAN_CAN_OBJ frames[4]{};
    _YCAN_CANFD_OBJ fdFrames[4]{};
    _YCAN_FLITER_CONFIG filter{};
    _YCAN_FLITER_INFO filterInfo{};
    _YCAN_INIT_CONFIG init{};
    _YCAN_INITFD_CONFIG initFd{};
    _YCAN_RECORD_CONFIG record{};
    uint8_t data[64]{};
    uint8_t a = 0, b = 0, c = 0;
};

struct Call {
    const char* name;
    std::function<int(uint32_t type, Buffers&)> run;
    // Expected answer per group: classic, reserved classic, CAN FD and
    // recorder (neither open), unsupported codes.
    Outcome classic, reserved, canfd, recorder, unsupported;
};

const std::vector<Call>& calls() {
    static const std::vector<Call> table = {
        {"OpenDevice", [](uint32_t t, Buffers&) { return YCAN_OpenDevice(t, 0); }, Z, UNSUPPORTED, NO_DEVICE,
         FAILED, UNSUPPORTED},
        {"CloseDevice", [](uint32_t t, Buffers&) { return YCAN_CloseDevice(t, 0); }, ONE, UNSUPPORTED, ONE,
         ONE, UNSUPPORTED},
        {"BoardInfoGet", [](uint32_t t, Buffers& b) { return YCAN_BoardInfoGet(t, 0, &b.info); }, NOT_OPENED,
         UNSUPPORTED, NOT_OPENED, NOT_OPENED, UNSUPPORTED},
        {"ClearBuffer", [](uint32_t t, Buffers&) { return YCAN_ClearBuffer(t, 0, 0); }, NOT_INITIALISED,
         UNSUPPORTED, Z, UNSUPPORTED, UNSUPPORTED},
        {"DataDirectTransfer",
         [](uint32_t t, Buffers& b) { return YCAN_DataDirectTransfer(t, 0, b.data, 8); }, NOT_OPENED,
         UNSUPPORTED, NOT_OPENED, NOT_OPENED, UNSUPPORTED},
        {"SetFliter", [](uint32_t t, Buffers& b) { return YCAN_SetFliter(t, 0, 0, &b.filter); }, UNSUPPORTED,
         UNSUPPORTED, NOT_OPENED, UNSUPPORTED, UNSUPPORTED},
        {"GetReceiveNumClassic", [](uint32_t t, Buffers&) { return YCAN_GetReceiveNum(t, 0, 0, 0); },
         NOT_INITIALISED, NOT_INITIALISED, NOT_OPENED, UNSUPPORTED, UNSUPPORTED},
        {"GetReceiveNumFd", [](uint32_t t, Buffers&) { return YCAN_GetReceiveNum(t, 0, 0, 1); }, Z, Z,
         NOT_OPENED, UNSUPPORTED, UNSUPPORTED},
        // The classic start runs even after a failed initialisation, and its
        // "not initialised" replaces the initialisation's error.
        {"InitCAN", [](uint32_t t, Buffers& b) { return YCAN_InitCAN(t, 0, 0, &b.init); }, NOT_INITIALISED,
         UNSUPPORTED, UNSUPPORTED, UNSUPPORTED, UNSUPPORTED},
        {"InitCANFD", [](uint32_t t, Buffers& b) { return YCAN_InitCANFD(t, 0, 0, &b.initFd); }, UNSUPPORTED,
         Z, NOT_OPENED, UNSUPPORTED, UNSUPPORTED},
        {"Start", [](uint32_t t, Buffers&) { return YCAN_Start(t, 0, 0); }, NOT_INITIALISED, UNSUPPORTED,
         NOT_OPENED, UNSUPPORTED, UNSUPPORTED},
        {"Stop", [](uint32_t t, Buffers&) { return YCAN_Stop(t, 0, 0); }, Z, UNSUPPORTED, NOT_OPENED,
         UNSUPPORTED, UNSUPPORTED},
        {"Receive", [](uint32_t t, Buffers& b) { return YCAN_Receive(t, 0, 0, b.frames, 4, 0); }, Z, Z,
         NOT_OPENED, UNSUPPORTED, UNSUPPORTED},
        {"ReceiveFD", [](uint32_t t, Buffers& b) { return YCAN_ReceiveFD(t, 0, 0, b.fdFrames, 4, 0); },
         UNSUPPORTED, UNSUPPORTED, NOT_OPENED, UNSUPPORTED, UNSUPPORTED},
        {"Transmit", [](uint32_t t, Buffers& b) { return YCAN_Transmit(t, 0, 0, b.frames, 1); },
         NOT_INITIALISED, Z, NOT_OPENED, UNSUPPORTED, UNSUPPORTED},
        {"TransmitFD", [](uint32_t t, Buffers& b) { return YCAN_TransmitFD(t, 0, 0, b.fdFrames, 1); },
         UNSUPPORTED, UNSUPPORTED, NOT_OPENED, UNSUPPORTED, UNSUPPORTED},
        {"RecordSettingSet", [](uint32_t t, Buffers& b) { return YCAN_RecordSettingSet(t, 0, 0, &b.record); },
         Z, Z, Z, NOT_OPENED, Z},
        {"RecordSettingGet", [](uint32_t t, Buffers& b) { return YCAN_RecordSettingGet(t, 0, 0, &b.record); },
         Z, Z, Z, Z, Z},
        {"RecordCmdExecute",
         [](uint32_t t, Buffers& b) { return YCAN_RecordCmdExecute(t, 0, 0, 4, &b.filterInfo, &b.filter); },
         Z, Z, Z, Z, Z},
        {"RecordFliterInfoGet",
         [](uint32_t t, Buffers& b) { return YCAN_RecordFliterInfoGet(t, 0, 0, &b.filterInfo); }, Z, Z, Z, Z,
         Z},
        {"RecordFliterClr", [](uint32_t t, Buffers&) { return YCAN_RecordFliterClr(t, 0, 0); }, Z, Z, Z, Z,
         Z},
        {"RecordFliterAdd", [](uint32_t t, Buffers& b) { return YCAN_RecordFliterAdd(t, 0, 0, &b.filter); },
         Z, Z, Z, Z, Z},
        {"RecordFliterEnable", [](uint32_t t, Buffers&) { return YCAN_RecordFliterEnable(t, 0, 0); }, Z, Z, Z,
         Z, Z},
        {"RecordFliterDisable", [](uint32_t t, Buffers&) { return YCAN_RecordFliterDisable(t, 0, 0); }, Z, Z,
         Z, Z, Z},
        {"RecordFliterSettingGet",
         [](uint32_t t, Buffers& b) { return YCAN_RecordFliterSettingGet(t, 0, 0, 3, &b.filter); }, Z, Z, Z,
         Z, Z},
        {"DevRelayStatusSet", [](uint32_t t, Buffers&) { return YCAN_DevRelayStatusSet(t, 0, 1, 0); },
         NOT_OPENED, UNSUPPORTED, UNSUPPORTED, UNSUPPORTED, UNSUPPORTED},
        {"DevRelayStatusGet", [](uint32_t t, Buffers& b) { return YCAN_DevRelayStatusGet(t, 0, &b.a, &b.b); },
         NOT_OPENED, UNSUPPORTED, UNSUPPORTED, UNSUPPORTED, UNSUPPORTED},
        {"DevBaudParaGet", [](uint32_t t, Buffers& b) { return YCAN_DevBaudParaGet(t, 0, 0, &b.a, &b.b); },
         NOT_OPENED, UNSUPPORTED, UNSUPPORTED, UNSUPPORTED, UNSUPPORTED},
        {"DevChStateGet",
         [](uint32_t t, Buffers& b) { return YCAN_DevChStateGet(t, 0, 0, &b.a, &b.b, &b.c); }, NOT_OPENED,
         UNSUPPORTED, UNSUPPORTED, UNSUPPORTED, UNSUPPORTED},
    };
    return table;
}

const uint32_t kClassic[] = {YCAN_TYPE_USBCAN_3, YCAN_TYPE_USBCAN_4};
const uint32_t kReserved[] = {YCAN_TYPE_USBCAN_RESERVED_63, YCAN_TYPE_USBCAN_RESERVED_68,
                              YCAN_TYPE_USBCAN_RESERVED_69, YCAN_TYPE_USBCAN_RESERVED_70,
                              YCAN_TYPE_USBCAN_RESERVED_71, YCAN_TYPE_USBCAN_RESERVED_72,
                              YCAN_TYPE_USBCAN_RESERVED_73};
const uint32_t kCanFd[] = {YCAN_TYPE_CANFD2_41, YCAN_TYPE_CANFD2_42, YCAN_TYPE_CANFD2_43, YCAN_TYPE_CANFD4_64,
                           YCAN_TYPE_CANFD4_65, YCAN_TYPE_CANFD8_66, YCAN_TYPE_CANFD8_67};
const uint32_t kRecorder[] = {YCAN_TYPE_RECORDER_61, YCAN_TYPE_RECORDER_62};
const uint32_t kUnsupported[] = {0, 1, 2, 5, 40, 44, 60, 74, 255, 0xFFFFFFFFu};

void check(const Call& call, uint32_t type, const Outcome& want) {
    SCOPED_TRACE(std::string(call.name) + " type " + std::to_string(type));
    // A preset the expected answer could not produce by itself.
    const int preset = want.code == YCAN_ERR_PARAMETER ? YCAN_ERR_TYPE_NOT_SUPPORTED : YCAN_ERR_PARAMETER;
    presetError(preset);
    Buffers buffers;
    int result = call.run(type, buffers);
    switch (want.kind) {
        case Outcome::Error:
            EXPECT_EQ(result, 0);
            EXPECT_EQ(YCAN_GetLastError(), want.code);
            break;
        case Outcome::Unchanged:
            EXPECT_EQ(result, 0);
            EXPECT_EQ(YCAN_GetLastError(), preset);
            break;
        case Outcome::One:
            EXPECT_EQ(result, 1);
            EXPECT_EQ(YCAN_GetLastError(), preset);
            break;
        case Outcome::Failed:
            EXPECT_EQ(result, 0);
            break;
    }
}

template <size_t N>
void checkGroup(const uint32_t (&types)[N], Outcome Call::*column) {
    for (const Call& call : calls())
        for (uint32_t type : types) check(call, type, call.*column);
}

}  // namespace

TEST(Dispatch, UnsupportedCodes) { checkGroup(kUnsupported, &Call::unsupported); }
TEST(Dispatch, ReservedClassicCodes) { checkGroup(kReserved, &Call::reserved); }
TEST(Dispatch, CanFdNotOpen) { checkGroup(kCanFd, &Call::canfd); }
TEST(Dispatch, RecorderNotOpen) { checkGroup(kRecorder, &Call::recorder); }
TEST(Dispatch, ClassicWithoutAdapter) { checkGroup(kClassic, &Call::classic); }

TEST(Dispatch, ClassicCountZeroIsAParameterError) {
    _YCAN_CAN_OBJ frames[2]{};
    for (uint32_t type : kClassic) {
        presetError(YCAN_ERR_TYPE_NOT_SUPPORTED);
        EXPECT_EQ(YCAN_Receive(type, 0, 0, frames, 0, 10), 0);
        EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
        presetError(YCAN_ERR_TYPE_NOT_SUPPORTED);
        EXPECT_EQ(YCAN_Transmit(type, 0, 0, frames, 0), 0);
        EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    }
    // Reserved codes answer a plain 0 whatever the count.
    presetError(YCAN_ERR_TYPE_NOT_SUPPORTED);
    EXPECT_EQ(YCAN_Receive(63, 0, 0, frames, 0, 10), 0);
    EXPECT_EQ(YCAN_Receive(63, 0, 0, frames, 5, 10), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_TYPE_NOT_SUPPORTED);
}

TEST(Dispatch, ClassicIndexAndTypeChecks) {
    EXPECT_EQ(YCAN_OpenDevice(3, 32), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    EXPECT_EQ(YCAN_OpenDevice(5, 0), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_TYPE_NOT_SUPPORTED);
    EXPECT_EQ(YCAN_CloseDevice(4, 40), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);

    // Calls that pick the device record by index alone refuse an index past
    // the table instead of reaching beyond it.
    uint8_t a = 0, b = 0, c = 0;
    uint8_t data[64] = {};
    _YCAN_CAN_OBJ frames[1]{};
    auto refused = [&](int result) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
        presetError(YCAN_ERR_TYPE_NOT_SUPPORTED);
    };
    presetError(YCAN_ERR_TYPE_NOT_SUPPORTED);
    refused(YCAN_DevRelayStatusSet(3, 32, 1, 1));
    refused(YCAN_DevRelayStatusGet(4, 1000, &a, &b));
    refused(YCAN_DevBaudParaGet(3, 0xFFFFFFFFu, 0, &a, &b));
    refused(YCAN_DevChStateGet(4, 32, 1, &a, &b, &c));
    refused(YCAN_DataDirectTransfer(3, 99, data, 8));
    refused(YCAN_Receive(4, 32, 0, frames, 1, 0));
}

// The rest of the calls on a classic index past the table: each gives the
// classic family's own answer for a bad index, whichever check comes first.
TEST(Dispatch, ClassicIndexPastTheTableGivesEachCallsOwnRefusal) {
    _YCAN_BOARD_INFO info{};
    _YCAN_CAN_OBJ frames[1]{};
    _YCAN_INIT_CONFIG init{};
    _YCAN_RX_FRAME rx[1]{};
    uint32_t losses = 0;
    auto expect = [](int result, int code, int want) {
        EXPECT_EQ(result, want);
        EXPECT_EQ(YCAN_GetLastError(), code);
        presetError(YCAN_ERR_TYPE_NOT_SUPPORTED);
    };
    for (uint32_t index : {32u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(index);
        presetError(YCAN_ERR_TYPE_NOT_SUPPORTED);
        expect(YCAN_BoardInfoGet(4, index, &info), YCAN_ERR_NOT_OPENED, 0);
        expect(YCAN_ClearBuffer(3, index, 0), YCAN_ERR_CAN_NOT_INITIALIZED, 0);
        expect(YCAN_GetReceiveNum(4, index, 0, 0), YCAN_ERR_CAN_NOT_INITIALIZED, 0);
        expect(YCAN_InitCAN(3, index, 0, &init), YCAN_ERR_CAN_NOT_INITIALIZED, 0);
        expect(YCAN_Start(4, index, 0), YCAN_ERR_CAN_NOT_INITIALIZED, 0);
        expect(YCAN_Stop(3, index, 0), YCAN_ERR_PARAMETER, 0);
        expect(YCAN_Transmit(4, index, 0, frames, 1), YCAN_ERR_CAN_NOT_INITIALIZED, 0);
        expect(YCAN_Transmit(4, index, 0, frames, 0), YCAN_ERR_PARAMETER, 0);
        expect(YCAN_ReceiveAll(3, index, 0, rx, 1, 0), YCAN_ERR_PARAMETER, 0);
        expect(YCAN_GetEventFd(4, index), YCAN_ERR_PARAMETER, -1);
        expect(YCAN_GetLinkState(3, index, &losses), YCAN_ERR_PARAMETER, -1);
        expect(YCAN_GetDeviceLocation(4, index, nullptr, 0, nullptr, 0), YCAN_ERR_PARAMETER, 0);
    }
}

TEST(Dispatch, FilterSettingQueryStoresTheEntryIndexFirst) {
    for (uint32_t type : {61u, 43u, 3u, 5u}) {
        _YCAN_FLITER_CONFIG filter{};
        filter.FilterIndex = 0xDEADBEEF;
        EXPECT_EQ(YCAN_RecordFliterSettingGet(type, 0, 0, 300, &filter), 0);
        EXPECT_EQ(filter.FilterIndex, 300u) << "type " << type;
    }
    presetError(YCAN_ERR_TYPE_NOT_SUPPORTED);
    EXPECT_EQ(YCAN_RecordFliterSettingGet(61, 0, 0, 1, nullptr), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
}

TEST(Dispatch, LastErrorMessagesThroughTheInterface) {
    presetError(YCAN_ERR_TYPE_NOT_SUPPORTED);
    EXPECT_STREQ(YCAN_GetLastErrorStr(), "Device Type Not Supported!");
    EXPECT_EQ(YCAN_Start(43, 0, 0), 0);
    EXPECT_STREQ(YCAN_GetLastErrorStr(), "Device Not Opened!");
    presetError(YCAN_ERR_PARAMETER);
    EXPECT_STREQ(YCAN_GetLastErrorStr(), "Parameter Error!");
}
