#include "sim/recorder/recorder_adapter.h"

#include "sim/bench/device_model.h"

namespace ycansim {

namespace {
uint32_t le32(const std::vector<uint8_t>& d, size_t at) {
    return d[at] | (d[at + 1] << 8) | (d[at + 2] << 16) | (static_cast<uint32_t>(d[at + 3]) << 24);
}
void put32(std::vector<uint8_t>& d, uint32_t v) {
    for (int b = 0; b < 4; ++b) d.push_back(static_cast<uint8_t>(v >> (8 * b)));
}
}  // namespace

DeviceLayout recorderLayout(unsigned deviceType) {
    DeviceLayout layout;
    layout.vendorId = 0x0471;
    layout.productId = deviceType == 62 ? 0x2602 : 0x2601;
    layout.endpoints = {{0x01, EndpointType::Bulk, 64}, {0x81, EndpointType::Bulk, 64}};
    return layout;
}

void VirtualRecorder::onOut(DeviceEndpoints& dev, uint8_t ep, const std::vector<uint8_t>& data) {
    if (ep != 0x01) return;
    std::vector<std::vector<uint8_t>> out;
    std::chrono::milliseconds wait{0};
    {
        std::lock_guard guard(lock);
        requestCount++;
        last = data;
        std::vector<uint8_t> reply = answer(data);
        if (reply.empty()) return;
        for (int i = 0; i < stale; ++i) out.push_back({0x55, 0x7E, 0x00, 0x00, 0x00, 0x00, 0x00});
        if (replyLength > 0 && reply.size() > replyLength) reply.resize(replyLength);
        out.push_back(std::move(reply));
        wait = delay;
    }
    for (auto& r : out) {
        if (wait.count() > 0)
            dev.pushInAfter(0x81, std::move(r), wait);
        else
            dev.pushIn(0x81, std::move(r));
    }
}

std::vector<uint8_t> VirtualRecorder::answer(const std::vector<uint8_t>& q) {
    if (q.size() < 2) return {};
    if (q[0] == 0x12 && q[1] == 0xA7) {
        std::vector<uint8_t> r = {0x12, 0xA7};
        for (size_t i = 2; i < q.size(); ++i) r.push_back(static_cast<uint8_t>(~q[i]));
        if (directLength > 0) r.resize(directLength, 0xEE);
        return r;
    }
    if (q[0] != 0x55) return {};
    switch (q[1]) {
        case 0x01:
        case 0x12:
        case 0x13:
            return answerBoardValue(q[1]);
        case 0x04:
            return answerFilterChange(q);
        case 0x05:
            return answerFilterQuery(q);
        case 0x03:
        case 0xA4:
            return answerSettings(q);
        default:
            return {};
    }
}

std::vector<uint8_t> VirtualRecorder::answerBoardValue(uint8_t code) const {
    if (code == 0x13) return {0x55, 0x13, 0x00, 0x00, valueC};
    const uint16_t v = code == 0x01 ? valueA : valueB;
    return {0x55, code, 0x00, 0x00, static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
}

std::vector<uint8_t> VirtualRecorder::answerFilterChange(const std::vector<uint8_t>& q) {
    if (q.size() < 13) return {};
    const unsigned ch = q[3] & 1;
    if (!refuse) {
        switch (q[2]) {
            case 0:
                list[ch].clear();
                break;
            case 1:
                list[ch].push_back({q[4], le32(q, 5), le32(q, 9)});
                break;
            case 2:
                enabled[ch] = true;
                break;
            case 3:
                enabled[ch] = false;
                break;
            default:
                break;
        }
    }
    return {0x55, 0x04, q[3], static_cast<uint8_t>(refuse ? 1 : 0)};
}

std::vector<uint8_t> VirtualRecorder::answerFilterQuery(const std::vector<uint8_t>& q) const {
    if (q.size() < 6) return {};
    const unsigned ch = q[3] & 1;
    if (q[2] == 0x00) {
        const size_t n = list[ch].size();
        return {0x55,
                0x05,
                q[3],
                static_cast<uint8_t>(refuse ? 1 : 0),
                static_cast<uint8_t>(n),
                static_cast<uint8_t>(n >> 8),
                static_cast<uint8_t>(enabled[ch] ? 1 : 0)};
    }
    const size_t index = q[4] | (q[5] << 8);
    std::vector<uint8_t> r = {0x55, 0x05, q[3]};
    if (index >= list[ch].size() || refuse) {
        r.push_back(1);
        return r;
    }
    r.push_back(0);
    r.push_back(list[ch][index].kind);
    put32(r, list[ch][index].startId);
    put32(r, list[ch][index].endId);
    return r;
}

std::vector<uint8_t> VirtualRecorder::answerSettings(const std::vector<uint8_t>& q) {
    if (q[1] == 0x03) {
        if (q.size() < 28) return {};
        if (!refuse) stored[q[2] & 1].assign(q.begin() + 3, q.begin() + 28);
        return {0x55, 0x03, q[2], static_cast<uint8_t>(refuse ? 1 : 0), 0x00};
    }
    if (q.size() < 3) return {};
    std::vector<uint8_t> r = {0x55, 0xA4, q[2]};
    r.insert(r.end(), stored[q[2] & 1].begin(), stored[q[2] & 1].end());
    return r;
}

void VirtualRecorder::setBoardValues(uint16_t a, uint16_t b, uint8_t c) {
    std::lock_guard guard(lock);
    valueA = a;
    valueB = b;
    valueC = c;
}

void VirtualRecorder::setRefuse(bool on) {
    std::lock_guard guard(lock);
    refuse = on;
}

void VirtualRecorder::setReplyLength(size_t length) {
    std::lock_guard guard(lock);
    replyLength = length;
}

void VirtualRecorder::setDirectReplyLength(size_t length) {
    std::lock_guard guard(lock);
    directLength = length;
}

void VirtualRecorder::setReplyDelay(std::chrono::milliseconds d) {
    std::lock_guard guard(lock);
    delay = d;
}

void VirtualRecorder::setStaleRepliesFirst(int count) {
    std::lock_guard guard(lock);
    stale = count;
}

std::vector<RecorderFilter> VirtualRecorder::filters(unsigned ch) const {
    std::lock_guard guard(lock);
    return list[ch & 1];
}

bool VirtualRecorder::filterEnabled(unsigned ch) const {
    std::lock_guard guard(lock);
    return enabled[ch & 1];
}

std::vector<uint8_t> VirtualRecorder::settings(unsigned ch) const {
    std::lock_guard guard(lock);
    return stored[ch & 1];
}

int VirtualRecorder::requests() const {
    std::lock_guard guard(lock);
    return requestCount;
}

std::vector<uint8_t> VirtualRecorder::lastRequest() const {
    std::lock_guard guard(lock);
    return last;
}

}  // namespace ycansim
