// The LAME extension behind the Xing or Info header of an MP3 file's first
// frame: encoder version, VBR method, preset, filter and stereo settings,
// delay and padding, music length and MP3 gain. Decodes bytes handed to it;
// never reads a file.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tunbrix {

class CLameTag {
public:
  // Bytes Decode needs from its starting byte on.
  static constexpr size_t kDecodedBytes = 33;

  bool Valid = false;
  uint8_t VbrQuality = 0;
  std::string VersionString; // 9 characters as stored, e.g. "LAME3.100"
  uint8_t TagRevision = 0;
  uint8_t VbrMethod = 0;
  std::string VbrMethodName;
  bool IsCBR = false;
  uint32_t Lowpass = 0; // Hz
  uint8_t AthType = 0;
  bool NsPsyTune = false;
  bool NsSafeJoint = false;
  bool NoGapContinued = false;
  bool NoGapContinuation = false;
  uint8_t MinimumBitrate = 0; // kbit/s: the ABR bitrate or the minimal one
  uint16_t EncoderDelay = 0;
  uint16_t PaddedSamples = 0;
  uint8_t NoiseShaping = 0;
  uint8_t StereoMode = 0;
  std::string StereoModeName;
  bool UnwiseSettings = false;
  uint8_t SourceFrequency = 0;
  std::string SourceFrequencyName;
  float Mp3Gain = 0; // dB
  uint8_t Surround = 0;
  std::string SurroundName;
  uint16_t Preset = 0;
  std::string PresetName;
  uint32_t MusicLength = 0; // bytes

  void Clear();
  // bytes starts at the last byte of the Xing quality indicator, the one
  // before "LAME". False, with the fields cleared, when fewer than
  // kDecodedBytes are given.
  bool Decode(std::span<const uint8_t> bytes);
};

std::string LameVbrMethodName(unsigned method);
std::string LameStereoModeName(unsigned mode);
std::string LameSurroundName(unsigned surround);
std::string LameSourceFrequencyName(unsigned frequency);
std::string LamePresetName(unsigned preset);

// A LAME version as numbers: "3.100" is 3.100, later than "3.99r".
struct TLameVersion {
  unsigned Major = 0;
  unsigned Minor = 0;
  auto operator<=>(const TLameVersion &) const = default;
};

// The version at the start of text ("3.90", "3.100", "3.99r"): digits, ".",
// digits; nullopt when text does not begin so.
std::optional<TLameVersion> ParseLameVersion(std::string_view text);

} // namespace tunbrix
