// Classic USB CAN driver: frames. Transmit packs up to three 19-byte records
// into one bulk packet on 0x02; the receive thread reads 0x82 in 64-byte
// transfers, finds the records (bytes 3..5 of a record read 01 00 00) and
// queues the frames per channel; it also supervises the link and restores
// the initialised channels of an adapter that was unplugged.
//
// Record: time tag (4; host to device high byte first, device to host low
// byte first), FrameOpt, SendMode, flags (0x80 extended, 0x40 remote, 0x10
// channel 1, low nibble length), identifier << 3 (extended) or << 5 (4, low
// byte first), data (8).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "support/QErrMgr.h"
#include "drivers/common/bytes.h"
#include "drivers/usbcan/usbcan2.h"
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

void encode(uint8_t* r, const _YCAN_CAN_OBJ& f, uint32_t channel) {
    ycan::bytes::putBe32(r, f.TimeTag);
    r[4] = f.FrameOpt;
    r[5] = f.SendMode;
    r[6] = static_cast<uint8_t>(channel * 16 | f.RemoteFlag * 64 | f.ExternFlag * 128 |
                                (f.DataLen & 0x0F));
    ycan::bytes::put32(r + 7, f.ExternFlag == 1 ? f.ID << 3 : f.ID << 5);
    memcpy(r + 11, f.Data, f.DataLen);
}

_YCAN_CAN_OBJ decode(const uint8_t* r) {
    _YCAN_CAN_OBJ f{};
    f.TimeTag = ycan::bytes::le32(r);
    f.FrameOpt = r[4];
    f.SendMode = r[5];
    f.RemoteFlag = (r[6] & 0x40) ? 1 : 0;
    f.ExternFlag = (r[6] & 0x80) ? 1 : 0;
    f.DataLen = std::min<uint8_t>(r[6] & 0x0F, 8);
    const uint32_t raw = ycan::bytes::le32(r + 7);
    f.ID = (f.ExternFlag ? raw >> 3 : raw >> 5) & 0x1FFFFFFF;
    memcpy(f.Data, r + 11, f.DataLen);
    return f;
}

bool startsRecord(const uint8_t* p) { return p[3] == 0x01 && p[4] == 0x00 && p[5] == 0x00; }

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
        for (unsigned i = 0; i < n; ++i) encode(packet + i * kRecordLen, frames[sent + i], channel);
        uint8_t reply[10] = {};
        int len = sizeof reply;
        if (usbDataSend(rec, packet, static_cast<int>(n * kRecordLen), reply, &len, 0x02, 0x81,
                        1000) != 0) {
            ycan::setLastError(YCAN_ERR_USB_TRANSPORT);
            return result;
        }
        sent += n;
        // While replies are awaited the adapter says how many it accepted.
        result += rec.txWaitReply.load() == 1 ? reply[2] : static_cast<int>(n);
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

// Finds the records in the accumulation buffer and hands their frames to
// the queues, those of one transfer together.
void decodeStream(devInfo& rec) {
    _YCAN_CAN_OBJ frames[2][sizeof rec.rxBuf / kRecordLen];
    size_t count[2] = {0, 0};
    unsigned p = 0;
    while (rec.rxFill - p >= kRecordLen) {
        if (startsRecord(rec.rxBuf + p)) {
            const uint8_t* record = rec.rxBuf + p;
            const unsigned ch = (record[6] >> 4) & 0x01;
            frames[ch][count[ch]++] = decode(record);
            p += kRecordLen;
        } else {
            ++p;  // resynchronise byte by byte
        }
    }
    memmove(rec.rxBuf, rec.rxBuf + p, rec.rxFill - p);
    rec.rxFill -= p;
    rec.rxQueue[0].push(frames[0], count[0]);
    rec.rxQueue[1].push(frames[1], count[1]);
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
    const unsigned take = std::min<unsigned>(static_cast<unsigned>(r), sizeof rec.rxBuf - rec.rxFill);
    memcpy(rec.rxBuf + rec.rxFill, buf, take);
    rec.rxFill += take;
    decodeStream(rec);
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
            [&rec] { rec.rxFill = 0; },
            [&rec] { return replayChannels(rec); }, "YORV Tip:USBCAN OK..."};
}
