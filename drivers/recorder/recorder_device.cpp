// QDeviceCanRecord: identity, open and close, board values, direct transfer
// and the filter list.
#include <cstring>

#include "drivers/common/adapter_models.h"
#include "drivers/common/bytes.h"
#include "drivers/common/command_exchange.h"
#include "drivers/common/queued_calls.h"
#include "drivers/recorder/QDeviceCanRecord.h"
#include "drivers/recorder/recorder_replies.h"
#include "support/QErrMgr.h"

namespace {

constexpr unsigned kTimeoutMs = 1000;
constexpr uint8_t kFilterCmd = 0x04;
constexpr uint8_t kFilterQuery = 0x05;

// Any non-zero channel is the recorder's second channel.
uint8_t channelByte(unsigned ch) { return ch != 0 ? 1 : 0; }

int refuse() { return ycan::fail(YCAN_ERR_PARAMETER); }  // a missing record

}  // namespace

// This class's own close: a destructor does not dispatch to derived classes.
QDeviceCanRecord::~QDeviceCanRecord() { QDeviceCanRecord::closeDevice(); }

int QDeviceCanRecord::openDevice(unsigned type, unsigned index, unsigned) {
    if (life.isOpen()) return 1;
    deviceIndex = index;
    const ycan::AdapterModel* model = ycan::findAdapterModel(type == 62 ? 62 : 61);
    return life.open(model->vendorId, model->productId, index) ? 1 : 0;
}

int QDeviceCanRecord::closeDevice() {
    // An exchange under way on another thread ends now instead of reading
    // out its time-out; the close waits for it to leave.
    life.close();
    return 1;
}

int QDeviceCanRecord::receiveAll(unsigned, _YCAN_RX_FRAME*, unsigned, int) {
    return ycan::fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
}

int QDeviceCanRecord::eventFd() {
    ycan::setLastError(YCAN_ERR_TYPE_NOT_SUPPORTED);
    return -1;
}

int QDeviceCanRecord::linkState(uint32_t* losses) { return ycan::linkState(nullptr, life, losses); }

int QDeviceCanRecord::location(char* portPath, uint32_t portPathSize, char* serial, uint32_t serialSize) {
    return ycan::deviceLocation(life, portPath, portPathSize, serial, serialSize);
}

int QDeviceCanRecord::initCAN(unsigned, _YCAN_INIT_CONFIG*) {
    ycan::setLastError(YCAN_ERR_TYPE_NOT_SUPPORTED);
    return 0;
}

int QDeviceCanRecord::initCANFD(unsigned, _YCAN_INITFD_CONFIG*) {
    ycan::setLastError(YCAN_ERR_TYPE_NOT_SUPPORTED);
    return 0;
}

int QDeviceCanRecord::isDeviceOnLine() { return 2; }

int QDeviceCanRecord::usbCmdSend(const uint8_t* request, int requestLen, uint8_t* reply, int* replyLen,
                                 uint8_t epOut, uint8_t epIn, unsigned timeoutMs) {
    // Written once; short reads and replies to other requests are dropped
    // and the reading goes on, never past the time-out.
    ycan::ExchangeRules rules{ycan::TransferType::Bulk,
                              ycan::TransferType::Bulk,
                              timeoutMs != 0 ? timeoutMs : kTimeoutMs,
                              timeoutMs,
                              false,
                              3,
                              true};
    const ycan::ExchangeResult r =
        life.channel().exchange(rules, request, requestLen, reply, replyLen, epOut, epIn, timeoutMs);
    if (r != ycan::ExchangeResult::Ok) return -1;
    return timeoutMs == 0 ? 0 : *replyLen;
}

int QDeviceCanRecord::exchange(const uint8_t* request, int length, uint8_t (&reply)[64]) {
    memset(reply, 0, sizeof reply);
    int replyLen = sizeof reply;
    return usbCmdSend(request, length, reply, &replyLen, 0x01, 0x81, kTimeoutMs);
}

