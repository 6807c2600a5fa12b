// Times the tag readers and the in-place ID3v2 rewrite over 1,000 MP3 files
// that share one short lame-made stream and carry different tags: ID3v2 2.3
// or 2.4 at the start, an ID3v1 tag on every second file and an APE tag on
// every third.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "foundation/file_io.h"
#include "tags/tagape.h"
#include "tags/tagid3.h"
#include "tags/tagid3v2.h"

using namespace tunbrix;
using tunbrix::bench::Run;
using tunbrix::bench::Seconds;

namespace {

constexpr int kFiles = 1000;
// A second of silence, encoded by lame.
bool MakeMp3(const std::filesystem::path &dir, Bytes &mp3) {
  RealFileSystem fs;
  const auto raw = dir / "tone.raw", out = dir / "tone.mp3";
  {
    auto f = fs.Open(FromNativePath(raw.string()), FileMode::CreateAlways);
    const Bytes pcm(44100 * 4, 0);
    if (!f || !f->Write(pcm.data(), pcm.size())) return false;
  }
  if (!Run({"lame", "--silent", "-r", "-s", "44.1", "--bitwidth", "16", "--signed",
            "--little-endian", raw.string(), out.string()}))
    return false;
  auto bytes = ReadWholeFile(fs, FromNativePath(out.string()));
  if (!bytes) return false;
  mp3 = std::move(*bytes);
  return true;
}

WideString Number(int i) { return AsciiToWide(std::to_string(i)); }

bool MakeFile(RealFileSystem &fs, const WideString &path, const Bytes &mp3, int i) {
  auto f = fs.Open(path, FileMode::CreateAlways);
  if (!f || !f->Write(mp3.data(), mp3.size())) return false;
  f.reset();
  if (i % 2 == 0) {
    CID3 v1;
    v1.Title = "Title " + std::to_string(i);
    v1.Artist = "Artist";
    v1.Track = uint8_t(i % 20 + 1);
    if (v1.Write(fs, path) != 0) return false;
  }
  if (i % 3 == 0) {
    CAPETag ape;
    ape.SetItem("Title", u"Title " + Number(i));
    ape.SetItem("Artist", u"Artist");
    ape.SetItem("replaygain_track_gain", u"-3.2 dB");
    if (ape.Write(fs, path, i % 2 == 0) != kTagDone) return false;
  }
  CID3v2 tag;
  tag.Version = i % 2 == 0 ? 3 : 4;
  tag.PaddingUnit = i % 4 == 0 ? 1024 : 0;
  tag.SetItem("Title", u"Title " + Number(i));
  tag.SetItem("Artist", i % 5 == 0 ? u"K\u00FCnstler \u2014 " + Number(i) : u"Artist " + Number(i));
  tag.SetItem("Album", u"Album " + Number(i / 10));
  tag.SetItem("Track", Number(i % 20 + 1) + u"/20");
  tag.SetItem("Year", u"2004");
  tag.SetItem("Comment", u"Comment number " + Number(i));
  return tag.Write(fs, path) == kTagDone;
}

void Report(const char *what, double seconds) {
  std::printf("%-40s %8.1f ms %10.0f files/s\n", what, seconds * 1000, kFiles / seconds);
}

} // namespace

int main() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tags-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return 1;
  const std::filesystem::path dir = pattern;
  int exitCode = 0;
  Bytes mp3;
  RealFileSystem fs;
  std::vector<WideString> files;
  if (!MakeMp3(dir, mp3)) {
    std::fprintf(stderr, "tags_bench: lame could not make the MP3 (is lame installed?)\n");
    exitCode = 1;
  }
  for (int i = 0; exitCode == 0 && i < kFiles; ++i) {
    files.push_back(FromNativePath((dir / ("f" + std::to_string(i) + ".mp3")).string()));
    if (!MakeFile(fs, files.back(), mp3, i)) {
      std::fprintf(stderr, "tags_bench: could not tag %s\n", ToNativePath(files.back()).c_str());
      exitCode = 1;
    }
  }

  if (exitCode == 0) {
    std::printf("%d files of %zu bytes of audio\n", kFiles, mp3.size());
    size_t frames = 0, v1 = 0, ape = 0;
    Report("read ID3v2", Seconds([&] {
             for (const auto &f : files) {
               CID3v2 tag;
               if (tag.Read(fs, f) == 0) frames += tag.FrameCount();
             }
           }));
    Report("read ID3v1", Seconds([&] {
             for (const auto &f : files) {
               CID3 tag;
               v1 += tag.Read(fs, f) == 0;
             }
           }));
    Report("read APE", Seconds([&] {
             for (const auto &f : files) {
               CAPETag tag;
               ape += tag.Read(fs, f) == kTagDone;
             }
           }));
    int rewritten = 0;
    Report("rewrite one ID3v2 item in place", Seconds([&] {
             for (size_t i = 0; i < files.size(); ++i) {
               CID3v2 tag;
               tag.Read(fs, files[i]);
               const int64_t before = tag.TotalSize;
               tag.Version = tag.Version == 4 ? 4 : 3;
               tag.SetItem("Title", u"New title " + Number(int(i)));
               rewritten += tag.Write(fs, files[i]) == kTagDone && tag.TotalSize == before;
             }
           }));
    std::printf("%zu ID3v2 frames, %zu ID3v1 tags, %zu APE tags, %d rewritten in place\n", frames,
                v1, ape, rewritten);
    if (rewritten != kFiles) exitCode = 1;
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return exitCode;
}
