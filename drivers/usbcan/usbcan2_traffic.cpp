// Classic USB CAN driver: frames. Transmit packs up to three 19-byte records
// into one bulk packet on 0x02; the receive thread reads 0x82 in 64-byte
// transfers, finds the records (bytes 3..5 of a record read 01 00 00) and
// queues the frames per channel; it also supervises the link and restores
// the initialised channels of an adapter that was unplugged. The record
// layout and the stream decoding are in usbcan2_stream.h.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "support/QErrMgr.h"
#include "drivers/usbcan/usbcan2.h"
#include "drivers/usbcan/usbcan2_replies.h"
#include "drivers/usbcan/usbcan2_stream.h"
#include "support/QUserLog.h"
#include "support/clock.h"

namespace {

constexpr unsigned kRecordLen = 19;
constexpr unsigned kFramesPerPacket = 3;

int fail(int code) {
    ycan::setLastError(code);
    return 0;
}

bool validFrame(const _YCAN_CAN_OBJ& f) {
    return f.RemoteFlag <= 1 && f.ExternFlag <= 1 && f.DataLen <= 8;
}

}  // namespace

// ---- Transmit ----------------------------------------------------------------

extern "C" int usbcan2Transmit(uint32_t type, uint32_t index, uint32_t channel,
                               _YCAN_CAN_OBJ* frames, unsigned long count) {
    if (!usbcan2DevParaIsValid(type, index, 0)) return fail(YCAN_ERR_CAN_NOT_INITIALIZED);
    devInfo& rec = devInfoList[index];
    ycan::GateScope call(rec.calls);
    if (!call) return fail(YCAN_ERR_NOT_OPENED);  // being closed
    if (!usbcan2IsInit(type, index, channel)) return fail(YCAN_ERR_CAN_NOT_INITIALIZED);
    // Registered for the whole batch: recovery waits for it to end.
    ycan::ExchangeScope exchange(rec.link);
    if (!exchange) return 0;  // recovery under way
    const unsigned total = static_cast<uint16_t>(count);
    if (frames == nullptr && total > 0) return fail(YCAN_ERR_PARAMETER);
    // The batch is checked whole before anything goes on the wire.
    for (unsigned i = 0; i < total; ++i)
        if (!validFrame(frames[i])) return fail(YCAN_ERR_CAN_FORMAT);

    unsigned sent = 0;
    int result = 0;
    while (sent < total) {
        const unsigned n = std::min(total - sent, kFramesPerPacket);
        uint8_t packet[kRecordLen * kFramesPerPacket] = {};
        for (unsigned i = 0; i < n; ++i)
            ycan::Usbcan2Stream::encodeRecord(packet + static_cast<size_t>(i) * kRecordLen, frames[sent + i], channel);
        uint8_t reply[10] = {};
        int len = sizeof reply;
        if (usbDataSend(rec, packet, static_cast<int>(n * kRecordLen), reply, &len, 0x02, 0x81,
                        1000) != 0) {
            ycan::setLastError(YCAN_ERR_USB_TRANSPORT);
            return result;
        }
        sent += n;
        // While replies are awaited the adapter says how many it accepted.
        result += rec.txWaitReply.load() == 1 ? static_cast<int>(ycan::usbcan2::acceptedFrames(reply, len, n))
                                              : static_cast<int>(n);
    }
    return result;
}

// ---- Receive thread ------------------------------------------------------------

namespace {

bool anyChannelActive(const devInfo& rec) { return rec.chActive[0].load() || rec.chActive[1].load(); }

bool replayChannels(devInfo& rec) {
    for (uint32_t ch = 0; ch < 2; ++ch) {
        if (rec.rxThread.stopRequested()) return false;
        if (!rec.chActive[ch].load()) continue;
        _YCAN_INIT_CONFIG saved;
        {
            std::lock_guard guard(rec.configMutex);
            saved = rec.chConfig[ch];
        }
        usbcan2DevFunSet(rec, true);
        if (usbcan2CmdInitSend(YCAN_TYPE_USBCAN_4, rec.devIndex, ch, &saved, true) != 1 ||
            usbcan2Start(YCAN_TYPE_USBCAN_4, rec.devIndex, ch, true) != 1)
            return false;
    }
    return true;
}

}  // namespace

void usbcan2ReceivePass(devInfo& rec) {
    QUserLibUsb* usb = rec.usbDev.load();
    if (usb == nullptr) return;
    usbcan2FaultTimeHandle(rec);
    if (rec.link.recovering()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // nothing to read yet
        return;
    }
    uint8_t buf[64] = {};
    const uint32_t started = ycan::curMicroSec32();
    const int r = usb->bulkReadUSBDevice(buf, sizeof buf, 0x82, 500);
    if (r == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        return;
    }
    if (r < 0) {
        // An adapter gone with no channel initialised fails every read at
        // once: pause instead of spinning.
        if (getLapseMicroSec(started) < 1000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return;
    }
    // The frames of one transfer reach the queues together.
    rec.rxStream.feed(buf, static_cast<unsigned>(r), rec.rxStaged);
    for (unsigned ch = 0; ch < 2; ++ch) {
        rec.rxQueue[ch].push(rec.rxStaged[ch].data(), rec.rxStaged[ch].size());
        rec.rxStaged[ch].clear();
    }
}

// ---- Receive, count, clear ---------------------------------------------------------

extern "C" int usbcan2Receive(uint32_t, uint32_t index, uint32_t channel, _YCAN_CAN_OBJ* frames,
                              unsigned max, int waitMs) {
    if (index >= kUsbCanDevices || frames == nullptr || max == 0) return fail(YCAN_ERR_PARAMETER);
    devInfo& rec = devInfoList[index];
    // Through the record's gate, so that close and unload know the caller
    // has left the queue. A closed queue serves what it holds, never waits.
    ycan::GateScope call(rec.calls);
    if (!call) return 0;
    return rec.rxQueue[channel == 0 ? 0 : 1].take(frames, max, waitMs);
}

extern "C" int usbcan2GetReceiveNum(uint32_t type, uint32_t index, uint32_t channel) {
    if (!usbcan2IsInit(type, index, channel)) return fail(YCAN_ERR_CAN_NOT_INITIALIZED);
    return static_cast<int>(devInfoList[index].rxQueue[channel].size());
}

extern "C" int usbcan2ClearBuffer(uint32_t type, uint32_t index, uint32_t channel) {
    if (!usbcan2IsInit(type, index, channel)) return fail(YCAN_ERR_CAN_NOT_INITIALIZED);
    devInfoList[index].rxQueue[channel].clear();
    return 1;
}

// ---- Link supervision and recovery -----------------------------------------------

void usbcan2FaultTimeHandle(devInfo& rec) {
    QUserLibUsb* usb = rec.usbDev.load();
    if (usb == nullptr) return;
    rec.link.step(*usb, rec.linkHooks);
}

ycan::LinkSupervisor::Hooks usbcan2LinkHooks(devInfo& rec) {
    return {[&rec] { return anyChannelActive(rec); },
            // Bytes the old connection left half-received must not be glued
            // to the new connection's.
            [&rec] { rec.rxStream.clear(); },
            [&rec] { return replayChannels(rec); }, "YORV Tip:USBCAN OK..."};
}
