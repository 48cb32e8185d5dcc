// The traditional PKWARE encryption of the application note (decryption only). Its key update
// runs on the CRC-32 table that zlib's crc32 uses.
#pragma once

#include <cstdint>

struct CipherKeys {
  std::uint32_t key0 = 0x12345678;
  std::uint32_t key1 = 0x23456789;
  std::uint32_t key2 = 0x34567890;
};

void UpdateKeys(CipherKeys* keys, unsigned char plain);
// Keys after feeding every byte of a zero-terminated password; null counts as empty.
CipherKeys KeysForPassword(const char* password);
void DecryptInPlace(CipherKeys* keys, unsigned char* bytes, std::uint32_t count);
