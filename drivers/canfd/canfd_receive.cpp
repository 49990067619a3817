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

#include "drivers/canfd/QDeviceUsbCanFd2.h"
#include "drivers/common/queued_calls.h"
#include "support/QErrMgr.h"

namespace {

unsigned queueOf(unsigned ch) {
    return ch < QDeviceUsbCanFd2::kChannels ? ch : QDeviceUsbCanFd2::kChannels - 1;
}

}  // namespace

// ---- Decoding (receive thread, rxLock held) ---------------------------------

void QDeviceUsbCanFd2::publishStaged() { received.publish(staged); }

void QDeviceUsbCanFd2::usbDevCanDataRecHandle(const uint8_t* record, int available) {
    if (available < static_cast<int>(ycan::CanFdStream::kClassicRecordLen)) return;
    std::lock_guard guard(rxLock);
    staged.add(ycan::CanFdStream::queueOf(record), ycan::CanFdStream::decodeCanRecord(record));
    publishStaged();
}

void QDeviceUsbCanFd2::usbDevCanFdDataRecHandle(const uint8_t* record, int available) {
    if (available < static_cast<int>(ycan::CanFdStream::kFdRecordLen)) return;
    std::lock_guard guard(rxLock);
    staged.add(ycan::CanFdStream::queueOf(record), ycan::CanFdStream::decodeFdRecord(record));
    publishStaged();
}

void QDeviceUsbCanFd2::usbRxDataProcess(const uint8_t* src, unsigned len) {
    std::lock_guard guard(rxLock);
    rxStream.feed(src, len, staged);
    // The frames of one transfer appear together.
    publishStaged();
}

unsigned QDeviceUsbCanFd2::reassemblyBytes() {
    std::lock_guard guard(rxLock);
    return rxStream.buffered();
}

// ---- Taking frames (application threads) --------------------------------

template <class Frame>
int QDeviceUsbCanFd2::takeFrames(unsigned ch, Frame* out, unsigned count, int waitMs) {
    if (out == nullptr || count == 0) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return 0;
    }
    // A closed store (device closed or closing) hands out what it holds
    // and never waits.
    return received.take(queueOf(ch), out, count, waitMs);
}

int QDeviceUsbCanFd2::receive(unsigned ch, _YCAN_CAN_OBJ* out, unsigned count, int waitMs) {
    return takeFrames(ch, out, count, waitMs);
}

int QDeviceUsbCanFd2::receiveFD(unsigned ch, _YCAN_CANFD_OBJ* out, unsigned count, int waitMs) {
    return takeFrames(ch, out, count, waitMs);
}

int QDeviceUsbCanFd2::receiveAll(unsigned ch, _YCAN_RX_FRAME* out, unsigned count, int waitMs) {
    // Reachable only while registered, that is open.
    return ycan::takeInOrder(received, channelCount, true, ch, out, count, waitMs);
}

int QDeviceUsbCanFd2::eventFd() { return ycan::eventDescriptor(received); }

int QDeviceUsbCanFd2::linkState(uint32_t* losses) { return ycan::linkState(&received, life, losses); }

int QDeviceUsbCanFd2::location(char* portPath, uint32_t portPathSize, char* serial, uint32_t serialSize) {
    return ycan::deviceLocation(life, portPath, portPathSize, serial, serialSize);
}

void QDeviceUsbCanFd2::linkChanged() { received.linkChanged(); }

int QDeviceUsbCanFd2::getReceiveNum(unsigned ch, uint8_t kind) {
    if (ch >= kChannels) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return 0;
    }
    return static_cast<int>(received.size(ch, kind));
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
    received.clear(ch);
    // Any partly received packet goes too, of every channel.
    rxStream.clear();
}
