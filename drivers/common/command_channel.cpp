#include "drivers/common/command_channel.h"

#include <mutex>

#include "support/QErrMgr.h"
#include "transport/QUserLibUsb.h"
#include "ycan.h"

namespace ycan {

CommandChannel::~CommandChannel() { closeTransport(); }

bool CommandChannel::openTransport(unsigned vendorId, unsigned productId, unsigned index) {
    auto* opened = new QUserLibUsb();
    if (opened->OpenUSBDevice(vendorId, productId, static_cast<int>(index)) != 1) {
        delete opened;
        return false;
    }
    restoring.open();
    usb = opened;
    return true;
}

void CommandChannel::closeTransport() {
    QUserLibUsb* closing = usb.exchange(nullptr);
    if (closing == nullptr) return;
    closing->CloseUSBDevice();
    delete closing;
}

void CommandChannel::abandonTransport() {
    QUserLibUsb* closing = usb.exchange(nullptr);
    if (closing != nullptr) closing->CloseUSBDevice();
}

ExchangeResult CommandChannel::exchange(const ExchangeRules& rules, const uint8_t* request, int requestLen,
                                        uint8_t* reply, int* replyLen, uint8_t epOut, uint8_t epIn,
                                        unsigned timeoutMs) {
    if (calledByOwner())
        return ownerExchange(rules, request, requestLen, reply, replyLen, epOut, epIn, timeoutMs);
    GateScope call(callGate);
    if (!call) return ExchangeResult::Aborted;
    GateScope linkUp(restoring);
    if (!linkUp) return ExchangeResult::Refused;
    std::lock_guard serialised(cmdLock);
    QUserLibUsb* t = usb.load();
    if (t == nullptr) return ExchangeResult::Aborted;
    return runExchange(*t, rules, request, requestLen, reply, replyLen, epOut, epIn, timeoutMs);
}

ExchangeResult CommandChannel::ownerExchange(const ExchangeRules& rules, const uint8_t* request,
                                             int requestLen, uint8_t* reply, int* replyLen, uint8_t epOut,
                                             uint8_t epIn, unsigned timeoutMs) {
    QUserLibUsb* t = usb.load();
    if (t == nullptr) return ExchangeResult::Aborted;
    return runExchange(*t, rules, request, requestLen, reply, replyLen, epOut, epIn, timeoutMs);
}

int CommandChannel::linkState(uint32_t* losses) {
    GateScope call(callGate);
    QUserLibUsb* t = usb.load();
    if (!call || t == nullptr) return -1;
    if (losses != nullptr) *losses = t->linkLosses();
    return t->GetUSBDeviceLinkStatus() != 0 && !recovering() ? 1 : 0;
}

bool CommandChannel::location(QUserLibUsb::Location& out) {
    GateScope call(callGate);
    QUserLibUsb* t = usb.load();
    if (!call || t == nullptr) return false;
    out = t->location();
    return true;
}

CommandChannel::Batch::Batch(CommandChannel& channel) : call(channel.callGate), link(channel.restoring) {
    if (!call || !channel.isOpen())
        state = Entry::Closing;
    else
        state = link ? Entry::Open : Entry::Recovering;
}

int CommandChannel::Batch::refuse() const { return state == Entry::Closing ? fail(YCAN_ERR_NOT_OPENED) : 0; }

ExchangeResult CommandChannel::sendData(const ExchangeRules& rules, const uint8_t* request, int requestLen,
                                        uint8_t* reply, int* replyLen, uint8_t epOut, uint8_t epIn,
                                        unsigned timeoutMs) {
    return ownerExchange(rules, request, requestLen, reply, replyLen, epOut, epIn, timeoutMs);
}

CommandChannel::OwnerScope::OwnerScope(CommandChannel& c) : channel(c) {
    channel.owner = std::this_thread::get_id();
}

CommandChannel::OwnerScope::~OwnerScope() { channel.owner = std::thread::id(); }

}  // namespace ycan
