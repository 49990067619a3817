#include "drivers/common/received_frames.h"

#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace ycan {

namespace {

// A wall clock stepped back by at most this much keeps the stamps where
// they were until it has caught up; a larger step is taken as it is.
constexpr uint64_t kClockStepUs = 1000000;

uint64_t realtimeUs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

}  // namespace

ReceivedFrames::ReceivedFrames(unsigned channels)
    : channelCount(channels < kMaxChannels ? channels : kMaxChannels) {}

ReceivedFrames::~ReceivedFrames() {
    if (event >= 0) ::close(event);
}

uint64_t ReceivedFrames::hostNow() {
    const uint64_t now = realtimeUs();
    // Within one adapter the stamps never go back on a small correction.
    if (now < lastHostUs && lastHostUs - now <= kClockStepUs) return lastHostUs;
    lastHostUs = now;
    return now;
}

void ReceivedFrames::publish(StagedFrames& staged) {
    if (staged.empty()) return;
    bool touched[kMaxChannels] = {};
    {
        std::lock_guard guard(lock);
        const Transfer transfer{nextSeq, hostNow()};
        transfers.push(&transfer, 1);
        size_t nextCan[kMaxChannels] = {};
        size_t nextFd[kMaxChannels] = {};
        const std::vector<uint8_t>& order = staged.order;
        for (size_t i = 0; i < order.size();) {
            // A run of frames for one queue goes in together.
            const uint8_t mark = order[i];
            size_t run = 1;
            while (i + run < order.size() && order[i + run] == mark) ++run;
            i += run;
            const unsigned from = mark & ~StagedFrames::kFdMark;
            const unsigned ch = from < channelCount ? from : channelCount - 1;
            if (mark & StagedFrames::kFdMark) {
                const _YCAN_CANFD_OBJ* next = staged.fd[from].data() + nextFd[from];
                nextFd[from] += run;
                fd[ch].pushEach(run, [&](Entry<_YCAN_CANFD_OBJ>& e) {
                    e.frame = *next++;
                    e.seq = nextSeq++;
                });
            } else {
                const _YCAN_CAN_OBJ* next = staged.can[from].data() + nextCan[from];
                nextCan[from] += run;
                can[ch].pushEach(run, [&](Entry<_YCAN_CAN_OBJ>& e) {
                    e.frame = *next++;
                    e.seq = nextSeq++;
                });
            }
            touched[ch] = true;
        }
        total += staged.order.size();
        if (event >= 0) {
            // Written on every arrival, not only the first: an application
            // that read the descriptor itself still sees the next frames.
            const uint64_t one = 1;
            (void)!::write(event, &one, sizeof one);
            eventSignalled = true;
        }
    }
    staged.clear();
    for (unsigned ch = 0; ch < channelCount; ++ch)
        if (touched[ch]) channelArrived[ch].notify_all();
    anyArrived.notify_all();
}

template <class Ready>
void ReceivedFrames::await(std::unique_lock<std::mutex>& guard, std::condition_variable& cv, int waitMs,
                           Ready ready) {
    if (waitMs == -1)
        cv.wait(guard, ready);
    else if (waitMs > 0)
        cv.wait_for(guard, std::chrono::milliseconds(waitMs), ready);
}

template <class Frame>
int ReceivedFrames::takeKind(Queue<Frame>& queue, unsigned ch, Frame* out, unsigned count, int waitMs) {
    std::unique_lock guard(lock);
    auto ready = [&] { return !queue.empty() || closed; };
    if (count > 0 && !ready()) await(guard, channelArrived[ch], waitMs, ready);
    const size_t n = queue.popEach(count, [&](const Entry<Frame>& e) { *out++ = e.frame; });
    total -= n;
    dropOldTransfers();
    updateEvent();
    return static_cast<int>(n);
}

int ReceivedFrames::take(unsigned ch, _YCAN_CAN_OBJ* out, unsigned count, int waitMs) {
    return takeKind(can[ch], ch, out, count, waitMs);
}

int ReceivedFrames::take(unsigned ch, _YCAN_CANFD_OBJ* out, unsigned count, int waitMs) {
    return takeKind(fd[ch], ch, out, count, waitMs);
}

uint64_t ReceivedFrames::hostTimeOf(uint32_t seq) const {
    // The last transfer whose first frame is not after seq.
    size_t lo = 0, hi = transfers.size();
    while (hi - lo > 1) {
        const size_t mid = lo + (hi - lo) / 2;
        if (before(seq, transfers.at(mid).firstSeq))
            hi = mid;
        else
            lo = mid;
    }
    return transfers.empty() ? 0 : transfers.at(lo).hostUs;
}

