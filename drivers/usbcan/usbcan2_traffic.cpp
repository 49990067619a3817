// Classic USB CAN driver: frames. Transmit packs up to three 19-byte records
// into one bulk packet on 0x02; the receive thread reads 0x82 in 64-byte
// transfers, finds the records (bytes 3..5 of a record read 01 00 00) and
// queues the frames per channel; after an unplug it replays the initialised
// channels. The record layout and the stream decoding are in
// usbcan2_stream.h.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "support/QErrMgr.h"
#include "drivers/usbcan/usbcan2.h"
#include "drivers/usbcan/usbcan2_replies.h"
#include "drivers/usbcan/usbcan2_stream.h"

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
    ycan::GateScope call(rec.commands().calls());
    if (!call) return fail(YCAN_ERR_NOT_OPENED);  // being closed
    if (!usbcan2IsInit(type, index, channel)) return fail(YCAN_ERR_CAN_NOT_INITIALIZED);
    // One batch: recovery waits for it to end.
    ycan::CommandChannel::Batch batch(rec.commands());
    if (batch.entry() == ycan::CommandChannel::Batch::Entry::Closing) return fail(YCAN_ERR_NOT_OPENED);
    if (batch.entry() == ycan::CommandChannel::Batch::Entry::Recovering) return 0;
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

// ---- What the shared adapter life asks of a record ----------------------------

void devInfo::decode(const uint8_t* data, unsigned length) {
    // The frames of one transfer reach the queues together.
    rxStream.feed(data, length, rxStaged);
    for (unsigned ch = 0; ch < 2; ++ch) {
        rxQueue[ch].push(rxStaged[ch].data(), rxStaged[ch].size());
        rxStaged[ch].clear();
    }
}

void devInfo::dropPartial() { rxStream.clear(); }

bool devInfo::anyChannelActive() const { return chActive[0].load() || chActive[1].load(); }

bool devInfo::replayChannel(unsigned ch) {
    if (!chActive[ch].load()) return true;
    _YCAN_INIT_CONFIG saved;
    {
        std::lock_guard guard(configMutex);
        saved = chConfig[ch];
    }
    usbcan2DevFunSet(*this);
    return usbcan2CmdInitSend(*this, ch, &saved) == 1 && usbcan2Start(*this, ch) == 1;
}

// ---- Receive, count, clear ---------------------------------------------------------

extern "C" int usbcan2Receive(uint32_t, uint32_t index, uint32_t channel, _YCAN_CAN_OBJ* frames,
                              unsigned max, int waitMs) {
    if (index >= kUsbCanDevices || frames == nullptr || max == 0) return fail(YCAN_ERR_PARAMETER);
    devInfo& rec = devInfoList[index];
    // Through the record's gate, so that close and unload know the caller
    // has left the queue. A closed queue serves what it holds, never waits.
    ycan::GateScope call(rec.commands().calls());
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
