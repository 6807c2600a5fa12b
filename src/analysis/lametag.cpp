#include "analysis/lametag.h"

#include <array>

namespace tunbrix {

namespace {

constexpr std::array<const char *, 10> kVbrMethodNames = {"0",
                                                          "Constant Bitrate",
                                                          "ABR",
                                                          "vbr-old / vbr-rh",
                                                          "vbr-mtrh",
                                                          "vbr-new / vbr-mt",
                                                          "full VBR method 4",
                                                          "7",
                                                          "constant bitrate 2 pass",
                                                          "abr 2 pass"};
constexpr std::array<const char *, 8> kStereoModeNames = {
    "Mono", "Stereo", "Dual", "Joint", "Force", "Auto", "Intensity", "Undefined"};
constexpr std::array<const char *, 4> kSurroundNames = {"no surround info", "DPL encoding",
                                                        "DPL2 encoding", "Ambisonic encoding"};
constexpr std::array<const char *, 4> kSourceFrequencyNames = {"32kHz or smaller", "44.1kHz",
                                                               "48kHz", "higher than 48kHz"};

// Enough digits for any version LAME writes, few enough never to overflow.
constexpr size_t kMaxVersionDigits = 6;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads the digits at text[pos...]; nullopt when there are none.
std::optional<unsigned> ReadNumber(std::string_view text, size_t &pos) {
  const size_t start = pos;
  unsigned value = 0;
  while (pos < text.size() && IsDigit(text[pos]) && pos - start < kMaxVersionDigits)
    value = value * 10 + unsigned(text[pos++] - '0');
  if (pos == start) return std::nullopt;
  return value;
}

uint32_t BigEndian32(const uint8_t *b) {
  return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

} // namespace

std::string LameVbrMethodName(unsigned method) {
  return method < kVbrMethodNames.size() ? kVbrMethodNames[method] : std::to_string(method);
}

std::string LameStereoModeName(unsigned mode) {
  return mode < kStereoModeNames.size() ? kStereoModeNames[mode] : std::string();
}

std::string LameSurroundName(unsigned surround) {
  return surround < kSurroundNames.size() ? kSurroundNames[surround] : std::to_string(surround);
}

std::string LameSourceFrequencyName(unsigned frequency) {
  return frequency < kSourceFrequencyNames.size() ? kSourceFrequencyNames[frequency]
                                                  : std::string();
}

std::string LamePresetName(unsigned preset) {
  if (preset >= 8 && preset <= 320) return "ABR " + std::to_string(preset) + " kbit/s";
  switch (preset) {
  case 1000: return "R3mix";
  case 1001: return "Standard";
  case 1002: return "Extreme";
  case 1003: return "Insane";
  case 1004: return "Fast Standard";
  case 1005: return "Fast Extreme";
  case 1006: return "Medium";
  case 1007: return "Fast Medium";
  default: return "Unknown (" + std::to_string(preset) + ")";
  }
}

std::optional<TLameVersion> ParseLameVersion(std::string_view text) {
  size_t pos = 0;
  const auto major = ReadNumber(text, pos);
  if (!major || pos >= text.size() || text[pos] != '.') return std::nullopt;
  ++pos;
  const auto minor = ReadNumber(text, pos);
  if (!minor) return std::nullopt;
  return TLameVersion{*major, *minor};
}

void CLameTag::Clear() { *this = CLameTag(); }

bool CLameTag::Decode(std::span<const uint8_t> bytes) {
  Clear();
  if (bytes.size() < kDecodedBytes) return false;
  const uint8_t *q = bytes.data();
  VbrQuality = q[0];
  VersionString.assign(reinterpret_cast<const char *>(q + 1), 9);
  TagRevision = q[10] >> 4;
  VbrMethod = q[10] & 0x0F;
  VbrMethodName = LameVbrMethodName(VbrMethod);
  IsCBR = VbrMethod == 1;
  Lowpass = uint32_t(q[11]) * 100;
  AthType = q[20] & 0x0F;
  NsPsyTune = q[20] & 0x10;
  NsSafeJoint = q[20] & 0x20;
  NoGapContinued = q[20] & 0x40;
  NoGapContinuation = q[20] & 0x80;
  MinimumBitrate = q[21];
  EncoderDelay = uint16_t(q[22] << 4 | q[23] >> 4);
  PaddedSamples = uint16_t((q[23] & 0x0F) << 8 | q[24]);
  NoiseShaping = q[25] & 0x03;
  StereoMode = (q[25] >> 2) & 0x07;
  StereoModeName = LameStereoModeName(StereoMode);
  UnwiseSettings = q[25] & 0x20;
  SourceFrequency = q[25] >> 6;
  SourceFrequencyName = LameSourceFrequencyName(SourceFrequency);
  Mp3Gain = float(q[26] & 0x7F) * 1.5f;
  if (q[26] & 0x80) Mp3Gain = -Mp3Gain;
  Surround = (q[27] >> 3) & 0x07;
  SurroundName = LameSurroundName(Surround);
  Preset = uint16_t((q[27] & 0x07) << 8 | q[28]);
  PresetName = LamePresetName(Preset);
  MusicLength = BigEndian32(q + 29);
  Valid = true;
  return true;
}

} // namespace tunbrix
