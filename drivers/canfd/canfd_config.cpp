// QDeviceUsbCanFd2: channel configuration. Bit rates and timing words, the
// bit timing command, start and stop, channel status, acceptance filters.
#include <cstring>
#include <mutex>

#include "drivers/canfd/QDeviceUsbCanFd2.h"
#include "drivers/canfd/canfd_replies.h"
#include "drivers/common/bytes.h"
#include "support/QErrMgr.h"
#include "support/QUserLog.h"

namespace {

// Bit rates a rate in bit/s may name, and the timing words of the same
// position for the adapters' 60 MHz and 80 MHz controller clocks.
// Word layout: prescaler-1 (31..22), SJW-1 (21..15), TSEG2-1 (14..8),
// TSEG1-1 (7..0).
const unsigned kABaudrate[7] = {1000000, 800000, 500000, 250000, 125000, 100000, 50000};
const unsigned kAbitTiming_60M[7] = {0x01400106, 0x0100020A, 0x02C00106, 0x05C00106,
                                     0x0BC00106, 0x0EC00106, 0x1DC00106};
const unsigned kAbitTiming_80M[7] = {0x00C0030E, 0x0100030E, 0x01C0030E, 0x03C0030E,
                                     0x07C0030E, 0x09C0030E, 0x13C0030E};
const unsigned kDBaudrate[10] = {5000000, 4000000, 2000000, 1000000, 800000,
                                 500000,  250000,  125000,  100000,  50000};
const unsigned kDbitTiming_60M[10] = {0x00800001, 0x00800002, 0x00800106, 0x01400106, 0x0100020A,
                                      0x02C00106, 0x05C00106, 0x0BC00106, 0x0EC00106, 0x1DC00106};
const unsigned kDbitTiming_80M[10] = {0x00400005, 0x00400106, 0x00C00106, 0x00C0030E, 0x0100030E,
                                      0x01C0030E, 0x03C0030E, 0x07C0030E, 0x09C0030E, 0x13C0030E};

constexpr uint8_t kCmdBitTiming = 0x03;
constexpr uint8_t kCmdFilter = 0x04;
constexpr uint8_t kCmdStart = 0x0E;
constexpr uint8_t kCmdStop = 0x0F;
constexpr uint8_t kCmdStatus = 0x16;

// Filter command operations.
constexpr uint8_t kFilterClear = 1;
constexpr uint8_t kFilterStandardRange = 2;
constexpr uint8_t kFilterExtendedRange = 3;
constexpr uint8_t kFilterEnable = 4;
constexpr uint8_t kFilterOtherModeRange = 5;

template <size_t N>
int lookup(const unsigned (&rates)[N], const unsigned (&words60)[N], const unsigned (&words80)[N],
           bool clock80, unsigned rate, unsigned* word) {
    if (rate == 0 || word == nullptr) return -1;
    for (size_t i = 0; i < N; ++i) {
        if (rates[i] == rate) {
            *word = clock80 ? words80[i] : words60[i];
            return 0;
        }
    }
    return -1;
}

using ycan::bytes::put16;
using ycan::bytes::put32;

using ycan::fail;

}  // namespace

int QDeviceUsbCanFd2::aBitTimingGet(unsigned rate, unsigned* word) {
    return lookup(kABaudrate, kAbitTiming_60M, kAbitTiming_80M, clockMHz() == 80, rate, word);
}

int QDeviceUsbCanFd2::dBitTimingGet(unsigned rate, unsigned* word) {
    return lookup(kDBaudrate, kDbitTiming_60M, kDbitTiming_80M, clockMHz() == 80, rate, word);
}

int QDeviceUsbCanFd2::initCAN(unsigned, _YCAN_INIT_CONFIG*) {
    return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);  // classic initialisation: classic adapters only
}

int QDeviceUsbCanFd2::initCANFD(unsigned ch, _YCAN_INITFD_CONFIG* config) {
    int r = initCANFDCmdSend(ch, config);
    if (r == 1) {
        std::lock_guard guard(configLock);
        chActive[ch] = 1;
        chConfig[ch] = *config;
    }
    return r;
}

