// Supervision of one adapter's USB link, shared by the families that carry
// frames. The receive thread calls step() at the start of every pass; when
// the adapter has dropped off the bus while a channel is in use, the
// supervisor restarts the transport (at least 50 ms apart) until the adapter
// is back, then asks the driver to replay its channels.
//
// Application exchanges pass through the supervisor's gate (ExchangeScope).
// An exchange inside keeps recovery from starting under it; once recovery
// has begun the gate is closed, so no application command ever mixes with
// the replay on the wire.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "drivers/common/call_gate.h"

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

    bool recovering() const { return exchanges.isClosed(); }
    // A newly opened adapter starts with a good link.
    void reset() { exchanges.open(); }
    CallGate& gate() { return exchanges; }

private:
    // Closed while the link is being restored.
    CallGate exchanges;
    uint32_t faultTime = 0;  // receive thread only
};

// One application exchange: false while the link is being restored, and
// then the exchange must not start.
class ExchangeScope : public GateScope {
public:
    explicit ExchangeScope(LinkSupervisor& link) : GateScope(link.gate()) {}
};

}  // namespace ycan
