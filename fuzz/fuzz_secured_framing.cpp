// Secured framing: unpacking arbitrary bytes never reads or writes outside
// the buffers it is given, and what pack makes, unpack gives back.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "support/yorvProcotol.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceLibraryLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool roundTrip = in.ConsumeBool();
    const int outSize = in.ConsumeIntegralInRange<int>(0, 128);
    std::vector<uint8_t> out(static_cast<size_t>(outSize));

    if (!roundTrip) {
        std::vector<uint8_t> packet = in.ConsumeRemainingBytes<uint8_t>();
        const int n = yorvProcotolUnPack(packet.data(), static_cast<int>(packet.size()), out.data(), outSize);
        FUZZ_CHECK(n >= 0 && n <= outSize);
        return 0;
    }

    const int cmd = in.ConsumeIntegral<uint8_t>();
    const bool encrypt = in.ConsumeBool();
    std::vector<uint8_t> payload = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 300));
    const int len = yorvProcotolPacketLen(static_cast<int>(payload.size()));
    std::vector<uint8_t> packet(static_cast<size_t>(len));
    FUZZ_CHECK(yorvProcotolPack(packet.data(), len, cmd, encrypt, payload.data(),
                                static_cast<int>(payload.size())) == len);
    std::vector<uint8_t> opened(static_cast<size_t>(len));
    const int n = yorvProcotolUnPack(packet.data(), len, opened.data(), len);
    // Command code, payload, zero padding.
    FUZZ_CHECK(n == len - 8);
    FUZZ_CHECK(opened[0] == cmd);
    FUZZ_CHECK(payload.empty() || memcmp(opened.data() + 1, payload.data(), payload.size()) == 0);
    for (int i = 1 + static_cast<int>(payload.size()); i < n; ++i)
        FUZZ_CHECK(opened[static_cast<size_t>(i)] == 0);
    return 0;
}
