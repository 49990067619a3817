// A virtual USB CAN FD adapter (device types 41-43, 64-67), written from the
// adapter's side: it parses the commands it receives on interrupt endpoint
// 0x01 and answers on 0x81, keeping per-channel state a test can inspect.
//
// Replies (the bytes the driver relies on; the rest is this adapter's own):
//   55 01 / 55 12   version word in bytes 4 (high) and 5 (low)
//   55 13           channel count in byte 4
//   55 03 ch st     bit timing: st 0 accepted, 1 refused
//   55 04 ch st     filter: st 0 accepted
//   55 0E / 55 0F   start / stop confirmed
//   55 16 ch w w w w   status word, bytes 3..6 little-endian (12-byte reply)
//   12 A7 ...       direct transfer: a secured function set packet is
//                   answered with a secured packet; any other payload with
//                   its bytes inverted
//
// Bus side: data packets from the host (bulk 0x02) are parsed into frames
// "on the bus" per channel and, until a function set was accepted, echoed
// on 0x82 (the echo is the packet's 7-byte header). Frames a test injects
// go to the host as data packets on 0x83, in a shape the test chooses.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "sim/bench/device_model.h"
#include "sim/bench/in_batcher.h"
#include "sim/bench/secured_packet.h"
#include "sim/bench/usb_layout.h"

namespace ycansim {

// Vendor/product id and endpoints of a CAN FD adapter of the given type.
DeviceLayout canFdLayout(unsigned deviceType);

// One phase's bit timing as the adapter received it: the fields hold the
// values themselves (the command carries them minus one).
struct FdTiming {
    unsigned clockMHz = 0;
    unsigned prescaler = 0;
    unsigned sjw = 0;
    unsigned tseg1 = 0;
    unsigned tseg2 = 0;
    // Bits per second.
    unsigned bitRate() const;
};

struct FdFilter {
    uint8_t operation;  // 2 standard range, 3 extended range, 5 other mode
    uint32_t startId;
    uint32_t endId;
};

struct BusFrame;

struct FdChannelState {
    bool timingSet = false;
    uint8_t optionA = 0;
    uint8_t optionB = 0;
    FdTiming abit;
    FdTiming dbit;
    bool started = false;
    int starts = 0;
    int stops = 0;
    std::vector<FdFilter> filters;
    bool filterEnabled = false;
    int filterClears = 0;
    uint32_t statusWord = 0;
    // Whether the acceptance filter lets a frame from the bus through:
    // everything while it is not enabled, else what one of its ranges holds.
    bool accepts(const BusFrame& f) const;
};

// One frame as a data packet record carries it.
struct BusFrame {
    unsigned channel = 0;  // record byte 0, high nibble
    uint8_t sendMode = 0;  // record byte 0, low nibble
    uint8_t flags = 0;     // record byte 1, the k... bits below
    uint32_t timeTag = 0;
    uint32_t id = 0;
    uint8_t dataLen = 0;        // record byte 10, as it stands
    std::vector<uint8_t> data;  // the record's data field (8 or 64 bytes)
    bool fd() const { return (flags & kFd) != 0; }

    static constexpr uint8_t kFd = 0x01;
    static constexpr uint8_t kRemote = 0x02;
    static constexpr uint8_t kExtended = 0x04;
    static constexpr uint8_t kErrorState = 0x08;  // set by the host on FD records
    static constexpr uint8_t kBitRateSwitch = 0x10;
};

// How injected frames are laid out in the stream on 0x83.
struct StreamShape {
    unsigned recordsPerPacket = 10;
    unsigned packetsPerTransfer = 1;
    // Non-zero: cut the whole stream into transfers of this many bytes,
    // splitting packets (and headers) across transfers.
    size_t transferSize = 0;
    // Bytes put before every packet.
    std::vector<uint8_t> garbage;
};

// A data packet (header and records) for the given frames, as the adapter
// sends it.
std::vector<uint8_t> encodeDataPacket(const std::vector<BusFrame>& frames);
// One record of a data packet.
std::vector<uint8_t> encodeDataRecord(const BusFrame& frame);

class VirtualCanFdAdapter : public DeviceModel {
public:
    explicit VirtualCanFdAdapter(unsigned deviceType);
    // An adapter of the type with the channel count (at most 8) and
    // controller clock given, instead of the ones this emulation knows.
    VirtualCanFdAdapter(unsigned deviceType, unsigned channelCount, unsigned clockMHz);

    void onOut(DeviceEndpoints& dev, uint8_t ep, const std::vector<uint8_t>& data) override;

