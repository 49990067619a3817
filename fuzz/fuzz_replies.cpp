// Every decoder of a command reply, on arbitrary replies of arbitrary
// length: nothing is read past the reply (each gets an exact-size copy) or
// written past its output, and decoded values stay in their ranges.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

#include "drivers/canfd/canfd_replies.h"
#include "drivers/common/command_exchange.h"
#include "drivers/recorder/recorder_replies.h"
#include "drivers/usbcan/usbcan2_replies.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceLibraryLog();
    return 0;
}

namespace {

void classic(const uint8_t* r, int n, unsigned sent) {
    namespace c = ycan::usbcan2;
    (void)c::versionWord(r, n);
    (void)c::channelCount(r, n);
    // Fields exactly as large as the record's, on the heap: an overrun shows.
    for (size_t fieldSize : {size_t{20}, size_t{40}}) {
        std::vector<char> field(fieldSize, 'x');
        c::boardText(r, n, field.data(), field.size());
    }
    uint8_t a = 0, b = 0, d = 0;
    (void)c::relayStatus(r, n, &a, &b);
    (void)c::baudParams(r, n, &a, &b);
    (void)c::channelState(r, n, &a, &b, &d);
    FUZZ_CHECK(c::acceptedFrames(r, n, sent) <= sent);
}

void canfd(const uint8_t* r, int n) {
    uint16_t word = 0;
    uint8_t count = 0;
    unsigned status = 0;
    FUZZ_CHECK(ycan::canfd::versionWord(r, n, &word) == (n >= 6));
    FUZZ_CHECK(ycan::canfd::channelCount(r, n, &count) == (n >= 5));
    FUZZ_CHECK(ycan::canfd::channelStatus(r, n, &status) == (n >= 11));
}

void recorder(const uint8_t* r, int n) {
    namespace rec = ycan::recorder;
    uint16_t value = 0;
    uint8_t count = 0;
    FUZZ_CHECK(rec::boardValue(r, n, &value) == (n >= 6));
    FUZZ_CHECK(rec::channelCount(r, n, &count) == (n >= 5));
    _YCAN_FLITER_INFO info{};
    (void)rec::filterInfo(r, n, &info);
    _YCAN_FLITER_CONFIG entry{};
    (void)rec::filterEntry(r, n, &entry);
    _YCAN_RECORD_CONFIG config{};
    if (rec::recordSettings(r, n, &config)) {
        FUZZ_CHECK(n >= 28);
        FUZZ_CHECK(config.RecordFlag <= 1 && config.OptionA <= 1 && config.OptionB <= 1);
        FUZZ_CHECK(config.TailFlag0 <= 1 && config.TailFlag1 <= 1);
    }
}

void common(std::vector<uint8_t>& reply) {
    const int n = static_cast<int>(reply.size());
    // The caller's buffer of a direct transfer holds 62 bytes.
    std::vector<uint8_t> data(ycan::DirectRequest::kMaxData);
    const int copied = ycan::copyDirectReply(data.data(), reply.data(), n);
    FUZZ_CHECK(copied >= 0 && copied <= static_cast<int>(ycan::DirectRequest::kMaxData));
    FUZZ_CHECK(copied == 0 || memcmp(data.data(), reply.data() + 2, static_cast<size_t>(copied)) == 0);
    // Deciphers in place: last, on the reply itself.
    const ycan::FunctionSetResult r = ycan::openFunctionSetReply(reply.data(), n);
    FUZZ_CHECK(r == ycan::FunctionSetResult::Accepted || r == ycan::FunctionSetResult::Declined ||
               r == ycan::FunctionSetResult::BadReply);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const unsigned sent = in.ConsumeIntegralInRange<unsigned>(1, 3);
    std::vector<uint8_t> reply = in.ConsumeRemainingBytes<uint8_t>();
    const int n = static_cast<int>(reply.size());
    // An empty vector may have no storage at all: decoders must not touch it.
    const uint8_t* r = reply.empty() ? nullptr : reply.data();
    classic(r, n, sent);
    canfd(r, n);
    recorder(r, n);
    common(reply);
    return 0;
}
