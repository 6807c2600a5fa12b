// Times the stream analysis over a corpus of at least 2,000 short files made
// by the real encoders with different settings, read from the page cache
// (the whole analysis: tags and stream), and mutagen.File over the same files in one Python
// process. One entry of kFormats per stream format: its encodings and its analysis.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "analysis/audiofmtlib.h"
#include "bench_support.h"
#include "foundation/file_io.h"
#include "tags/taglib.h"

using namespace tunbrix;
using tunbrix::bench::Run;
using tunbrix::bench::Seconds;
namespace stdfs = std::filesystem;

namespace {

constexpr int kMinFiles = 2000;
constexpr int kRounds = 3; // the best round counts
constexpr double kTargetRatio = 5;

struct TFormatBench {
  const char *name;
  const char *extension;
  // Encoder command lines; "%in" is the WAV source, "%out" the file made.
  std::vector<std::vector<std::string>> encodings;
  // The tag formats each copy gets its own tag in; 0 where we write none
  // without an external program (Ogg: the sources differ in their comments).
  uint8_t copyTags;
};

// The whole analysis of one file, tags included; true when it was recognised.
bool Analyse(IFileSystem &fs, const WideString &path) { return CAudioFmt(fs, path).Recognised; }

std::vector<TFormatBench> Formats() {
  const std::vector<std::string> lame = {"lame", "--silent"};
  auto withLame = [&](std::vector<std::string> args) {
    args.insert(args.begin(), lame.begin(), lame.end());
    args.push_back("%in");
    args.push_back("%out");
    return args;
  };
  return {
      {"MPEG audio",
       ".mp3",
       {withLame({"-b", "128"}), withLame({"-b", "320"}), withLame({"-V", "0"}),
        withLame({"-V", "5"}), withLame({"--abr", "96"}), withLame({"-t", "-b", "128"}),
        withLame({"-m", "m", "-b", "64"}), withLame({"--resample", "22.05", "-b", "64"}),
        withLame({"--resample", "8", "-b", "8"}),
        withLame({"-b", "192", "--add-id3v2", "--tt", "Title", "--ta", "Artist"})},
       kTagID3v1 | kTagID3v2},
      {"FLAC",
       ".flac",
       {{"flac", "--silent", "-5", "-o", "%out", "%in"},
        {"flac", "--silent", "-8", "-T", "ARTIST=Artist", "-T", "TITLE=Title", "-o", "%out",
         "%in"}},
       kTagVorbis},
      {"Ogg Vorbis",
       ".ogg",
       {{"oggenc", "--quiet", "-q", "3", "-o", "%out", "%in"},
        {"oggenc", "--quiet", "-q", "6", "-c", "ARTIST=Artist", "-o", "%out", "%in"},
        {"oggenc", "--quiet", "-q", "4", "-c", "ARTIST=Artist", "-c", "TITLE=Title", "-c",
         "ALBUM=Album", "-c", "TRACKNUMBER=3", "-o", "%out", "%in"}},
       0},
      {"WavPack",
       ".wv",
       {{"wavpack", "-q", "-y", "%in", "-o", "%out"},
        {"wavpack", "-q", "-y", "-h", "%in", "-o", "%out"}},
       kTagAPE},
      {"Musepack", ".mpc", {{"mpcenc", "--silent", "--overwrite", "%in", "%out"}}, kTagAPE},
      {"RIFF WAVE", ".wav", {{"sox", "%in", "-b", "24", "%out"}, {"sox", "%in", "%out"}}, 0},
  };
}
std::vector<std::string> Expand(std::vector<std::string> argv, const stdfs::path &in,
                                const stdfs::path &out) {
  for (auto &a : argv)
    a = a == "%in" ? in.string() : a == "%out" ? out.string() : a;
  return argv;
}

// A tag of its own for copy number i, of a different size for each.
bool TagCopy(IFileSystem &fs, const WideString &path, uint8_t formats, int i) {
  if (formats == 0) return true;
  CTAG tag;
  tag.SetItem("Title", FromNativePath("Copy " + std::to_string(i)));
  tag.SetItem("Artist", FromNativePath(std::string(size_t(i % 40), 'a') + " Artist"));
  tag.SetItem("Album", FromNativePath("Album " + std::to_string(i / 10)));
  tag.SetItem("Track", FromNativePath(std::to_string(i % 20 + 1)));
  return tag.WriteTags(fs, path, formats) == kTagDone;
}

// The distinct files of one format, then copies of them up to kMinFiles.
std::vector<WideString> MakeCorpus(const TFormatBench &format, const stdfs::path &dir,
                                   const stdfs::path &wav) {
  std::vector<stdfs::path> sources;
  for (const auto &encoding : format.encodings) {
    const auto out = dir / ("src" + std::to_string(sources.size()) + format.extension);
    if (!Run(Expand(encoding, wav, out))) {
      std::fprintf(stderr, "analysis_bench: %s failed\n", encoding.front().c_str());
      return {};
    }
    sources.push_back(out);
  }
  std::vector<WideString> files;
  RealFileSystem fs;
  for (int i = 0; i < kMinFiles; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "f%05d%s", i, format.extension);
    const auto path = dir / name;
    std::error_code ec;
    if (!stdfs::copy_file(sources[size_t(i) % sources.size()], path, ec)) return {};
    files.push_back(FromNativePath(path.string()));
    if (!TagCopy(fs, files.back(), format.copyTags, i)) {
      std::fprintf(stderr, "analysis_bench: could not tag %s\n", path.c_str());
      return {};
    }
  }
  return files;
}

