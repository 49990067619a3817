#include "sim/usbcan/usbcan_adapter.h"

#include <algorithm>

#include "sim/bench/device_model.h"
#include "sim/bench/secured_packet.h"

namespace ycansim {

DeviceLayout usbCanLayout() {
    DeviceLayout layout;
    layout.vendorId = 0x0471;
    layout.productId = 0x1200;
    layout.endpoints = {{0x01, EndpointType::Interrupt, 64},
                        {0x81, EndpointType::Interrupt, 64},
                        {0x02, EndpointType::Bulk, 64},
                        {0x82, EndpointType::Bulk, 64}};
    return layout;
}

namespace {

// Whole records, as many as the transfer holds.
size_t packRecords(const std::deque<std::vector<uint8_t>>& waiting, size_t room, std::vector<uint8_t>& out) {
    size_t taken = 0;
    while (taken < waiting.size() && out.size() + waiting[taken].size() <= room) {
        out.insert(out.end(), waiting[taken].begin(), waiting[taken].end());
        ++taken;
    }
    return taken;
}

}  // namespace

VirtualUsbCanAdapter::VirtualUsbCanAdapter() : outbox(0x82, packRecords) {}

std::vector<uint8_t> VirtualUsbCanAdapter::encodeRecord(const ClassicFrame& f) {
    std::vector<uint8_t> r(19, 0);
    // Device to host: low byte first, and byte 3 always 0x01.
    const uint32_t tag = (f.timeTag & 0x00FFFFFF) | 0x01000000;
    for (int b = 0; b < 4; ++b) r[b] = static_cast<uint8_t>(tag >> (8 * b));
    r[4] = 0;
    r[5] = 0;
    r[6] = static_cast<uint8_t>((f.extended ? 0x80 : 0) | (f.remote ? 0x40 : 0) | ((f.channel & 1) << 4) |
                                (f.dataLen & 0x0F));
    const uint32_t raw = f.extended ? f.id << 3 : f.id << 5;
    for (int b = 0; b < 4; ++b) r[7 + b] = static_cast<uint8_t>(raw >> (8 * b));
    std::copy_n(f.data.begin(), std::min<size_t>(f.data.size(), 8), r.begin() + 11);
    return r;
}

void VirtualUsbCanAdapter::onOut(DeviceEndpoints& dev, uint8_t ep, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> reply;
    bool send = false;
    {
        std::lock_guard guard(lock);
        if (ep == 0x01) {
            send = answer(data, reply) && !silent;
        } else if (ep == 0x02) {
            packets.push_back(data);
            int records = 0;
            for (size_t at = 0; at + 19 <= data.size(); at += 19, ++records) {
                const uint8_t* r = data.data() + at;
                ClassicFrame f;
                f.timeTag = (static_cast<uint32_t>(r[0]) << 24) | (r[1] << 16) | (r[2] << 8) | r[3];
                f.frameOpt = r[4];
                f.sendMode = r[5];
                f.extended = (r[6] & 0x80) != 0;
                f.remote = (r[6] & 0x40) != 0;
                f.channel = (r[6] >> 4) & 1;
                f.dataLen = r[6] & 0x0F;
                const uint32_t raw = r[7] | (r[8] << 8) | (r[9] << 16) | (static_cast<uint32_t>(r[10]) << 24);
                f.id = f.extended ? raw >> 3 : raw >> 5;
                f.data.assign(r + 11, r + 19);
                bus[f.channel].push_back(f);
            }
            if (!accepted) {
                const int count = acceptedCount >= 0 ? acceptedCount : records;
                reply = {0x12, 0x00, static_cast<uint8_t>(count), 0, 0, 0, 0, 0, 0, 0};
                send = !silent;
            }
        }
    }
    if (send) dev.pushIn(0x81, std::move(reply));
}

bool VirtualUsbCanAdapter::answer(const std::vector<uint8_t>& cmd, std::vector<uint8_t>& r) {
    if (cmd.size() < 2 || cmd[0] != 0x12) return false;
    const uint8_t code = cmd[1];
    requestCount[code]++;
    if (silentCodes.count(code)) return false;
    bool answered = false;
    switch (code) {
        case 0x03:
        case 0x0E:
        case 0x0F:
            answered = answerChannel(cmd, r);
            break;
        case 0x01:
        case 0x12:
        case 0x13:
        case 0x14:
        case 0x15:
            answered = answerBoardQuery(code, r);
            break;
        case 0xB1:
        case 0xB2:
        case 0xA4:
        case 0x80:
            answered = answerRelayAndState(cmd, r);
            break;
        case 0xA7:
            answered = answerDirect(cmd, r);
            break;
        default:
            break;
    }
    if (!answered) return false;
    if (auto cut = replyLength.find(code); cut != replyLength.end() && r.size() > cut->second)
        r.resize(cut->second);
    return true;
}

bool VirtualUsbCanAdapter::answerChannel(const std::vector<uint8_t>& cmd, std::vector<uint8_t>& r) {
    if (cmd[1] == 0x03) {
        if (cmd.size() < 9) return false;
        ClassicChannelState& s = channels[(cmd[4] >> 4) & 1];
        s.inits++;
        r = {0x12, 0x03, initAck, 0x00};
        if (initAck == 0x81 || initAck == 0x82) {
            s.initialised = true;
            s.altMode = (cmd[4] & 0x80) != 0;
            s.busTiming0 = cmd[5];
            s.busTiming1 = cmd[6];
        }
        return true;
    }
    if (cmd.size() < 5) return false;
    ClassicChannelState& s = channels[(cmd[4] >> 4) & 1];
    if (cmd[1] == 0x0F) {
        s.resets++;
        return false;  // written only by the driver: never answered
    }
    s.starts++;
    r = {0x12, 0x0E, 0x00};
    return true;
}

bool VirtualUsbCanAdapter::answerBoardQuery(uint8_t code, std::vector<uint8_t>& r) {
    if (code == 0x01 || code == 0x12) {
        const uint16_t v = code == 0x01 ? version0 : version1;
        r = {0x12, code, 0x02, 0x00, static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
    } else if (code == 0x13) {
        r = {0x12, 0x13, 0x01, 0x02};
    } else {
        const std::string& text = code == 0x14 ? serial : hardware;
        const size_t n = std::min<size_t>(text.size(), 14);
        r = {0x12, code, static_cast<uint8_t>(0x40 | (n + 1)), 0x00};
        r.insert(r.end(), text.begin(), text.begin() + static_cast<long>(n));
    }
    return true;
}

bool VirtualUsbCanAdapter::answerRelayAndState(const std::vector<uint8_t>& cmd, std::vector<uint8_t>& r) {
    const uint8_t arg = cmd.size() > 3 ? cmd[3] : uint8_t{0};
    switch (cmd[1]) {
        case 0xB1:
            if (cmd.size() < 5) return false;
            relayBytes[0] = cmd[3];
            relayBytes[1] = cmd[4];
            r = {0x12, 0xB1, 0x00, relayBytes[0], relayBytes[1]};
            return true;
        case 0xB2:
            r = {0x12, 0xB2, 0x00, relayBytes[0], relayBytes[1]};
            return true;
        case 0xA4:
            r = {0x12, 0xA4, 0x01, arg, 0, 0, baud[0], 0, baud[1], 0};
            return true;
        default:  // 0x80, channel state
            r = {0x12, 0x80, 0x01, arg, 0, state[0], 0, 0, 0, state[2], state[1], 0};
            return true;
    }
}

bool VirtualUsbCanAdapter::answerDirect(const std::vector<uint8_t>& cmd, std::vector<uint8_t>& r) {
    std::vector<uint8_t> payload(cmd.begin() + 2, cmd.end());
    directPayload = payload;
    r = {0x12, 0xA7};
    if (payload.size() >= 2 && payload[0] == 0xFE && payload[1] == 0xEF) {
        FunctionSetAnswer a = answerFunctionSet(payload, functionSet);
        functionSets++;
        functionSetValid = a.valid;
        if (a.accepted) accepted = true;
        if (!a.answered) return false;
        r.insert(r.end(), a.packet.begin(), a.packet.end());
    } else {
        for (uint8_t b : payload) r.push_back(static_cast<uint8_t>(~b));
    }
    return true;
}

void VirtualUsbCanAdapter::fromBus(DeviceEndpoints& dev, const std::vector<ClassicFrame>& frames) {
    std::vector<std::vector<uint8_t>> records;
    records.reserve(frames.size());
    for (const ClassicFrame& f : frames) records.push_back(encodeRecord(f));
    outbox.add(dev, std::move(records));
}

void VirtualUsbCanAdapter::onInReady(DeviceEndpoints& dev, uint8_t ep) {
    if (ep == outbox.endpoint()) outbox.pump(dev);
}

void VirtualUsbCanAdapter::onReset(DeviceEndpoints&) {
    outbox.clear();
    std::lock_guard guard(lock);
    for (auto& s : channels) {
        s.initialised = false;
        s.busTiming0 = s.busTiming1 = 0;
        s.altMode = false;
    }
    accepted = false;
}

void VirtualUsbCanAdapter::inject(DeviceEndpoints& dev, const std::vector<ClassicFrame>& frames,
                                  size_t transferSize, const std::vector<uint8_t>& garbage) {
    std::vector<uint8_t> stream;
    for (const ClassicFrame& f : frames) {
        stream.insert(stream.end(), garbage.begin(), garbage.end());
        std::vector<uint8_t> r = encodeRecord(f);
        stream.insert(stream.end(), r.begin(), r.end());
    }
    const size_t size = std::max<size_t>(1, transferSize);
    for (size_t at = 0; at < stream.size(); at += size)
        dev.pushIn(0x82, std::vector<uint8_t>(
                             stream.begin() + static_cast<long>(at),
                             stream.begin() + static_cast<long>(std::min(stream.size(), at + size))));
}

void VirtualUsbCanAdapter::setVersions(uint16_t v0, uint16_t v1) {
    std::lock_guard guard(lock);
    version0 = v0;
    version1 = v1;
}

void VirtualUsbCanAdapter::setTexts(const std::string& s, const std::string& h) {
    std::lock_guard guard(lock);
    serial = s;
    hardware = h;
}

void VirtualUsbCanAdapter::setFunctionSetReply(FunctionSetReply reply) {
    std::lock_guard guard(lock);
    functionSet = reply;
}

void VirtualUsbCanAdapter::setInitAck(uint8_t ack) {
    std::lock_guard guard(lock);
    initAck = ack;
}

void VirtualUsbCanAdapter::setSilent(bool on) {
    std::lock_guard guard(lock);
    silent = on;
}

void VirtualUsbCanAdapter::setSilentCommand(uint8_t code, bool on) {
    std::lock_guard guard(lock);
    if (on)
        silentCodes.insert(code);
    else
        silentCodes.erase(code);
}

void VirtualUsbCanAdapter::setReplyLength(uint8_t code, size_t length) {
    std::lock_guard guard(lock);
    replyLength[code] = length;
}

void VirtualUsbCanAdapter::setBaudParameters(uint8_t first, uint8_t second) {
    std::lock_guard guard(lock);
    baud[0] = first;
    baud[1] = second;
}

void VirtualUsbCanAdapter::setChannelState(uint8_t first, uint8_t second, uint8_t third) {
    std::lock_guard guard(lock);
    state[0] = first;
    state[1] = second;
    state[2] = third;
}

void VirtualUsbCanAdapter::setAcceptedCount(int count) {
    std::lock_guard guard(lock);
    acceptedCount = count;
}

ClassicChannelState VirtualUsbCanAdapter::channel(unsigned ch) const {
    std::lock_guard guard(lock);
    return channels[ch & 1];
}

int VirtualUsbCanAdapter::requests(uint8_t code) const {
    std::lock_guard guard(lock);
    auto it = requestCount.find(code);
    return it == requestCount.end() ? 0 : it->second;
}

int VirtualUsbCanAdapter::functionSetRequests() const {
    std::lock_guard guard(lock);
    return functionSets;
}

bool VirtualUsbCanAdapter::lastFunctionSetValid() const {
    std::lock_guard guard(lock);
    return functionSetValid;
}

std::vector<uint8_t> VirtualUsbCanAdapter::lastDirectPayload() const {
    std::lock_guard guard(lock);
    return directPayload;
}

std::pair<uint8_t, uint8_t> VirtualUsbCanAdapter::relay() const {
    std::lock_guard guard(lock);
    return {relayBytes[0], relayBytes[1]};
}

std::vector<ClassicFrame> VirtualUsbCanAdapter::busFrames(unsigned ch) const {
    std::lock_guard guard(lock);
    return bus[ch & 1];
}

std::vector<ClassicFrame> VirtualUsbCanAdapter::takeBusFrames(unsigned ch) {
    std::lock_guard guard(lock);
    std::vector<ClassicFrame> taken;
    taken.swap(bus[ch & 1]);
    packets.clear();
    return taken;
}

std::vector<std::vector<uint8_t>> VirtualUsbCanAdapter::dataPackets() const {
    std::lock_guard guard(lock);
    return packets;
}

}  // namespace ycansim
