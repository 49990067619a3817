// The command channel of one opened adapter: its transport, the gate every
// application call passes, the link's gate (closed while the link is being
// restored), the lock that keeps two application exchanges apart, and the
// two ways in:
//
//   exchange()       for application threads. Refused while the adapter is
//                    being closed (Aborted) or its link restored (Refused);
//                    serialised with the other application exchanges.
//   ownerExchange()  for the adapter's owner: the receive thread replaying
//                    the channels during recovery, or the closer once its
//                    receive thread has stopped and no call is inside. It
//                    takes neither gate nor lock: the owner has the adapter
//                    to itself by then.
//
// exchange() on a thread that holds an OwnerScope is ownerExchange(): the
// owner runs the same driver steps as an application (initialise, start,
// stop) without each step being told who runs it.
//
// Lock order: a family's own per-channel locks come before cmdLock; cmdLock
// is the innermost lock the drivers take (the transport's locks nest inside).
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "drivers/common/call_gate.h"
#include "drivers/common/command_exchange.h"
#include "support/QUserMutex.h"
#include "transport/QUserLibUsb.h"


namespace ycan {

class CommandChannel {
public:
    CommandChannel() = default;
    ~CommandChannel();
    CommandChannel(const CommandChannel&) = delete;
    CommandChannel& operator=(const CommandChannel&) = delete;

    // Opens the index-th adapter with these ids on a new transport; false
    // (nothing kept) when it cannot be opened. A newly opened adapter has a
    // good link.
    bool openTransport(unsigned vendorId, unsigned productId, unsigned index);
    // Frees the transport. The closer only, once no call is inside.
    void closeTransport();
    // Closes the device but leaves the transport object allocated (a call
    // may still hold it); the channel is closed afterwards all the same.
    void abandonTransport();
    // The open transport, null while closed.
    QUserLibUsb* transport() const { return usb.load(); }
    bool isOpen() const { return usb.load() != nullptr; }

    // Closed while the adapter is being closed (or the library unloaded).
    CallGate& calls() { return callGate; }
    // Closed while the link is being restored.
    CallGate& linkGate() { return restoring; }
    bool recovering() const { return restoring.isClosed(); }
    // 1 linked, 0 away (the transport found the adapter gone, or the link
    // is being restored), -1 not open (or closing); *losses the transport's
    // count of lost links. Any thread.
    int linkState(uint32_t* losses);
    // Where the open adapter sits (see QUserLibUsb::location); false when
    // not open (or closing). Any thread.
    bool location(QUserLibUsb::Location& out);

    // The application entry point (see above). *replyLen is the reply
    // capacity on entry and the reply length on success.
    ExchangeResult exchange(const ExchangeRules& rules, const uint8_t* request, int requestLen,
                            uint8_t* reply, int* replyLen, uint8_t epOut, uint8_t epIn, unsigned timeoutMs);
    // The owner's entry point. Precondition: the caller is the receive
    // thread while the link gate is closed, or the closer after the receive
    // thread stopped and the call gate drained.
    ExchangeResult ownerExchange(const ExchangeRules& rules, const uint8_t* request, int requestLen,
                                 uint8_t* reply, int* replyLen, uint8_t epOut, uint8_t epIn,
                                 unsigned timeoutMs);

    // One application call that sends data packets (a transmit batch): it
    // holds both gates for its whole run, so that neither a close nor a
    // recovery starts between its packets.
    class Batch {
    public:
        enum class Entry { Open, Closing, Recovering };
        explicit Batch(CommandChannel& channel);
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;
        // Open when the batch may send; Closing also when nothing is open.
        Entry entry() const { return state; }
        explicit operator bool() const { return state == Entry::Open; }
        // The result of a batch that may not send: 0, with last error 7
        // when closing and none when refused during recovery.
        int refuse() const;

    private:
        GateScope call;
        GateScope link;
        Entry state;
    };
    // One data packet. Precondition: the caller holds an open Batch. Takes
    // no cmdLock: data packets and commands travel on other endpoints.
    ExchangeResult sendData(const ExchangeRules& rules, const uint8_t* request, int requestLen,
                            uint8_t* reply, int* replyLen, uint8_t epOut, uint8_t epIn, unsigned timeoutMs);

    // Marks the calling thread as the adapter's owner for its scope.
    class OwnerScope {
    public:
        explicit OwnerScope(CommandChannel& channel);
        ~OwnerScope();
        OwnerScope(const OwnerScope&) = delete;
        OwnerScope& operator=(const OwnerScope&) = delete;

    private:
        CommandChannel& channel;
    };
    bool calledByOwner() const { return owner.load() == std::this_thread::get_id(); }

private:
    std::atomic<QUserLibUsb*> usb{nullptr};  // owned
    CallGate callGate;
    CallGate restoring;
    QRecursiveMutex cmdLock;
    std::atomic<std::thread::id> owner{};
};

}  // namespace ycan
