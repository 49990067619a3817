// The ycan tool's text forms: frames in can-utils' syntax both ways, and CAN
// FD bit timing words.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <sstream>

#include "tools/ycan/bit_timing.h"
#include "tools/ycan/bus_stats.h"
#include "tools/ycan/frame_filter.h"
#include "tools/ycan/frame_generator.h"
#include "tools/ycan/frame_text.h"
#include "tools/ycan/recorder_setup.h"
#include "tools/ycan/socketcan_frames.h"
#include "tools/ycan/time_stamps.h"

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
    EXPECT_EQ(ycantool::formatLogLine("(1700000000.123456)", "ycan43-0-0", f),
              "(1700000000.123456) ycan43-0-0 123#1122");

    for (const char* bad :
         {"123", "12#11", "800#11", "20000000#11", "123#112", "123#112233445566778899", "123##", "123##4AA",
          "123##1"
          "112233445566778899",
          "123#R9", "G23#11", "123#ZZ"})
        EXPECT_FALSE(ycantool::parseFrame(bad, f, why)) << bad;
}

TEST(FrameText, LibraryRecordsKeepEveryField) {
    TextFrame f;
    std::string why;
    ASSERT_TRUE(
        ycantool::parseFrame("1ABCDEF0##3"
                             "00112233445566778899AABBCCDDEEFF",
                             f, why))
        << why;
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
            const auto c = ycantool::nearestTiming(clock, rate, 0.8, 1, ycantool::kFdData);
            ASSERT_TRUE(c.has_value() && c->rateError == 0) << clock << " " << rate;
            const auto back = ycantool::unpackTimingWord(ycantool::packTimingWord(c->timing));
            EXPECT_DOUBLE_EQ(back.bitRate(clock), rate) << clock << " " << rate;
            EXPECT_NEAR(back.samplePoint(), 0.8, 0.06) << clock << " " << rate;
        }
    const auto inexact = ycantool::nearestTiming(60000000, 7000000, 0.8, 1, ycantool::kFdData);
    EXPECT_FALSE(inexact.has_value() && inexact->rateError == 0);  // 60/7 is no whole number
    EXPECT_EQ(ycantool::parseBitRate("500k"), 500000u);
    EXPECT_EQ(ycantool::parseBitRate("2M"), 2000000u);
    EXPECT_EQ(ycantool::parseBitRate("1000000"), 1000000u);
    EXPECT_EQ(ycantool::parseBitRate("fast"), 0u);
}