void ReceivedFrames::dropOldTransfers() {
    if (total == 0) {
        transfers.clear();
        return;
    }
    bool any = false;
    uint32_t oldest = 0;
    auto consider = [&](uint32_t seq) {
        if (!any || before(seq, oldest)) oldest = seq;
        any = true;
    };
    for (unsigned q = 0; q < channelCount; ++q) {
        if (!can[q].empty()) consider(can[q].front().seq);
        if (!fd[q].empty()) consider(fd[q].front().seq);
    }
    while (transfers.size() > 1 && !before(oldest, transfers.at(1).firstSeq)) {
        Transfer gone;
        transfers.pop(&gone, 1);
    }
}

bool ReceivedFrames::anyWaiting(unsigned ch) const {
    if (ch == kAllChannels) return total > 0;
    return !can[ch].empty() || !fd[ch].empty();
}

int ReceivedFrames::takeInOrder(unsigned ch, _YCAN_RX_FRAME* out, unsigned count, int waitMs) {
    const bool all = ch == kAllChannels;
    const unsigned first = all ? 0 : ch;
    const unsigned end = all ? channelCount : ch + 1;
    std::unique_lock guard(lock);
    auto ready = [&] { return anyWaiting(ch) || closed; };
    if (count > 0 && !ready()) await(guard, all ? anyArrived : channelArrived[ch], waitMs, ready);
    unsigned n = 0;
    while (n < count) {
        // The queue whose oldest frame arrived first.
        unsigned best = 0;
        bool bestFd = false;
        bool found = false;
        uint32_t bestSeq = 0;
        auto consider = [&](unsigned q, bool isFd, uint32_t seq) {
            if (found && !before(seq, bestSeq)) return;
            best = q;
            bestFd = isFd;
            bestSeq = seq;
            found = true;
        };
        for (unsigned q = first; q < end; ++q) {
            if (!can[q].empty()) consider(q, false, can[q].front().seq);
            if (!fd[q].empty()) consider(q, true, fd[q].front().seq);
        }
        if (!found) break;
        _YCAN_RX_FRAME& r = out[n++];
        memset(&r, 0, sizeof r);
        r.Channel = static_cast<uint8_t>(best);
        r.HostTimeUs = hostTimeOf(bestSeq);
        if (bestFd) {
            fd[best].popEach(1, [&](const Entry<_YCAN_CANFD_OBJ>& e) { r.Frame = e.frame; });
            r.Kind = YCAN_KIND_CANFD;
        } else {
            can[best].popEach(1, [&](const Entry<_YCAN_CAN_OBJ>& e) {
                // A classic record is the CAN FD record's first 24 bytes.
                static_assert(sizeof(_YCAN_CAN_OBJ) <= sizeof(_YCAN_CANFD_OBJ));
                memcpy(&r.Frame, &e.frame, sizeof e.frame);
            });
            r.Kind = YCAN_KIND_CLASSIC;
        }
    }
    total -= n;
    dropOldTransfers();
    updateEvent();
    return static_cast<int>(n);
}

size_t ReceivedFrames::size(unsigned ch, unsigned kind) const {
    std::lock_guard guard(lock);
    switch (kind) {
        case 0:
            return can[ch].size();
        case 1:
            return fd[ch].size();
        case 2:
            return can[ch].size() + fd[ch].size();
        default:
            return 0;
    }
}

void ReceivedFrames::clear(unsigned ch) {
    std::lock_guard guard(lock);
    total -= can[ch].size() + fd[ch].size();
    can[ch].clear();
    fd[ch].clear();
    dropOldTransfers();
    updateEvent();
}

void ReceivedFrames::open() {
    std::lock_guard guard(lock);
    closed = false;
    linkUnseen = false;
}

void ReceivedFrames::close() {
    {
        std::lock_guard guard(lock);
        closed = true;
        if (event >= 0) {
            // Whoever polls it wakes, then finds the adapter closed.
            const uint64_t one = 1;
            (void)!::write(event, &one, sizeof one);
            ::close(event);
            event = -1;
            eventSignalled = false;
        }
    }
    for (auto& cv : channelArrived) cv.notify_all();
    anyArrived.notify_all();
}

bool ReceivedFrames::isOpen() const {
    std::lock_guard guard(lock);
    return !closed;
}

int ReceivedFrames::eventFd() {
    std::lock_guard guard(lock);
    if (closed) return -1;
    if (event < 0) {
        event = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (event < 0) return -1;
        eventSignalled = false;
        updateEvent();
    }
    return event;
}

void ReceivedFrames::linkChanged() {
    std::lock_guard guard(lock);
    linkUnseen = true;
    updateEvent();
}

void ReceivedFrames::linkSeen() {
    std::lock_guard guard(lock);
    linkUnseen = false;
    updateEvent();
}

void ReceivedFrames::updateEvent() {
    if (event < 0) return;
    const bool wanted = total > 0 || linkUnseen;
    if (wanted && !eventSignalled) {
        const uint64_t one = 1;
        (void)!::write(event, &one, sizeof one);
        eventSignalled = true;
    } else if (!wanted && eventSignalled) {
        uint64_t drained = 0;
        (void)!::read(event, &drained, sizeof drained);
        eventSignalled = false;
    }
}

}  // namespace ycan
