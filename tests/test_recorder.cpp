// CAN recorders (types 61 and 62) on the virtual bench: open, board values,
// direct transfer, the filter list and the record settings.
#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "adapter_fixture.h"
#include "api/QYCANDevMgr.h"
#include "drivers/recorder/QDeviceCanRecord.h"
#include "support/QErrMgr.h"
#include "ycan.h"

using ycansim::VirtualRecorder;
using Bytes = std::vector<uint8_t>;

namespace {

class Recorder : public ycantest::AdapterFixture<VirtualRecorder> {
protected:
    static _YCAN_RECORD_CONFIG workedExample() {
        _YCAN_RECORD_CONFIG c{};
        c.RecordFlag = 5;
        c.OptionB = 0;
        c.OptionA = 1;
        c.AbitClock = 60;
        c.AbitTiming = 0x01400106;
        c.DbitClock = 60;
        c.DbitTiming = 0x00800001;
        c.TailFlag0 = 0;
        c.TailFlag1 = 1;
        c.TailByte0 = 0x11;
        c.TailByte1 = 0x22;
        c.TailByte2 = 0x33;
        return c;
    }
};

}  // namespace

TEST_F(Recorder, OpensByTypeAndIndex) {
    attach(62);
    EXPECT_EQ(open(62, 1), 0);  // only one recorder of type 62
    EXPECT_EQ(ycanDevMgr.deviceFind(62, 1), nullptr);
    EXPECT_EQ(open(61), 0);  // none of type 61
    attach(61);
    QErrInfoMgr::getinstance()->setLastError(YCAN_ERR_PARAMETER);
    EXPECT_EQ(open(61), 1);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_OK);
    EXPECT_EQ(open(62), 1);
    auto rec = std::dynamic_pointer_cast<QDeviceCanRecord>(ycanDevMgr.deviceFind(61, 0));
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->isDeviceOnLine(), 2);
    _YCAN_CAN_OBJ f{};
    EXPECT_EQ(rec->transmit(0, &f, 1), 0);
    EXPECT_EQ(rec->initCAN(0, nullptr), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_TYPE_NOT_SUPPORTED);
}

