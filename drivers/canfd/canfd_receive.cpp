// QDeviceUsbCanFd2: the receive stream. The adapter sends data packets
// (same layout as the transmit path) on bulk endpoint 0x83; the receive
// thread appends each transfer to the reassembly buffer, cuts out the
// complete packets, decodes their records and queues the frames per
// channel. Applications take them with receive / receiveFD.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "support/QErrMgr.h"
#include "drivers/canfd/QDeviceUsbCanFd2.h"
#include "drivers/common/bytes.h"

namespace {

constexpr unsigned kHeaderLen = 7;
constexpr unsigned kClassicRecordLen = 19;
constexpr unsigned kFdRecordLen = 75;
constexpr unsigned kReassemblyLen = 4096;

using ycan::bytes::le32;

unsigned queueOf(unsigned ch) { return ch < QDeviceUsbCanFd2::kChannels ? ch : QDeviceUsbCanFd2::kChannels - 1; }

}  // namespace

// ---- Decoding (receive thread, rxLock held) ---------------------------------

template <class Frame>
void QDeviceUsbCanFd2::decodeRecord(const uint8_t* p, std::vector<Frame> (&staged)[kChannels]) {
    constexpr bool fd = std::is_same_v<Frame, _YCAN_CANFD_OBJ>;
    constexpr uint8_t maxLen = fd ? 64 : 8;
    Frame f{};
    f.ID = le32(p + 6) & 0x1FFFFFFF;
    f.TimeTag = le32(p + 2);
    if constexpr (fd) f.FrameOpt = (p[1] & 0x10) ? 0x08 : 0x00;
    f.RemoteFlag = (p[1] & 0x02) ? 1 : 0;
    f.ExternFlag = (p[1] & 0x04) ? 1 : 0;
    f.DataLen = std::min(p[10], maxLen);
    memcpy(f.Data, p + 11, f.DataLen);
    staged[queueOf(p[0] >> 4)].push_back(f);
}

void QDeviceUsbCanFd2::publishStaged() {
    for (unsigned ch = 0; ch < kChannels; ++ch) {
        canQueue[ch].push(stagedCan[ch].data(), stagedCan[ch].size());
        stagedCan[ch].clear();
        canFdQueue[ch].push(stagedFd[ch].data(), stagedFd[ch].size());
        stagedFd[ch].clear();
    }
}

void QDeviceUsbCanFd2::usbDevCanDataRecHandle(const uint8_t* record, int available) {
    if (available < static_cast<int>(kClassicRecordLen)) return;
    std::lock_guard guard(rxLock);
    decodeRecord(record, stagedCan);
    publishStaged();
}

void QDeviceUsbCanFd2::usbDevCanFdDataRecHandle(const uint8_t* record, int available) {
    if (available < static_cast<int>(kFdRecordLen)) return;
    std::lock_guard guard(rxLock);
    decodeRecord(record, stagedFd);
    publishStaged();
}

unsigned QDeviceUsbCanFd2::usbProtocolFrameDataGet(const uint8_t* buf, unsigned len) {
    unsigned i = 0;
    if (len <= 6) return 0;
    while (i < len) {
        if (len - i < kHeaderLen) break;  // an incomplete header waits for more
        const unsigned payload = buf[i + 4] | (buf[i + 5] << 8);
        // Not a header, an empty one, or one that could never fit the
        // reassembly buffer (it would wedge the stream): resynchronise.
        if (buf[i] != 0x55 || buf[i + 1] != 0xF2 || payload == 0 ||
            payload + kHeaderLen > kReassemblyLen) {
            ++i;
            continue;
        }
        if (len - i < payload + kHeaderLen) break;  // the rest of the packet is still to come
        const unsigned end = i + kHeaderLen + payload;
        unsigned count = buf[i + 6];
        i += kHeaderLen;
        // Records stay inside their packet, whatever the count says.
        while (count-- > 0 && i + 2 <= end) {
            const bool fd = (buf[i + 1] & 0x01) != 0;
            const unsigned size = fd ? kFdRecordLen : kClassicRecordLen;
            if (i + size > end) break;
            if (fd)
                decodeRecord(buf + i, stagedFd);
            else
                decodeRecord(buf + i, stagedCan);
            i += size;
        }
        i = end;
    }
    return std::min(i, len);
}

void QDeviceUsbCanFd2::usbRxDataProcess(const uint8_t* src, unsigned len) {
    {
        std::lock_guard guard(rxLock);
        while (len > 0) {
            const unsigned take = std::min(kReassemblyLen - rxBufLen, len);
            memcpy(rxBuf + rxBufLen, src, take);
            rxBufLen += take;
            const unsigned consumed = usbProtocolFrameDataGet(rxBuf, rxBufLen);
            memmove(rxBuf, rxBuf + consumed, rxBufLen - consumed);
            rxBufLen -= consumed;
            src += take;
            len -= take;
        }
        // The frames of one transfer appear together.
        publishStaged();
    }
}

// ---- Taking frames (application threads) --------------------------------

template <class Frame>
int QDeviceUsbCanFd2::takeFrames(ycan::FrameQueue<Frame>& queue, Frame* frames, unsigned count,
                                 int waitMs) {
    if (frames == nullptr || count == 0) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return 0;
    }
    // A closed queue (device closed or closing) hands out what it holds and
    // never waits.
    return queue.take(frames, count, waitMs);
}

int QDeviceUsbCanFd2::receive(unsigned ch, _YCAN_CAN_OBJ* frames, unsigned count, int waitMs) {
    return takeFrames(canQueue[queueOf(ch)], frames, count, waitMs);
}

int QDeviceUsbCanFd2::receiveFD(unsigned ch, _YCAN_CANFD_OBJ* frames, unsigned count,
                                int waitMs) {
    return takeFrames(canFdQueue[queueOf(ch)], frames, count, waitMs);
}

int QDeviceUsbCanFd2::getReceiveNum(unsigned ch, uint8_t kind) {
    if (ch >= kChannels) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return 0;
    }
    switch (kind) {
        case 0: return static_cast<int>(canQueue[ch].size());
        case 1: return static_cast<int>(canFdQueue[ch].size());
        case 2: return static_cast<int>(canQueue[ch].size() + canFdQueue[ch].size());
        default: return 0;
    }
}

int QDeviceUsbCanFd2::clearBuffer(unsigned ch) {
    if (ch >= kChannels) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return 0;
    }
    usbRxDataBufferClr(static_cast<uint8_t>(ch));
    return 1;
}

void QDeviceUsbCanFd2::usbRxDataBufferClr(uint8_t ch) {
    if (ch >= kChannels) return;
    // Under rxLock: no transfer is being decoded meanwhile, so no frame of
    // it can land after the clear.
    std::lock_guard guard(rxLock);
    canQueue[ch].clear();
    canFdQueue[ch].clear();
    // Any partly received packet goes too, of every channel.
    rxBufLen = 0;
}
