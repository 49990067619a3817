#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/QErrMgr.h"
#include "ycan.h"

namespace {
// Each test starts from a fresh instance holding 0.
class LastError : public ::testing::Test {
protected:
    void SetUp() override { QErrMgr::destroyInstance(); }
    void TearDown() override { QErrMgr::destroyInstance(); }
    QErrMgr* mgr() { return QErrInfoMgr::getinstance(); }
};

const std::pair<int, const char*> kTable[] = {
    {0, "OK"},
    {1, "Device Not Exist!"},
    {3, "USB Transport Error!"},
    {4, "Package Format Error!"},
    {5, "Device Info Get Failed!"},
    {6, "Device Type Not Supported!"},
    {7, "Device Not Opened!"},
    {8, "Parameter Error!"},
    {9, "Memory Malloc Failed!"},
    {10, "Parameter Not Supported!"},
    {11, "Baud Rate Parameter Not Supported!"},
    {12, "USB Command Failed!"},
    {13, "CAN Not Initialized!"},
    {14, "CAN Format Error!"},
};
}  // namespace

TEST_F(LastError, FreshInstanceReportsOk) {
    EXPECT_EQ(YCAN_GetLastError(), 0);
    EXPECT_STREQ(YCAN_GetLastErrorStr(), "OK");
}

TEST_F(LastError, EveryCodeHasItsMessage) {
    for (auto [code, text] : kTable) {
        mgr()->setLastError(code);
        EXPECT_EQ(YCAN_GetLastError(), code);
        EXPECT_STREQ(YCAN_GetLastErrorStr(), text) << "code " << code;
    }
    mgr()->setLastError(11);
    EXPECT_STREQ(YCAN_GetLastErrorStr(), "Baud Rate Parameter Not Supported!");
}

TEST_F(LastError, CodesWithoutMessageAreIgnored) {
    mgr()->setLastError(13);
    for (int code : {15, -1, 2, 100, 1 << 30}) {
        mgr()->setLastError(code);
        EXPECT_EQ(mgr()->getLastError(), 13) << "code " << code;
    }
    EXPECT_STREQ(QErrMgr::messageOf(2), "Unknown Error!");
    EXPECT_STREQ(QErrMgr::messageOf(15), "Unknown Error!");
    EXPECT_STREQ(QErrMgr::messageOf(-3), "Unknown Error!");
}

TEST_F(LastError, MessageTextIsStableStaticStorage) {
    mgr()->setLastError(7);
    const char* text = YCAN_GetLastErrorStr();
    mgr()->setLastError(8);
    // The earlier pointer still reads its own message; the texts never move.
    EXPECT_STREQ(text, "Device Not Opened!");
    mgr()->setLastError(7);
    EXPECT_EQ(YCAN_GetLastErrorStr(), text);
}

TEST_F(LastError, DestroyInstanceStartsOver) {
    mgr()->setLastError(12);
    QErrMgr::destroyInstance();
    EXPECT_EQ(YCAN_GetLastError(), 0);
    EXPECT_STREQ(YCAN_GetLastErrorStr(), "OK");
}

TEST_F(LastError, ConcurrentFirstUseYieldsOneInstance) {
    for (int round = 0; round < 20; ++round) {
        QErrMgr::destroyInstance();
        constexpr int kThreads = 8;
        std::atomic<int> ready{0};
        std::vector<QErrMgr*> seen(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                ready.fetch_add(1);
                while (ready.load() < kThreads) {
                }
                seen[t] = QErrInfoMgr::getinstance();
            });
        for (auto& th : threads) th.join();
        std::set<QErrMgr*> distinct(seen.begin(), seen.end());
        ASSERT_EQ(distinct.size(), 1u) << "round " << round;
        EXPECT_EQ(*distinct.begin(), QErrInfoMgr::getinstance());
    }
}

TEST_F(LastError, ConcurrentSetAndGetSeeOnlyValidCodes) {
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!stop.load()) {
            int code = YCAN_GetLastError();
            const char* text = YCAN_GetLastErrorStr();
            if (code != 0 && code != 6 && code != 8) bad.fetch_add(1);
            if (strcmp(text, "OK") != 0 && strcmp(text, "Device Type Not Supported!") != 0 &&
                strcmp(text, "Parameter Error!") != 0)
                bad.fetch_add(1);
        }
    });
    std::vector<std::thread> writers;
    for (int code : {6, 8})
        writers.emplace_back([&, code] {
            for (int i = 0; i < 20000; ++i) mgr()->setLastError(i % 2 ? code : 99);
        });
    for (auto& w : writers) w.join();
    stop = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
}
