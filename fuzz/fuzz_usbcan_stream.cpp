// The classic receive stream: arbitrary bytes in arbitrarily cut transfers
// never yield a frame out of range nor an unbounded buffer, and a stream of
// well-formed records is decoded exactly, wherever its transfers are cut.
// Also: the transmit record encoding round-trips through the decoder.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

#include "drivers/usbcan/usbcan2_stream.h"
#include "fuzz_check.h"

using ycan::Usbcan2Stream;

namespace {

void feedCut(Usbcan2Stream& stream, const std::vector<uint8_t>& bytes, FuzzedDataProvider& cuts,
             ycan::StagedFrames& out) {
    size_t at = 0;
    while (at < bytes.size()) {
        size_t n = cuts.ConsumeIntegralInRange<size_t>(1, 64);  // the adapter's transfer size
        if (n > bytes.size() - at) n = bytes.size() - at;
        std::vector<uint8_t> transfer(bytes.begin() + static_cast<long>(at),
                                      bytes.begin() + static_cast<long>(at + n));
        stream.feed(transfer.data(), static_cast<unsigned>(transfer.size()), out);
        FUZZ_CHECK(stream.buffered() < Usbcan2Stream::kRecordLen);
        at += n;
    }
}

void raw(FuzzedDataProvider& in) {
    std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 8192));
    Usbcan2Stream stream;
    ycan::StagedFrames out;
    feedCut(stream, bytes, in, out);
    for (const auto& queue : out.can) {
        for (const auto& f : queue) {
            FUZZ_CHECK(f.ID <= 0x1FFFFFFF);
            FUZZ_CHECK(f.DataLen <= 8);
            FUZZ_CHECK(f.RemoteFlag <= 1 && f.ExternFlag <= 1);
        }
    }
}

// A valid frame's flags, identifier and data from the input.
void frameBody(FuzzedDataProvider& in, _YCAN_CAN_OBJ& f) {
    f.ExternFlag = in.ConsumeBool() ? 1 : 0;
    f.RemoteFlag = in.ConsumeBool() ? 1 : 0;
    f.ID = in.ConsumeIntegralInRange<uint32_t>(0, f.ExternFlag ? 0x1FFFFFFF : 0x7FF);
    f.DataLen = in.ConsumeIntegralInRange<uint8_t>(0, 8);
    for (unsigned b = 0; b < f.DataLen; ++b) f.Data[b] = in.ConsumeIntegral<uint8_t>();
}

// Records as the adapter sends them: time tag low byte first, its high byte
// 01 and FrameOpt, SendMode 00 00 (the marks the decoder finds them by).
void wellFormed(FuzzedDataProvider& in) {
    std::vector<uint8_t> bytes;
    std::vector<std::pair<unsigned, _YCAN_CAN_OBJ>> sent;
    const unsigned count = in.ConsumeIntegralInRange<unsigned>(0, 200);
    for (unsigned i = 0; i < count && in.remaining_bytes() > 0; ++i) {
        _YCAN_CAN_OBJ f{};
        f.TimeTag = 0x01000000u | in.ConsumeIntegralInRange<uint32_t>(0, 0xFFFFFF);
        frameBody(in, f);
        const unsigned ch = in.ConsumeBool() ? 1 : 0;
        uint8_t r[Usbcan2Stream::kRecordLen] = {};
        for (int b = 0; b < 4; ++b) r[b] = static_cast<uint8_t>(f.TimeTag >> (8 * b));
        r[6] = static_cast<uint8_t>(ch * 16 | f.RemoteFlag * 64 | f.ExternFlag * 128 | f.DataLen);
        const uint32_t raw = f.ExternFlag ? f.ID << 3 : f.ID << 5;
        for (int b = 0; b < 4; ++b) r[7 + b] = static_cast<uint8_t>(raw >> (8 * b));
        memcpy(r + 11, f.Data, f.DataLen);
        bytes.insert(bytes.end(), r, r + sizeof r);
        sent.emplace_back(ch, f);
    }
    Usbcan2Stream stream;
    ycan::StagedFrames out;
    feedCut(stream, bytes, in, out);
    FUZZ_CHECK(stream.buffered() == 0);
    size_t next[2] = {0, 0};
    // The arrival order names each frame's channel in the order sent.
    FUZZ_CHECK(out.order.size() == sent.size());
    for (size_t i = 0; i < sent.size(); ++i) FUZZ_CHECK(out.order[i] == sent[i].first);
    for (const auto& [ch, f] : sent) {
        FUZZ_CHECK(next[ch] < out.can[ch].size());
        const _YCAN_CAN_OBJ& got = out.can[ch][next[ch]++];
        FUZZ_CHECK(got.ID == f.ID && got.TimeTag == f.TimeTag && got.DataLen == f.DataLen);
        FUZZ_CHECK(got.ExternFlag == f.ExternFlag && got.RemoteFlag == f.RemoteFlag);
        FUZZ_CHECK(memcmp(got.Data, f.Data, f.DataLen) == 0);
    }
    FUZZ_CHECK(next[0] == out.can[0].size() && next[1] == out.can[1].size());
}

// What transmit encodes is what a decoder of the same layout reads back
// (the time tag goes out high byte first).
void encodeRoundTrip(FuzzedDataProvider& in) {
    _YCAN_CAN_OBJ f{};
    f.TimeTag = in.ConsumeIntegral<uint32_t>();
    f.FrameOpt = in.ConsumeIntegral<uint8_t>();
    f.SendMode = in.ConsumeIntegral<uint8_t>();
    frameBody(in, f);
    const unsigned ch = in.ConsumeBool() ? 1 : 0;
    uint8_t r[Usbcan2Stream::kRecordLen] = {};
    Usbcan2Stream::encodeRecord(r, f, ch);
    FUZZ_CHECK(Usbcan2Stream::channelOf(r) == ch);
    // Turn the time tag round to the receive direction.
    std::swap(r[0], r[3]);
    std::swap(r[1], r[2]);
    const _YCAN_CAN_OBJ got = Usbcan2Stream::decodeRecord(r);
    FUZZ_CHECK(got.ID == f.ID && got.TimeTag == f.TimeTag && got.DataLen == f.DataLen);
    FUZZ_CHECK(got.FrameOpt == f.FrameOpt && got.SendMode == f.SendMode);
    FUZZ_CHECK(got.ExternFlag == f.ExternFlag && got.RemoteFlag == f.RemoteFlag);
    FUZZ_CHECK(memcmp(got.Data, f.Data, f.DataLen) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
            raw(in);
            break;
        case 1:
            wellFormed(in);
            break;
        default:
            encodeRoundTrip(in);
            break;
    }
    return 0;
}
