// The registry's own logic, with a stand-in driver object: which devices it
// creates, opens, keeps, closes and frees.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "api/QYCANDevMgr.h"
#include "fake_device.h"
#include "support/QErrMgr.h"
#include "ycan.h"

using ycantest::FakeDevice;
using ycantest::Probe;

namespace {

QYCANDevMgr::DriverFactory factoryFor(Probe& probe) {
    return [&probe](uint32_t) { return std::make_shared<FakeDevice>(probe); };
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override { QErrMgr::destroyInstance(); }
    Probe probe;
};

}  // namespace

TEST_F(Registry, OpenTwiceKeepsOneObjectAndRecordsItsKey) {
    QYCANDevMgr reg(factoryFor(probe));
    EXPECT_EQ(reg.openDevice(43, 0), 1);
    ycan::setLastError(YCAN_ERR_PARAMETER);
    EXPECT_EQ(reg.openDevice(43, 0), 1);
    // The second open touches neither the device nor the last error.
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    EXPECT_EQ(probe.created, 1);
    EXPECT_EQ(probe.opened, 1);

    auto dev = reg.deviceFind(43, 0);
    ASSERT_TRUE(dev);
    EXPECT_EQ(dev->regType, 43u);
    EXPECT_EQ(dev->regIndex, 0u);
    auto* fake = static_cast<FakeDevice*>(dev.get());
    EXPECT_EQ(fake->openArgs.type, 43u);
    EXPECT_EQ(fake->openArgs.index, 0u);
    EXPECT_EQ(fake->openArgs.reserved, 0u);
    EXPECT_EQ(reg.devFind(43, 0)->device, dev);
    EXPECT_EQ(reg.deviceFind(43, 1), nullptr);
    EXPECT_EQ(reg.deviceFind(42, 0), nullptr);
}

TEST_F(Registry, SuccessfulOpenClearsAnEarlierError) {
    QYCANDevMgr reg(factoryFor(probe));
    ycan::setLastError(YCAN_ERR_TYPE_NOT_SUPPORTED);
    ASSERT_EQ(reg.openDevice(61, 2), 1);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_OK);
}

TEST_F(Registry, FailedOpenStoresNothingAndKeepsTheDriversError) {
    probe.openResult = 0;
    QYCANDevMgr reg(factoryFor(probe));
    EXPECT_EQ(reg.openDevice(64, 1), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_DEVICE_INFO);
    EXPECT_EQ(reg.deviceFind(64, 1), nullptr);
    EXPECT_EQ(reg.devFind(64, 1), nullptr);
    EXPECT_EQ(probe.created, 1);
    EXPECT_EQ(probe.destroyed, 1);
}

TEST_F(Registry, TypeWithoutDriverFailsAsDeviceNotExist) {
    QYCANDevMgr reg([](uint32_t) { return std::shared_ptr<QDevice>(); });
    EXPECT_EQ(reg.openDevice(43, 0), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_DEVICE_NOT_EXIST);
    EXPECT_EQ(reg.deviceFind(43, 0), nullptr);
}

TEST_F(Registry, CloseOfNeverOpenedDeviceReturnsOne) {
    QYCANDevMgr reg(factoryFor(probe));
    ycan::setLastError(YCAN_ERR_PARAMETER);
    EXPECT_EQ(reg.closeDevice(43, 0), 1);
    EXPECT_EQ(reg.deviceDel(43, 0), 1);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER);
    EXPECT_EQ(probe.created, 0);
}

TEST_F(Registry, CloseClosesTwiceThenFreesAndAllowsReopen) {
    QYCANDevMgr reg(factoryFor(probe));
    ASSERT_EQ(reg.openDevice(43, 0), 1);
    EXPECT_EQ(reg.closeDevice(43, 0), 1);
    // Once by the close itself, once more by deviceDel on the closed device.
    EXPECT_EQ(probe.closeCalls, 2);
    EXPECT_EQ(probe.destroyed, 1);
    EXPECT_EQ(reg.deviceFind(43, 0), nullptr);

    ASSERT_EQ(reg.openDevice(43, 0), 1);
    EXPECT_EQ(probe.created, 2);
    EXPECT_EQ(probe.opened, 2);
}

