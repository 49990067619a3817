#include "drivers/common/link_supervisor.h"

#include <chrono>
#include <thread>

#include "support/QUserLog.h"
#include "support/clock.h"
#include "transport/QUserLibUsb.h"

namespace ycan {
namespace {
constexpr uint32_t kRetryIntervalUs = 50000;
}

bool LinkSupervisor::enter() {
    inFlight.fetch_add(1);
    if (!faulted.load()) return true;
    inFlight.fetch_sub(1);
    return false;
}

void LinkSupervisor::leave() { inFlight.fetch_sub(1); }

void LinkSupervisor::step(QUserLibUsb& usb, const Hooks& hooks) {
    if (!faulted.load()) {
        if (!hooks.anyChannelActive()) return;
        if (usb.GetUSBDeviceLinkStatus() != 0) return;
        faulted = true;
        // Exchanges already under way end first (against a vanished adapter
        // their transfers fail at once); new ones are refused from here on.
        while (inFlight.load() > 0 && !usb.transfersAborted())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        hooks.linkLost();
        faultTime = curMicroSec32();
        usb.RestartUSBDevice();
    } else {
        if (getLapseMicroSec(faultTime) < kRetryIntervalUs) return;
        faultTime = curMicroSec32();
        if (usb.GetUSBDeviceLinkStatus() == 0) usb.RestartUSBDevice();
    }
    if (usb.GetUSBDeviceLinkStatus() == 0) return;

    if (hooks.replay()) {
        faulted = false;
        QUserLog::GetInstance()->Info("%s", hooks.restoredLine);
    } else {
        // Try again from a fresh connection at the next interval.
        usb.RestartUSBDevice();
    }
}

}  // namespace ycan