TEST_F(Recorder, BoardValuesAreLowByteFirst) {
    VirtualRecorder& r = attach();
    r.setBoardValues(0x1234, 0xA0B1, 2);
    ASSERT_EQ(open(), 1);
    _YCAN_BOARD_INFO info;
    memset(&info, 'x', sizeof info);
    ASSERT_EQ(YCAN_BoardInfoGet(61, 0, &info), 1);
    EXPECT_EQ(info.Version0, 0x1234);
    EXPECT_EQ(info.Version1, 0xA0B1);
    EXPECT_EQ(info.ChannelNum, 2);
    EXPECT_EQ(info.ApiVersion, 0x0100);
    EXPECT_EQ(info.SerialNum[0], 'x');

    const int before = r.requests();
    EXPECT_EQ(YCAN_BoardInfoGet(61, 0, nullptr), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    EXPECT_EQ(r.requests(), before);  // no traffic

    // A reply too short for bytes 4 and 5 is a failed query.
    r.setReplyLength(5);
    _YCAN_BOARD_INFO again{};
    again.Version0 = 7;
    EXPECT_EQ(YCAN_BoardInfoGet(61, 0, &again), 0);
    EXPECT_EQ(again.Version0, 7);
}

TEST_F(Recorder, DirectTransfer) {
    VirtualRecorder& r = attach();
    ASSERT_EQ(open(), 1);
    uint8_t data[100];
    for (int i = 0; i < 100; ++i) data[i] = static_cast<uint8_t>(i);
    r.setDirectReplyLength(40);
    EXPECT_EQ(YCAN_DataDirectTransfer(61, 0, data, 100), 38);
    Bytes sent = r.lastRequest();
    ASSERT_EQ(sent.size(), 64u);
    EXPECT_EQ(sent[0], 0x12);
    EXPECT_EQ(sent[1], 0xA7);
    EXPECT_EQ(sent[63], 61);
    EXPECT_EQ(data[0], 0xFF);  // the reply from its byte 2 on
    EXPECT_EQ(data[37], static_cast<uint8_t>(~37));
    EXPECT_EQ(data[38], 38);  // beyond the reply: untouched
}

TEST_F(Recorder, FilterListOperations) {
    VirtualRecorder& r = attach();
    ASSERT_EQ(open(), 1);
    const int before = r.requests();
    EXPECT_EQ(YCAN_RecordCmdExecute(61, 0, 0, 6, nullptr, nullptr), 0);
    EXPECT_EQ(r.requests(), before);  // selector 6: nothing sent

    _YCAN_FLITER_CONFIG f{};
    f.FilterKind = 2;
    f.StartId = 0x100;
    f.EndId = 0x1FF;
    ASSERT_EQ(YCAN_RecordFliterAdd(61, 0, 2, &f), 1);  // any non-zero channel is channel 1
    EXPECT_EQ(r.lastRequest(),
              (Bytes{0x55, 0x04, 0x01, 0x01, 0x02, 0x00, 0x01, 0x00, 0x00, 0xFF, 0x01, 0x00, 0x00}));
    f.FilterKind = 1;
    f.StartId = 0x12345678;
    f.EndId = 0x1FFFFFFF;
    ASSERT_EQ(YCAN_RecordFliterAdd(61, 0, 1, &f), 1);
    ASSERT_EQ(YCAN_RecordFliterAdd(61, 0, 0, &f), 1);
    EXPECT_EQ(r.lastRequest()[3], 0x00);
    ASSERT_EQ(YCAN_RecordFliterEnable(61, 0, 1), 1);
    EXPECT_TRUE(r.filterEnabled(1));

    _YCAN_FLITER_INFO info{};
    ASSERT_EQ(YCAN_RecordFliterInfoGet(61, 0, 1, &info), 1);
    EXPECT_EQ(info.FilterCount, 2);
    EXPECT_EQ(info.FilterState, 1);

    // Entries read back one by one; the index travels in the record.
    _YCAN_FLITER_CONFIG e{};
    e.FilterOp = 9;
    e.FilterMode = 8;
    ASSERT_EQ(YCAN_RecordFliterSettingGet(61, 0, 1, 1, &e), 1);
    EXPECT_EQ(e.FilterIndex, 1u);
    EXPECT_EQ(e.FilterKind, 1);
    EXPECT_EQ(e.StartId, 0x12345678u);
    EXPECT_EQ(e.EndId, 0x1FFFFFFFu);
    EXPECT_EQ(e.FilterOp, 9);  // untouched
    EXPECT_EQ(e.FilterMode, 8);
    EXPECT_EQ(r.lastRequest(), (Bytes{0x55, 0x05, 0x01, 0x01, 0x01, 0x00}));
    ASSERT_EQ(YCAN_RecordFliterSettingGet(61, 0, 1, 0, &e), 1);
    EXPECT_EQ(e.StartId, 0x100u);
    EXPECT_EQ(YCAN_RecordFliterSettingGet(61, 0, 1, 300, &e), 0);  // no such entry
    EXPECT_EQ(e.FilterIndex, 300u);

    ASSERT_EQ(YCAN_RecordFliterDisable(61, 0, 1), 1);
    EXPECT_FALSE(r.filterEnabled(1));
    ASSERT_EQ(YCAN_RecordFliterClr(61, 0, 1), 1);
    EXPECT_TRUE(r.filters(1).empty());
    EXPECT_EQ(r.filters(0).size(), 1u);

    r.setRefuse(true);
    EXPECT_EQ(YCAN_RecordFliterClr(61, 0, 0), 0);
    EXPECT_EQ(r.filters(0).size(), 1u);
    EXPECT_EQ(YCAN_RecordFliterAdd(61, 0, 0, nullptr), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
}

TEST_F(Recorder, SummaryNeedsSevenBytesAndStaleRepliesAreSkipped) {
    VirtualRecorder& r = attach();
    ASSERT_EQ(open(), 1);
    _YCAN_FLITER_INFO info{};
    info.FilterCount = 77;
    r.setReplyLength(6);
    EXPECT_EQ(YCAN_RecordFliterInfoGet(61, 0, 0, &info), 0);
    EXPECT_EQ(info.FilterCount, 77);
    r.setReplyLength(7);
    EXPECT_EQ(YCAN_RecordFliterInfoGet(61, 0, 0, &info), 1);
    EXPECT_EQ(info.FilterCount, 0);

    // A late reply to an earlier request comes first: it is skipped.
    r.setReplyLength(0);
    r.setStaleRepliesFirst(1);
    _YCAN_BOARD_INFO board{};
    EXPECT_EQ(YCAN_BoardInfoGet(61, 0, &board), 1);
    EXPECT_EQ(board.ChannelNum, 2);
}

TEST_F(Recorder, SettingsWrittenAsTheWorkedExampleAndReadBack) {
    VirtualRecorder& r = attach();
    ASSERT_EQ(open(), 1);
    _YCAN_RECORD_CONFIG c = workedExample();
    ASSERT_EQ(YCAN_RecordSettingSet(61, 0, 1, &c), 1);
    EXPECT_EQ(r.lastRequest(),
              (Bytes{0x55, 0x03, 0x01, 0x01, 0x00, 0x01, 0x3C, 0x00, 0x05, 0x00, 0x00, 0x06, 0x00, 0x01,
                     0x00, 0x3C, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x11, 0x22, 0x33}));
    _YCAN_RECORD_CONFIG back{};
    back.Reserved = 0x5A;
    ASSERT_EQ(YCAN_RecordSettingGet(61, 0, 1, &back), 1);
    EXPECT_EQ(back.RecordFlag, 1);  // bit 0 only
    EXPECT_EQ(back.OptionA, 1);
    EXPECT_EQ(back.OptionB, 0);
    EXPECT_EQ(back.AbitClock, 60);
    EXPECT_EQ(back.AbitTiming, 0x01400106u);
    EXPECT_EQ(back.DbitClock, 60);
    EXPECT_EQ(back.DbitTiming, 0x00800001u);
    EXPECT_EQ(back.TailFlag0, 0);
    EXPECT_EQ(back.TailFlag1, 1);
    EXPECT_EQ(back.TailByte0, 0x11);
    EXPECT_EQ(back.TailByte1, 0x22);
    EXPECT_EQ(back.TailByte2, 0x33);
    EXPECT_EQ(back.Reserved, 0x5A);  // neither sent nor filled

    c.AbitClock = 80;
    ASSERT_EQ(YCAN_RecordSettingSet(61, 0, 0, &c), 1);
    EXPECT_EQ(r.lastRequest()[6], 0x50);
    EXPECT_EQ(r.lastRequest()[7], 0x00);
    EXPECT_EQ(r.lastRequest()[2], 0x00);
}

TEST_F(Recorder, SettingsRefusalsAndShortReplies) {
    VirtualRecorder& r = attach();
    ASSERT_EQ(open(), 1);
    _YCAN_RECORD_CONFIG c = workedExample();
    const int before = r.requests();
    EXPECT_EQ(YCAN_RecordSettingSet(61, 0, 2, &c), 0);
    EXPECT_EQ(YCAN_RecordSettingGet(61, 0, 2, &c), 0);
    EXPECT_EQ(r.requests(), before);  // channel 2: nothing sent

    ASSERT_EQ(YCAN_RecordSettingSet(61, 0, 0, &c), 1);
    r.setReplyLength(27);
    _YCAN_RECORD_CONFIG untouched{};
    untouched.AbitTiming = 0xDEADBEEF;
    EXPECT_EQ(YCAN_RecordSettingGet(61, 0, 0, &untouched), 0);
    EXPECT_EQ(untouched.AbitTiming, 0xDEADBEEFu);
    r.setReplyLength(0);
    r.setRefuse(true);
    EXPECT_EQ(YCAN_RecordSettingSet(61, 0, 0, &c), 0);
    EXPECT_EQ(YCAN_RecordSettingSet(61, 0, 0, nullptr), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
}