// Rates without an exact timing get the nearest one, as the kernel's
// calculation picks it; words and registers outside the controller's range
// are named with what is wrong.
TEST(BitTiming, NearestRateAndTheControllersRange) {
    using ycantool::kFdArbitration;
    using ycantool::kFdData;
    using ycantool::kSja1000;
    // 83,333 and 33,333 bit/s are not exact at 60 or 80 MHz: nearest, with
    // the error said, sample point as asked.
    for (unsigned clock : {60000000u, 80000000u})
        for (unsigned rate : {83333u, 33333u, 123000u}) {
            const auto c = ycantool::nearestTiming(clock, rate, 0.8, 1, kFdArbitration);
            ASSERT_TRUE(c.has_value()) << clock << " " << rate;
            EXPECT_NEAR(c->bitRate, rate, rate * 0.001) << clock << " " << rate;
            EXPECT_DOUBLE_EQ(c->bitRate, c->timing.bitRate(clock));
            EXPECT_DOUBLE_EQ(c->rateError, (c->bitRate - rate) / rate);
            EXPECT_NEAR(c->timing.samplePoint(), 0.8, 0.01);
            EXPECT_EQ(ycantool::timingProblem(c->timing, clock, kFdArbitration), "");
            // No other prescaler and bit length comes closer.
            for (unsigned p = 1; p <= 1024; ++p)
                for (unsigned q = 4; q <= 385; ++q)
                    ASSERT_GE(std::fabs(static_cast<double>(clock) / (p * q) - rate) + 1e-6,
                              std::fabs(c->bitRate - rate))
                        << p << " x " << q;
        }
    // A jump width is kept, and needs the phase after the sample to hold it.
    const auto wide = ycantool::nearestTiming(60000000, 500000, 0.8, 16, kFdArbitration);
    ASSERT_TRUE(wide.has_value());
    EXPECT_EQ(wide->timing.sjw, 16u);
    EXPECT_GE(wide->timing.tseg2, 16u);
    // Nothing within 5 %: none.
    EXPECT_FALSE(ycantool::nearestTiming(60000000, 2000000, 0.8, 1, kFdArbitration).has_value());
    EXPECT_FALSE(ycantool::nearestTiming(60000000, 100, 0.8, 1, kFdArbitration).has_value());

    // The adapters' own table words are in range; the bare fields are not.
    for (uint32_t w : {0x01400106u, 0x02C00106u, 0x1DC00106u})
        EXPECT_EQ(ycantool::timingProblem(ycantool::unpackTimingWord(w), 60000000, kFdArbitration), "") << w;
    for (uint32_t w : {0x00800001u, 0x00800002u, 0x00800106u})
        EXPECT_EQ(ycantool::timingProblem(ycantool::unpackTimingWord(w), 60000000, kFdData), "") << w;
    EXPECT_EQ(ycantool::timingProblem(ycantool::unpackTimingWord(0), 60000000, kFdArbitration),
              "tseg1 1 (2 to 256), 20 Mbit/s (5 kbit/s to 1 Mbit/s)");
    EXPECT_NE(ycantool::timingProblem(ycantool::unpackTimingWord(0xFFFFFFFF), 60000000, kFdArbitration)
                  .find("bit/s (5 kbit/s to 1 Mbit/s)"),
              std::string::npos);
    EXPECT_NE(ycantool::timingProblem(ycantool::unpackTimingWord(0x00808001), 60000000, kFdData)
                  .find("jump width 2"),
              std::string::npos);  // SJW 2 with TSEG2 1

    // SJA1000 registers: the classic table's, and a rate computed for them.
    uint8_t btr0 = 0, btr1 = 0;
    const auto t1m = ycantool::unpackBtr(0x00, 0x14);
    EXPECT_DOUBLE_EQ(t1m.bitRate(ycantool::kSja1000ClockHz), 1000000);
    ycantool::packBtr(t1m, btr0, btr1);
    EXPECT_EQ(btr0, 0x00);
    EXPECT_EQ(btr1, 0x14);
    EXPECT_DOUBLE_EQ(ycantool::unpackBtr(0x03, 0x1C).bitRate(ycantool::kSja1000ClockHz), 125000);
    const auto c83 = ycantool::nearestTiming(ycantool::kSja1000ClockHz, 83333, 0.8, 1, kSja1000);
    ASSERT_TRUE(c83.has_value());
    EXPECT_EQ(c83->timing.prescaler % 2, 0u);
    EXPECT_NEAR(c83->bitRate, 83333, 1);
    ycantool::packBtr(c83->timing, btr0, btr1);
    EXPECT_DOUBLE_EQ(ycantool::unpackBtr(btr0, btr1).bitRate(ycantool::kSja1000ClockHz), c83->bitRate);
    EXPECT_NE(ycantool::timingProblem(ycantool::unpackBtr(0x00, 0x00), ycantool::kSja1000ClockHz, kSja1000),
              "");
}

// candump's filters as the kernel applies them: the mask decides whether
// the 29-bit and remote bits count.
TEST(FrameFilter, PassesWhatCandumpsFiltersPass) {
    auto frame = [](uint32_t id, bool extended, bool remote = false) {
        ycantool::TextFrame f;
        f.id = id;
        f.extended = extended;
        f.remote = remote;
        return f;
    };
    ycantool::FrameFilter none;
    EXPECT_TRUE(none.passes(frame(0x123, false)));

    std::string why;
    ycantool::FrameFilter exact;
    ASSERT_TRUE(exact.add("123:7FF", why)) << why;
    EXPECT_TRUE(exact.passes(frame(0x123, false)));
    EXPECT_FALSE(exact.passes(frame(0x124, false)));
    EXPECT_TRUE(exact.passes(frame(0x1123, true)));  // the mask leaves the format open
    EXPECT_TRUE(exact.passes(frame(0x123, false, true)));

    ycantool::FrameFilter standardOnly;
    ASSERT_TRUE(standardOnly.add("123:C00007FF", why)) << why;
    EXPECT_TRUE(standardOnly.passes(frame(0x123, false)));
    EXPECT_FALSE(standardOnly.passes(frame(0x1123, true)));
    EXPECT_FALSE(standardOnly.passes(frame(0x123, false, true)));

    // Eight digits: a 29-bit identifier.
    ycantool::FrameFilter extended;
    ASSERT_TRUE(extended.add("18FF0000:9FFF0000", why)) << why;
    EXPECT_TRUE(extended.passes(frame(0x18FF1234, true)));
    EXPECT_FALSE(extended.passes(frame(0x18FE1234, true)));
    EXPECT_FALSE(extended.passes(frame(0x000, false)));

    // Inverted, and several: any one passing passes.
    ycantool::FrameFilter either;
    ASSERT_TRUE(either.add("100~700", why)) << why;
    ASSERT_TRUE(either.add("123:7FF", why)) << why;
    EXPECT_FALSE(either.passes(frame(0x1AB, false)));
    EXPECT_TRUE(either.passes(frame(0x123, false)));
    EXPECT_TRUE(either.passes(frame(0x2AB, false)));

    for (const char* bad : {"123", "123:", ":7FF", "12G:7FF", "123:7FF:1", "123456789:7FF"})
        EXPECT_FALSE(ycantool::FrameFilter().add(bad, why)) << bad;
}

