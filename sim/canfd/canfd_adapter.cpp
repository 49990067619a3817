#include "sim/canfd/canfd_adapter.h"

#include <algorithm>

#include "sim/bench/device_model.h"
#include "sim/bench/secured_packet.h"

namespace ycansim {

namespace {

size_t packDataPackets(const std::deque<std::vector<uint8_t>>& waiting, size_t room,
                       std::vector<uint8_t>& out);

unsigned channelsOf(unsigned type) {
    if (type == 64 || type == 65) return 4;
    if (type == 66 || type == 67) return 8;
    return 2;
}

unsigned le16(const std::vector<uint8_t>& d, size_t at) { return d[at] | (d[at + 1] << 8); }

uint32_t le32(const std::vector<uint8_t>& d, size_t at) {
    return d[at] | (d[at + 1] << 8) | (d[at + 2] << 16) | (static_cast<uint32_t>(d[at + 3]) << 24);
}

FdTiming timingAt(const std::vector<uint8_t>& d, size_t at) {
    // clock(2) prescaler-1(2) sjw-1(1) tseg1-1(2) tseg2-1(2)
    FdTiming t;
    t.clockMHz = le16(d, at);
    t.prescaler = le16(d, at + 2) + 1;
    t.sjw = d[at + 4] + 1u;
    t.tseg1 = le16(d, at + 5) + 1;
    t.tseg2 = le16(d, at + 7) + 1;
    return t;
}

}  // namespace

unsigned FdTiming::bitRate() const {
    unsigned quanta = prescaler * (1 + tseg1 + tseg2);
    return quanta == 0 ? 0 : clockMHz * 1000000u / quanta;
}

DeviceLayout canFdLayout(unsigned deviceType) {
    DeviceLayout layout;
    switch (deviceType) {
        case 64:
            layout.vendorId = 0x0471;
            layout.productId = 0x3014;
            break;
        case 65:
            layout.vendorId = 0x0471;
            layout.productId = 0x2014;
            break;
        case 66:
            layout.vendorId = 0x0471;
            layout.productId = 0x2018;
            break;
        case 67:
            layout.vendorId = 0x0471;
            layout.productId = 0x3018;
            break;
        default:
            layout.vendorId = 0x3068;
            layout.productId = 0x0009;
            break;
    }
    layout.endpoints = {{0x01, EndpointType::Interrupt, 64},
                        {0x81, EndpointType::Interrupt, 64},
                        {0x02, EndpointType::Bulk, 512},
                        {0x82, EndpointType::Bulk, 512},
                        {0x83, EndpointType::Bulk, 512}};
    return layout;
}

VirtualCanFdAdapter::VirtualCanFdAdapter(unsigned deviceType)
    : VirtualCanFdAdapter(deviceType, channelsOf(deviceType),
                          deviceType == 66 || deviceType == 67 ? 80 : 60) {}

VirtualCanFdAdapter::VirtualCanFdAdapter(unsigned deviceType, unsigned channelCount, unsigned clockMHz)
    : type(deviceType),
      channels(std::min(channelCount, 8u)),
      clock(clockMHz),
      outbox(0x83, packDataPackets) {}

void VirtualCanFdAdapter::onOut(DeviceEndpoints& dev, uint8_t ep, const std::vector<uint8_t>& data) {
    if (ep == 0x02) {
        onDataPacket(dev, data);
        return;
    }
    if (ep != 0x01) return;
    bool reply = false;
    std::vector<uint8_t> out;
    std::chrono::milliseconds wait{0};
    {
        std::lock_guard guard(lock);
        out = answer(data, reply);
        if (!reply || silent) return;
        if (wrongCode != 0 && out.size() >= 2) out[1] = wrongCode;
        if (replyLength > 0 && out.size() > replyLength) out.resize(replyLength);
        wait = delay;
    }
    if (wait.count() > 0)
        dev.pushInAfter(0x81, std::move(out), wait);
    else
        dev.pushIn(0x81, std::move(out));
}

std::vector<uint8_t> VirtualCanFdAdapter::answer(const std::vector<uint8_t>& cmd, bool& reply) {
    reply = false;
    if (cmd.size() < 2) return {};
    if (cmd[0] == 0x12 && cmd[1] == 0xA7) {
        requestCount[0xA7]++;
        if (silentCodes.count(0xA7)) return {};
        return directTransfer(std::vector<uint8_t>(cmd.begin() + 2, cmd.end()), reply);
    }
    if (cmd[0] != 0x55) return {};
    const uint8_t code = cmd[1];
    requestCount[code]++;
    if (silentCodes.count(code)) return {};
    std::vector<uint8_t> r = {0x55, code, 0, 0, 0, 0, 0, 0};
    switch (code) {
        case 0x01:
        case 0x12:
        case 0x13:
        case 0x16:
            reply = answerQuery(cmd, r);
            break;
        case 0x03:
            reply = answerBitTiming(cmd, r);
            break;
        case 0x04:
            reply = answerFilter(cmd, r);
            break;
        case 0x0E:
        case 0x0F:
            reply = answerStartStop(cmd, r);
            break;
        default:
            break;  // unknown commands go unanswered
    }
    return reply ? r : std::vector<uint8_t>{};
}

bool VirtualCanFdAdapter::answerQuery(const std::vector<uint8_t>& cmd, std::vector<uint8_t>& r) {
    switch (cmd[1]) {
        case 0x01:
        case 0x12: {
            const uint16_t v = cmd[1] == 0x01 ? version0 : version1;
            r[4] = static_cast<uint8_t>(v >> 8);
            r[5] = static_cast<uint8_t>(v);
            return true;
        }
        case 0x13:
            r[4] = static_cast<uint8_t>(channels);
            return true;
        default: {  // 0x16, channel status
            if (cmd.size() < 3) return false;
            const unsigned ch = (cmd[2] >> 4) & 0x07;
            r.resize(12, 0);
            const uint32_t w = state[ch].statusWord;
            for (int i = 0; i < 4; ++i) r[3 + i] = static_cast<uint8_t>(w >> (8 * i));
            return true;
        }
    }
}

bool VirtualCanFdAdapter::answerBitTiming(const std::vector<uint8_t>& cmd, std::vector<uint8_t>& r) {
    if (cmd.size() < 24) return false;
    const unsigned ch = cmd[2];
    r[2] = cmd[2];
    const FdTiming a = timingAt(cmd, 6);
    const FdTiming d = timingAt(cmd, 15);
    const bool ok = !refuseTiming && ch < channels && a.clockMHz == clock && d.clockMHz == clock;
    r[3] = ok ? 0 : 1;
    if (ok) {
        FdChannelState& s = state[ch];
        s.timingSet = true;
        s.optionB = cmd[4];
        s.optionA = cmd[5];
        s.abit = a;
        s.dbit = d;
    }
    return true;
}

bool VirtualCanFdAdapter::answerFilter(const std::vector<uint8_t>& cmd, std::vector<uint8_t>& r) {
    if (cmd.size() < 13) return false;
    const uint8_t op = cmd[3];
    const unsigned ch = cmd[4] >> 4;
    r[2] = cmd[4];
    const bool ok = !refuseFilters && ch < channels && op >= 1 && op <= 5;
    r[3] = ok ? 0 : 1;
    if (!ok) return true;
    FdChannelState& s = state[ch];
    if (op == 1) {
        s.filters.clear();
        s.filterEnabled = false;
        s.filterClears++;
    } else if (op == 4) {
        s.filterEnabled = true;
    } else {
        s.filters.push_back({op, le32(cmd, 5), le32(cmd, 9)});
    }
    return true;
}

bool VirtualCanFdAdapter::answerStartStop(const std::vector<uint8_t>& cmd, std::vector<uint8_t>& r) {
    if (cmd.size() < 5) return false;
    const bool start = cmd[1] == 0x0E;
    const unsigned ch = cmd[4] >> 4;
    r[2] = cmd[4];
    if (ch < channels) {
        state[ch].started = start;
        (start ? state[ch].starts : state[ch].stops)++;
    }
    return true;
}

std::vector<uint8_t> VirtualCanFdAdapter::directTransfer(const std::vector<uint8_t>& payload, bool& reply) {
    directPayload = payload;
    std::vector<uint8_t> r = {0x12, 0xA7};
    if (payload.size() >= 2 && payload[0] == 0xFE && payload[1] == 0xEF) {
        FunctionSetAnswer a = answerFunctionSet(payload, functionSet);
        functionSets++;
        functionSetValid = a.valid;
        if (a.accepted) accepted = true;
        if (!a.answered) return {};
        r.insert(r.end(), a.packet.begin(), a.packet.end());
    } else {
        for (uint8_t b : payload) r.push_back(static_cast<uint8_t>(~b));
    }
    reply = true;
    return r;
}

void VirtualCanFdAdapter::onDataPacket(DeviceEndpoints& dev, const std::vector<uint8_t>& packet) {
    bool echo = false;
    {
        std::lock_guard guard(lock);
        packets.push_back(packet);
        if (packet.size() >= 7 && packet[0] == 0x55 && packet[1] == 0xF2) {
            const size_t end = std::min(packet.size(), size_t{7} + le16(packet, 4));
            size_t i = 7;
            for (unsigned n = 0; n < packet[6] && i + 11 <= end; ++n) {
                BusFrame f;
                f.channel = packet[i] >> 4;
                f.sendMode = packet[i] & 0x0F;
                f.flags = packet[i + 1];
                const size_t field = f.fd() ? 64 : 8;
                if (i + 11 + field > end) break;
                f.timeTag = le32(packet, i + 2);
                f.id = le32(packet, i + 6);
                f.dataLen = packet[i + 10];
                f.data.assign(packet.begin() + static_cast<long>(i + 11),
                              packet.begin() + static_cast<long>(i + 11 + field));
                if (f.channel < 8) bus[f.channel].push_back(std::move(f));
                i += 11 + field;
            }
            if (!accepted) {
                if (echoesBeforeWithholding > 0) {
                    --echoesBeforeWithholding;
                    echo = true;
                } else if (withheldEchoes > 0) {
                    --withheldEchoes;
                } else {
                    echo = true;
                }
            }
        }
        if (echo) echoes++;
    }
    if (echo) dev.pushIn(0x82, std::vector<uint8_t>(packet.begin(), packet.begin() + 7));
}

namespace {

constexpr size_t kPacketHeader = 7;
constexpr size_t kRecordsPerPacket = 10;

void putPacketHeader(std::vector<uint8_t>& p, size_t at, size_t records) {
    const size_t payload = p.size() - at - kPacketHeader;
    p[at + 0] = 0x55;
    p[at + 1] = 0xF2;
    p[at + 4] = static_cast<uint8_t>(payload);
    p[at + 5] = static_cast<uint8_t>(payload >> 8);
    p[at + 6] = static_cast<uint8_t>(records);
}

// As many whole data packets of waiting records as fit in `room` bytes.
size_t packDataPackets(const std::deque<std::vector<uint8_t>>& waiting, size_t room,
                       std::vector<uint8_t>& out) {
    size_t taken = 0;
    while (taken < waiting.size() && out.size() + kPacketHeader + waiting[taken].size() <= room) {
        const size_t at = out.size();
        out.resize(at + kPacketHeader, 0);
        size_t inPacket = 0;
        while (taken < waiting.size() && inPacket < kRecordsPerPacket &&
               out.size() + waiting[taken].size() <= room) {
            out.insert(out.end(), waiting[taken].begin(), waiting[taken].end());
            ++taken;
            ++inPacket;
        }
        putPacketHeader(out, at, inPacket);
    }
    return taken;
}

}  // namespace

std::vector<uint8_t> encodeDataRecord(const BusFrame& f) {
    std::vector<uint8_t> r;
    r.reserve(11 + 64);
    r.push_back(static_cast<uint8_t>((f.channel << 4) | (f.sendMode & 0x0F)));
    r.push_back(f.flags);
    for (int b = 0; b < 4; ++b) r.push_back(static_cast<uint8_t>(f.timeTag >> (8 * b)));
    for (int b = 0; b < 4; ++b) r.push_back(static_cast<uint8_t>(f.id >> (8 * b)));
    r.push_back(f.dataLen);
    const size_t field = f.fd() ? 64 : 8;
    const size_t n = std::min(f.data.size(), field);
    r.insert(r.end(), f.data.begin(), f.data.begin() + static_cast<long>(n));
    r.resize(11 + field, 0);
    return r;
}

std::vector<uint8_t> encodeDataPacket(const std::vector<BusFrame>& frames) {
    std::vector<uint8_t> p(kPacketHeader, 0);
    for (const BusFrame& f : frames) {
        std::vector<uint8_t> r = encodeDataRecord(f);
        p.insert(p.end(), r.begin(), r.end());
    }
    putPacketHeader(p, 0, frames.size());
    return p;
}

void VirtualCanFdAdapter::inject(DeviceEndpoints& dev, const std::vector<BusFrame>& frames,
                                 const StreamShape& shape) {
    // Packets, then transfers of whole packets or of a fixed size.
    std::vector<std::vector<uint8_t>> pkts;
    const size_t per = std::max(1u, shape.recordsPerPacket);
    for (size_t i = 0; i < frames.size(); i += per) {
        std::vector<BusFrame> group(frames.begin() + static_cast<long>(i),
                                    frames.begin() + static_cast<long>(std::min(frames.size(), i + per)));
        std::vector<uint8_t> bytes = shape.garbage;
        std::vector<uint8_t> packet = encodeDataPacket(group);
        bytes.insert(bytes.end(), packet.begin(), packet.end());
        pkts.push_back(std::move(bytes));
    }
    if (shape.transferSize > 0) {
        std::vector<uint8_t> stream;
        for (auto& p : pkts) stream.insert(stream.end(), p.begin(), p.end());
        for (size_t at = 0; at < stream.size(); at += shape.transferSize) {
            size_t n = std::min(shape.transferSize, stream.size() - at);
            dev.pushIn(0x83, std::vector<uint8_t>(stream.begin() + static_cast<long>(at),
                                                  stream.begin() + static_cast<long>(at + n)));
        }
        return;
    }
    const size_t perTransfer = std::max(1u, shape.packetsPerTransfer);
    for (size_t i = 0; i < pkts.size(); i += perTransfer) {
        std::vector<uint8_t> transfer;
        for (size_t k = i; k < std::min(pkts.size(), i + perTransfer); ++k)
            transfer.insert(transfer.end(), pkts[k].begin(), pkts[k].end());
        dev.pushIn(0x83, std::move(transfer));
    }
}

bool FdChannelState::accepts(const BusFrame& f) const {
    if (!filterEnabled) return true;
    const bool extended = (f.flags & 0x04) != 0;
    for (const FdFilter& r : filters) {
        // Standard ranges pass 11-bit frames only, extended ranges 29-bit
        // frames only; a range in another mode passes either kind.
        if ((r.operation == 2 && extended) || (r.operation == 3 && !extended)) continue;
        if (f.id >= r.startId && f.id <= r.endId) return true;
    }
    return false;
}

void VirtualCanFdAdapter::fromBus(DeviceEndpoints& dev, const std::vector<BusFrame>& frames) {
    std::vector<std::vector<uint8_t>> records;
    records.reserve(frames.size());
    {
        std::lock_guard guard(lock);
        for (const BusFrame& f : frames)
            if (f.channel >= channels || state[f.channel].accepts(f)) records.push_back(encodeDataRecord(f));
    }
    outbox.add(dev, std::move(records));
}

void VirtualCanFdAdapter::onInReady(DeviceEndpoints& dev, uint8_t ep) {
    if (ep == outbox.endpoint()) outbox.pump(dev);
}

void VirtualCanFdAdapter::onReset(DeviceEndpoints&) {
    outbox.clear();
    std::lock_guard guard(lock);
    // Configuration goes; the counters a test reads stay.
    for (auto& s : state) {
        FdChannelState fresh;
        fresh.statusWord = s.statusWord;
        fresh.starts = s.starts;
        fresh.stops = s.stops;
        fresh.filterClears = s.filterClears;
        s = fresh;
    }
    accepted = false;
}

void VirtualCanFdAdapter::withholdEchoes(int count, int after) {
    std::lock_guard guard(lock);
    withheldEchoes = count;
    echoesBeforeWithholding = after;
}

std::vector<BusFrame> VirtualCanFdAdapter::busFrames(unsigned ch) const {
    std::lock_guard guard(lock);
    return ch < 8 ? bus[ch] : std::vector<BusFrame>{};
}

std::vector<BusFrame> VirtualCanFdAdapter::takeBusFrames(unsigned ch) {
    std::lock_guard guard(lock);
    std::vector<BusFrame> taken;
    taken.swap(bus[ch < 8 ? ch : 7]);
    packets.clear();
    return taken;
}

std::vector<std::vector<uint8_t>> VirtualCanFdAdapter::dataPackets() const {
    std::lock_guard guard(lock);
    return packets;
}

int VirtualCanFdAdapter::echoesSent() const {
    std::lock_guard guard(lock);
    return echoes;
}

bool VirtualCanFdAdapter::functionSetAccepted() const {
    std::lock_guard guard(lock);
    return accepted;
}

void VirtualCanFdAdapter::setVersions(uint16_t v0, uint16_t v1) {
    std::lock_guard guard(lock);
    version0 = v0;
    version1 = v1;
}

void VirtualCanFdAdapter::setFunctionSetReply(FunctionSetReply reply) {
    std::lock_guard guard(lock);
    functionSet = reply;
}

void VirtualCanFdAdapter::setSilent(bool on) {
    std::lock_guard guard(lock);
    silent = on;
}

void VirtualCanFdAdapter::setSilentCommand(uint8_t code, bool on) {
    std::lock_guard guard(lock);
    if (on)
        silentCodes.insert(code);
    else
        silentCodes.erase(code);
}

void VirtualCanFdAdapter::setWrongCommand(uint8_t code) {
    std::lock_guard guard(lock);
    wrongCode = code;
}

void VirtualCanFdAdapter::setReplyLength(size_t length) {
    std::lock_guard guard(lock);
    replyLength = length;
}

void VirtualCanFdAdapter::setReplyDelay(std::chrono::milliseconds d) {
    std::lock_guard guard(lock);
    delay = d;
}

void VirtualCanFdAdapter::setRefuseTiming(bool refuse) {
    std::lock_guard guard(lock);
    refuseTiming = refuse;
}

void VirtualCanFdAdapter::setRefuseFilters(bool refuse) {
    std::lock_guard guard(lock);
    refuseFilters = refuse;
}

void VirtualCanFdAdapter::setStatusWord(unsigned ch, uint32_t word) {
    std::lock_guard guard(lock);
    if (ch < 8) state[ch].statusWord = word;
}

FdChannelState VirtualCanFdAdapter::channel(unsigned ch) const {
    std::lock_guard guard(lock);
    return ch < 8 ? state[ch] : FdChannelState{};
}

int VirtualCanFdAdapter::requests(uint8_t code) const {
    std::lock_guard guard(lock);
    auto it = requestCount.find(code);
    return it == requestCount.end() ? 0 : it->second;
}

int VirtualCanFdAdapter::functionSetRequests() const {
    std::lock_guard guard(lock);
    return functionSets;
}

bool VirtualCanFdAdapter::lastFunctionSetValid() const {
    std::lock_guard guard(lock);
    return functionSetValid;
}

std::vector<uint8_t> VirtualCanFdAdapter::lastDirectPayload() const {
    std::lock_guard guard(lock);
    return directPayload;
}

}  // namespace ycansim
