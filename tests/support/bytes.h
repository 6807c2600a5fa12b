// Building the bytes of hand-made fixtures.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <string_view>

#include "foundation/file_io.h"

// A namespace of their own, so that a suite takes them all with one using-directive.
namespace tunbrix::test::bytes {

// The bytes of a text, embedded zeros included when it is a std::string.
inline Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }
inline std::string S(const Bytes &b) { return std::string(b.begin(), b.end()); }

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto &p : parts)
    out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes operator+(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Bytes Le16(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8)}; }
inline Bytes Le32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

// The lowest `bytes` bytes of v, most significant first.
inline Bytes BigEndian(uint32_t v, int bytes = 4) {
  Bytes out;
  for (int i = bytes - 1; i >= 0; --i)
    out.push_back(uint8_t(v >> (8 * i)));
  return out;
}

// A 32-bit little-endian length, then the text.
inline Bytes LengthPrefixed(std::string_view s) { return Cat({Le32(uint32_t(s.size())), B(s)}); }

// Stand-in audio, the same for the same n: no byte is 0xFF, so nothing in it
// looks like a sync word or a tag size.
inline Bytes NoSyncAudio(size_t n) {
  std::mt19937 random{unsigned(n)};
  Bytes out(n);
  for (auto &b : out)
    b = uint8_t(random() % 200);
  return out;
}

} // namespace tunbrix::test::bytes