int QDeviceUsbCanFd2::initCANFDCmdSend(unsigned ch, _YCAN_INITFD_CONFIG* config) {
    QUserLog* log = QUserLog::GetInstance();
    unsigned abit = 0;
    unsigned dbit = 0;
    bool ready = false;
    if (ch > kLastChannel || config == nullptr) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
    } else {
        // Remembered before the rates are looked up, so even a refused
        // record leaves its OptionA behind.
        std::lock_guard guard(configLock);
        chOptionA[ch] = config->OptionA;
        if (config->FdEnable != 0) {
            if (config->AbitBaudRate != 0 || config->DbitBaudRate != 0) {
                ready = aBitTimingGet(config->AbitBaudRate, &abit) == 0 &&
                        dBitTimingGet(config->DbitBaudRate, &dbit) == 0;
            } else {
                abit = config->AbitTiming;
                dbit = config->DbitTiming;
                ready = true;
            }
        } else {
            if (config->AbitBaudRate == 0) {
                abit = config->AbitTiming;
                ready = true;
            } else {
                ready = aBitTimingGet(config->AbitBaudRate, &abit) == 0;
            }
            dbit = abit;
        }
        if (!ready) ycan::setLastError(YCAN_ERR_BAUDRATE);
    }
    if (ready && canFdBaudInit(static_cast<uint8_t>(ch), config->OptionB, config->OptionA, clockMHz(),
                               clockMHz(), abit, dbit) == 1) {
        std::lock_guard guard(configLock);
        chConfig[ch] = *config;
        log->Info("USBCANFD Init Success...");
        return 1;
    }
    log->Error("USBCANFD Init Fail...");
    return 0;
}

int QDeviceUsbCanFd2::canFdBaudInit(uint8_t ch, uint8_t optionB, uint8_t optionA, uint8_t abitClock,
                                    uint8_t dbitClock, unsigned abitWord, unsigned dbitWord) {
    if (ch > kLastChannel) return fail(YCAN_ERR_PARAMETER);
    uint8_t cmd[24] = {0x55, kCmdBitTiming, ch, 0x01, optionB, optionA};
    put16(cmd + 6, abitClock);
    ycan::bytes::putTiming(cmd + 8, abitWord);
    put16(cmd + 15, dbitClock);
    ycan::bytes::putTiming(cmd + 17, dbitWord);
    uint8_t reply[64];
    int n = command(cmd, sizeof cmd, reply, kTimingCmdTimeoutMs);
    return n >= 5 && reply[3] == 0 ? 1 : 0;
}

int QDeviceUsbCanFd2::start(unsigned ch) {
    // Channels past 255 must not wrap onto a valid one.
    return canStart(ch > 0xFF ? 0xFF : static_cast<uint8_t>(ch));
}

int QDeviceUsbCanFd2::canStart(uint8_t ch) {
    QUserLog* log = QUserLog::GetInstance();
    if (ch > kLastChannel) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        log->Error("USBCANFD Start Fail!...");
        return 0;
    }
    const uint8_t cmd[5] = {0x55, kCmdStart, 0x02, 0x00, static_cast<uint8_t>(ch * 16)};
    uint8_t reply[64];
    if (command(cmd, sizeof cmd, reply, kCmdTimeoutMs) >= 3 && reply[1] == kCmdStart) {
        log->Info("YORV Tip:USBCANFD Start Success...");
        return 1;
    }
    log->Error("ERROR:USBCANFD Start Fail...");
    return 0;
}

int QDeviceUsbCanFd2::stop(unsigned ch) {
    // Only a channel that was initialised is told to stop; its queues are
    // emptied in any case.
    if (ch < kChannels && chActive[ch]) {
        canStop(static_cast<uint8_t>(ch));
        chActive[ch] = 0;
    }
    return clearBuffer(ch);
}

int QDeviceUsbCanFd2::canStop(uint8_t ch) {
    if (ch > kLastChannel) return fail(YCAN_ERR_PARAMETER);
    const uint8_t cmd[5] = {0x55, kCmdStop, 0x02, 0x00, static_cast<uint8_t>(ch * 16)};
    uint8_t reply[64];
    return command(cmd, sizeof cmd, reply, kCmdTimeoutMs) >= 0 ? 1 : 0;
}

int QDeviceUsbCanFd2::canChStatusGet(uint8_t ch, unsigned* status) {
    if (ch > kLastChannel || status == nullptr) return fail(YCAN_ERR_PARAMETER);
    const uint8_t cmd[4] = {0x55, kCmdStatus, static_cast<uint8_t>(ch * 16 + 1), 0x00};
    uint8_t reply[64];
    return ycan::canfd::channelStatus(reply, command(cmd, sizeof cmd, reply, kCmdTimeoutMs), status) ? 1 : 0;
}