TEST_F(Registry, CloseReturnsTheDriversFirstResult) {
    probe.closeResult = 0;
    QYCANDevMgr reg(factoryFor(probe));
    ASSERT_EQ(reg.openDevice(65, 3), 1);
    EXPECT_EQ(reg.closeDevice(65, 3), 0);
    EXPECT_EQ(reg.deviceFind(65, 3), nullptr);
    EXPECT_EQ(probe.destroyed, 1);
}

TEST_F(Registry, DeviceAddKeepsTheFirstEntry) {
    QYCANDevMgr reg(factoryFor(probe));
    auto first = std::make_shared<FakeDevice>(probe);
    auto second = std::make_shared<FakeDevice>(probe);
    EXPECT_EQ(reg.deviceAdd(41, 0, first), 1);
    EXPECT_EQ(reg.deviceAdd(41, 0, second), 1);
    EXPECT_EQ(reg.deviceFind(41, 0), first);
    // The refused device is still the caller's alone.
    EXPECT_EQ(second.use_count(), 1);
}

TEST_F(Registry, DeviceDelClosesAndLeavesTheObjectToItsHolder) {
    QYCANDevMgr reg(factoryFor(probe));
    auto dev = std::make_shared<FakeDevice>(probe);
    dev->isOpen = true;
    reg.deviceAdd(62, 0, dev);
    EXPECT_EQ(reg.deviceDel(62, 0), 1);
    EXPECT_FALSE(dev->isOpen);
    EXPECT_EQ(probe.closeCalls, 1);
    EXPECT_EQ(probe.destroyed, 0);
    EXPECT_EQ(reg.deviceFind(62, 0), nullptr);
    EXPECT_EQ(dev.use_count(), 1);
}

TEST_F(Registry, TeardownClosesAndFreesWhatIsLeft) {
    {
        QYCANDevMgr reg(factoryFor(probe));
        ASSERT_EQ(reg.openDevice(43, 0), 1);
        ASSERT_EQ(reg.openDevice(43, 1), 1);
        ASSERT_EQ(reg.openDevice(61, 0), 1);
        ASSERT_EQ(reg.closeDevice(43, 1), 1);
        EXPECT_EQ(probe.closeCalls, 2);
    }
    EXPECT_EQ(probe.closeCalls, 4);
    EXPECT_EQ(probe.destroyed, 3);
}

TEST_F(Registry, CallInFlightKeepsItsDeviceAliveAcrossClose) {
    QYCANDevMgr reg(factoryFor(probe));
    ASSERT_EQ(reg.openDevice(43, 0), 1);
    std::shared_ptr<QDevice> inFlight = reg.deviceFind(43, 0);
    EXPECT_EQ(reg.closeDevice(43, 0), 1);
    EXPECT_EQ(reg.deviceFind(43, 0), nullptr);
    // Closed, but not freed under the call that still uses it.
    EXPECT_EQ(probe.destroyed, 0);
    EXPECT_EQ(inFlight->isDeviceOnLine(), 0);
    inFlight.reset();
    EXPECT_EQ(probe.destroyed, 1);
}

TEST_F(Registry, ConcurrentOpenCloseAndLookupsStayConsistent) {
    {
        QYCANDevMgr reg(factoryFor(probe));
        constexpr int kThreads = 4;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                std::mt19937 rng(t);
                for (int i = 0; i < 300; ++i) {
                    unsigned index = rng() % 3;
                    switch (rng() % 3) {
                        case 0:
                            EXPECT_EQ(reg.openDevice(43, index), 1);
                            break;
                        case 1:
                            EXPECT_EQ(reg.closeDevice(43, index), 1);
                            break;
                        default:
                            if (auto d = reg.deviceFind(43, index)) d->isDeviceOnLine();
                    }
                }
            });
        for (auto& th : threads) th.join();
    }
    EXPECT_EQ(probe.overlap, 0);
    EXPECT_EQ(probe.created, probe.opened);
    EXPECT_EQ(probe.destroyed, probe.created);
    for (auto& [key, count] : probe.live) EXPECT_EQ(count, 0);
}
