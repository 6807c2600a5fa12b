// Times the INI store on a large file: 10,000 sections of 10 keys each.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>

#include "foundation/fastini.h"
#include "foundation/file_io.h"

using namespace tunbrix;

namespace {

constexpr int kSections = 10000;
constexpr int kKeys = 10;
constexpr int kLookups = 100000;

std::string SectionName(int i) { return "Section" + std::to_string(i * 7919 % kSections); }
std::string KeyName(int k) { return "Key" + std::to_string(k) + "Name"; }

std::string BuildText() {
  std::string text;
  for (int s = 0; s < kSections; ++s) {
    text += "[" + SectionName(s) + "]\r\n";
    for (int k = 0; k < kKeys; ++k)
      text += KeyName(k) + " = value " + std::to_string(s) + "/" + std::to_string(k) + "\r\n";
    text += "\r\n";
  }
  return text;
}

template <typename F> double Millis(F &&f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

} // namespace

int main() {
  const std::string text = BuildText();
  std::printf("INI text: %d sections x %d keys, %zu bytes\n", kSections, kKeys, text.size());

  TFastini ini;
  bool ok = true;
  std::printf("LoadFromBuffer:       %8.1f ms\n", Millis([&] { ok &= ini.LoadFromBuffer(text); }));

  std::mt19937 random(1);
  size_t found = 0;
  const double lookups = Millis([&] {
    for (int i = 0; i < kLookups; ++i) {
      if (!ini.FindSection(SectionName(static_cast<int>(random() % kSections)))) continue;
      found += !ini.ReadString(KeyName(static_cast<int>(random() % kKeys)), "").empty();
    }
  });
  std::printf("%d lookups:       %8.1f ms (%zu found)\n", kLookups, lookups, found);

  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("fastini_bench." + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const WideString path = FromNativePath((dir / "big.ini").string());
  std::printf("SaveToFile:           %8.1f ms\n", Millis([&] { ok &= ini.SaveToFile(path); }));

  TFastini loaded;
  std::printf("LoadFromFile:         %8.1f ms\n", Millis([&] { ok &= loaded.LoadFromFile(path); }));
  ok &= loaded.SectionCount() == kSections;
  std::filesystem::remove_all(dir);

  if (!ok || found != static_cast<size_t>(kLookups)) {
    std::printf("FAILED\n");
    return 1;
  }
  return 0;
}
