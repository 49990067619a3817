// QDeviceUsbCanFd2: device types, open and close, versions, board
// information, direct data transfer and the device function set.
#include <cstring>
#include <mutex>

#include "api/QErrMgr.h"
#include "drivers/canfd/QDeviceUsbCanFd2.h"
#include "support/QUserLog.h"
#include "support/yorvProcotol.h"

namespace {

struct CanFdType {
    unsigned type;
    uint16_t vendorId;
    uint16_t productId;
    unsigned channels;
};

const CanFdType kCanFdTypes[] = {
    {41, 0x3068, 0x0009, 2}, {42, 0x3068, 0x0009, 2}, {43, 0x3068, 0x0009, 2},
    {64, 0x0471, 0x3014, 4}, {65, 0x0471, 0x2014, 4}, {66, 0x0471, 0x2018, 8},
    {67, 0x0471, 0x3018, 8},
};

const CanFdType* findType(unsigned type) {
    for (const CanFdType& t : kCanFdTypes)
        if (t.type == type) return &t;
    return nullptr;
}

constexpr uint8_t kCmdVersion0 = 0x01;
constexpr uint8_t kCmdVersion1 = 0x12;
constexpr uint8_t kCmdChannelCount = 0x13;
constexpr uint8_t kFunctionSetCmd = 7;

// Version words travel high byte first in reply bytes 4 and 5.
uint16_t versionWord(const uint8_t (&reply)[64]) {
    return static_cast<uint16_t>((reply[4] << 8) | reply[5]);
}

}  // namespace

QDeviceUsbCanFd2::QDeviceUsbCanFd2() { ycan::userMutexCreate(rxThread.mutex); }

QDeviceUsbCanFd2::~QDeviceUsbCanFd2() {
    taskThreadShutdown();
    pthread_mutex_destroy(&rxThread.mutex);
}

bool QDeviceUsbCanFd2::lookupType(unsigned type) {
    const CanFdType* t = findType(type);
    if (t == nullptr) return false;
    channelCount = t->channels;
    return true;
}

uint8_t QDeviceUsbCanFd2::clockMHz() const { return devType == 66 || devType == 67 ? 80 : 60; }

int QDeviceUsbCanFd2::openDevice(unsigned type, unsigned index, unsigned) {
    if (openState.load() != 0) return 1;
    const CanFdType* t = findType(type);
    if (t == nullptr) {
        ycan::setLastError(YCAN_ERR_TYPE_NOT_SUPPORTED);
        return 0;
    }
    devType = type;
    devIndex = index;
    lookupType(type);
    if (usb.OpenUSBDevice(t->vendorId, t->productId, static_cast<int>(index)) != 1) {
        ycan::setLastError(YCAN_ERR_DEVICE_NOT_EXIST);
        return 0;
    }
    if (canGetDeviceVer() != 1) {
        usb.CloseUSBDevice();
        ycan::setLastError(YCAN_ERR_DEVICE_INFO);
        return 0;
    }
    canDevFunSet(false);  // an adapter that declines it still works
    taskThreadCreate();
    openState = 1;
    return 1;
}

int QDeviceUsbCanFd2::closeDevice() {
    if (openState.load() != 1) return 1;
    for (unsigned ch = 0; ch < channelCount && ch < kChannels; ++ch) {
        if (!chActive[ch]) continue;
        canStop(static_cast<uint8_t>(ch));
        usbRxDataBufferClr(static_cast<uint8_t>(ch));
        chActive[ch] = 0;
    }
    taskThreadShutdown();
    usb.CloseUSBDevice();
    {
        // Under rxLock, so that a receiver about to wait cannot miss it.
        std::lock_guard guard(rxLock);
        openState = 0;
    }
    rxArrived.notify_all();  // waiting receivers give up
    for (auto& active : chActive) active = 0;
    return 1;
}

int QDeviceUsbCanFd2::canGetDeviceVer() {
    uint8_t reply[64];
    const uint8_t v0[4] = {0x55, kCmdVersion0, 0x01, 0x01};
    if (command(v0, 4, reply, kCmdTimeoutMs, false) < 6) return 0;
    version0 = versionWord(reply);
    const uint8_t v1[4] = {0x55, kCmdVersion1, 0x01, 0x01};
    if (command(v1, 4, reply, kCmdTimeoutMs, false) < 6) return 0;
    version1 = versionWord(reply);
    return 1;
}

int QDeviceUsbCanFd2::getBoardInf(_YCAN_BOARD_INFO* info) {
    if (info == nullptr) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return 0;
    }
    uint8_t reply[64];
    // A reply too short for the bytes read counts as a failed query.
    const uint8_t v0[4] = {0x55, kCmdVersion0, 0x01, 0x01};
    if (command(v0, 4, reply, kCmdTimeoutMs, false) < 6) return 0;
    info->Version0 = versionWord(reply);
    const uint8_t v1[4] = {0x55, kCmdVersion1, 0x01, 0x01};
    if (command(v1, 4, reply, kCmdTimeoutMs, false) < 6) return 0;
    info->Version1 = versionWord(reply);
    const uint8_t cn[4] = {0x55, kCmdChannelCount, 0x01, 0x01};
    if (command(cn, 4, reply, kCmdTimeoutMs, false) < 5) return 0;
    info->ChannelNum = reply[4];
    info->ApiVersion = 0x0100;
    return 1;
}

int QDeviceUsbCanFd2::isDeviceOnLine() { return 2; }

int QDeviceUsbCanFd2::isDeviceReady() { return linkFault.load() == 0 ? 0 : -1; }

int QDeviceUsbCanFd2::transmitData(uint8_t* data, unsigned length) {
    return transmitData(data, length, false);
}

int QDeviceUsbCanFd2::transmitData(uint8_t* data, unsigned length, bool bypass) {
    // A length above INT_MAX is a negative length at the interface.
    if ((data == nullptr && length > 0) || length > 0x7FFFFFFFu) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return 0;
    }
    uint8_t request[64] = {0x12, 0xA7};
    const unsigned copied = length < 62 ? length : 62;
    if (copied > 0) memcpy(request + 2, data, copied);
    uint8_t reply[64];
    int n = command(request, static_cast<int>(copied + 2), reply, kCmdTimeoutMs, bypass);
    if (n < 0) return 0;
    // A matched reply has at least 3 bytes.
    memcpy(data, reply + 2, static_cast<size_t>(n - 2));
    return n - 2;
}

int QDeviceUsbCanFd2::canDevFunSet(bool bypass) {
    QUserLog* log = QUserLog::GetInstance();
    uint8_t packet[64];
    uint8_t payload[2] = {0x00, 0x00};
    int result = -2;
    int len = yorvProcotolPack(packet, sizeof packet, kFunctionSetCmd, true, payload, 2);
    if (len > 0) {
        int n = transmitData(packet, static_cast<unsigned>(len), bypass);
        if (n == 0) {
            ycan::setLastError(YCAN_ERR_USB_TRANSPORT);
        } else {
            uint8_t opened[64] = {};  // a reply without payload reads as declined
            if (yorvProcotolUnPack(packet, n, opened, sizeof opened) == 0) {
                ycan::setLastError(YCAN_ERR_PACKAGE_FORMAT);
            } else if (opened[1] != 0) {
                log->Info("USBCANFD设备功能设置成功!");
                echoWait = 0;
                return 0;
            } else {
                result = len;  // declined
            }
        }
    }
    log->Info("USBCANFD设备功能设置无效...");
    return result;
}
