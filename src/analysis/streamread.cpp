#include "analysis/streamread.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "foundation/text_types.h"

namespace tunbrix::streamread {

double RoundEven(double value) {
  // The default floating-point environment rounds to nearest, ties to even.
  return std::nearbyint(value);
}

bool ToU32(double value, uint32_t &out) {
  if (!(value >= 0) || value > double(std::numeric_limits<uint32_t>::max())) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

bool ToU32(uint64_t value, uint32_t &out) {
  if (value > std::numeric_limits<uint32_t>::max()) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

std::unique_ptr<IFile> OpenStream(IFileSystem &fs, const WideString &path,
                                  TAudioFmtResult &result) {
  auto file = fs.Open(path, FileMode::Read);
  if (!file) return nullptr;
  const int64_t size = file->Size();
  if (size < 0) return nullptr;
  result.FileSize = size;
  return file;
}

int64_t AudioBytes(const TAudioFmtResult &result, const TTagFacts &tags) {
  const int64_t bytes = result.FileSize - tags.totalTagSize;
  return bytes > 0 ? bytes : 0;
}

bool HasExtension(const WideString &path, const std::u16string &extension) {
  return LowerCaseW(ExtractFileExtW(path)) == extension;
}

std::string GainText(double decibels) {
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, decibels, std::chars_format::fixed, 2);
  if (end.ec != std::errc()) return {};
  return std::string(text, end.ptr) + " dB";
}

bool SetLengthFromSamples(uint64_t samples, uint32_t sampleRate, TAudioFmtResult &result) {
  result.LengthMs = result.LengthSec = 0;
  if (sampleRate == 0) return true;
  uint64_t scaled = 0;
  if (__builtin_mul_overflow(samples, uint64_t(1000), &scaled)) return false;
  return ToU32(scaled / sampleRate, result.LengthMs) &&
         ToU32(samples / sampleRate, result.LengthSec);
}

bool SetBitrateFromLength(int64_t bytes, TAudioFmtResult &result) {
  result.BitrateExact = 0;
  result.BitrateKbps = 0;
  if (result.LengthMs == 0 || bytes <= 0) return true;
  result.BitrateExact = double(bytes) * 8 / result.LengthMs;
  return RoundToU32(result.BitrateExact, result.BitrateKbps);
}

} // namespace tunbrix::streamread
