#pragma once
// The DES block cipher, encryption only: NTLM builds its LM and NT responses by encrypting
// fixed texts with keys cut from the password hashes. In-house for the same reason as MD4.

#include <array>
#include <cstdint>

namespace http {

using TDesBlock = std::array<uint8_t, 8>;

// Encrypts one 8-byte block with an 8-byte key (the low bit of each key byte, the parity
// bit, is ignored as the cipher defines).
TDesBlock DesEncrypt(const uint8_t key[8], const uint8_t block[8]);

// Spreads a 56-bit key given as 7 bytes over 8 bytes, seven key bits in the high bits of
// each byte; the parity bit positions stay 0.
TDesBlock DesKeyFrom56(const uint8_t key7[7]);

}  // namespace http