TEST(TimeStamps, EveryModeWritesWhatCandumpWrites) {
    ycantool::StampMode mode{};
    ycantool::TimeStamper absolute(ycantool::StampMode::Absolute);
    EXPECT_EQ(absolute.stamp(1700000000.1234565), "(1700000000.123457)");
    EXPECT_EQ(absolute.stamp(1700000000.9999996),
              "(1700000001.000000)");  // rounding carries into the seconds
    ycantool::TimeStamper delta(ycantool::StampMode::Delta);
    EXPECT_EQ(delta.stamp(100.0), "(000.000000)");
    EXPECT_EQ(delta.stamp(100.25), "(000.250000)");
    EXPECT_EQ(delta.stamp(112.5), "(012.250000)");
    ycantool::TimeStamper zero(ycantool::StampMode::Zero);
    EXPECT_EQ(zero.stamp(100.0), "(000.000000)");
    EXPECT_EQ(zero.stamp(100.25), "(000.250000)");
    EXPECT_EQ(zero.stamp(112.5), "(012.500000)");
    ycantool::TimeStamper date(ycantool::StampMode::Date);
    EXPECT_TRUE(std::regex_match(date.stamp(1700000000.5),
                                 std::regex(R"(\(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.500000\))")));
    for (const char* m : {"a", "A", "d", "z"}) EXPECT_TRUE(ycantool::parseStampMode(m, mode)) << m;
    EXPECT_FALSE(ycantool::parseStampMode("x", mode));
}

TEST(FrameGenerator, MakesFramesAsCangenChoosesThem) {
    std::string why;
    ycantool::GeneratorSettings s;
    ASSERT_TRUE(ycantool::parseIdMode("i", s, why));
    ASSERT_TRUE(ycantool::parseLenMode("i", s, why));
    ASSERT_TRUE(ycantool::parseDataMode("i", s, why));
    ASSERT_TRUE(ycantool::checkSettings(s, why)) << why;
    const ycantool::FrameGenerator counting(s, 1);
    for (uint64_t k : {0u, 1u, 8u, 9u, 300u}) {
        const auto f = counting.frame(k);
        EXPECT_EQ(f.id, k % 0x800);
        EXPECT_EQ(f.len, k % 9);
        if (f.len >= 2) {
            EXPECT_EQ(f.data[0], static_cast<uint8_t>(k));
            EXPECT_EQ(f.data[1], static_cast<uint8_t>(k >> 8));
        }
    }

    // Random, and the same k gives the same frame.
    ycantool::GeneratorSettings r;
    r.extended = true;
    r.bitRateSwitch = true;
    ASSERT_TRUE(ycantool::checkSettings(r, why)) << why;
    const ycantool::FrameGenerator random(r, 7);
    bool highId = false, longFrame = false;
    for (uint64_t k = 0; k < 200; ++k) {
        const auto f = random.frame(k);
        EXPECT_TRUE(f.fd && f.extended && (f.fdFlags & ycantool::kFdBitRateSwitch));
        EXPECT_LE(f.id, 0x1FFFFFFFu);
        EXPECT_TRUE(ycantool::validFdLength(f.len)) << int(f.len);
        highId = highId || f.id > 0x7FF;
        longFrame = longFrame || f.len > 8;
        const auto again = random.frame(k);
        EXPECT_EQ(ycantool::formatFrame(f), ycantool::formatFrame(again));
    }
    EXPECT_TRUE(highId);
    EXPECT_TRUE(longFrame);

    // Fixed values; remote frames carry no data.
    ycantool::GeneratorSettings fixed;
    ASSERT_TRUE(ycantool::parseIdMode("7FF", fixed, why));
    ASSERT_TRUE(ycantool::parseDataMode("11.22.33", fixed, why));
    ASSERT_TRUE(ycantool::checkSettings(fixed, why)) << why;
    EXPECT_EQ(ycantool::formatFrame(ycantool::FrameGenerator(fixed, 3).frame(5)), "7FF#112233");
    fixed.remote = true;
    fixed.dataMode = ycantool::GeneratorSettings::Mode::Random;
    ASSERT_TRUE(ycantool::parseLenMode("4", fixed, why));
    EXPECT_EQ(ycantool::formatFrame(ycantool::FrameGenerator(fixed, 3).frame(5)), "7FF#R4");
}

