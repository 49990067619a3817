// The life of one opened adapter, the same for every family: open, the
// receive thread's passes (read, hand the bytes to the family's decoder,
// supervise the USB link and restore it), and close. A family supplies what
// differs (its decoder, how it replays one channel, how it stops its
// channels at close) through AdapterLink::Family; the recorder, which
// carries no frames, keeps the defaults and never starts a receive thread.
//
// Link supervision, at the start of every pass: when the adapter has dropped
// off the bus while a channel is in use, the link gate closes (application
// exchanges under way end first; new ones are refused), the transport is
// restarted at least 50 ms apart until the adapter is back, and then every
// channel is replayed by the receive thread as the adapter's owner. The gate
// opens again once all were restored.
//
// Close, in this order: refuse new calls; let every waiting receiver go;
// stop the receive thread (its abort also ends the transfers of calls in
// flight); wait for the calls still inside to leave; stop or reset the
// channels, as the owner, when the adapter still answers; free the
// transport.
#pragma once

#include <atomic>
#include <cstdint>

#include "drivers/common/command_channel.h"
#include "drivers/common/receive_thread.h"

namespace ycan {

class AdapterLink {
public:
    class Family {
    public:
        // A transfer read from the adapter's frame endpoint (receive thread).
        virtual void decode(const uint8_t*, unsigned) {}
        // The link was found lost: what the old connection left half
        // received must not be glued to the new connection's bytes.
        virtual void dropPartial() {}
        // Whether a channel is in use (only then is a lost link restored).
        virtual bool anyChannelActive() const { return false; }
        // Restores one channel on the reopened adapter, as its owner; true
        // when it was restored or is not in use.
        virtual bool replayChannel(unsigned) { return true; }
        // Close: every receiver waiting for frames returns now.
        virtual void releaseWaiters() {}
        // Close, as the owner: stops the channels in use (when the adapter
        // still answers) and marks them unused.
        virtual void closeChannels(bool /*adapterAnswers*/) {}
        // The link went away or came back (receive thread).
        virtual void linkChanged() {}

    protected:
        ~Family() = default;
    };

    // Where a family's frames come from and how many channels it replays.
    struct Receiving {
        uint8_t endpoint = 0;
        unsigned capacity = 0;  // bytes per read, at most kMaxRead
        unsigned channels = 0;
        const char* restoredLine = "";  // info line once the link is restored
    };
    static constexpr unsigned kMaxRead = 4096;

    AdapterLink(Family& family, const Receiving& receiving);
    ~AdapterLink();
    AdapterLink(const AdapterLink&) = delete;
    AdapterLink& operator=(const AdapterLink&) = delete;

    CommandChannel& channel() { return commands; }
    bool isOpen() const { return commands.isOpen(); }
    bool recovering() const { return commands.recovering(); }
    bool receiving() const { return rxThread.running(); }
    // 1 linked, 0 away, -1 not open; see CommandChannel::linkState.
    int linkState(uint32_t* losses) { return commands.linkState(losses); }
    bool location(QUserLibUsb::Location& out) { return commands.location(out); }

    // Opens the transport; false when it cannot be opened.
    bool open(unsigned vendorId, unsigned productId, unsigned index);
    // Starts the receive thread (families that carry frames).
    void startReceiving();
    // The close described above; nothing when not open. Any thread but the
    // receive thread.
    void close();

private:
    void pass();
    void supervise(QUserLibUsb& usb);
    bool replay();
    void stopReceiving();

    Family& family;
    const Receiving rx;
    CommandChannel commands;
    ReceiveThread rxThread;
    uint32_t faultTime = 0;  // receive thread only
    bool linked = true;      // receive thread only: as last reported
};

}  // namespace ycan
