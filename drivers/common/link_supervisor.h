// Supervision of one adapter's USB link, shared by the families that carry
// frames. The receive thread calls step() at the start of every pass; when
// the adapter has dropped off the bus while a channel is in use, the
// supervisor restarts the transport (at least 50 ms apart) until the adapter
// is back, then asks the driver to replay its channels.
//
// Application exchanges register with enter()/leave() (ExchangeScope). A
// registered exchange keeps recovery from starting under it; once recovery
// has begun, enter() refuses, so no application command ever mixes with the
// replay on the wire. Both sides use sequentially consistent atomics: either
// the exchange sees the fault, or the supervisor sees the exchange and waits
// for it to end.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

class QUserLibUsb;

namespace ycan {

class LinkSupervisor {
public:
    struct Hooks {
        // Whether a channel is in use (only then is a lost link restored).
        std::function<bool()> anyChannelActive;
        // Called on the receive thread when the link is found lost, before
        // the first restart (the driver drops what the old connection left
        // half-received).
        std::function<void()> linkLost;
        // Replays the channels on the reopened adapter; true when all were
        // restored.
        std::function<bool()> replay;
        // Info line logged once the link is restored.
        const char* restoredLine = "";
    };

    // One supervision step, on the receive thread.
    void step(QUserLibUsb& usb, const Hooks& hooks);

    // Application side: false (and nothing registered) while recovering.
    bool enter();
    void leave();
    bool recovering() const { return faulted.load(); }
    // A newly opened adapter starts with a good link.
    void reset() { faulted = false; }

private:
    std::atomic<bool> faulted{false};
    std::atomic<int> inFlight{0};
    uint32_t faultTime = 0;  // receive thread only
};

// Registers one application exchange for its scope.
class ExchangeScope {
public:
    explicit ExchangeScope(LinkSupervisor& link) : link(link), entered(link.enter()) {}
    ~ExchangeScope() {
        if (entered) link.leave();
    }
    ExchangeScope(const ExchangeScope&) = delete;
    ExchangeScope& operator=(const ExchangeScope&) = delete;
    // False while the link is being restored: the exchange must not start.
    explicit operator bool() const { return entered; }

private:
    LinkSupervisor& link;
    const bool entered;
};

}  // namespace ycan
