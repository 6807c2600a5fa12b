#include "support/tones.h"

#include <cmath>
#include <cstdint>

namespace tunbrix::test {

std::filesystem::path WriteStereoTone(const TempDir &dir) {
  std::string pcm;
  for (int i = 0; i < 22050; ++i)
    for (double rate : {0.06, 0.05}) {
      const auto sample = static_cast<int16_t>(8000 * std::sin(i * rate));
      pcm += char(sample & 0xFF);
      pcm += char((sample >> 8) & 0xFF);
    }
  const auto raw = dir.Path() / "tone.raw";
  WriteFileBytes(raw, pcm);
  return raw;
}

std::string MonoToneMp3(const TempDir &dir) {
  std::string pcm;
  for (int i = 0; i < 22050; ++i) {
    const auto v = static_cast<int16_t>(8000 * std::sin(i * 0.06));
    pcm += static_cast<char>(v & 0xff);
    pcm += static_cast<char>((v >> 8) & 0xff);
  }
  WriteFileBytes(dir.Path() / "in.raw", pcm);
  const auto mp3 = (dir.Path() / "a.mp3").string();
  const auto r = RunCommand({"lame", "--quiet", "-r", "-s", "44.1", "-m", "m", "--bitwidth", "16",
                             (dir.Path() / "in.raw").string(), mp3});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return ReadFileBytes(mp3);
}

} // namespace tunbrix::test
