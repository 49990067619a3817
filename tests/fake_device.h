// A stand-in driver object for the registry and dispatch tests: it records
// every operation the library calls on it, with its arguments, and answers
// with results the test chooses.
#pragma once

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "drivers/common/QDevice.h"
#include "support/QErrMgr.h"

namespace ycantest {

// What the stand-in devices report back to the test.
struct Probe {
    std::atomic<int> created{0};
    std::atomic<int> opened{0};
    std::atomic<int> closeCalls{0};
    std::atomic<int> destroyed{0};
    // Devices currently open per (type, index): never more than one.
    std::mutex liveLock;
    std::map<std::pair<unsigned, unsigned>, int> live;
    std::atomic<int> overlap{0};
    int openResult = 1;
    int closeResult = 1;
    int openFailError = 5;
};

class FakeDevice : public QDevice {
public:
    explicit FakeDevice(Probe& p) : probe(p) { probe.created++; }
    ~FakeDevice() override { probe.destroyed++; }

    int openDevice(unsigned t, unsigned i, unsigned reserved) override {
        openArgs = {t, i, reserved};
        if (probe.openResult != 1) {
            QErrInfoMgr::getinstance()->setLastError(probe.openFailError);
            return probe.openResult;
        }
        probe.opened++;
        isOpen = true;
        key = {t, i};
        std::lock_guard g(probe.liveLock);
        if (++probe.live[key] > 1) probe.overlap++;
        return 1;
    }
    int closeDevice() override {
        probe.closeCalls++;
        if (isOpen) {
            isOpen = false;
            std::lock_guard g(probe.liveLock);
            probe.live[key]--;
            return probe.closeResult;
        }
        return 1;
    }
    int initCAN(unsigned ch, _YCAN_INIT_CONFIG* c) override { return note("initCAN", ch, c); }
    int initCANFD(unsigned ch, _YCAN_INITFD_CONFIG* c) override { return note("initCANFD", ch, c); }
    int getBoardInf(_YCAN_BOARD_INFO* info) override { return note("getBoardInf", 0, info); }
    int isDeviceOnLine() override { return isOpen ? 1 : 0; }
    int transmit(unsigned ch, _YCAN_CAN_OBJ* f, unsigned n) override { return note("transmit", ch, f, n); }
    int transmitFD(unsigned ch, _YCAN_CANFD_OBJ* f, unsigned n) override {
        return note("transmitFD", ch, f, n);
    }
    int receiveFD(unsigned ch, _YCAN_CANFD_OBJ* f, unsigned n, int wait) override {
        return note("receiveFD", ch, f, n, wait);
    }
    int receive(unsigned ch, _YCAN_CAN_OBJ* f, unsigned n, int wait) override {
        return note("receive", ch, f, n, wait);
    }
    int start(unsigned ch) override { return note("start", ch); }
    int stop(unsigned ch) override { return note("stop", ch); }
    int clearBuffer(unsigned ch) override { return note("clearBuffer", ch); }
    int getReceiveNum(unsigned ch, uint8_t kind) override { return note("getReceiveNum", ch, nullptr, kind); }
    int transmitData(uint8_t* data, unsigned len) override { return note("transmitData", 0, data, len); }
    int setFliter(unsigned ch, _YCAN_FLITER_CONFIG* c) override { return note("setFliter", ch, c); }
    int receiveAll(unsigned ch, _YCAN_RX_FRAME* f, unsigned n, int wait) override {
        return note("receiveAll", ch, f, n, wait);
    }
    int eventFd() override { return note("eventFd", 0); }
    int linkState(uint32_t* losses) override { return note("linkState", 0, losses); }
    int location(char* portPath, uint32_t, char*, uint32_t) override { return note("location", 0, portPath); }

    // Calls as "name ch=.. p=.. n=.. w=..", in order.
    std::vector<std::string> calls;
    // Result of each recorded operation by name; 1 when not set.
    std::map<std::string, int> results;

    struct Args {
        unsigned type, index, reserved;
    } openArgs{~0u, ~0u, ~0u};
    bool isOpen = false;
    std::pair<unsigned, unsigned> key;

protected:
    int note(const char* name, unsigned ch, const void* p = nullptr, long n = -1, long w = -1) {
        char line[160];
        snprintf(line, sizeof line, "%s ch=%u p=%p n=%ld w=%ld", name, ch, p, n, w);
        calls.emplace_back(line);
        auto r = results.find(name);
        return r == results.end() ? 1 : r->second;
    }

private:
    Probe& probe;
};

// A recorder stand-in: also records the recorder operations.
class FakeRecorder : public FakeDevice {
public:
    using FakeDevice::FakeDevice;
    int RecordSettingSet(unsigned ch, _YCAN_RECORD_CONFIG* c) override {
        return note("RecordSettingSet", ch, c);
    }
    int RecordSettingGet(unsigned ch, _YCAN_RECORD_CONFIG* c) override {
        return note("RecordSettingGet", ch, c);
    }
    int RecordCmdExecute(unsigned ch, unsigned cmd, _YCAN_FLITER_INFO* info,
                         _YCAN_FLITER_CONFIG* c) override {
        lastInfo = info;
        lastFilter = c;
        lastFilterIndex = c != nullptr ? c->FilterIndex : ~0u;
        return note("RecordCmdExecute", ch, nullptr, cmd);
    }
    _YCAN_FLITER_INFO* lastInfo = nullptr;
    _YCAN_FLITER_CONFIG* lastFilter = nullptr;
    uint32_t lastFilterIndex = 0;
};

// "name ch=C p=P n=N w=W" as FakeDevice records it.
inline std::string callText(const char* name, unsigned ch, const void* p = nullptr, long n = -1,
                            long w = -1) {
    char line[160];
    snprintf(line, sizeof line, "%s ch=%u p=%p n=%ld w=%ld", name, ch, p, n, w);
    return line;
}

}  // namespace ycantest