// ycan top's figures: bits a frame takes, load against the bit rates,
// rates per window and the bytes that changed.
TEST(BusStats, CountsBitsLoadRatesAndChangedBytes) {
    ycantool::TextFrame classic;
    classic.id = 0x123;
    classic.len = 8;
    EXPECT_EQ(ycantool::frameBits(classic).nominal, 111u);  // 47 + 64, no stuff bits
    classic.extended = true;
    EXPECT_EQ(ycantool::frameBits(classic).nominal, 131u);
    classic.extended = false;
    ycantool::TextFrame fd;
    fd.fd = true;
    fd.fdFlags = ycantool::kFdBitRateSwitch;
    fd.len = 64;
    const auto bits = ycantool::frameBits(fd);
    EXPECT_EQ(bits.nominal, 29u);
    EXPECT_EQ(bits.data, 1u + 4 + 512 + 4 + 21 + 1);
    const ycantool::BusRates rates{1000000, 5000000};
    EXPECT_DOUBLE_EQ(ycantool::frameSeconds(fd, rates), 29 / 1e6 + 543 / 5e6);
    fd.fdFlags = 0;  // no switch: all of it at the arbitration rate
    EXPECT_DOUBLE_EQ(ycantool::frameSeconds(fd, rates), (29 + 543) / 1e6);

    // 1000 classic frames of 8 bytes in one second at 500 kbit/s: 22.2 %.
    ycantool::BusStats stats(ycantool::BusRates{500000, 500000});
    stats.addChannel(1);
    stats.tick(10.0);
    for (int k = 0; k < 1000; ++k) {
        classic.data[0] = static_cast<uint8_t>(k);
        stats.add(0, classic, 10.0 + k / 1000.0);
    }
    stats.tick(11.0);
    const auto& ch0 = stats.channels().at(0);
    EXPECT_DOUBLE_EQ(ch0.rate, 1000);
    EXPECT_NEAR(ch0.load, 0.222, 1e-9);
    EXPECT_EQ(stats.channels().at(1).rate, 0);
    const auto& id = stats.identifiers().at({0u, false, 0x123u});
    EXPECT_EQ(id.count, 1000u);
    EXPECT_DOUBLE_EQ(id.rate, 1000);
    EXPECT_NEAR(id.period, 0.001, 1e-9);
    EXPECT_EQ(id.changed, 1u);  // only the first byte moved
    // A longer frame marks the bytes it added.
    classic.len = 2;
    stats.add(0, classic, 11.5);
    classic.len = 4;
    stats.add(0, classic, 11.6);
    EXPECT_EQ(stats.identifiers().at({0u, false, 0x123u}).changed, 0xCu);
    stats.tick(12.0);
    EXPECT_DOUBLE_EQ(stats.identifiers().at({0u, false, 0x123u}).rate, 2);
}

