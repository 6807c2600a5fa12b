// Hand-built ID3v2 tags for the suites that read and write them.
#pragma once

#include <string>

#include "support/bytes.h"
#include "tags/tagid3v2.h"

namespace tunbrix::test::id3v2 {

using bytes::B;
using bytes::BigEndian;
using bytes::operator+;

inline Bytes Synchsafe(uint32_t v) {
  Bytes out(4);
  EncodeSynchsafe(v, out.data());
  return out;
}

inline Bytes Frame3(const std::string &id, const Bytes &body, uint8_t status = 0,
                    uint8_t format = 0) {
  return B(id) + BigEndian(uint32_t(body.size())) + Bytes{status, format} + body;
}

inline Bytes Frame4(const std::string &id, const Bytes &body, uint8_t status = 0,
                    uint8_t format = 0) {
  return B(id) + Synchsafe(uint32_t(body.size())) + Bytes{status, format} + body;
}

inline Bytes Header(const char *magic, uint8_t version, uint8_t flags, uint32_t size) {
  return B(magic) + Bytes{version, 0, flags} + Synchsafe(size);
}

// A tag at the start: header and body, with a footer when the flag asks.
inline Bytes Tag(uint8_t version, uint8_t flags, const Bytes &body) {
  Bytes tag = Header("ID3", version, flags, uint32_t(body.size())) + body;
  if (flags & 0x10) tag = tag + Header("3DI", version, flags, uint32_t(body.size()));
  return tag;
}

inline Bytes Audio(size_t n) {
  Bytes a(n);
  for (size_t i = 0; i < n; ++i)
    a[i] = uint8_t(0x30 + i % 7); // no "ID3", "3DI" or "TAG" in it
  return a;
}

// The frame identifiers in order, blank-separated.
inline std::string Ids(const CID3v2 &tag) {
  std::string ids;
  for (const auto &f : tag.Frames)
    ids += (ids.empty() ? "" : " ") + f.FrameId;
  return ids;
}

} // namespace tunbrix::test::id3v2
