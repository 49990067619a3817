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

namespace ycan {

namespace {

// A text into the caller's buffer (null with size 0: not wanted).
bool fits(const std::string& text, char* to, uint32_t size) {
    if (to == nullptr) return size == 0;
    return size > text.size();
}

void put(const std::string& text, char* to) {
    if (to == nullptr) return;
    text.copy(to, text.size());
    to[text.size()] = '\0';
}

}  // namespace

std::string portPathText(const QUserLibUsb::Location& where) {
    if (where.ports.empty()) return "";
    std::string text = std::to_string(where.bus);
    for (size_t i = 0; i < where.ports.size(); ++i) {
        text += i == 0 ? '-' : '.';
        text += std::to_string(where.ports[i]);
    }
    return text;
}

int deviceLocation(AdapterLink& link, char* portPath, uint32_t portPathSize, char* serial, uint32_t serialSize) {
    if ((portPath == nullptr && portPathSize != 0) || (serial == nullptr && serialSize != 0))
        return fail(YCAN_ERR_PARAMETER);
    QUserLibUsb::Location where;
    if (!link.location(where)) return fail(YCAN_ERR_NOT_OPENED);
    const std::string path = portPathText(where);
    if (!fits(path, portPath, portPathSize) || !fits(where.serial, serial, serialSize))
        return fail(YCAN_ERR_PARAMETER);
    put(path, portPath);
    put(where.serial, serial);
    return 1;
}

}  // namespace ycan
