#include "sim/bench/secured_packet.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <stdexcept>

namespace ycansim {

const uint8_t kAdapterKey[16] = {'Y', 'C', 'A', 'N', '-', 'F', 'D', '-',
                                 'K', 'E', 'Y', '-', '2', '0', '2', '6'};

namespace {

// AES-128 in ECB mode over whole blocks, in place.
void aesEcb(bool encrypt, uint8_t* data, int len) {
    // The adapters run this on umockdev's worker thread, which may still be
    // ending while the process exits: OpenSSL's own clean-up at exit would
    // then free that thread's state a second time.
    static const bool initialised = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
    (void)initialised;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (ctx == nullptr) throw std::runtime_error("EVP_CIPHER_CTX_new");
    int ok = EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, kAdapterKey, nullptr, encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    std::vector<uint8_t> out(static_cast<size_t>(len) + 16);
    int n = 0;
    int tail = 0;
    ok = ok && EVP_CipherUpdate(ctx, out.data(), &n, data, len) &&
         EVP_CipherFinal_ex(ctx, out.data() + n, &tail);
    EVP_CIPHER_CTX_free(ctx);
    if (!ok || n + tail != len) throw std::runtime_error("AES failed");
    std::copy(out.begin(), out.begin() + len, data);
}

uint8_t checksum(const std::vector<uint8_t>& p, size_t len) {
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < len; ++i) sum += p[i];
    return static_cast<uint8_t>(sum ^ p[7]);
}

}  // namespace

SecuredPacket openSecuredPacket(const std::vector<uint8_t>& bytes) {
    SecuredPacket out;
    if (bytes.size() < 9 || bytes[0] != 0xFE || bytes[1] != 0xEF) return out;
    const unsigned field = bytes[2] | (bytes[3] << 8);
    const size_t len = field & 0x0FFF;
    out.enciphered = (field & 0x1000) != 0;
    if (len < 9 || len > bytes.size()) return out;
    std::vector<uint8_t> plain(bytes.begin(), bytes.begin() + static_cast<long>(len));
    if (out.enciphered) {
        if ((len - 4) % 16 != 0) return out;
        aesEcb(false, plain.data() + 4, static_cast<int>(len - 4));
    }
    if (checksum(plain, len) != plain[len - 1]) return out;
    out.sequence = plain[4];
    out.command = plain[7];
    out.body.assign(plain.begin() + 8, plain.begin() + static_cast<long>(len - 1));
    out.valid = true;
    return out;
}

std::vector<uint8_t> buildSecuredPacket(uint8_t sequence, uint8_t command,
                                        const std::vector<uint8_t>& payload, bool encipher) {
    const size_t blocks = (payload.size() + 5 + 15) / 16;
    const size_t len = 4 + 16 * blocks;
    std::vector<uint8_t> p(len, 0);
    const unsigned field = static_cast<unsigned>(len) | (encipher ? 0x1000u : 0u);
    p[0] = 0xFE;
    p[1] = 0xEF;
    p[2] = static_cast<uint8_t>(field);
    p[3] = static_cast<uint8_t>(field >> 8);
    p[4] = sequence;
    p[5] = 1;
    p[6] = 1;
    p[7] = command;
    std::copy(payload.begin(), payload.end(), p.begin() + 8);
    p[len - 1] = checksum(p, len);
    if (encipher) aesEcb(true, p.data() + 4, static_cast<int>(len - 4));
    return p;
}

FunctionSetAnswer answerFunctionSet(const std::vector<uint8_t>& request, FunctionSetReply mode) {
    FunctionSetAnswer a;
    SecuredPacket opened = openSecuredPacket(request);
    a.valid = opened.valid && opened.enciphered && opened.command == 7;
    if (mode == FunctionSetReply::Silent) return a;
    const bool yes = a.valid && mode != FunctionSetReply::Decline;
    a.accepted = yes && mode == FunctionSetReply::Accept;
    a.answered = true;
    a.packet = buildSecuredPacket(opened.sequence, 7, {static_cast<uint8_t>(yes ? 1 : 0), 0});
    if (mode == FunctionSetReply::Broken) a.packet.back() ^= 0x5A;  // fails the host's checksum
    return a;
}

}  // namespace ycansim
