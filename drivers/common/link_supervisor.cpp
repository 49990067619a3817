#include "drivers/common/link_supervisor.h"

#include <chrono>

#include "support/QUserLog.h"
#include "support/clock.h"
#include "transport/QUserLibUsb.h"

namespace ycan {
namespace {
constexpr uint32_t kRetryIntervalUs = 50000;
}

void LinkSupervisor::step(QUserLibUsb& usb, const Hooks& hooks) {
    if (!exchanges.isClosed()) {
        if (!hooks.anyChannelActive()) return;
        if (usb.GetUSBDeviceLinkStatus() != 0) return;
        exchanges.close();
        // Exchanges already under way end first (against a vanished adapter
        // their transfers fail at once); new ones are refused from here on.
        bool drained = false;
        while (!drained && !usb.transfersAborted()) drained = exchanges.drain(std::chrono::milliseconds(10));
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
        // Logged before the gate opens: whoever sees the link restored finds
        // the line already written.
        QUserLog::GetInstance()->Info("%s", hooks.restoredLine);
        exchanges.open();
    } else {
        // Try again from a fresh connection at the next interval.
        usb.RestartUSBDevice();
    }
}

}  // namespace ycan
