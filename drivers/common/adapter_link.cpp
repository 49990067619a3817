#include "drivers/common/adapter_link.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "support/QUserLog.h"
#include "support/clock.h"
#include "transport/QUserLibUsb.h"

namespace ycan {
namespace {

constexpr uint32_t kRetryIntervalUs = 50000;
constexpr unsigned kReadTimeoutMs = 500;
// Calls in flight when a close begins have their transfers aborted and
// leave at once; the bound only keeps a close from hanging on a caller
// that never comes back.
constexpr auto kCloseDrain = std::chrono::seconds(5);

void sleepUs(unsigned us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

}  // namespace

AdapterLink::AdapterLink(Family& f, const Receiving& receiving) : family(f), rx(receiving) {}

AdapterLink::~AdapterLink() { stopReceiving(); }

bool AdapterLink::open(unsigned vendorId, unsigned productId, unsigned index) {
    return commands.openTransport(vendorId, productId, index);
}

void AdapterLink::startReceiving() {
    linked = true;  // a newly opened adapter has a good link
    rxThread.start([this] { pass(); });
}

void AdapterLink::stopReceiving() {
    rxThread.stop([this] {
        if (QUserLibUsb* usb = commands.transport()) usb->abortTransfers();
    });
}

void AdapterLink::close() {
    QUserLibUsb* usb = commands.transport();
    if (usb == nullptr) return;
    commands.calls().close();
    family.releaseWaiters();
    // The thread stops first, so that no recovery runs under the close; the
    // abort also ends the transfers of the calls still inside.
    stopReceiving();
    usb->abortTransfers();
    if (commands.calls().drain(kCloseDrain)) {
        usb->resumeTransfers();
        {
            // A vanished adapter has nothing to stop.
            CommandChannel::OwnerScope owner(commands);
            family.closeChannels(!commands.recovering() && usb->GetUSBDeviceLinkStatus() != 0);
        }
        commands.closeTransport();
    } else {
        // A call is still inside: its transfers stay aborted, the device is
        // closed under the transport's own handle guard, and the transport
        // object is left to it rather than freed under it.
        commands.abandonTransport();
    }
    commands.calls().open();
}

void AdapterLink::pass() {
    QUserLibUsb* usb = commands.transport();
    if (usb == nullptr) {
        sleepUs(1000);
        return;
    }
    supervise(*usb);
    // Whoever watches the link hears of each change once.
    const bool now = usb->GetUSBDeviceLinkStatus() != 0 && !commands.recovering();
    if (now != linked) {
        linked = now;
        family.linkChanged();
    }
    if (commands.recovering()) {
        // Nothing is read while the link is being restored; the next
        // supervision step comes soon enough without spinning.
        sleepUs(1000);
        return;
    }
    uint8_t buf[kMaxRead];
    const uint32_t started = curMicroSec32();
    const int n = usb->bulkReadUSBDevice(buf, static_cast<int>(std::min(rx.capacity, kMaxRead)), rx.endpoint,
                                         kReadTimeoutMs);
    if (n > 0) {
        family.decode(buf, static_cast<unsigned>(n));
    } else if (n == 0) {
        sleepUs(100);
    } else if (getLapseMicroSec(started) < 1000) {
        // A read that fails at once (an adapter gone with no channel in
        // use) is retried after a pause instead of in a tight loop.
        sleepUs(1000);
    }
}

void AdapterLink::supervise(QUserLibUsb& usb) {
    CallGate& gate = commands.linkGate();
    if (!gate.isClosed()) {
        if (!family.anyChannelActive()) return;
        if (usb.GetUSBDeviceLinkStatus() != 0) return;
        gate.close();
        // Exchanges already under way end first (against a vanished adapter
        // their transfers fail at once); new ones are refused from here on.
        bool drained = false;
        while (!drained && !usb.transfersAborted()) drained = gate.drain(std::chrono::milliseconds(10));
        family.dropPartial();
        faultTime = curMicroSec32();
        usb.RestartUSBDevice();
    } else {
        if (getLapseMicroSec(faultTime) < kRetryIntervalUs) return;
        faultTime = curMicroSec32();
        if (usb.GetUSBDeviceLinkStatus() == 0) usb.RestartUSBDevice();
    }
    if (usb.GetUSBDeviceLinkStatus() == 0) return;

    if (replay()) {
        // Logged before the gate opens: whoever sees the link restored finds
        // the line already written.
        QUserLog::GetInstance()->Info("%s", rx.restoredLine);
        gate.open();
    } else {
        // Try again from a fresh connection at the next interval.
        usb.RestartUSBDevice();
    }
}

bool AdapterLink::replay() {
    CommandChannel::OwnerScope owner(commands);
    for (unsigned ch = 0; ch < rx.channels; ++ch) {
        if (rxThread.stopRequested()) return false;
        if (!family.replayChannel(ch)) return false;
    }
    return true;
}

}  // namespace ycan
