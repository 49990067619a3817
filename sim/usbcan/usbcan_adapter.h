// A virtual classic USB CAN adapter (device types 3 and 4, 0471:1200),
// written from the adapter's side.
//
// Commands arrive as 12 <code> ... on interrupt endpoint 0x01; replies go out
// on 0x81. The driver takes the first reply without matching, so this
// adapter never answers a command it treats as write-only (reset, 0x0F): a
// stray reply would be taken by the next command.
//
// Bus side: 1-3 records of 19 bytes per bulk packet on 0x02 (time tag high
// byte first) are put "on the bus" per channel; while the function set was
// not accepted each packet is answered on 0x81 with the accepted count in
// byte 2. Injected frames go to the host on 0x82 as records (time tag low
// byte first, byte 3 = 0x01) in 64-byte transfers.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sim/bench/device_model.h"
#include "sim/bench/in_batcher.h"
#include "sim/bench/usb_layout.h"
#include "sim/canfd/canfd_adapter.h"

namespace ycansim {

DeviceLayout usbCanLayout();

struct ClassicFrame {
    unsigned channel = 0;
    uint32_t id = 0;
    bool extended = false;
    bool remote = false;
    uint8_t dataLen = 0;        // the low nibble of the flags byte
    std::vector<uint8_t> data;  // 8 bytes as on the wire
    uint32_t timeTag = 0;
    uint8_t frameOpt = 0;
    uint8_t sendMode = 0;
};

struct ClassicChannelState {
    bool initialised = false;
    bool altMode = false;  // bit 7 of the init command's channel byte
    uint8_t busTiming0 = 0;
    uint8_t busTiming1 = 0;
    int inits = 0;
    int starts = 0;
    int resets = 0;
};

class VirtualUsbCanAdapter : public DeviceModel {
public:
    VirtualUsbCanAdapter();

    void onOut(DeviceEndpoints& dev, uint8_t ep, const std::vector<uint8_t>& data) override;
    void onReset(DeviceEndpoints& dev) override;
    void onInReady(DeviceEndpoints& dev, uint8_t ep) override;

    // Behaviour (thread-safe).
    void setVersions(uint16_t v0, uint16_t v1);
    void setTexts(const std::string& serial, const std::string& hardware);
    void setFunctionSetReply(FunctionSetReply reply);
    void setInitAck(uint8_t ack);  // reply byte 2 of the init: 0x81, 0x82 or a refusal
    void setSilent(bool on);
    void setSilentCommand(uint8_t code, bool on);
    void setReplyLength(uint8_t code, size_t length);  // cut one command's replies
    void setBaudParameters(uint8_t first, uint8_t second);
    void setChannelState(uint8_t first, uint8_t second, uint8_t third);
    // The accepted count the adapter reports for the next data packets (-1: all).
    void setAcceptedCount(int count);

    // Sends frames to the host on 0x82, in transfers of `transferSize` bytes,
    // with `garbage` before each record.
    void inject(DeviceEndpoints& dev, const std::vector<ClassicFrame>& frames, size_t transferSize = 64,
                const std::vector<uint8_t>& garbage = {});
    static std::vector<uint8_t> encodeRecord(const ClassicFrame& f);
    // Frames that arrived on the bus (thread-safe): they wait in the
    // adapter until the host polls 0x82 and go out as many whole records to
    // a transfer as it holds. A USB reset empties the buffer.
    void fromBus(DeviceEndpoints& dev, const std::vector<ClassicFrame>& frames);
    size_t framesWaiting() const { return outbox.waiting(); }
    uint64_t framesSent() const { return outbox.sent(); }
    // An adapter slower than the bus: at most `framesPerSecond` frames leave
    // the buffer for the host (0: as fast as it polls), counted from the
    // next frame that arrives; pumpToHost sends what has become due.
    void limitRateToHost(double framesPerSecond) { outbox.setPace(framesPerSecond); }
    void pumpToHost(DeviceEndpoints& dev) { outbox.pump(dev); }

    // Inspection (thread-safe).
    ClassicChannelState channel(unsigned ch) const;
    int requests(uint8_t code) const;
    int functionSetRequests() const;
    bool lastFunctionSetValid() const;
    std::vector<uint8_t> lastDirectPayload() const;
    std::pair<uint8_t, uint8_t> relay() const;
    std::vector<ClassicFrame> busFrames(unsigned ch) const;
    std::vector<std::vector<uint8_t>> dataPackets() const;
    // Hands over what went out on the bus and the data packets so far and
    // forgets them (a long run keeps its memory flat this way).
    std::vector<ClassicFrame> takeBusFrames(unsigned ch);

private:
    // A command's reply in reply; false when none goes out. Lock held. The
    // answer* steps serve one group of commands each.
    bool answer(const std::vector<uint8_t>& cmd, std::vector<uint8_t>& reply);
    bool answerChannel(const std::vector<uint8_t>& cmd, std::vector<uint8_t>& r);
    bool answerBoardQuery(uint8_t code, std::vector<uint8_t>& r);
    bool answerRelayAndState(const std::vector<uint8_t>& cmd, std::vector<uint8_t>& r);
    bool answerDirect(const std::vector<uint8_t>& cmd, std::vector<uint8_t>& r);

    mutable std::mutex lock;
    uint16_t version0 = 0x0201;
    uint16_t version1 = 0x0403;
    std::string serial = "SN00000042";
    std::string hardware = "USBCAN-II";
    FunctionSetReply functionSet = FunctionSetReply::Accept;
    uint8_t initAck = 0x81;
    bool silent = false;
    std::set<uint8_t> silentCodes;
    std::map<uint8_t, size_t> replyLength;
    uint8_t baud[2] = {0x00, 0x14};
    uint8_t state[3] = {1, 2, 3};
    int acceptedCount = -1;
    ClassicChannelState channels[2];
    uint8_t relayBytes[2] = {0, 0};
    std::map<uint8_t, int> requestCount;
    int functionSets = 0;
    bool functionSetValid = false;
    bool accepted = false;
    std::vector<uint8_t> directPayload;
    std::vector<ClassicFrame> bus[2];
    std::vector<std::vector<uint8_t>> packets;
    InBatcher outbox;
};

}  // namespace ycansim
