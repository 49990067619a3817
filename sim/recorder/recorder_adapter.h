// A virtual CAN bus recorder (device types 61 and 62, 0471:2601/2602),
// written from the recorder's side. Requests arrive on bulk 0x01, replies go
// out on bulk 0x81; every reply repeats the request's first two bytes.
//
//   55 01 / 55 12 / 55 13   board values A, B (bytes 4-5, low first), C (byte 4)
//   55 04 op ch ...         filter list: 0 clear, 1 add, 2 enable, 3 disable;
//                           reply 55 04 ch status
//   55 05 00 ch 00 00       summary: 55 05 ch status count(2) state
//   55 05 01 ch idx(2)      entry: 55 05 ch status kind start(4) end(4)
//   55 03 ... (28 bytes)    settings write: 55 03 ch status 00
//   55 A4 ch                settings read: 55 A4 ch + the 25 stored bytes
//   12 A7 ...               direct data: 12 A7 and the bytes inverted
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "sim/bench/device_model.h"
#include "sim/bench/usb_layout.h"

namespace ycansim {

DeviceLayout recorderLayout(unsigned deviceType);

struct RecorderFilter {
    uint8_t kind;
    uint32_t startId;
    uint32_t endId;
};

class VirtualRecorder : public DeviceModel {
public:
    void onOut(DeviceEndpoints& dev, uint8_t ep, const std::vector<uint8_t>& data) override;

    // Behaviour (thread-safe).
    void setBoardValues(uint16_t a, uint16_t b, uint8_t c);
    void setRefuse(bool on);                   // status byte 1 on filter and settings requests
    void setReplyLength(size_t length);        // cut every reply (0: full)
    void setDirectReplyLength(size_t length);  // total length of direct-data replies (0: echo size)
    void setReplyDelay(std::chrono::milliseconds delay);
    // Before each reply, send this many replies to an earlier request (stale
    // replies with another request's first bytes).
    void setStaleRepliesFirst(int count);

    // Inspection (thread-safe).
    std::vector<RecorderFilter> filters(unsigned ch) const;
    bool filterEnabled(unsigned ch) const;
    std::vector<uint8_t> settings(unsigned ch) const;  // the 25 stored bytes (offsets 3..27)
    int requests() const;
    std::vector<uint8_t> lastRequest() const;

private:
    // A request's reply, empty when none goes out. Lock held; the answer*
    // steps serve one group of requests each.
    std::vector<uint8_t> answer(const std::vector<uint8_t>& req);
    std::vector<uint8_t> answerBoardValue(uint8_t code) const;
    std::vector<uint8_t> answerFilterChange(const std::vector<uint8_t>& q);
    std::vector<uint8_t> answerFilterQuery(const std::vector<uint8_t>& q) const;
    std::vector<uint8_t> answerSettings(const std::vector<uint8_t>& q);

    mutable std::mutex lock;
    uint16_t valueA = 0x0102;
    uint16_t valueB = 0x0304;
    uint8_t valueC = 2;
    bool refuse = false;
    size_t replyLength = 0;
    size_t directLength = 0;
    std::chrono::milliseconds delay{0};
    int stale = 0;
    std::vector<RecorderFilter> list[2];
    bool enabled[2] = {false, false};
    std::vector<uint8_t> stored[2] = {std::vector<uint8_t>(25, 0), std::vector<uint8_t>(25, 0)};
    int requestCount = 0;
    std::vector<uint8_t> last;
};

}  // namespace ycansim