// One Python process opens every listed file with mutagen.File, kRounds
// times, and prints the best round's seconds and how many files it knew.
constexpr const char *kMutagenLoop = R"(
import sys, time, mutagen
paths = open(sys.argv[1], encoding='utf-8').read().splitlines()
best, known = None, 0
for _ in range(int(sys.argv[2])):
    start = time.perf_counter()
    known = sum(1 for p in paths if mutagen.File(p) is not None)
    took = time.perf_counter() - start
    best = took if best is None else min(best, took)
print(best, known)
)";

bool TimeMutagen(const std::vector<WideString> &files, const stdfs::path &dir, double &seconds,
                 long &known) {
  const auto list = dir / "list.txt", result = dir / "mutagen.txt";
  std::string text;
  for (const auto &f : files)
    text += ToNativePath(f) + "\n";
  RealFileSystem fs;
  auto out = fs.Open(FromNativePath(list.string()), FileMode::CreateAlways);
  if (!out || !out->Write(text.data(), text.size())) return false;
  out.reset();
  if (!Run({"/usr/bin/python3", "-c", kMutagenLoop, list.string(), std::to_string(kRounds)},
           result.string()))
    return false;
  FILE *f = std::fopen(result.string().c_str(), "r");
  if (!f) return false;
  const bool ok = std::fscanf(f, "%lf %ld", &seconds, &known) == 2;
  std::fclose(f);
  return ok && seconds > 0;
}

// Returns false when the format's corpus could not be made or analysed.
bool BenchFormat(const TFormatBench &format, const stdfs::path &dir, const stdfs::path &wav) {
  const auto files = MakeCorpus(format, dir, wav);
  if (files.empty()) return false;
  RealFileSystem fs;
  int64_t bytes = 0;
  for (const auto &f : files)
    bytes += int64_t(stdfs::file_size(ToNativePath(f)));

  size_t recognised = 0;
  for (size_t i = 0; i < files.size(); ++i) // warms the page cache
    recognised += Analyse(fs, files[i]);
  double best = 1e30;
  for (int round = 0; round < kRounds; ++round)
    best = std::min(best, Seconds([&] {
                      for (size_t i = 0; i < files.size(); ++i)
                        Analyse(fs, files[i]);
                    }));
  FaultInjector counter;
  FaultInjectingFileSystem counting(fs, counter);
  for (size_t i = 0; i < files.size(); ++i)
    Analyse(counting, files[i]);

  const double ours = double(files.size()) / best;
  std::printf("%s: %zu files, %.0f bytes each on average, %zu recognised\n", format.name,
              files.size(), double(bytes) / double(files.size()), recognised);
  std::printf("  analysis:     %8.1f ms %10.0f files/s, %.0f bytes read per file\n", best * 1000,
              ours, double(counter.stats.bytesRead) / double(files.size()));
  double mutagenSeconds = 0;
  long known = 0;
  if (!TimeMutagen(files, dir, mutagenSeconds, known)) {
    std::printf("  mutagen:      not run (is python3-mutagen installed?)\n");
    return recognised == files.size();
  }
  const double theirs = double(files.size()) / mutagenSeconds;
  std::printf("  mutagen.File: %8.1f ms %10.0f files/s (%ld known)\n", mutagenSeconds * 1000,
              theirs, known);
  std::printf("  ratio:        %.1fx mutagen's files per second (target %.0fx: %s)\n",
              ours / theirs, kTargetRatio, ours / theirs >= kTargetRatio ? "met" : "NOT met");
  return recognised == files.size();
}

} // namespace

// An argument such as ".ogg" limits the run to the formats of those extensions.
int main(int argc, char **argv) {
  const std::vector<std::string> only(argv + 1, argv + argc);
  std::string pattern = (stdfs::temp_directory_path() / "analysis-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return 1;
  const stdfs::path dir = pattern;
  const auto wav = dir / "source.wav";
  int exitCode = 0;
  if (!Run({"sox", "-R", "-n", "-r", "44100", "-c", "2", "-b", "16", wav.string(), "synth", "2",
            "pinknoise", "vol", "0.3"})) {
    std::fprintf(stderr, "analysis_bench: sox could not make the source (is sox installed?)\n");
    exitCode = 1;
  }
  for (const auto &format : Formats()) {
    if (exitCode != 0) break;
    if (!only.empty() && std::find(only.begin(), only.end(), format.extension) == only.end())
      continue;
    const auto formatDir = dir / (format.extension + 1);
    stdfs::create_directory(formatDir);
    if (!BenchFormat(format, formatDir, wav)) {
      std::fprintf(stderr, "analysis_bench: %s: not every file was analysed\n", format.name);
      exitCode = 1;
    }
  }
  std::error_code ec;
  stdfs::remove_all(dir, ec);
  return exitCode;
}