// The bridge's frames between the library's records and SocketCAN's.
TEST(SocketCanFrames, EveryShapeCrossesBothWaysUnchanged) {
    using ycantool::Outgoing;
    struct Case {
        uint8_t kind;
        uint32_t id;
        bool extended, remote;
        uint8_t frameOpt, len;
        size_t size;    // bytes SocketCAN carries
        canid_t canId;  // as SocketCAN has it
        uint8_t flags;  // canfd_frame.flags
    } cases[] = {
        {YCAN_KIND_CLASSIC, 0x123, false, false, 0, 2, CAN_MTU, 0x123, 0},
        {YCAN_KIND_CLASSIC, 0x1ABCDEF0, true, false, 0, 8, CAN_MTU, 0x1ABCDEF0 | CAN_EFF_FLAG, 0},
        {YCAN_KIND_CLASSIC, 0x7FF, false, true, 0, 0, CAN_MTU, 0x7FF | CAN_RTR_FLAG, 0},
        {YCAN_KIND_CANFD, 0x100, false, false, 0x08, 64, CANFD_MTU, 0x100, CANFD_FDF | CANFD_BRS},
        {YCAN_KIND_CANFD, 0x12345678, true, false, 0x10, 12, CANFD_MTU, 0x12345678 | CAN_EFF_FLAG,
         CANFD_FDF | CANFD_ESI},
        {YCAN_KIND_CANFD, 0x5, false, false, 0, 0, CANFD_MTU, 0x5, CANFD_FDF},
    };
    for (const Case& c : cases) {
        _YCAN_RX_FRAME r{};
        r.Kind = c.kind;
        r.Frame.ID = c.id;
        r.Frame.ExternFlag = c.extended;
        r.Frame.RemoteFlag = c.remote;
        r.Frame.FrameOpt = c.frameOpt;
        r.Frame.DataLen = c.len;
        for (unsigned i = 0; i < c.len; ++i) r.Frame.Data[i] = static_cast<uint8_t>(0xA0 + i);
        canfd_frame f;
        ASSERT_EQ(ycantool::toSocketCan(r, f), c.size) << c.id;
        EXPECT_EQ(f.can_id, c.canId) << c.id;
        EXPECT_EQ(f.len, c.len) << c.id;
        if (c.size == CANFD_MTU) {
            EXPECT_EQ(f.flags, c.flags) << c.id;
        }
        for (unsigned i = 0; i < c.len && !c.remote; ++i) ASSERT_EQ(f.data[i], 0xA0 + i) << c.id;

        const Outgoing o = ycantool::fromSocketCan(f, c.size);
        if (c.kind == YCAN_KIND_CANFD) {
            ASSERT_EQ(o.kind, Outgoing::Kind::Fd) << c.id;
            EXPECT_EQ(o.fd.ID, c.id);
            EXPECT_EQ(o.fd.ExternFlag, c.extended ? 1 : 0);
            EXPECT_EQ(o.fd.FrameOpt, c.frameOpt);
            EXPECT_EQ(o.fd.DataLen, c.len);
            EXPECT_EQ(memcmp(o.fd.Data, r.Frame.Data, c.len), 0);
        } else {
            ASSERT_EQ(o.kind, Outgoing::Kind::Classic) << c.id;
            EXPECT_EQ(o.classic.ID, c.id);
            EXPECT_EQ(o.classic.ExternFlag, c.extended ? 1 : 0);
            EXPECT_EQ(o.classic.RemoteFlag, c.remote ? 1 : 0);
            EXPECT_EQ(o.classic.DataLen, c.len);
            EXPECT_EQ(memcmp(o.classic.Data, r.Frame.Data, c.remote ? 0 : c.len), 0);
        }
    }
}

TEST(SocketCanFrames, WhatTheAdaptersCannotCarryIsRefusedOrMadeWhole) {
    using ycantool::Outgoing;
    canfd_frame f{};
    f.can_id = CAN_ERR_FLAG | 0x40;  // bus off
    EXPECT_EQ(ycantool::fromSocketCan(f, CAN_MTU).kind, Outgoing::Kind::Refused) << "error frames";
    f.can_id = 0x10;
    EXPECT_EQ(ycantool::fromSocketCan(f, 20).kind, Outgoing::Kind::Refused) << "neither size";
    // A CAN FD length between two of the lengths CAN FD has goes up to the
    // next, the added bytes zero.
    f.len = 10;
    f.flags = CANFD_FDF;
    for (int i = 0; i < 10; ++i) f.data[i] = 0xEE;
    const Outgoing o = ycantool::fromSocketCan(f, CANFD_MTU);
    ASSERT_EQ(o.kind, Outgoing::Kind::Fd);
    EXPECT_EQ(o.fd.DataLen, 12);
    EXPECT_EQ(o.fd.Data[9], 0xEE);
    EXPECT_EQ(o.fd.Data[10], 0);
    // An identifier is cut to its format's bits; a classic length to 8.
    f = canfd_frame{};
    f.can_id = 0xFFFF;
    f.len = 15;
    const Outgoing c = ycantool::fromSocketCan(f, CAN_MTU);
    EXPECT_EQ(c.classic.ID, 0x7FFu);
    EXPECT_EQ(c.classic.DataLen, 8);
}

