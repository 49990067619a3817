#include "drivers/common/queued_calls.h"

#include "support/QErrMgr.h"

namespace ycan {

int takeInOrder(ReceivedFrames& frames, unsigned channels, bool open, unsigned ch, _YCAN_RX_FRAME* out,
                unsigned count, int waitMs) {
    if (out == nullptr || count == 0 || (ch != YCAN_ALL_CHANNELS && ch >= channels))
        return fail(YCAN_ERR_PARAMETER);
    if (!open) return fail(YCAN_ERR_NOT_OPENED);
    // A closed store (adapter closing) hands out what it holds and never
    // waits, as the per-kind calls do.
    return frames.takeInOrder(ch, out, count, waitMs);
}

int eventDescriptor(ReceivedFrames& frames) {
    const int fd = frames.eventFd();
    if (fd < 0) setLastError(frames.isOpen() ? YCAN_ERR_MEMORY : YCAN_ERR_NOT_OPENED);
    return fd;
}

int linkState(ReceivedFrames* frames, AdapterLink& link, uint32_t* losses) {
    // Seen first: a change after this read makes the descriptor readable
    // again rather than going unnoticed.
    if (frames != nullptr) frames->linkSeen();
    const int state = link.linkState(losses);
    if (state < 0) setLastError(YCAN_ERR_NOT_OPENED);
    return state;
}

}  // namespace ycan
