// QDeviceUsbCanFd2: device types, open and close, versions, board
// information, direct data transfer and the device function set.
#include <cstring>
#include <mutex>

#include "drivers/canfd/QDeviceUsbCanFd2.h"
#include "drivers/canfd/canfd_replies.h"
#include "drivers/common/adapter_models.h"
#include "drivers/common/bytes.h"
#include "support/QErrMgr.h"
#include "support/QUserLog.h"

namespace {

constexpr uint8_t kCmdVersion0 = 0x01;
constexpr uint8_t kCmdVersion1 = 0x12;
constexpr uint8_t kCmdChannelCount = 0x13;

// Version words travel high byte first in reply bytes 4 and 5.

}  // namespace

QDeviceUsbCanFd2::QDeviceUsbCanFd2() = default;

// This class's own close: a destructor does not dispatch to derived classes.
QDeviceUsbCanFd2::~QDeviceUsbCanFd2() { QDeviceUsbCanFd2::closeDevice(); }

int QDeviceUsbCanFd2::openDevice(unsigned type, unsigned index, unsigned) {
    if (life.isOpen()) return 1;
    const ycan::AdapterModel* model = ycan::findAdapterModel(type);
    if (model == nullptr || model->family != ycan::AdapterFamily::CanFd) {
        ycan::setLastError(YCAN_ERR_TYPE_NOT_SUPPORTED);
        return 0;
    }
    devType = type;
    devIndex = index;
    channelCount = model->channels;
    clock = model->clockMHz;
    if (!life.open(model->vendorId, model->productId, index)) {
        ycan::setLastError(YCAN_ERR_DEVICE_NOT_EXIST);
        return 0;
    }
    {
        // Nothing a previous connection left half-read survives an open.
        std::lock_guard guard(rxLock);
        rxStream.clear();
    }
    if (canGetDeviceVer() != 1) {
        life.close();
        ycan::setLastError(YCAN_ERR_DEVICE_INFO);
        return 0;
    }
    canDevFunSet();  // an adapter that declines it still works
    received.open();
    life.startReceiving();
    return 1;
}

int QDeviceUsbCanFd2::closeDevice() {
    life.close();
    for (auto& active : chActive) active = 0;
    return 1;
}

void QDeviceUsbCanFd2::releaseWaiters() { received.close(); }

void QDeviceUsbCanFd2::closeChannels(bool adapterAnswers) {
    for (unsigned ch = 0; ch < channelCount && ch < kChannels; ++ch) {
        if (!chActive[ch]) continue;
        if (adapterAnswers) canStop(static_cast<uint8_t>(ch));
        usbRxDataBufferClr(static_cast<uint8_t>(ch));
        chActive[ch] = 0;
    }
}

int QDeviceUsbCanFd2::readVersionWords(uint16_t* v0, uint16_t* v1) {
    uint8_t reply[64];
    // A reply too short for the bytes read counts as a failed query.
    const uint8_t first[4] = {0x55, kCmdVersion0, 0x01, 0x01};
    if (!ycan::canfd::versionWord(reply, command(first, 4, reply, kCmdTimeoutMs), v0)) return 0;
    const uint8_t second[4] = {0x55, kCmdVersion1, 0x01, 0x01};
    if (!ycan::canfd::versionWord(reply, command(second, 4, reply, kCmdTimeoutMs), v1)) return 1;
    return 2;
}

int QDeviceUsbCanFd2::canGetDeviceVer() { return readVersionWords(&version0, &version1) == 2 ? 1 : 0; }

int QDeviceUsbCanFd2::getBoardInf(_YCAN_BOARD_INFO* info) {
    if (info == nullptr) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return 0;
    }
    uint16_t v0 = 0, v1 = 0;
    const int got = readVersionWords(&v0, &v1);
    // What was read before a query failed stays filled.
    if (got >= 1) info->Version0 = v0;
    if (got < 2) return 0;
    info->Version1 = v1;
    uint8_t reply[64];
    const uint8_t cn[4] = {0x55, kCmdChannelCount, 0x01, 0x01};
    if (!ycan::canfd::channelCount(reply, command(cn, 4, reply, kCmdTimeoutMs), &info->ChannelNum)) return 0;
    info->ApiVersion = 0x0100;
    return 1;
}

int QDeviceUsbCanFd2::isDeviceOnLine() { return 2; }

int QDeviceUsbCanFd2::transmitData(uint8_t* data, unsigned length) {
    // The reply is written back into the buffer, so there must be one.
    if (data == nullptr || length > 0x7FFFFFFFu) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return 0;
    }
    const ycan::DirectRequest request(data, length);
    uint8_t reply[64];
    const int n = command(request.bytes, request.length, reply, kCmdTimeoutMs);
    if (n < 0) return 0;
    return ycan::copyDirectReply(data, reply, n);
}

int QDeviceUsbCanFd2::canDevFunSet() {
    int packetLen = 0;
    const ycan::FunctionSetResult r = ycan::sendFunctionSet(
        [&](uint8_t* packet, unsigned len) { return transmitData(packet, len); }, &packetLen);
    // Once accepted, data packets go out without waiting for echoes.
    if (r == ycan::FunctionSetResult::Accepted) echoWait = 0;
    return ycan::reportFunctionSet(r, packetLen, "USBCANFD设备功能设置成功!", "USBCANFD设备功能设置无效...");
}
