// The request/reply exchange every family runs its commands over: write the
// request, read until a reply that belongs to it arrives, within the
// caller's time-out. Families differ only in the transfer types, the
// per-transfer time-outs, whether an unanswered request is written again,
// and what makes a reply belong to a request; those come in an
// ExchangeRules. The result is one internal convention (ExchangeResult);
// which last errors each layer above may set is written in
// drivers/README.md ("Results and last errors").
#pragma once

#include <atomic>
#include <cstdint>

#include "transport/QUserLibUsb.h"

namespace ycan {

enum class ExchangeResult {
    Ok,           // a matching reply arrived (or, write-only, the request went out)
    WriteFailed,  // the last attempt could not write the request
    NoReply,      // written, but no matching reply within the time-out
    Gone,         // the adapter vanished (its link went down) during the exchange
    Aborted,      // the owner aborted the transport (the adapter is being closed)
    Refused,      // not started: the adapter's link is being restored
};

using TransferType = QUserLibUsb::TransferType;

struct ExchangeRules {
    TransferType writeType = TransferType::Interrupt;
    TransferType readType = TransferType::Interrupt;
    unsigned writeTimeoutMs = 1000;
    unsigned readTimeoutMs = 1000;  // cut to what is left of the exchange's time-out
    // Write the request again after every unanswered or unmatched read
    // (command channels); otherwise it is written once (data packets).
    bool rewrite = true;
    // Shortest reply that can match, and whether its first two bytes must
    // repeat the request's.
    int minReplyLen = 3;
    bool matchHeader = true;
};

// The drivers' mapping of an exchange result to their exchange return value
// and last error: 0 success; -2 no reply (12 "USB Command Failed!"); -1
// not sent or the adapter gone (12), or the adapter being closed under the
// call (7 "Device Not Opened!"); -1 and no last error when refused during
// recovery.
int exchangeReturnCode(ExchangeResult r);

// Runs one exchange. *replyLen is the reply capacity on entry and the reply
// length on success. A time-out of 0 writes the request only (with the
// rules' write time-out) and reads nothing.
ExchangeResult runExchange(QUserLibUsb& usb, const ExchangeRules& rules, const uint8_t* request,
                           int requestLen, uint8_t* reply, int* replyLen, uint8_t epOut, uint8_t epIn,
                           unsigned timeoutMs);

// Bytes of the direct data transfer: 12 A7, then at most 62 caller bytes.
struct DirectRequest {
    static constexpr unsigned kMaxData = 62;
    uint8_t bytes[64] = {0x12, 0xA7};
    int length = 2;
    DirectRequest(const uint8_t* data, unsigned dataLen);
};

// Copies a direct transfer's reply (its bytes from offset 2 on) back into
// the caller's buffer, which holds kMaxData bytes; returns the count copied.
int copyDirectReply(uint8_t* data, const uint8_t* reply, int replyLen);

// The device function set (command 7, payload 00 00, enciphered), sent
// through a direct transfer that writes the reply back into its buffer and
// returns the reply length (0 on failure).
enum class FunctionSetResult { Accepted, Declined, NotPacked, NotDelivered, BadReply };
template <class DirectTransfer>
FunctionSetResult sendFunctionSet(DirectTransfer&& transfer, int* packetLen);
FunctionSetResult openFunctionSetReply(const uint8_t* reply, int replyLen);
int packFunctionSet(uint8_t (&packet)[64]);
// Logs the outcome with the family's two lines and sets the last error of
// a failure (3 not delivered, 4 reply rejected by the framing). Returns 0
// accepted, the packet length when declined, -2 on a failure.
int reportFunctionSet(FunctionSetResult r, int packetLen, const char* acceptedLine,
                      const char* notAcceptedLine);

template <class DirectTransfer>
FunctionSetResult sendFunctionSet(DirectTransfer&& transfer, int* packetLen) {
    uint8_t packet[64];
    const int len = packFunctionSet(packet);
    *packetLen = len;
    if (len <= 0) return FunctionSetResult::NotPacked;
    const int n = transfer(packet, static_cast<unsigned>(len));
    if (n <= 0) return FunctionSetResult::NotDelivered;
    return openFunctionSetReply(packet, n);
}

}  // namespace ycan