    // Behaviour (thread-safe).
    void setVersions(uint16_t v0, uint16_t v1);
    void setFunctionSetReply(FunctionSetReply reply);
    // Answer nothing at all, or nothing to one command code.
    void setSilent(bool silent);
    void setSilentCommand(uint8_t code, bool silent);
    // Start every reply with another command's code (0 turns it off).
    void setWrongCommand(uint8_t code);
    // Cut every reply to its first `length` bytes (0: full replies).
    void setReplyLength(size_t length);
    // Answer every command this much later.
    void setReplyDelay(std::chrono::milliseconds delay);
    void setRefuseTiming(bool refuse);
    void setRefuseFilters(bool refuse);
    void setStatusWord(unsigned ch, uint32_t word);
    // Echo the next `after` data packets, then skip the echo of `count`.
    void withholdEchoes(int count, int after = 0);

    // Sends frames to the host on 0x83 at once, in the shape given (thread-safe).
    void inject(DeviceEndpoints& dev, const std::vector<BusFrame>& frames, const StreamShape& shape = {});
    // Frames that arrived on the bus (thread-safe). Like a real adapter's,
    // they wait in its buffer until the host polls 0x83, and what waits goes
    // out together: up to 10 records a data packet, as many whole packets as
    // the host's transfer holds. A USB reset empties the buffer. The
    // channel's acceptance filter, when enabled, drops what it does not pass.
    void fromBus(DeviceEndpoints& dev, const std::vector<BusFrame>& frames);
    // Frames waiting in the buffer, and frames sent from it to the host.
    size_t framesWaiting() const { return outbox.waiting(); }
    uint64_t framesSent() const { return outbox.sent(); }
    // An adapter slower than the bus: at most `framesPerSecond` frames leave
    // the buffer for the host (0: as fast as it polls), counted from the
    // next frame that arrives; pumpToHost sends what has become due.
    void limitRateToHost(double framesPerSecond) { outbox.setPace(framesPerSecond); }
    void pumpToHost(DeviceEndpoints& dev) { outbox.pump(dev); }

    // Inspection (thread-safe).
    unsigned deviceType() const { return type; }
    unsigned channelCount() const { return channels; }
    FdChannelState channel(unsigned ch) const;
    // Requests received, by command code (0xA7 for direct transfers).
    int requests(uint8_t code) const;
    int functionSetRequests() const;
    bool lastFunctionSetValid() const;
    std::vector<uint8_t> lastDirectPayload() const;
    // What the host put on the bus, per channel, and the data packets as received.
    std::vector<BusFrame> busFrames(unsigned ch) const;
    std::vector<std::vector<uint8_t>> dataPackets() const;
    // Hands over what went out on the bus and the data packets so far and
    // forgets them (a long run keeps its memory flat this way).
    std::vector<BusFrame> takeBusFrames(unsigned ch);
    int echoesSent() const;
    bool functionSetAccepted() const;

    // A USB reset is a power-on for the adapter: channels, filters and the
    // function set start over.
    void onReset(DeviceEndpoints& dev) override;
    void onInReady(DeviceEndpoints& dev, uint8_t ep) override;

private:
    // A command's reply (reply false: none goes out), lock held; the
    // answer* steps fill r for their commands, false for a short command.
    std::vector<uint8_t> answer(const std::vector<uint8_t>& cmd, bool& reply);
    bool answerQuery(const std::vector<uint8_t>& cmd, std::vector<uint8_t>& r);
    bool answerBitTiming(const std::vector<uint8_t>& cmd, std::vector<uint8_t>& r);
    bool answerFilter(const std::vector<uint8_t>& cmd, std::vector<uint8_t>& r);
    bool answerStartStop(const std::vector<uint8_t>& cmd, std::vector<uint8_t>& r);
    std::vector<uint8_t> directTransfer(const std::vector<uint8_t>& payload, bool& reply);
    void onDataPacket(DeviceEndpoints& dev, const std::vector<uint8_t>& packet);

    const unsigned type;
    const unsigned channels;
    const unsigned clock;

    mutable std::mutex lock;
    uint16_t version0 = 0x0102;
    uint16_t version1 = 0x0304;
    FunctionSetReply functionSet = FunctionSetReply::Accept;
    bool silent = false;
    std::set<uint8_t> silentCodes;
    uint8_t wrongCode = 0;
    size_t replyLength = 0;
    std::chrono::milliseconds delay{0};
    bool refuseTiming = false;
    bool refuseFilters = false;
    FdChannelState state[8];
    std::map<uint8_t, int> requestCount;
    int functionSets = 0;
    bool functionSetValid = false;
    std::vector<uint8_t> directPayload;
    bool accepted = false;
    int withheldEchoes = 0;
    int echoesBeforeWithholding = 0;
    int echoes = 0;
    std::vector<BusFrame> bus[8];
    std::vector<std::vector<uint8_t>> packets;
    InBatcher outbox;
};

}  // namespace ycansim