namespace {

ycantool::RecorderSetup sampleSetup() {
    ycantool::RecorderSetup s;
    _YCAN_RECORD_CONFIG& a = s.channels[0].settings;
    a.RecordFlag = 1;
    a.OptionA = 1;
    a.AbitClock = 60;
    a.AbitTiming = 0x01400106;
    a.DbitClock = 80;
    a.DbitTiming = 0x00800001;
    a.TailFlag1 = 1;
    a.TailByte0 = 0x11;
    a.TailByte1 = 0x22;
    a.TailByte2 = 0xFF;
    s.channels[0].filtering = true;
    s.channels[0].filters = {{0, 0x100, 0x1FF}, {1, 0x18FF0000, 0x18FFFFFF}, {7, 5, 5}};
    s.channels[1].settings.OptionB = 1;
    s.channels[1].settings.TailFlag0 = 1;
    return s;
}

}  // namespace

TEST(RecorderSetupFile, WhatIsSavedReadsBackTheSame) {
    const ycantool::RecorderSetup saved = sampleSetup();
    const std::string text = ycantool::setupText(saved);
    EXPECT_NE(text.find("filter 100-1FF std\nfilter 18FF0000-18FFFFFF ext\nfilter 00000005 7\n"), std::string::npos)
        << text;
    ycantool::RecorderSetup read;
    std::string why;
    ASSERT_TRUE(ycantool::parseSetup(text, read, why)) << why << "\n" << text;
    for (unsigned ch = 0; ch < ycantool::kRecorderChannels; ++ch) {
        EXPECT_EQ(ycantool::settingsDifference(read.channels[ch].settings, saved.channels[ch].settings), "");
        EXPECT_EQ(read.channels[ch].filtering, saved.channels[ch].filtering);
        EXPECT_EQ(read.channels[ch].filters, saved.channels[ch].filters);
    }
    // Comments, blank lines, indentation and 0x-less words are the user's.
    ASSERT_TRUE(ycantool::parseSetup("# bench 3\n" + text + "\n   # end\n", read, why)) << why;
}

TEST(RecorderSetupFile, AFaultySetupNamesItsLineAndChangesNothing) {
    const std::string good = ycantool::setupText(sampleSetup());
    // Lines 2-13 are channel 0 (line 1 is the heading comment).
    auto replaced = [&](int line, const std::string& with) {
        std::istringstream in(good);
        std::string out, l;
        for (int n = 1; std::getline(in, l); ++n) out += (n == line ? with : l) + "\n";
        return out;
    };
    const struct {
        std::string text, why;
    } cases[] = {
        {replaced(3, "record maybe"), "3: record takes on or off, not \"maybe\""},
        {replaced(4, "abit-clock 256"), "4: abit-clock takes MHz from 0 to 255"},
        {replaced(5, "abit-timing 0x1234567890"), "5: abit-timing takes a 32-bit hex word"},
        {replaced(8, "option-a 2"), "8: option-a takes 0 or 1, not \"2\""},
        {replaced(10, "tail-flags 1"), "10: tail-flags takes 2 value(s)"},
        {replaced(11, "tail-bytes 11 22 100"), "11: tail-bytes takes three hex bytes"},
        {replaced(13, "filter 200-100 std"), "13: the range 200-100 runs backwards"},
        {replaced(13, "filter 800 std"), "13: identifier 800 is too wide for a standard (11-bit) filter"},
        {replaced(13, "filter 20000000 ext"), "13: bad identifier range \"20000000\""},
        {replaced(13, "filter 100 any"), "13: bad filter kind \"any\""},
        {replaced(13, "speed 5"), "13: unknown setting \"speed\""},
        {replaced(4, "record on"), "4: record a second time for channel 0"},
        {replaced(2, "channel 2"), "2: channel takes 0 or 1"},
        {replaced(2, "# no channel line"), "3: \"record\" before the first \"channel N\" line"},
        {replaced(17, "channel 0"), "17: channel 0 a second time"},
        {replaced(20, ""), "channel 1 lacks \"dbit-clock\""},
        {good.substr(0, good.find("channel 1")), "no \"channel 1\": the file sets up both channels"},
    };
    for (const auto& c : cases) {
        ycantool::RecorderSetup setup;
        setup.channels[1].settings.TailByte2 = 0x5A;  // untouched on failure
        std::string why;
        EXPECT_FALSE(ycantool::parseSetup(c.text, setup, why)) << c.why;
        EXPECT_EQ(why.substr(0, c.why.size()), c.why) << c.text;
        EXPECT_EQ(setup.channels[1].settings.TailByte2, 0x5A) << c.why;
        EXPECT_TRUE(setup.channels[0].filters.empty()) << c.why;
    }
}
