#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstring>
#include <thread>
#include <vector>

#include "support/aes128.h"
#include "support/yorvProcotol.h"
#include "test_support.h"

using Bytes = std::vector<uint8_t>;

namespace {

Bytes hex(const char* text) {
    Bytes out;
    int high = -1;
    for (const char* p = text; *p != '\0'; ++p) {
        if (!isxdigit(static_cast<unsigned char>(*p))) continue;
        int nibble = std::stoi(std::string(1, *p), nullptr, 16);
        if (high < 0) {
            high = nibble;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + nibble));
            high = -1;
        }
    }
    return out;
}

// Packs until the next pack will carry sequence number 0.
void advanceSequenceToZero() {
    uint8_t scratch[64];
    while (ycan::procotolNextSequence() != 0) yorvProcotolPack(scratch, 0, 0, false, nullptr, 0);
}

class Aes : public ::testing::Test {
protected:
    // Tests here change the process-wide key schedule; put the library's back.
    void TearDown() override { AES_Init(au8AES_Cipher); }
};

}  // namespace

TEST_F(Aes, Fips197AppendixC1) {
    Bytes key = hex("000102030405060708090a0b0c0d0e0f");
    Bytes block = hex("00112233445566778899aabbccddeeff");
    AES_Init(key.data());
    AES_Encrypt(block.data(), 16);
    EXPECT_EQ(block, hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
    AES_Decrypt(block.data(), 16);
    EXPECT_EQ(block, hex("00112233445566778899aabbccddeeff"));
}

TEST_F(Aes, BlocksAreEncipheredIndependently) {
    Bytes key = hex("000102030405060708090a0b0c0d0e0f");
    AES_Init(key.data());
    Bytes data = hex("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
    AES_Encrypt(data.data(), 32);
    Bytes once = hex("69c4e0d86a7b0430d8cdb78070b4c55a");
    EXPECT_TRUE(std::equal(once.begin(), once.end(), data.begin()));
    EXPECT_TRUE(std::equal(once.begin(), once.end(), data.begin() + 16));
}

TEST(Framing, FunctionSetPacketMatchesTheAdaptersKey) {
    // The library's key schedule is prepared at load; nothing here sets it.
    advanceSequenceToZero();
    uint8_t payload[2] = {0, 0};
    uint8_t packet[64];
    ASSERT_EQ(yorvProcotolPack(packet, sizeof packet, 7, true, payload, 2), 20);
    // Plain: FE EF 14 10 | 00 01 01 07 00 .. 00 1D, the body enciphered with
    // "YCAN-FD-KEY-2026" (reference cipher text computed outside this code).
    EXPECT_EQ(Bytes(packet, packet + 20), hex("feef1410"
                                              "5f0887124ccd53a81a80f50eb130d026"));
    // Past L the buffer is cleared.
    for (int i = 20; i < 64; ++i) EXPECT_EQ(packet[i], 0) << i;
}

TEST(Framing, ChecksumCoversHeaderAndIsXoredWithCommand) {
    uint8_t payload[2] = {0, 0};
    uint8_t packet[64];
    ASSERT_EQ(yorvProcotolPack(packet, sizeof packet, 7, true, payload, 2), 20);
    AES_Decrypt(packet + 4, 16);
    uint8_t s = packet[4];
    EXPECT_EQ(Bytes(packet, packet + 8), (Bytes{0xFE, 0xEF, 0x14, 0x10, s, 1, 1, 7}));
    for (int i = 8; i < 19; ++i) EXPECT_EQ(packet[i], 0);
    EXPECT_EQ(packet[19], static_cast<uint8_t>(((0x1A + s) & 0xFF) ^ 0x07));
}

TEST(Framing, PacketLengthIsWholeBlocksPlusHeader) {
    uint8_t payload[kProcotolMaxPayload + 1] = {};
    static uint8_t packet[4200];
    for (auto [n, len] :
         {std::pair{0, 20}, {11, 20}, {12, 36}, {27, 36}, {28, 52}, {kProcotolMaxPayload, 4084}}) {
        EXPECT_EQ(yorvProcotolPack(packet, sizeof packet, 1, false, payload, n), len) << n;
        EXPECT_EQ(packet[2] | ((packet[3] & 0x0F) << 8), len) << n;
        EXPECT_EQ(packet[3] & 0x10, 0) << n;
    }
    // One more byte would overflow the 12-bit length field.
    EXPECT_EQ(yorvProcotolPack(packet, sizeof packet, 1, false, payload, kProcotolMaxPayload + 1), 0);
    EXPECT_EQ(yorvProcotolPack(packet, sizeof packet, 1, false, payload, -1), 0);
    EXPECT_EQ(yorvProcotolPack(packet, sizeof packet, 1, false, nullptr, 4), 0);
}

TEST(Framing, TooSmallBufferFailsWithWarning) {
    uint8_t payload[12] = {};
    uint8_t packet[64];
    memset(packet, 0xAA, sizeof packet);
    ycantest::StreamCapture out(1);
    EXPECT_EQ(yorvProcotolPack(packet, 35, 7, true, payload, 12), 0);
    std::string text = out.text();
    EXPECT_NE(text.find("[ERROR] WARNING:yorvProcotolPack Fail, Buffer Not Enough..<35,36>"),
              std::string::npos)
        << text;
    EXPECT_EQ(packet[0], 0xAA);  // nothing written
}

TEST(Framing, PlainRoundTripReturnsCommandPayloadAndPadding) {
    uint8_t payload[5] = {1, 2, 3, 4, 5};
    uint8_t packet[64];
    int len = yorvProcotolPack(packet, sizeof packet, 0x1A5, false, payload, 5);
    ASSERT_EQ(len, 20);
    EXPECT_EQ(packet[7], 0xA5);  // low 8 bits of the command
    EXPECT_EQ(Bytes(packet + 8, packet + 13), Bytes(payload, payload + 5));
    uint8_t out[64];
    ASSERT_EQ(yorvProcotolUnPack(packet, len, out, sizeof out), 12);
    EXPECT_EQ(Bytes(out, out + 12), (Bytes{0xA5, 1, 2, 3, 4, 5, 0, 0, 0, 0, 0, 0}));
}

TEST(Framing, EncipheredRoundTripAcrossSeveralBlocks) {
    uint8_t payload[40];
    for (int i = 0; i < 40; ++i) payload[i] = static_cast<uint8_t>(i * 7 + 1);
    uint8_t packet[64];
    int len = yorvProcotolPack(packet, sizeof packet, 7, true, payload, 40);
    ASSERT_EQ(len, 52);
    EXPECT_EQ(packet[3] & 0x10, 0x10);
    EXPECT_NE(Bytes(packet + 8, packet + 48), Bytes(payload, payload + 40));
    uint8_t out[64];
    ASSERT_EQ(yorvProcotolUnPack(packet, len, out, sizeof out), 44);
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(Bytes(out + 1, out + 41), Bytes(payload, payload + 40));
}

TEST(Framing, UnpackIgnoresTrailingBytesAndCutsToOutputSize) {
    uint8_t payload[3] = {9, 8, 7};
    uint8_t packet[64];
    int len = yorvProcotolPack(packet, sizeof packet, 7, true, payload, 3);
    ASSERT_EQ(len, 20);
    memset(packet + len, 0x5A, sizeof packet - len);
    uint8_t out[3];
    EXPECT_EQ(yorvProcotolUnPack(packet, sizeof packet, out, sizeof out), 3);
    EXPECT_EQ(Bytes(out, out + 3), (Bytes{7, 9, 8}));
}

struct Corruption {
    const char* name;
    int offset;       // byte to change, -1 for none
    int inLen;        // received length, 0 for the packet length
    int lengthField;  // replacement length field, -1 to keep
    bool encrypt;
    const char* message;
};

class FramingRejects : public ::testing::TestWithParam<Corruption> {};

TEST_P(FramingRejects, WithTheMatchingMessage) {
    const Corruption& c = GetParam();
    uint8_t payload[2] = {0x11, 0x22};
    uint8_t packet[64];
    int len = yorvProcotolPack(packet, sizeof packet, 7, c.encrypt, payload, 2);
    ASSERT_EQ(len, 20);
    if (c.offset >= 0) packet[c.offset] ^= 0x01;
    if (c.lengthField >= 0) {
        packet[2] = static_cast<uint8_t>(c.lengthField);
        packet[3] = static_cast<uint8_t>((packet[3] & 0xF0) | ((c.lengthField >> 8) & 0x0F));
    }
    uint8_t out[64];
    memset(out, 0xCC, sizeof out);
    ycantest::StreamCapture capture(1);
    EXPECT_EQ(yorvProcotolUnPack(packet, c.inLen ? c.inLen : len, out, sizeof out), 0);
    std::string text = capture.text();
    EXPECT_NE(text.find(std::string("[ERROR] ") + c.message), std::string::npos) << text;
    EXPECT_EQ(out[0], 0xCC);
}

INSTANTIATE_TEST_SUITE_P(
    Framing, FramingRejects,
    ::testing::Values(Corruption{"PayloadByte", 9, 0, -1, false, "错误:协议报文CRC错误...<"},
                      Corruption{"PaddingByte", 15, 0, -1, false, "错误:协议报文CRC错误...<"},
                      Corruption{"EncipheredBody", 12, 0, -1, true, "错误:协议报文CRC错误...<"},
                      Corruption{"MagicLow", 0, 0, -1, false, "错误:协议报文帧头错误..."},
                      Corruption{"MagicHigh", 1, 0, -1, true, "错误:协议报文帧头错误..."},
                      Corruption{"Truncated", -1, 19, -1, false, "错误:协议报文长度不足...<19,20>"},
                      Corruption{"TooShortToRead", -1, 3, -1, false, "错误:协议报文长度不足...<3 byte>"},
                      Corruption{"LengthBelowMinimum", -1, 0, 8, false, "错误:协议报文长度不足...<20,8>"},
                      Corruption{"PartialCipherBlock", -1, 0, 19, true, "错误:协议报文长度不足...<20,19>"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Framing, ChecksumMessageNamesReceivedThenComputed) {
    uint8_t payload[2] = {0, 0};
    uint8_t packet[64];
    ASSERT_EQ(yorvProcotolPack(packet, sizeof packet, 7, false, payload, 2), 20);
    uint8_t good = packet[19];
    packet[19] = static_cast<uint8_t>(good + 1);
    uint8_t out[64];
    ycantest::StreamCapture capture(1);
    EXPECT_EQ(yorvProcotolUnPack(packet, 20, out, sizeof out), 0);
    char expected[64];
    snprintf(expected, sizeof expected, "<%x,%x>", static_cast<uint8_t>(good + 1), good);
    EXPECT_NE(capture.text().find(expected), std::string::npos);
}

TEST(Framing, SequenceNumberWrapsAndFailedPacksUseOneUp) {
    uint8_t packet[64];
    uint8_t payload[1] = {0};
    int expected = -1;
    for (int i = 0; i < 600; ++i) {
        if (i % 3 == 2) {
            // A failed pack still takes its number.
            EXPECT_EQ(yorvProcotolPack(packet, 10, 1, false, payload, 1), 0);
            expected = (expected + 1) & 0xFF;
            continue;
        }
        ASSERT_EQ(yorvProcotolPack(packet, sizeof packet, 1, false, payload, 1), 20);
        if (expected >= 0) {
            expected = (expected + 1) & 0xFF;
            ASSERT_EQ(packet[4], expected) << "pack " << i;
        } else {
            expected = packet[4];
        }
    }
}

TEST(Framing, FirstPackAfterWrapCarriesZero) {
    advanceSequenceToZero();
    uint8_t packet[64];
    ASSERT_EQ(yorvProcotolPack(packet, sizeof packet, 1, false, nullptr, 0), 20);
    EXPECT_EQ(packet[4], 0);
    for (int i = 1; i < 256; ++i) yorvProcotolPack(packet, sizeof packet, 1, false, nullptr, 0);
    EXPECT_EQ(packet[4], 255);
    yorvProcotolPack(packet, sizeof packet, 1, false, nullptr, 0);
    EXPECT_EQ(packet[4], 0);
}

TEST(Framing, ConcurrentPacksTakeDistinctNumbers) {
    constexpr int kThreads = 4;
    std::vector<std::array<int, 256>> counts(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            counts[t].fill(0);
            uint8_t packet[64];
            uint8_t payload[2] = {0, 0};
            for (int i = 0; i < 256; ++i) {
                yorvProcotolPack(packet, sizeof packet, 7, true, payload, 2);
                AES_Decrypt(packet + 4, 16);
                counts[t][packet[4]]++;
            }
        });
    for (auto& th : threads) th.join();
    // 1024 packs over 256 numbers: each number exactly four times.
    for (int s = 0; s < 256; ++s) {
        int total = 0;
        for (auto& c : counts) total += c[s];
        EXPECT_EQ(total, kThreads) << "sequence " << s;
    }
}
