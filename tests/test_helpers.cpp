#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "support/QUserMutex.h"
#include "support/clock.h"
#include "support/hextext.h"

TEST(HexText, DigitsOfEveryCaseAndNonDigitsAsZero) {
    EXPECT_EQ(char2Hex('0'), 0);
    EXPECT_EQ(char2Hex('9'), 9);
    EXPECT_EQ(char2Hex('a'), 10);
    EXPECT_EQ(char2Hex('f'), 15);
    EXPECT_EQ(char2Hex('F'), 15);
    EXPECT_EQ(char2Hex('A'), 10);
    EXPECT_EQ(char2Hex('g'), 0);
    EXPECT_EQ(char2Hex(' '), 0);
    EXPECT_EQ(char2Hex('\0'), 0);
    EXPECT_EQ(char2Hex(static_cast<char>(0xC3)), 0);
}

TEST(HexText, ParsesMostSignificantDigitFirst) {
    EXPECT_EQ(str2DWord("01400106"), 0x01400106u);
    EXPECT_EQ(str2DWord("00800001"), 0x00800001u);
    EXPECT_EQ(str2DWord("FFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(str2Word("abCD"), 0xABCD);
    EXPECT_EQ(str2Byte("7f"), 0x7F);
}

TEST(HexText, ShortTextGivesZeroAndLongerTextIsCut) {
    EXPECT_EQ(str2DWord("1400106"), 0u);
    EXPECT_EQ(str2Word("ABC"), 0);
    EXPECT_EQ(str2Byte(""), 0);
    EXPECT_EQ(str2Byte("F"), 0);
    EXPECT_EQ(str2DWord("0123456789"), 0x01234567u);
    EXPECT_EQ(str2Word("12345"), 0x1234);
    EXPECT_EQ(str2Byte(nullptr), 0);
    EXPECT_EQ(str2DWord(nullptr), 0u);
}

TEST(HexText, InvalidCharacterCountsAsZero) {
    EXPECT_EQ(str2Byte("G1"), 1);
    EXPECT_EQ(str2Word("0x12"), 0x0012);
    EXPECT_EQ(str2DWord("zz00zz01"), 0x00000001u);
}

TEST(Clock, ElapsedTimeRuleAtTheWrap) {
    EXPECT_EQ(ycan::lapseBetween(100, 100), 0u);
    EXPECT_EQ(ycan::lapseBetween(100, 350), 250u);
    EXPECT_EQ(ycan::lapseBetween(0, 0xFFFFFFFFu), 0xFFFFFFFFu);
    // After a wrap the result is one less than the modular difference.
    EXPECT_EQ(ycan::lapseBetween(0xFFFFFFF0u, 0x10u), 31u);
    EXPECT_EQ(ycan::lapseBetween(0xFFFFFFFFu, 0u), 0u);
}

TEST(Clock, MonotonicMicrosecondsTrackRealTime) {
    uint64_t a = getCurMicroSec();
    uint32_t start = static_cast<uint32_t>(a);
    EXPECT_LT(getLapseMicroSec(start), 1000000u);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    uint64_t b = getCurMicroSec();
    EXPECT_GE(b - a, 20000u);
    EXPECT_LT(b - a, 5000000u);
    EXPECT_GE(getLapseMicroSec(start), 20000u);

    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t direct = static_cast<uint64_t>(ts.tv_sec) * 1000000u + ts.tv_nsec / 1000u;
    uint64_t ours = getCurMicroSec();
    EXPECT_GE(ours, direct);
    EXPECT_LT(ours - direct, 1000000u);
}

TEST(Clock, StartInTheFutureReadsAsWrapped) {
    uint32_t now = ycan::curMicroSec32();
    // A start just ahead of the clock looks like a start before a wrap.
    uint32_t lapse = getLapseMicroSec(now + 1000000u);
    EXPECT_GT(lapse, 0xFFFFFFFFu - 1000000u - 1000000u);
}

namespace {
// True when another thread cannot take m right now.
bool heldElsewhere(pthread_mutex_t& m) {
    int rc = 0;
    std::thread other([&] {
        rc = pthread_mutex_trylock(&m);
        if (rc == 0) pthread_mutex_unlock(&m);
    });
    other.join();
    return rc == EBUSY;
}
}  // namespace

TEST(UserMutex, RecursiveForTheHolderExclusiveForOthers) {
    QRecursiveMutex mutex;
    EXPECT_FALSE(heldElsewhere(mutex.native()));
    {
        QUserMutex outer(mutex.native());
        {
            // Taking it again on the same thread must not block.
            QUserMutex inner(mutex.native());
            EXPECT_TRUE(heldElsewhere(mutex.native()));
        }
        // Released once, still held once.
        EXPECT_TRUE(heldElsewhere(mutex.native()));
    }
    EXPECT_FALSE(heldElsewhere(mutex.native()));
}

TEST(UserMutex, ProtectsSharedCounterAcrossThreads) {
    QRecursiveMutex mutex;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                QUserMutex guard(mutex.native());
                ++counter;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 40000);
}
