// The ycan tool's text forms: frames in can-utils' syntax both ways, and CAN
// FD bit timing words.
#include <gtest/gtest.h>

#include "tools/ycan/bit_timing.h"
#include "tools/ycan/frame_text.h"

using ycantool::TextFrame;

TEST(FrameText, CansendSyntaxReadsAndWritesBack) {
    struct Case {
        const char* text;
        uint32_t id;
        bool extended, fd, remote;
        uint8_t flags, len;
        const char* written;  // what formatFrame gives back
    } cases[] = {
        {"123#1122", 0x123, false, false, false, 0, 2, "123#1122"},
        {"1ABCDEF0#11.22.33", 0x1ABCDEF0, true, false, false, 0, 3, "1ABCDEF0#112233"},
        {"7FF#", 0x7FF, false, false, false, 0, 0, "7FF#"},
        {"123#R", 0x123, false, false, true, 0, 0, "123#R"},
        {"123#R4", 0x123, false, false, true, 0, 4, "123#R4"},
        {"123##1aabb", 0x123, false, true, false, 1, 2, "123##1AABB"},
        {"00000001##3", 1, true, true, false, 3, 0, "00000001##3"},
    };
    for (const Case& c : cases) {
        TextFrame f;
        std::string why;
        ASSERT_TRUE(ycantool::parseFrame(c.text, f, why)) << c.text << ": " << why;
        EXPECT_EQ(f.id, c.id) << c.text;
        EXPECT_EQ(f.extended, c.extended) << c.text;
        EXPECT_EQ(f.fd, c.fd) << c.text;
        EXPECT_EQ(f.remote, c.remote) << c.text;
        EXPECT_EQ(f.fdFlags, c.flags) << c.text;
        EXPECT_EQ(f.len, c.len) << c.text;
        EXPECT_EQ(ycantool::formatFrame(f), c.written);
    }
    TextFrame f;
    std::string why;
    ASSERT_TRUE(ycantool::parseFrame("123#1122", f, why));
    EXPECT_EQ(ycantool::formatLogLine(1700000000.123456, "ycan43-0-0", f), "(1700000000.123456) ycan43-0-0 123#1122");

    for (const char* bad : {"123", "12#11", "800#11", "20000000#11", "123#112", "123#112233445566778899",
                            "123##", "123##4AA", "123##1" "112233445566778899", "123#R9", "G23#11", "123#ZZ"})
        EXPECT_FALSE(ycantool::parseFrame(bad, f, why)) << bad;
}

TEST(FrameText, LibraryRecordsKeepEveryField) {
    TextFrame f;
    std::string why;
    ASSERT_TRUE(ycantool::parseFrame("1ABCDEF0##3" "00112233445566778899AABBCCDDEEFF", f, why)) << why;
    const _YCAN_CANFD_OBJ r = ycantool::toFdRecord(f);
    EXPECT_EQ(r.ID, 0x1ABCDEF0u);
    EXPECT_EQ(r.ExternFlag, 1);
    EXPECT_EQ(r.FrameOpt, 0x18);  // bit rate switch 0x08, error state 0x10
    EXPECT_EQ(r.DataLen, 16);
    EXPECT_EQ(r.Data[15], 0xFF);
    EXPECT_EQ(ycantool::formatFrame(ycantool::fromRecord(r)), "1ABCDEF0##300112233445566778899AABBCCDDEEFF");

    ASSERT_TRUE(ycantool::parseFrame("7FF#R8", f, why));
    const _YCAN_CAN_OBJ c = ycantool::toClassicRecord(f);
    EXPECT_EQ(c.RemoteFlag, 1);
    EXPECT_EQ(c.DataLen, 8);
    EXPECT_EQ(ycantool::formatFrame(ycantool::fromRecord(c)), "7FF#R8");
}

TEST(BitTiming, WordsDecodeToTheirRatesAndComputedWordsHitTheRateExactly) {
    // Words of the adapters' own rate tables.
    const auto w = ycantool::unpackTimingWord(0x01400106);
    EXPECT_EQ(w.prescaler, 6u);
    EXPECT_EQ(w.sjw, 1u);
    EXPECT_EQ(w.tseg1, 7u);
    EXPECT_EQ(w.tseg2, 2u);
    EXPECT_DOUBLE_EQ(w.bitRate(60000000), 1000000);
    EXPECT_DOUBLE_EQ(w.samplePoint(), 0.8);
    EXPECT_DOUBLE_EQ(ycantool::unpackTimingWord(0x00800001).bitRate(60000000), 5000000);
    EXPECT_DOUBLE_EQ(ycantool::unpackTimingWord(0x00C0030E).bitRate(80000000), 1000000);
    EXPECT_EQ(ycantool::packTimingWord(w), 0x01400106u);

    for (unsigned clock : {60000000u, 80000000u})
        for (unsigned rate : {125000u, 250000u, 500000u, 1000000u, 2000000u, 4000000u, 5000000u}) {
            const auto t = ycantool::findTiming(clock, rate, 0.8);
            ASSERT_TRUE(t.has_value()) << clock << " " << rate;
            const auto back = ycantool::unpackTimingWord(ycantool::packTimingWord(*t));
            EXPECT_DOUBLE_EQ(back.bitRate(clock), rate) << clock << " " << rate;
            EXPECT_NEAR(back.samplePoint(), 0.8, 0.06) << clock << " " << rate;
        }
    EXPECT_FALSE(ycantool::findTiming(60000000, 7000000, 0.8).has_value());  // 60/7 is no whole number
    EXPECT_EQ(ycantool::parseBitRate("500k"), 500000u);
    EXPECT_EQ(ycantool::parseBitRate("2M"), 2000000u);
    EXPECT_EQ(ycantool::parseBitRate("1000000"), 1000000u);
    EXPECT_EQ(ycantool::parseBitRate("fast"), 0u);
}
