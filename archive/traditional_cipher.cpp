#include "archive/traditional_cipher.h"

#include <zlib.h>

namespace {

std::uint32_t CrcByteStep(const z_crc_t* table, std::uint32_t value, unsigned char byte) {
  return static_cast<std::uint32_t>(table[(value ^ byte) & 0xFF]) ^ (value >> 8);
}

void UpdateKeysWith(const z_crc_t* table, CipherKeys* keys, unsigned char plain) {
  keys->key0 = CrcByteStep(table, keys->key0, plain);
  keys->key1 = (keys->key1 + (keys->key0 & 0xFF)) * 134775813u + 1;
  keys->key2 = CrcByteStep(table, keys->key2, static_cast<unsigned char>(keys->key1 >> 24));
}

}  // namespace

void UpdateKeys(CipherKeys* keys, unsigned char plain) { UpdateKeysWith(get_crc_table(), keys, plain); }

CipherKeys KeysForPassword(const char* password) {
  CipherKeys keys;
  if (password == nullptr) return keys;
  for (const char* c = password; *c != 0; ++c) UpdateKeys(&keys, static_cast<unsigned char>(*c));
  return keys;
}

void DecryptInPlace(CipherKeys* keys, unsigned char* bytes, std::uint32_t count) {
  const z_crc_t* table = get_crc_table();
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t t = (keys->key2 & 0xFFFF) | 2;
    bytes[i] = static_cast<unsigned char>(bytes[i] ^ (((t * (t ^ 1)) >> 8) & 0xFF));
    UpdateKeysWith(table, keys, bytes[i]);
  }
}
