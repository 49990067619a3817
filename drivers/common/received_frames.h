// The received frames of one opened adapter: per channel, a queue of
// classic frames and a queue of CAN FD frames, and the order the adapter
// delivered them in across all of them. One set of queues, read two ways:
//
//   take(ch, classic/FD frames)  one queue, oldest first (the per-kind calls)
//   takeInOrder(ch or all)       a channel's two queues, or every queue of
//                                the adapter, merged back into delivery order
//
// A frame taken one way is gone for the other. Every frame carries a
// sequence number from the adapter-wide count (32 bits, compared modulo
// 2^32: the frames waiting never span half of that); the merge picks the
// smallest among the queues' oldest frames. The host time at which a
// transfer was published is kept once per transfer, with the sequence
// number of its first frame, for as long as a frame of it waits: a queued
// classic frame costs 28 bytes, not 24 + a stamp of 16.
//
// Waiting: a reader waits on a condition variable (the channel's, or the
// adapter-wide one for readers of every channel), never by polling. close()
// lets every waiter go at once; a closed store still hands out what it
// holds but never waits.
//
// The event descriptor (an eventfd, made on first request) is readable
// while any frame waits or a link change has not been read yet; it is
// written when the store turns non-empty and drained when it is emptied,
// both under the store's lock, so that it follows the queues exactly.
// close() makes it readable (a poller wakes) and then closes it.
//
// One lock guards everything; the receive thread takes it once a transfer.
// Once the queues have grown to their working size, moving frames through
// them allocates nothing.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "drivers/common/chunked_fifo.h"
#include "drivers/common/staged_frames.h"
#include "ycan.h"

namespace ycan {

class ReceivedFrames {
public:
    static constexpr unsigned kMaxChannels = StagedFrames::kMaxChannels;
    static constexpr unsigned kAllChannels = 0xFFFFFFFFu;

    explicit ReceivedFrames(unsigned channels);
    ~ReceivedFrames();
    ReceivedFrames(const ReceivedFrames&) = delete;
    ReceivedFrames& operator=(const ReceivedFrames&) = delete;

    unsigned channels() const { return channelCount; }

    // Receive thread: hands over the frames of one transfer, in their
    // order, and clears staged. Allowed on a closed store (a transfer still
    // being decoded at close).
    void publish(StagedFrames& staged);

    // Moves up to count frames of one channel's queue into out, oldest
    // first. With none waiting it waits up to waitMs for the first: -1
    // without limit, 0 and any other negative value not at all. ch must be
    // below channels().
    int take(unsigned ch, _YCAN_CAN_OBJ* out, unsigned count, int waitMs);
    int take(unsigned ch, _YCAN_CANFD_OBJ* out, unsigned count, int waitMs);
    // The same over both queues of ch, or of every channel (kAllChannels),
    // in delivery order.
    int takeInOrder(unsigned ch, _YCAN_RX_FRAME* out, unsigned count, int waitMs);

    // Frames waiting: kind 0 classic, 1 CAN FD, 2 both.
    size_t size(unsigned ch, unsigned kind) const;
    // Discards a channel's frames, both kinds.
    void clear(unsigned ch);

    // Readers may wait again; link state starts afresh (open).
    void open();
    // Releases every waiter; the event descriptor is made readable, then
    // closed.
    void close();
    bool isOpen() const;

    // The event descriptor, made on first call; -1 when closed or when the
    // system refuses one (errno tells).
    int eventFd();
    // The link changed (receive thread): the event descriptor turns
    // readable until linkSeen().
    void linkChanged();
    // An application read the link state.
    void linkSeen();

private:
    template <class Frame>
    struct Entry {
        Frame frame;
        uint32_t seq;
    };
    struct Transfer {
        uint32_t firstSeq;
        uint64_t hostUs;
    };
    // a came before b.
    static bool before(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }
    template <class Frame>
    using Queue = ChunkedFifo<Entry<Frame>>;

    template <class Frame>
    int takeKind(Queue<Frame>& queue, unsigned ch, Frame* out, unsigned count, int waitMs);
    // Waits (lock held) until ready() or closed, within waitMs.
    template <class Ready>
    void await(std::unique_lock<std::mutex>& guard, std::condition_variable& cv, int waitMs, Ready ready);
    bool anyWaiting(unsigned ch) const;
    // The host time of the transfer that brought frame seq (lock held).
    uint64_t hostTimeOf(uint32_t seq) const;
    // Forgets the transfers no waiting frame came with (lock held).
    void dropOldTransfers();
    uint64_t hostNow();
    // Keeps the event descriptor's state in line with the store (lock held).
    void updateEvent();

    const unsigned channelCount;
    mutable std::mutex lock;
    std::condition_variable channelArrived[kMaxChannels];
    std::condition_variable anyArrived;
    Queue<_YCAN_CAN_OBJ> can[kMaxChannels];
    Queue<_YCAN_CANFD_OBJ> fd[kMaxChannels];
    ChunkedFifo<Transfer, 64> transfers;  // oldest first
    size_t total = 0;
    uint32_t nextSeq = 0;
    uint64_t lastHostUs = 0;
    bool closed = true;  // until the adapter opens
    int event = -1;
    bool eventSignalled = false;
    bool linkUnseen = false;
};

}  // namespace ycan
