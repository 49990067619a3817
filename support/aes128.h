// AES-128 block cipher (FIPS-197), used in electronic code book mode by the
// secured command framing. The key schedule is process-wide: AES_Init fills
// it once at library load, afterwards it is only read, so AES_Encrypt and
// AES_Decrypt may run on several threads at once.
#pragma once

#include <cstdint>

// Expands a 16-byte key into the process-wide key schedule.
void AES_Init(const uint8_t* key);
// Encipher / decipher count bytes in place, 16-byte block by block. count
// must be a multiple of 16; a trailing partial block is left untouched.
void AES_Encrypt(uint8_t* data, uint32_t count);
void AES_Decrypt(uint8_t* data, uint32_t count);
