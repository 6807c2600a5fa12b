// Small pieces shared by the stream readers: little-endian fields, the
// rounding of results, conversions into the 32-bit result fields that refuse
// to overflow, and the opening of a file that records its size.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "analysis/audioresult.h"
#include "foundation/file_io.h"

namespace tunbrix::streamread {

inline uint16_t Le16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t Le32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline bool SameBytes(const uint8_t *p, const char *text, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (p[i] != static_cast<uint8_t>(text[i])) return false;
  return true;
}

// Nearest integer, halves to the even one.
double RoundEven(double value);

// A value for a 32-bit result field; false (an arithmetic error that ends the
// analysis) when it is negative, not a number or too large.
bool ToU32(double value, uint32_t &out);
bool ToU32(uint64_t value, uint32_t &out);
inline bool RoundToU32(double value, uint32_t &out) { return ToU32(RoundEven(value), out); }

// Opens the file for reading and sets result.FileSize; nullptr when it cannot
// be opened or its size is unknown.
std::unique_ptr<IFile> OpenStream(IFileSystem &fs, const WideString &path, TAudioFmtResult &result);

// The stream's bytes: the file without its tags, never below 0.
int64_t AudioBytes(const TAudioFmtResult &result, const TTagFacts &tags);

// True when the file name ends in this extension (lower-case, with its dot),
// whatever its case.
bool HasExtension(const WideString &path, const std::u16string &extension);

// "%.2f dB", always with "." whatever the locale.
std::string GainText(double decibels);

// LengthMs and LengthSec from a sample count by integer division (both 0
// without a sample rate); false on overflow.
bool SetLengthFromSamples(uint64_t samples, uint32_t sampleRate, TAudioFmtResult &result);

// BitrateExact = bytes × 8 ÷ LengthMs (kbit/s) and BitrateKbps its rounding,
// when LengthMs is not 0 (else both 0); false on overflow.
bool SetBitrateFromLength(int64_t bytes, TAudioFmtResult &result);

} // namespace tunbrix::streamread