// ---- Filters -----------------------------------------------------------------

int QDeviceUsbCanFd2::filterCmdSend(uint8_t ch, uint8_t op, unsigned startId, unsigned endId) {
    uint8_t cmd[13] = {0x55, kCmdFilter, 0x0A, op, static_cast<uint8_t>(ch * 16)};
    put32(cmd + 5, startId);
    put32(cmd + 9, endId);
    uint8_t reply[64];
    // Reply byte 3 is the adapter's verdict, so the reply must reach it.
    return command(cmd, sizeof cmd, reply, kCmdTimeoutMs) >= 4 && reply[3] == 0 ? 1 : 0;
}

int QDeviceUsbCanFd2::canFilterModeSet(uint8_t ch, int mode) {
    if (ch > kLastChannel) return fail(YCAN_ERR_PARAMETER);
    std::lock_guard steps(filterLock[ch]);
    return filterModeSetLocked(ch, mode);
}

int QDeviceUsbCanFd2::canFilterStartIdSet(uint8_t ch, unsigned id) {
    if (ch > kLastChannel) return fail(YCAN_ERR_PARAMETER);
    std::lock_guard steps(filterLock[ch]);
    return filterStartIdSetLocked(ch, id);
}

int QDeviceUsbCanFd2::canFilterEndIdSet(uint8_t ch, unsigned id) {
    if (ch > kLastChannel) return fail(YCAN_ERR_PARAMETER);
    std::lock_guard steps(filterLock[ch]);
    return filterEndIdSetLocked(ch, id);
}

int QDeviceUsbCanFd2::filterModeSetLocked(uint8_t ch, int mode) {
    filterState[ch] = 1;
    if (mode == 0 || mode == 1) {
        filterMode[ch] = static_cast<uint8_t>(mode);
        return 1;
    }
    filterMode[ch] = 2;
    return filterCmdSend(ch, kFilterOtherModeRange, 0, 0);
}

int QDeviceUsbCanFd2::filterStartIdSetLocked(uint8_t ch, unsigned id) {
    if (filterState[ch] != 1) return 0;
    filterStartId[ch] = id;
    filterState[ch] = 2;
    return 1;
}

int QDeviceUsbCanFd2::filterEndIdSetLocked(uint8_t ch, unsigned id) {
    if (filterState[ch] != 2) return fail(YCAN_ERR_PARAMETER);
    uint8_t op = kFilterOtherModeRange;
    if (filterMode[ch] == 0) {
        op = kFilterStandardRange;
        filterStartId[ch] &= 0x7FF;
        id &= 0x7FF;
    } else if (filterMode[ch] == 1) {
        op = kFilterExtendedRange;
        filterStartId[ch] &= 0x1FFFFFFF;
        id &= 0x1FFFFFFF;
    }
    // The state stays at 2: further end identifiers may follow.
    return filterCmdSend(ch, op, filterStartId[ch], id);
}

int QDeviceUsbCanFd2::canFilterClear(uint8_t ch, int) {
    if (ch > kLastChannel) return 0;
    return filterCmdSend(ch, kFilterClear, 0, 0);
}

int QDeviceUsbCanFd2::canFilterEnable(uint8_t ch, int) {
    if (ch > kLastChannel) return fail(YCAN_ERR_PARAMETER);
    return filterCmdSend(ch, kFilterEnable, 0, 0);
}

int QDeviceUsbCanFd2::setFliter(unsigned ch, _YCAN_FLITER_CONFIG* config) {
    // Refused before the channel is narrowed to 8 bits, where 256 would
    // become channel 0.
    if (config == nullptr || ch > kLastChannel) return fail(YCAN_ERR_PARAMETER);
    const uint8_t c = static_cast<uint8_t>(ch);
    switch (config->FilterOp) {
        case 0:
            return canFilterClear(c, 0);
        case 1: {
            // One range, whole: no other thread's step comes in between.
            std::lock_guard steps(filterLock[c]);
            filterModeSetLocked(c, config->FilterMode);
            filterStartIdSetLocked(c, config->StartId);
            return filterEndIdSetLocked(c, config->EndId);
        }
        case 2:
            return canFilterEnable(c, 0);
        default:
            return fail(YCAN_ERR_PARAMETER);
    }
}