int QDeviceCanRecord::getBoardInf(_YCAN_BOARD_INFO* info) {
    if (info == nullptr) return refuse();
    uint8_t reply[64];
    // Board values A and B are low byte first; a reply too short for the
    // bytes read fails the query.
    const uint8_t a[4] = {0x55, 0x01, 0x01, 0x01};
    int n = exchange(a, 4, reply);
    if (!ycan::recorder::boardValue(reply, n, &info->Version0)) return 0;
    const uint8_t b[4] = {0x55, 0x12, 0x01, 0x01};
    n = exchange(b, 4, reply);
    if (!ycan::recorder::boardValue(reply, n, &info->Version1)) return 0;
    const uint8_t c[4] = {0x55, 0x13, 0x01, 0x01};
    n = exchange(c, 4, reply);
    if (!ycan::recorder::channelCount(reply, n, &info->ChannelNum)) return 0;
    info->ApiVersion = 0x0100;
    return 1;
}

int QDeviceCanRecord::transmitData(uint8_t* data, unsigned length) {
    if (data == nullptr || length > 0x7FFFFFFFu) return refuse();
    const ycan::DirectRequest request(data, length);
    uint8_t reply[64];
    const int len = exchange(request.bytes, request.length, reply);
    return ycan::copyDirectReply(data, reply, len);
}

int QDeviceCanRecord::fliterSimpleSetCmdSend(unsigned ch, uint8_t code) {
    const uint8_t request[13] = {0x55, kFilterCmd, code, channelByte(ch)};
    uint8_t reply[64];
    return exchange(request, 13, reply) >= 4 && reply[3] == 0 ? 1 : 0;
}

int QDeviceCanRecord::fliterAdd(unsigned ch, const _YCAN_FLITER_CONFIG* config) {
    if (config == nullptr) return refuse();
    uint8_t request[13] = {0x55, kFilterCmd, 1, channelByte(ch), config->FilterKind};
    ycan::bytes::put32(request + 5, config->StartId);
    ycan::bytes::put32(request + 9, config->EndId);
    uint8_t reply[64];
    return exchange(request, 13, reply) >= 4 && reply[3] == 0 ? 1 : 0;
}

int QDeviceCanRecord::fliterInfoGet(unsigned ch, _YCAN_FLITER_INFO* info) {
    if (info == nullptr) return refuse();
    const uint8_t request[6] = {0x55, kFilterQuery, 0x00, channelByte(ch), 0x00, 0x00};
    uint8_t reply[64];
    return ycan::recorder::filterInfo(reply, exchange(request, 6, reply), info) ? 1 : 0;
}

int QDeviceCanRecord::fliterSettingGet(unsigned ch, _YCAN_FLITER_CONFIG* config) {
    if (config == nullptr) return refuse();
    const uint16_t entry = static_cast<uint16_t>(config->FilterIndex);
    const uint8_t request[6] = {0x55,
                                kFilterQuery,
                                0x01,
                                channelByte(ch),
                                static_cast<uint8_t>(entry),
                                static_cast<uint8_t>(entry >> 8)};
    uint8_t reply[64];
    return ycan::recorder::filterEntry(reply, exchange(request, 6, reply), config) ? 1 : 0;
}

int QDeviceCanRecord::RecordCmdExecute(unsigned ch, unsigned selector, _YCAN_FLITER_INFO* info,
                                       _YCAN_FLITER_CONFIG* config) {
    switch (selector) {
        case 0:
            return fliterSimpleSetCmdSend(ch, 0);
        case 1:
            return fliterAdd(ch, config);
        case 2:
            return fliterSimpleSetCmdSend(ch, 2);
        case 3:
            return fliterSimpleSetCmdSend(ch, 3);
        case 4:
            return fliterInfoGet(ch, info);
        case 5:
            return fliterSettingGet(ch, config);
        default:
            return 0;  // nothing is sent
    }
}
