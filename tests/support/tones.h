// Short tones as raw samples and as MP3 files, made for tests that need real
// audio.
#pragma once

#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace tunbrix::test {

// Half a second of a stereo tone as raw 16-bit little-endian samples at
// 44.1 kHz, written to "tone.raw" in dir; its path.
std::filesystem::path WriteStereoTone(const TempDir &dir);

// The bytes of half a second of a mono tone encoded by lame (which must be
// there), made through "in.raw" and "a.mp3" in dir.
std::string MonoToneMp3(const TempDir &dir);

} // namespace tunbrix::test
