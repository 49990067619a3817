// The CAN FD receive stream: arbitrary bytes in arbitrarily cut transfers
// never yield a frame out of range, never grow the reassembly buffer past
// its capacity, and a well-formed stream is decoded exactly, wherever its
// transfers are cut.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

#include "drivers/canfd/canfd_stream.h"
#include "fuzz_check.h"

using ycan::CanFdStream;

namespace {

struct Sent {
    bool fd;
    unsigned queue;
    uint8_t record[CanFdStream::kFdRecordLen];
};

void checkRanges(const CanFdStream::Staged& staged) {
    for (unsigned ch = 0; ch < CanFdStream::kChannels; ++ch) {
        for (const auto& f : staged.can[ch]) {
            FUZZ_CHECK(f.ID <= 0x1FFFFFFF);
            FUZZ_CHECK(f.DataLen <= 8);
            FUZZ_CHECK(f.RemoteFlag <= 1 && f.ExternFlag <= 1);
        }
        for (const auto& f : staged.fd[ch]) {
            FUZZ_CHECK(f.ID <= 0x1FFFFFFF);
            FUZZ_CHECK(f.DataLen <= 64);
            FUZZ_CHECK(f.RemoteFlag <= 1 && f.ExternFlag <= 1);
            FUZZ_CHECK(f.FrameOpt == 0 || f.FrameOpt == 0x08);
        }
    }
}

// Feeds bytes to a stream in transfers of the sizes the provider chooses.
void feedCut(CanFdStream& stream, const std::vector<uint8_t>& bytes, FuzzedDataProvider& cuts,
             CanFdStream::Staged& staged) {
    size_t at = 0;
    while (at < bytes.size()) {
        size_t n = cuts.ConsumeIntegralInRange<size_t>(1, 1024);
        if (n > bytes.size() - at) n = bytes.size() - at;
        // An exact-size copy: a read past the transfer is caught.
        std::vector<uint8_t> transfer(bytes.begin() + static_cast<long>(at),
                                      bytes.begin() + static_cast<long>(at + n));
        stream.feed(transfer.data(), static_cast<unsigned>(transfer.size()), staged);
        FUZZ_CHECK(stream.buffered() < CanFdStream::kCapacity);
        at += n;
    }
}

// Raw bytes: only the invariants.
void raw(FuzzedDataProvider& in) {
    std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 16384));
    CanFdStream stream;
    CanFdStream::Staged staged;
    feedCut(stream, bytes, in, staged);
    checkRanges(staged);
}

// A well-formed stream (packets of up to 10 records, garbage between
// packets that cannot be taken for a header) decodes exactly.
void wellFormed(FuzzedDataProvider& in) {
    std::vector<uint8_t> bytes;
    std::vector<Sent> sent;
    const unsigned packets = in.ConsumeIntegralInRange<unsigned>(0, 12);
    for (unsigned p = 0; p < packets && in.remaining_bytes() > 0; ++p) {
        // Leading noise without 0x55 cannot start a packet.
        const size_t noise = in.ConsumeIntegralInRange<size_t>(0, 3);
        for (size_t i = 0; i < noise; ++i) bytes.push_back(in.ConsumeIntegralInRange<uint8_t>(0x56, 0xFF));
        std::vector<uint8_t> payload;
        const unsigned count = in.ConsumeIntegralInRange<unsigned>(1, 10);
        for (unsigned r = 0; r < count; ++r) {
            Sent s{};
            s.fd = in.ConsumeBool();
            const unsigned size = s.fd ? CanFdStream::kFdRecordLen : CanFdStream::kClassicRecordLen;
            const unsigned ch = in.ConsumeIntegralInRange<unsigned>(0, 15);
            s.record[0] = static_cast<uint8_t>(ch << 4);
            s.record[1] = static_cast<uint8_t>((in.ConsumeIntegral<uint8_t>() & 0x16) | (s.fd ? 0x01 : 0x00));
            for (unsigned i = 2; i < size; ++i) s.record[i] = in.ConsumeIntegral<uint8_t>();
            s.queue = ch < CanFdStream::kChannels ? ch : CanFdStream::kChannels - 1;
            payload.insert(payload.end(), s.record, s.record + size);
            sent.push_back(s);
        }
        const uint8_t header[7] = {0x55,
                                   0xF2,
                                   0x00,
                                   0x00,
                                   static_cast<uint8_t>(payload.size()),
                                   static_cast<uint8_t>(payload.size() >> 8),
                                   static_cast<uint8_t>(count)};
        bytes.insert(bytes.end(), header, header + 7);
        bytes.insert(bytes.end(), payload.begin(), payload.end());
    }
    CanFdStream stream;
    CanFdStream::Staged staged;
    feedCut(stream, bytes, in, staged);
    FUZZ_CHECK(stream.buffered() == 0);

    size_t nextCan[CanFdStream::kChannels] = {};
    size_t nextFd[CanFdStream::kChannels] = {};
    // The arrival order names each frame's queue and kind in the order sent.
    FUZZ_CHECK(staged.order.size() == sent.size());
    for (size_t i = 0; i < sent.size() && i < staged.order.size(); ++i)
        FUZZ_CHECK(staged.order[i] == (sent[i].queue | (sent[i].fd ? ycan::StagedFrames::kFdMark : 0)));
    for (const Sent& s : sent) {
        const uint8_t* r = s.record;
        const uint32_t id = (r[6] | r[7] << 8 | r[8] << 16 | static_cast<uint32_t>(r[9]) << 24) & 0x1FFFFFFF;
        const uint32_t tag = r[2] | r[3] << 8 | r[4] << 16 | static_cast<uint32_t>(r[5]) << 24;
        if (s.fd) {
            FUZZ_CHECK(nextFd[s.queue] < staged.fd[s.queue].size());
            const _YCAN_CANFD_OBJ& f = staged.fd[s.queue][nextFd[s.queue]++];
            const uint8_t len = r[10] < 64 ? r[10] : 64;
            FUZZ_CHECK(f.ID == id && f.TimeTag == tag && f.DataLen == len);
            FUZZ_CHECK(f.FrameOpt == ((r[1] & 0x10) ? 0x08 : 0));
            FUZZ_CHECK(f.RemoteFlag == ((r[1] & 0x02) ? 1 : 0) && f.ExternFlag == ((r[1] & 0x04) ? 1 : 0));
            FUZZ_CHECK(memcmp(f.Data, r + 11, len) == 0);
        } else {
            FUZZ_CHECK(nextCan[s.queue] < staged.can[s.queue].size());
            const _YCAN_CAN_OBJ& f = staged.can[s.queue][nextCan[s.queue]++];
            const uint8_t len = r[10] < 8 ? r[10] : 8;
            FUZZ_CHECK(f.ID == id && f.TimeTag == tag && f.DataLen == len);
            FUZZ_CHECK(f.RemoteFlag == ((r[1] & 0x02) ? 1 : 0) && f.ExternFlag == ((r[1] & 0x04) ? 1 : 0));
            FUZZ_CHECK(memcmp(f.Data, r + 11, len) == 0);
        }
    }
    for (unsigned ch = 0; ch < CanFdStream::kChannels; ++ch) {
        FUZZ_CHECK(nextCan[ch] == staged.can[ch].size());
        FUZZ_CHECK(nextFd[ch] == staged.fd[ch].size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool())
        wellFormed(in);
    else
        raw(in);
    return 0;
}
