#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "support/bytes.h"
#include "support/tag_text.h"
#include "support/test_support.h"
#include "tags/tagflacvorbis.h"

namespace tunbrix {
namespace {

namespace stdfs = std::filesystem;
using namespace test::bytes;
using test::PairList;
using test::Pairs;
using test::RunTool;
using test::W;

Bytes Header(uint8_t typeAndLast, uint32_t length) {
  return {typeAndLast, uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length)};
}

// An ID3v2.3 tag with one title frame and zero padding: what taggers put in
// front of "fLaC".
Bytes ID3v2Tag() {
  const Bytes frame = Cat({B("TIT2"), {0, 0, 0, 12, 0, 0, 0}, B("Front title")});
  const Bytes body = Cat({frame, Bytes(100, 0)});
  const auto n = uint32_t(body.size());
  return Cat(
      {B("ID3"),
       {3, 0, 0},
       {uint8_t(n >> 21 & 127), uint8_t(n >> 14 & 127), uint8_t(n >> 7 & 127), uint8_t(n & 127)},
       body});
}

// The metadata layout as the format defines it, walked independently of the
// code under test: block types with their lengths and where the audio starts.
struct Layout {
  std::vector<std::pair<int, uint32_t>> blocks;
  int64_t audioStart = -1;
};

Layout Walk(const std::string &file) {
  Layout layout;
  size_t pos = 0;
  if (file.compare(0, 3, "ID3") == 0) {
    auto b = [&](size_t i) { return uint32_t(uint8_t(file[i])); };
    pos = 10 + (b(6) << 21 | b(7) << 14 | b(8) << 7 | b(9));
  }
  if (file.compare(pos, 4, "fLaC") != 0) return layout;
  pos += 4;
  for (bool last = false; !last && pos + 4 <= file.size();) {
    auto b = [&](size_t i) { return uint32_t(uint8_t(file[pos + i])); };
    last = b(0) & 0x80;
    const uint32_t length = b(1) << 16 | b(2) << 8 | b(3);
    layout.blocks.emplace_back(int(b(0) & 0x7F), length);
    pos += 4 + length;
  }
  layout.audioStart = int64_t(pos);
  return layout;
}

// A second of noise (so the audio does not compress to nothing), encoded by
// flac with the given options.
std::string MakeFlac(const test::TempDir &dir, const std::string &name,
                     const std::vector<std::string> &options,
                     const std::string &format = "44100/2/16") {
  int rate = 0, channels = 0, bits = 0;
  std::sscanf(format.c_str(), "%d/%d/%d", &rate, &channels, &bits);
  const std::string wav = (dir.Path() / (name + ".wav")).string();
  const std::string flac = (dir.Path() / name).string();
  RunTool({"sox", "-n", "-r", std::to_string(rate), "-c", std::to_string(channels), "-b",
           std::to_string(bits), wav, "synth", "1", "whitenoise"});
  std::vector<std::string> argv{"flac", "-s", "-f"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.insert(argv.end(), {"-o", flac, wav});
  RunTool(argv);
  stdfs::remove(wav);
  return flac;
}

std::string FirstLine(const std::string &text) { return text.substr(0, text.find('\n')); }

std::string Decoded(const std::string &flac) { return RunTool({"flac", "-d", "-c", "-s", flac}); }
std::string Exported(const std::string &flac) {
  return RunTool({"metaflac", "--export-tags-to=-", flac});
}

// mutagen's view: the vendor, then the comments as name=value lines.
std::string MutagenView(const std::string &flac) {
  const char *code = R"(import sys
from mutagen.flac import FLAC
f = FLAC(sys.argv[1])
out = [f.tags.vendor] + [k + "=" + v for k, v in f.tags]
sys.stdout.buffer.write(("\n".join(out) + "\n").encode("utf-8")))";
  return RunTool({"/usr/bin/python3", "-c", code, flac});
}

#define TB_REQUIRE_FLAC_TOOLS()                                                                    \
  TB_REQUIRE_TOOL("flac");                                                                         \
  TB_REQUIRE_TOOL("metaflac");                                                                     \
  TB_REQUIRE_TOOL("sox")

// What a writer produces must satisfy the reference decoder and decode to
// the very samples the file held before.
void ExpectSameAudio(const std::string &flac, const std::string &decodedBefore) {
  EXPECT_EQ(test::RunCommand({"flac", "-t", "-s", flac}).exitCode, 0);
  EXPECT_TRUE(Decoded(flac) == decodedBefore) << "decoded samples differ";
}

// ---- Reading what the reference tools wrote ------------------------------

TEST(FlacVorbisTag, ReadsStreamInfoAndCommentsOfReferenceFiles) {
  TB_REQUIRE_FLAC_TOOLS();
  for (const std::string format : {"44100/2/16", "96000/1/24", "8000/6/8"}) {
    SCOPED_TRACE(format);
    test::TempDir dir;
    const std::string flac = MakeFlac(dir, "a.flac", {}, format);
    RunTool({"metaflac", "--set-tag=ARTIST=Die Ärzte", "--set-tag=ARTIST=Second",
             "--set-tag=TITLE=☃ snow", "--set-tag=Empty=", flac});
    CFlacVorbisTag tag;
    CVorbisComments list;
    RealFileSystem fs;
    ASSERT_EQ(tag.ReadInfoAndComments(fs, FromNativePath(flac), list), 0);
    EXPECT_TRUE(tag.Valid);

    const auto show = [&](const char *what) {
      return FirstLine(RunTool({"metaflac", what, flac}));
    };
    const TFlacStreamInfo &si = tag.StreamInfo;
    EXPECT_EQ(std::to_string(si.MinBlockSize), show("--show-min-blocksize"));
    EXPECT_EQ(std::to_string(si.MaxBlockSize), show("--show-max-blocksize"));
    EXPECT_EQ(std::to_string(si.MinFrameSize), show("--show-min-framesize"));
    EXPECT_EQ(std::to_string(si.MaxFrameSize), show("--show-max-framesize"));
    EXPECT_EQ(std::to_string(si.SampleRate), show("--show-sample-rate"));
    EXPECT_EQ(std::to_string(si.Channels), show("--show-channels"));
    EXPECT_EQ(std::to_string(si.BitsPerSample), show("--show-bps"));
    EXPECT_EQ(std::to_string(si.TotalSamples), show("--show-total-samples"));
    std::ostringstream md5;
    for (uint8_t b : si.MD5)
      md5 << std::hex << (b >> 4) << (b & 15);
    EXPECT_EQ(md5.str(), show("--show-md5sum"));

    EXPECT_EQ(WideToUtf8(list.Vendor), show("--show-vendor-tag"));
    // flac adds a channel mask of its own for some formats.
    std::string lines;
    for (const auto &[name, value] : Pairs(list))
      lines += name + "=" + value + "\n";
    EXPECT_EQ(lines, Exported(flac));
    EXPECT_EQ(list.GetComment("TITLE"), W("☃ snow"));
    EXPECT_NE(list.FindComment("Empty"), nullptr);
    const Layout layout = Walk(test::ReadFileBytes(flac));
    ASSERT_EQ(layout.blocks.size(), 4u);
    EXPECT_EQ(layout.blocks[2].first, 4);
    EXPECT_EQ(list.TotalSize, int64_t(layout.blocks[2].second));
    EXPECT_EQ(tag.FirstBlockPos, 4);
    EXPECT_EQ(tag.MetadataSize + 4, layout.audioStart);
  }
}

// ---- Writing -------------------------------------------------------------

// The new comment block is exactly 100 bytes longer than the old one.
TEST(FlacVorbisTag, GrowingBlockFitsIntoThePaddingInPlace) {
  TB_REQUIRE_FLAC_TOOLS();
  test::TempDir dir;
  const std::string flac = MakeFlac(dir, "a.flac", {"--padding=4096", "-T", "ARTIST=Old artist"});
  const std::string before = test::ReadFileBytes(flac), decodedBefore = Decoded(flac);
  const Layout old = Walk(before);
  ASSERT_EQ(old.blocks.back(), std::make_pair(1, 4096u));

  RealFileSystem fs;
  CFlacVorbisTag tag;
  CVorbisComments list;
  ASSERT_EQ(tag.ReadInfoAndComments(fs, FromNativePath(flac), list), 0);
  const int64_t oldSize = list.TotalSize;
  list.SetComment("TITLE", W("Grüße"));
  list.SetComment("EMPTY", W(""));
  const int64_t titleBytes = 4 + int64_t(std::string("TITLE=Grüße").size());
  list.SetComment("COMMENT", WideString(size_t(100 - titleBytes - 4 - 8), u'x'));
  ASSERT_EQ(tag.WriteComments(fs, FromNativePath(flac), list), kTagDone);
  EXPECT_FALSE(tag.Rewrite);
  EXPECT_EQ(list.TotalSize, oldSize + 100);

  const std::string after = test::ReadFileBytes(flac);
  const Layout now = Walk(after);
  EXPECT_EQ(now.audioStart, old.audioStart);
  EXPECT_EQ(after.size(), before.size());
  EXPECT_TRUE(after.compare(now.audioStart, std::string::npos, before, old.audioStart) == 0);
  EXPECT_EQ(now.blocks.back(), std::make_pair(1, 4096u - 100));
  EXPECT_EQ(std::vector(now.blocks.begin(), now.blocks.begin() + 2),
            std::vector(old.blocks.begin(), old.blocks.begin() + 2));

  ExpectSameAudio(flac, decodedBefore);
  const std::string comment = "COMMENT=" + std::string(100 - titleBytes - 4 - 8, 'x');
  EXPECT_EQ(Exported(flac), "ARTIST=Old artist\nTITLE=Grüße\n" + comment + "\n");
  EXPECT_EQ(MutagenView(flac),
            WideToUtf8(list.Vendor) + "\nARTIST=Old artist\nTITLE=Grüße\n" + comment + "\n");
}

TEST(FlacVorbisTag, GrowingBlockWithoutPaddingGoesThroughATemporaryFile) {
  TB_REQUIRE_FLAC_TOOLS();
  test::TempDir dir;
  const std::string flac = MakeFlac(dir, "a.flac", {"--no-padding"});
  stdfs::permissions(flac, stdfs::perms(0640));
  const std::string before = test::ReadFileBytes(flac), decodedBefore = Decoded(flac);
  const Layout old = Walk(before);

  RealFileSystem fs;
  CFlacVorbisTag tag;
  CVorbisComments list;
  list.Vendor = W("not ours: the file's vendor stays");
  list.SetComment("ARTIST", W("Somebody"));
  ASSERT_EQ(tag.WriteComments(fs, FromNativePath(flac), list), kTagDone);
  EXPECT_TRUE(tag.Rewrite);

  const std::string after = test::ReadFileBytes(flac);
  const Layout now = Walk(after);
  EXPECT_EQ(now.blocks.back(), std::make_pair(1, kFlacNewPadding));
  EXPECT_TRUE(after.compare(now.audioStart, std::string::npos, before, old.audioStart) == 0);
  EXPECT_EQ(after.size() - now.audioStart, before.size() - old.audioStart);
  ExpectSameAudio(flac, decodedBefore);
  EXPECT_EQ(Exported(flac), "ARTIST=Somebody\n");
  EXPECT_EQ(WideToUtf8(list.Vendor), FirstLine(RunTool({"metaflac", "--show-vendor-tag", flac})));
  EXPECT_EQ(stdfs::status(flac).permissions() & stdfs::perms::all, stdfs::perms(0640));
  size_t files = 0;
  for ([[maybe_unused]] const auto &entry : stdfs::directory_iterator(dir.Path()))
    ++files;
  EXPECT_EQ(files, 1u) << "a temporary file was left behind";

  // Now there is padding, and the next write is in place again.
  list.SetComment("TITLE", W("t"));
  ASSERT_EQ(tag.WriteComments(fs, FromNativePath(flac), list), kTagDone);
  EXPECT_FALSE(tag.Rewrite);
  EXPECT_EQ(Walk(test::ReadFileBytes(flac)).audioStart, now.audioStart);
}

// A tag user's round: comments read from the file, items set over them,
// names cased and sorted, written, and written again.
TEST(FlacVorbisTag, SetCommentRoundsKeepOtherCommentsAndDoNotDuplicate) {
  TB_REQUIRE_FLAC_TOOLS();
  test::TempDir dir;
  const std::string flac = MakeFlac(dir, "a.flac", {});
  RunTool({"metaflac", "--set-tag=REPLAYGAIN_TRACK_GAIN=-1.00 dB", "--set-tag=ARTIST=a",
           "--set-tag=ARTIST=b", flac});
  RealFileSystem fs;
  CFlacVorbisTag tag;
  CVorbisComments list;
  ASSERT_EQ(tag.ReadInfoAndComments(fs, FromNativePath(flac), list), 0);
  for (auto [name, value] : PairList{{"ARTIST", "x"},
                                     {"ARTIST", "y"},
                                     {"ARTIST", "z"},
                                     {"TRACKNUMBER", "3"},
                                     {"Line", "one\ntwo"}})
    list.SetComment(name, W(value));
  list.ApplyNameCase(3);
  list.SortComments(1);
  ASSERT_EQ(tag.WriteComments(fs, FromNativePath(flac), list), kTagDone);
  EXPECT_EQ(MutagenView(flac), WideToUtf8(list.Vendor) +
                                   "\nArtist=x\nArtist=y\nArtist=z\nLine=one\ntwo\n"
                                   "Replaygain_track_gain=-1.00 dB\nTracknumber=3\n");

  list.SetComment("artist", W("q"));
  ASSERT_EQ(tag.WriteComments(fs, FromNativePath(flac), list), kTagDone);
  CVorbisComments again;
  ASSERT_EQ(tag.ReadInfoAndComments(fs, FromNativePath(flac), again), 0);
  EXPECT_EQ(Pairs(again), (PairList{{"Artist", "q"},
                                    {"Artist", "y"},
                                    {"Artist", "z"},
                                    {"Line", "one\ntwo"},
                                    {"Replaygain_track_gain", "-1.00 dB"},
                                    {"Tracknumber", "3"}}));
}

TEST(FlacVorbisTag, ID3v2TagInFrontIsKept) {
  TB_REQUIRE_FLAC_TOOLS();
  for (const char *padding : {"--padding=4096", "--no-padding"}) {
    SCOPED_TRACE(padding);
    test::TempDir dir;
    const std::string flac = MakeFlac(dir, "a.flac", {padding});
    const std::string decodedBefore = Decoded(flac);
    const std::string id3 = S(ID3v2Tag());
    test::WriteFileBytes(flac, id3 + test::ReadFileBytes(flac));
    const std::string before = test::ReadFileBytes(flac);

    RealFileSystem fs;
    CFlacVorbisTag tag;
    CVorbisComments list;
    ASSERT_EQ(tag.ReadInfoAndComments(fs, FromNativePath(flac), list), 0);
    EXPECT_EQ(tag.FirstBlockPos, int64_t(id3.size()) + 4);
    list.SetComment("ALBUM", W("Behind an ID3v2 tag"));
    ASSERT_EQ(tag.WriteComments(fs, FromNativePath(flac), list), kTagDone);
    EXPECT_EQ(tag.Rewrite, std::string(padding) == "--no-padding");

    const std::string after = test::ReadFileBytes(flac);
    EXPECT_EQ(after.substr(0, id3.size() + 4), id3 + "fLaC");
    EXPECT_TRUE(after.compare(Walk(after).audioStart, std::string::npos, before,
                              Walk(before).audioStart) == 0);
    ExpectSameAudio(flac, decodedBefore);
    EXPECT_EQ(MutagenView(flac), WideToUtf8(list.Vendor) + "\nALBUM=Behind an ID3v2 tag\n");
  }
}

// ---- Removing ------------------------------------------------------------

TEST(FlacVorbisTag, RemoveKeepsTheVendorWithNoComments) {
  TB_REQUIRE_FLAC_TOOLS();
  test::TempDir dir;
  const std::string flac = MakeFlac(dir, "a.flac", {});
  RunTool({"metaflac", "--set-tag=ARTIST=a", "--set-tag=TITLE=b", flac});
  const std::string vendor = RunTool({"metaflac", "--show-vendor-tag", flac});
  const std::string before = test::ReadFileBytes(flac), decodedBefore = Decoded(flac);
  RealFileSystem fs;
  CFlacVorbisTag tag;
  ASSERT_EQ(tag.RemoveComments(fs, FromNativePath(flac)), kTagDone);
  EXPECT_FALSE(tag.Rewrite);
  EXPECT_EQ(Exported(flac), "");
  EXPECT_EQ(RunTool({"metaflac", "--show-vendor-tag", flac}), vendor);
  const std::string after = test::ReadFileBytes(flac);
  const Layout now = Walk(after);
  EXPECT_EQ(now.blocks[2], std::make_pair(4, uint32_t(vendor.size() - 1 + 8)));
  EXPECT_EQ(after.size(), before.size());
  ExpectSameAudio(flac, decodedBefore);
}

TEST(FlacVorbisTag, RemoveWithoutCommentBlockChangesNothing) {
  TB_REQUIRE_FLAC_TOOLS();
  test::TempDir dir;
  const std::string flac = MakeFlac(dir, "a.flac", {});
  RunTool({"metaflac", "--remove", "--block-type=VORBIS_COMMENT", flac});
  const std::string before = test::ReadFileBytes(flac);
  RealFileSystem fs;
  CFlacVorbisTag tag;
  EXPECT_EQ(tag.RemoveComments(fs, FromNativePath(flac)), kTagDone);
  EXPECT_EQ(test::ReadFileBytes(flac), before);
}

// ---- Hand-built files ----------------------------------------------------

// STREAMINFO with every field at a recognisable value.
Bytes StreamInfoBody(uint16_t minBlock = 4096, uint16_t maxBlock = 4096, uint32_t rate = 44100) {
  const uint32_t minFrame = 14, maxFrame = 12345, channels = 2, bits = 16;
  const uint64_t total = 0x123456789ull;
  const uint64_t packed =
      uint64_t(rate) << 44 | uint64_t(channels - 1) << 41 | uint64_t(bits - 1) << 36 | total;
  Bytes out{uint8_t(minBlock >> 8), uint8_t(minBlock),       uint8_t(maxBlock >> 8),
            uint8_t(maxBlock),      uint8_t(minFrame >> 16), uint8_t(minFrame >> 8),
            uint8_t(minFrame),      uint8_t(maxFrame >> 16), uint8_t(maxFrame >> 8),
            uint8_t(maxFrame)};
  for (int shift = 56; shift >= 0; shift -= 8)
    out.push_back(uint8_t(packed >> shift));
  for (uint8_t i = 0; i < 16; ++i)
    out.push_back(i);
  return out;
}

const Bytes kAudio = B("\xFF\xF8 frames of audio that must never change");

// fLaC, STREAMINFO, an opaque APPLICATION block, comments, padding, audio.
Bytes HandFile(const Bytes &comments, uint32_t padding) {
  const Bytes info = StreamInfoBody();
  const Bytes app = B("abcd opaque application data");
  return Cat({B("fLaC"), Header(0, uint32_t(info.size())), info, Header(2, uint32_t(app.size())),
              app, Header(4, uint32_t(comments.size())), comments, Header(0x81, padding),
              Bytes(padding, 0), kAudio});
}

const WideString kPath = u"/m/a.flac";

TEST(FlacVorbisTag, DecodesEveryStreamInfoField) {
  MemoryFileSystem fs;
  fs.SetFile(kPath, HandFile(Cat({LengthPrefixed("v"), Le32(0)}), 10));
  CFlacVorbisTag tag;
  CVorbisComments list;
  ASSERT_EQ(tag.ReadInfoAndComments(fs, kPath, list), 0);
  const TFlacStreamInfo &si = tag.StreamInfo;
  EXPECT_EQ(si.MinBlockSize, 4096u);
  EXPECT_EQ(si.MaxBlockSize, 4096u);
  EXPECT_EQ(si.MinFrameSize, 14u);
  EXPECT_EQ(si.MaxFrameSize, 12345u);
  EXPECT_EQ(si.SampleRate, 44100u);
  EXPECT_EQ(si.Channels, 2u);
  EXPECT_EQ(si.BitsPerSample, 16u);
  EXPECT_EQ(si.TotalSamples, 0x123456789ull);
  for (int i = 0; i < 16; ++i)
    EXPECT_EQ(si.MD5[i], i);
  EXPECT_EQ(list.Vendor, W("v"));
  EXPECT_EQ(list.TotalSize, 9);
}

TEST(FlacVorbisTag, RemoveDropsABlockWithoutVendorAndKeepsOpaqueBlocks) {
  MemoryFileSystem fs;
  const Bytes original = HandFile(Cat({Le32(0), Le32(1), LengthPrefixed("A=1")}), 10);
  fs.SetFile(kPath, original);
  CFlacVorbisTag tag;
  ASSERT_EQ(tag.RemoveComments(fs, kPath), kTagDone);
  const Bytes info = StreamInfoBody();
  const Bytes app = B("abcd opaque application data");
  const uint32_t padding = 10 + 4 + 15; // the old block's header and body
  EXPECT_EQ(*fs.GetFile(kPath),
            Cat({B("fLaC"), Header(0, uint32_t(info.size())), info, Header(2, uint32_t(app.size())),
                 app, Header(0x81, padding), Bytes(padding, 0), kAudio}));
}

TEST(FlacVorbisTag, BlockTooLongForItsLengthFieldFails) {
  MemoryFileSystem fs;
  const Bytes original = HandFile(Cat({LengthPrefixed("v"), Le32(0)}), 10);
  fs.SetFile(kPath, original);
  CVorbisComments list;
  list.SetComment("LYRICS", WideString(kFlacMaxBlockLength, u'x'));
  CFlacVorbisTag tag;
  EXPECT_EQ(tag.WriteComments(fs, kPath, list), kTagFailed);
  EXPECT_EQ(*fs.GetFile(kPath), original);
}

// Damaged and foreign files: each gives its documented result, and a write
// leaves the file as it was.
TEST(FlacVorbisTag, DamagedFilesGiveTheirResultsAndAreNotChanged) {
  const Bytes info = StreamInfoBody();
  const Bytes goodStart = Cat({B("fLaC"), Header(0, 34), info});
  struct Case {
    const char *what;
    Bytes file;
    int readBlocks, readInfo, write;
    PairList comments;
  };
  const Case cases[] = {
      {"empty file", {}, 1, 1, 1, {}},
      {"no fLaC", B("RIFF....WAVEfmt this is not flac at all"), 1, 1, 1, {}},
      {"fLaC only", B("fLaC"), 1, 1, 1, {}},
      {"header cut short", Cat({B("fLaC"), {0x80, 0}}), 1, 1, 1, {}},
      {"no last-block bit before the end",
       Cat({goodStart, Header(1, 4), Bytes(4, 0)}),
       1,
       0,
       1,
       {}},
      {"block length past the end",
       Cat({goodStart, Header(0x84, 1000), LengthPrefixed("v"), Le32(0)}),
       1,
       0,
       1,
       {}},
      {"truncated STREAMINFO",
       Cat({B("fLaC"), Header(0x80, 20), Bytes(20, 1), kAudio}),
       0,
       1,
       0,
       {}},
      {"block size below 16",
       Cat({B("fLaC"), Header(0x80, 34), StreamInfoBody(8, 4096), kAudio}),
       0,
       1,
       0,
       {}},
      {"sample rate 0",
       Cat({B("fLaC"), Header(0x80, 34), StreamInfoBody(4096, 4096, 0), kAudio}),
       0,
       1,
       0,
       {}},
      {"comment count too large",
       Cat({goodStart, Header(0x84, 4 + 1 + 4 + 7), LengthPrefixed("v"), Le32(0xFFFFFFFF),
            LengthPrefixed("A=1"), kAudio}),
       0,
       0,
       0,
       {{"A", "1"}}},
      {"comment length past its block",
       Cat({goodStart, Header(0x84, 4 + 1 + 4 + 7), LengthPrefixed("v"), Le32(1), Le32(30),
            B("A=1"), kAudio}),
       0,
       0,
       0,
       {}},
      {"endless zero-length blocks",
       [&] {
         Bytes file = goodStart;
         for (size_t i = 0; i < kFlacMaxBlocks; ++i)
           file = Cat({file, Header(2, 0)});
         return Cat({file, Header(0x81, 0), kAudio});
       }(),
       1,
       0,
       1,
       {}},
      {"ID3v2 size not synchsafe",
       Cat({B("ID3"), {3, 0, 0, 0, 0, 0x80, 0}, Bytes(128, 0), goodStart}),
       1,
       1,
       1,
       {}},
      {"ID3v2 size past the end",
       Cat({B("ID3"), {3, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F}, goodStart}),
       1,
       1,
       1,
       {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    MemoryFileSystem fs;
    fs.SetFile(kPath, c.file);
    CFlacVorbisTag tag;
    EXPECT_EQ(tag.ReadBlocks(fs, kPath), c.readBlocks);
    CVorbisComments list;
    EXPECT_EQ(tag.ReadInfoAndComments(fs, kPath, list), c.readInfo);
    EXPECT_EQ(Pairs(list), c.comments);
    CVorbisComments write;
    write.SetComment("TITLE", W("t"));
    const TagResult result = tag.WriteComments(fs, kPath, write);
    EXPECT_EQ(result, c.write);
    if (result != kTagDone) {
      EXPECT_EQ(*fs.GetFile(kPath), c.file);
    }
    const TagResult removed = CFlacVorbisTag().RemoveComments(fs, kPath);
    EXPECT_EQ(removed, c.write);
    EXPECT_EQ(fs.FileNames().size(), 1u);
  }
}

// ---- Nothing lost --------------------------------------------------------

// Fails every call of the operation in turn: each failing run leaves the
// file byte for byte as it was and no temporary file behind; the run without
// failure gives the expected file.
void ExpectFailSafe(const Bytes &original,
                    const std::function<TagResult(IFileSystem &, CFlacVorbisTag &)> &operation,
                    const std::function<void(const Bytes &)> &check) {
  for (int64_t n = 1;; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n));
    MemoryFileSystem memory;
    memory.SetFile(kPath, original);
    FaultInjector faults;
    faults.FailAt(n);
    FaultInjectingFileSystem fs(memory, faults);
    CFlacVorbisTag tag;
    const TagResult result = operation(fs, tag);
    EXPECT_EQ(memory.FileNames(), std::vector<WideString>{kPath});
    if (!faults.Failed()) {
      EXPECT_EQ(result, kTagDone);
      check(*memory.GetFile(kPath));
      EXPECT_GT(n, 3);
      return;
    }
    EXPECT_EQ(result, kTagFailed);
    ASSERT_EQ(*memory.GetFile(kPath), original);
  }
}

// A disk that fills up in the middle of a write: the chosen write call
// stores the first half of its bytes, then fails.
class TornWriteFile final : public IFile {
public:
  TornWriteFile(std::unique_ptr<IFile> inner, int &writesLeft)
      : inner_(std::move(inner)), writesLeft_(writesLeft) {}
  int64_t Read(void *buf, size_t count) override { return inner_->Read(buf, count); }
  bool Write(const void *buf, size_t count) override {
    if (--writesLeft_ != 0) return inner_->Write(buf, count);
    inner_->Write(buf, count / 2);
    return false;
  }
  bool Seek(int64_t position) override { return inner_->Seek(position); }
  int64_t Position() override { return inner_->Position(); }
  int64_t Size() override { return inner_->Size(); }
  bool Truncate(int64_t size) override { return inner_->Truncate(size); }
  bool Flush() override { return inner_->Flush(); }

private:
  std::unique_ptr<IFile> inner_;
  int &writesLeft_;
};

class TornWriteFileSystem final : public IFileSystem {
public:
  TornWriteFileSystem(IFileSystem &inner, int failingWrite)
      : inner_(inner), writesLeft_(failingWrite) {}
  std::unique_ptr<IFile> Open(const WideString &path, FileMode mode) override {
    auto file = inner_.Open(path, mode);
    if (!file) return nullptr;
    return std::make_unique<TornWriteFile>(std::move(file), writesLeft_);
  }
  bool Rename(const WideString &from, const WideString &to) override {
    return inner_.Rename(from, to);
  }
  bool Remove(const WideString &path) override { return inner_.Remove(path); }
  bool Exists(const WideString &path) override { return inner_.Exists(path); }
  WideString MakeTempFile(const WideString &directory, const WideString &prefix) override {
    return inner_.MakeTempFile(directory, prefix);
  }
  bool CopyPermissions(const WideString &from, const WideString &to) override {
    return inner_.CopyPermissions(from, to);
  }
  bool Torn() const { return writesLeft_ <= 0; }

private:
  IFileSystem &inner_;
  int writesLeft_;
};

TEST(FlacVorbisTag, TornWriteLeavesTheFileAsItWas) {
  const Bytes oldComments = Cat({LengthPrefixed("vendor"), Le32(1), LengthPrefixed("ARTIST=old")});
  for (uint32_t padding : {200u, 1u}) {
    SCOPED_TRACE(padding);
    const Bytes original = HandFile(oldComments, padding);
    for (int n = 1;; ++n) {
      MemoryFileSystem memory;
      memory.SetFile(kPath, original);
      TornWriteFileSystem fs(memory, n);
      CVorbisComments list;
      list.SetComment("TITLE", W("A title long enough to need more room"));
      const TagResult result = CFlacVorbisTag().WriteComments(fs, kPath, list);
      EXPECT_EQ(memory.FileNames(), std::vector<WideString>{kPath});
      if (!fs.Torn()) {
        EXPECT_EQ(result, kTagDone);
        break;
      }
      EXPECT_EQ(result, kTagFailed);
      ASSERT_EQ(*memory.GetFile(kPath), original) << "torn write " << n;
    }
  }
}

TEST(FlacVorbisTag, FailureAtAnyCallLeavesTheFileAsItWas) {
  const Bytes oldComments = Cat({LengthPrefixed("vendor"), Le32(1), LengthPrefixed("ARTIST=old")});
  struct Case {
    const char *what;
    Bytes file;
    bool rewrite;
  };
  const Case cases[] = {
      {"in place", HandFile(oldComments, 200), false},
      {"through a temporary file", HandFile(oldComments, 1), true},
      {"behind an ID3v2 tag", Cat({ID3v2Tag(), HandFile(oldComments, 1)}), true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ExpectFailSafe(
        c.file,
        [&](IFileSystem &fs, CFlacVorbisTag &tag) {
          CVorbisComments list;
          list.SetComment("TITLE", W("A title long enough to need more room"));
          const TagResult r = tag.WriteComments(fs, kPath, list);
          if (r == kTagDone) {
            EXPECT_EQ(tag.Rewrite, c.rewrite);
          }
          return r;
        },
        [&](const Bytes &now) {
          const std::string s = S(now);
          const Layout layout = Walk(s);
          EXPECT_EQ(s.substr(layout.audioStart), S(kAudio));
          const size_t marker = S(c.file).find("fLaC") + 4;
          EXPECT_EQ(s.substr(0, marker), S(c.file).substr(0, marker));
          CFlacVorbisTag tag;
          CVorbisComments list;
          MemoryFileSystem fs;
          fs.SetFile(kPath, now);
          ASSERT_EQ(tag.ReadInfoAndComments(fs, kPath, list), 0);
          EXPECT_EQ(list.Vendor, W("vendor"));
          EXPECT_EQ(Pairs(list), (PairList{{"TITLE", "A title long enough to need more room"}}));
        });
  }
  ExpectFailSafe(
      HandFile(oldComments, 1),
      [](IFileSystem &fs, CFlacVorbisTag &tag) { return tag.RemoveComments(fs, kPath); },
      [](const Bytes &now) {
        EXPECT_EQ(Walk(S(now)).blocks[2], std::make_pair(4, uint32_t(4 + 6 + 4)));
      });
}

} // namespace
} // namespace tunbrix
