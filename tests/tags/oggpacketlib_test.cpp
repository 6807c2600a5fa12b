#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <random>

#include "support/bytes.h"
#include "support/test_support.h"
#include "tags/oggpacketlib.h"

namespace tunbrix {
namespace {

using namespace test::bytes;
using test::W;

// ---- Building pages by hand ------------------------------------------------

Bytes Le64(int64_t v) { return Cat({Le32(uint32_t(v)), Le32(uint32_t(uint64_t(v) >> 32))}); }

constexpr uint8_t kContinued = 1, kFirst = 2, kLast = 4;

// A page with a correct CRC. The body is laced greedily into `segments`
// lacing values (by default as many 255s as fit and the remainder).
Bytes Page(uint32_t serial, uint32_t sequence, int64_t granule, uint8_t flags, const Bytes &body,
           int segments = -1) {
  if (segments < 0) segments = int(body.size() / 255 + 1);
  EXPECT_LE(segments, 255);
  EXPECT_LE(body.size(), size_t(segments) * 255);
  Bytes lacing;
  size_t left = body.size();
  for (int i = 0; i < segments; ++i) {
    lacing.push_back(uint8_t(std::min<size_t>(left, 255)));
    left -= lacing.back();
  }
  Bytes page = Cat({B("OggS"),
                    {0, flags},
                    Le64(granule),
                    Le32(serial),
                    Le32(sequence),
                    Le32(0),
                    {uint8_t(segments)},
                    lacing,
                    body});
  const Bytes crc = Le32(OggCrc(page.data(), page.size()));
  std::copy(crc.begin(), crc.end(), page.begin() + 22);
  return page;
}

// A page of exactly `size` bytes (at least 28) with a body of filler bytes.
Bytes PageOfSize(size_t size, uint32_t serial, uint32_t sequence, int64_t granule, uint8_t flags) {
  const int segments = int(std::min<size_t>(255, (size - 27 + 255) / 256));
  return Page(serial, sequence, granule, flags, Bytes(size - 27 - segments, 0x5A), segments);
}

Bytes IdHeader(uint8_t channels, uint32_t rate, int32_t nominal = 128000, uint8_t blockSizes = 0xB8,
               uint8_t framing = 1, uint32_t version = 0) {
  return Cat({{1},
              B("vorbis"),
              Le32(version),
              {channels},
              Le32(rate),
              Le32(0),
              Le32(uint32_t(nominal)),
              Le32(0),
              {blockSizes, framing}});
}

// The comment packet; `count` replaces the true number of texts when given.
Bytes CommentHeader(const std::string &vendor, const std::vector<std::string> &texts,
                    int64_t count = -1) {
  Bytes out = Cat({{3},
                   B("vorbis"),
                   Le32(uint32_t(vendor.size())),
                   B(vendor),
                   Le32(uint32_t(count < 0 ? texts.size() : count))});
  for (const auto &t : texts)
    out = Cat({out, Le32(uint32_t(t.size())), B(t)});
  return Cat({out, {1}});
}

constexpr uint32_t kSerial = 0x1234;

// First page with the identification header, second with the comments.
Bytes HeadPages(const Bytes &comments, uint32_t serial = kSerial) {
  return Cat({Page(serial, 0, 0, kFirst, IdHeader(2, 44100)), Page(serial, 1, 0, 0, comments)});
}

// ---- Walking the pages of a file -------------------------------------------

struct TPageInfo {
  size_t offset = 0;
  size_t size = 0;
  size_t bodyOffset = 0;
  uint8_t flags = 0;
  int64_t granule = 0;
  uint32_t serial = 0;
};

uint32_t Get32(const Bytes &b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

std::vector<TPageInfo> Pages(const Bytes &file) {
  std::vector<TPageInfo> pages;
  size_t at = 0;
  while (at + 27 <= file.size() && std::equal(file.begin() + at, file.begin() + at + 4, "OggS")) {
    TPageInfo p;
    p.offset = at;
    p.flags = file[at + 5];
    p.granule = int64_t(uint64_t(Get32(file, at + 6)) | uint64_t(Get32(file, at + 10)) << 32);
    p.serial = Get32(file, at + 14);
    const size_t segments = file[at + 26];
    p.bodyOffset = at + 27 + segments;
    if (p.bodyOffset > file.size()) break;
    size_t body = 0;
    for (size_t i = 0; i < segments; ++i)
      body += file[at + 27 + i];
    p.size = 27 + segments + body;
    if (at + p.size > file.size()) break;
    pages.push_back(p);
    at += p.size;
  }
  return pages;
}

Bytes Slice(const Bytes &file, const TPageInfo &p) {
  return Bytes(file.begin() + p.offset, file.begin() + p.offset + p.size);
}

void FixCrc(Bytes &file, const TPageInfo &p) {
  std::fill_n(file.begin() + p.offset + 22, 4, 0);
  const Bytes crc = Le32(OggCrc(&file[p.offset], p.size));
  std::copy(crc.begin(), crc.end(), file.begin() + p.offset + 22);
}

// ---- Reading ---------------------------------------------------------------

// Everything the reader found, one fact a line, comments last.
std::string Dump(COggVorbis &ogg) {
  char line[160];
  std::snprintf(line, sizeof line,
                "valid=%d\nchannels=%d\nrate=%u\nbitrate=%d\ngranule=%lld\nvendor=", ogg.Valid,
                ogg.Channels, ogg.SampleRate, ogg.BitrateNominal, (long long)ogg.LastGranule);
  std::string out = line + WideToUtf8(ogg.Comments().Vendor) + "\n";
  out += "totalsize=" + std::to_string(ogg.Comments().TotalSize) + "\n";
  for (const auto &c : ogg.Comments().Comments)
    out += c.Name + "=" + WideToUtf8(c.Value) + "\n";
  return out;
}

std::string ReadDump(const Bytes &file) {
  MemoryFileSystem mem;
  mem.SetFile(u"/a.ogg", file);
  COggVorbis ogg;
  ogg.Read(mem, u"/a.ogg");
  return Dump(ogg);
}

// The same facts as Dump, from mutagen; the granule is that of mutagen's own
// search for the last page of the stream.
const char *const kMutagenDump = R"(
import sys
from mutagen.oggvorbis import OggVorbis
from mutagen.ogg import OggPage
f = OggVorbis(sys.argv[1])
with open(sys.argv[1], 'rb') as fo:
    last = OggPage.find_last(fo, f.info.serial, finishing=True)
out = ['valid=1', 'channels=%d' % f.info.channels, 'rate=%d' % f.info.sample_rate,
       'bitrate=%d' % f.info.bitrate, 'granule=%d' % last.position, 'vendor=' + f.tags.vendor,
       'totalsize=%d' % len(f.tags.write(framing=False))]
out += [k + '=' + v for k, v in f.tags]
sys.stdout.buffer.write(('\n'.join(out) + '\n').encode('utf-8'))
)";

std::string MutagenDump(const std::string &file) {
  return test::RunTool({"/usr/bin/python3", "-c", kMutagenDump, file});
}

// An Ogg Vorbis file made by oggenc from a sox WAV, returned as its bytes.
Bytes Encode(const test::TempDir &dir, const std::string &name, int rate, int channels,
             const std::string &seconds, const std::vector<std::string> &oggencArgs = {},
             const std::string &signal = "sine") {
  const std::string wav = (dir.Path() / (name + ".wav")).string();
  const std::string ogg = (dir.Path() / name).string();
  std::vector<std::string> sox = {"sox",   "-n",
                                  "-r",    std::to_string(rate),
                                  "-c",    std::to_string(channels),
                                  "-b",    "16",
                                  wav,     "synth",
                                  seconds, signal};
  if (signal == "sine") sox.push_back("440");
  EXPECT_EQ(test::RunCommand(sox).exitCode, 0);
  std::vector<std::string> enc = {"oggenc", "-Q"};
  enc.insert(enc.end(), oggencArgs.begin(), oggencArgs.end());
  enc.insert(enc.end(), {"-o", ogg, wav});
  const auto r = test::RunCommand(enc);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return B(test::ReadFileBytes(ogg));
}

void Save(const test::TempDir &dir, const std::string &name, const Bytes &bytes) {
  test::WriteFileBytes(dir.Path() / name, std::string(bytes.begin(), bytes.end()));
}

// ---- The CRC ---------------------------------------------------------------

TEST(OggCrc, MatchesTheCheckValueAndContinuesOverPieces) {
  const std::string text = "123456789";
  EXPECT_EQ(OggCrc(text.data(), text.size()), 0x89A1897Fu);
  EXPECT_EQ(OggCrcUpdate(OggCrc(text.data(), 4), text.data() + 4, 5), 0x89A1897Fu);
  EXPECT_EQ(OggCrc(nullptr, 0), 0u);
}

TEST(OggCrc, RecomputesTheCrcOfEveryPageThatOggencWrote) {
  TB_REQUIRE_TOOL("sox");
  TB_REQUIRE_TOOL("oggenc");
  test::TempDir dir;
  const Bytes file = Encode(dir, "a.ogg", 44100, 2, "3");
  const auto pages = Pages(file);
  ASSERT_GT(pages.size(), 3u);
  size_t covered = 0;
  for (const auto &p : pages) {
    Bytes page = Slice(file, p);
    const uint32_t stored = Get32(page, 22);
    std::fill_n(page.begin() + 22, 4, 0);
    EXPECT_EQ(OggCrc(page.data(), page.size()), stored) << "page at " << p.offset;
    covered += p.size;
  }
  EXPECT_EQ(covered, file.size());
}

// ---- The page layer --------------------------------------------------------

TEST(OggStream, DeliversTheBodiesOfItsOwnPagesAsOneStream) {
  const Bytes file =
      Cat({Page(7, 0, 0, kFirst, B("abc")), Page(9, 0, 0, kFirst, B("XXXX")),
           Page(7, 1, 5, 0, B("defgh")), Page(9, 1, 5, 0, B("YY")), Page(7, 2, 8, kLast, B("ij"))});
  MemoryFileSystem mem;
  mem.SetFile(u"/f", file);
  COggStream s;
  ASSERT_TRUE(s.Open(mem, u"/f"));
  EXPECT_EQ(s.StreamSerial, 7u);
  EXPECT_EQ(s.FileSize(), int64_t(file.size()));
  char buf[16] = {};
  EXPECT_EQ(s.ReadData(buf, 2), 2u);
  EXPECT_EQ(std::string(buf, 2), "ab");
  EXPECT_EQ(s.ReadData(nullptr, 2), 2u); // "cd", skipped across the page boundary
  EXPECT_EQ(s.ReadData(buf, 16), 6u);
  EXPECT_EQ(std::string(buf, 6), "efghij");
  EXPECT_EQ(s.ReadData(buf, 1), 0u);
  EXPECT_FALSE(s.NextPage());

  // SyncTo finds a pattern that straddles a page boundary and goes on after it.
  ASSERT_TRUE(s.Open(mem, u"/f"));
  EXPECT_TRUE(s.SyncTo("cde", 3));
  EXPECT_EQ(s.ReadData(buf, 3), 3u);
  EXPECT_EQ(std::string(buf, 3), "fgh");
  EXPECT_FALSE(s.SyncTo("zz", 2)); // slides to the end of the data
  ASSERT_TRUE(s.Open(mem, u"/f"));
  EXPECT_FALSE(s.SyncTo("fgh", 3, 4)); // would need a slide of 5
  ASSERT_TRUE(s.Open(mem, u"/f"));
  EXPECT_TRUE(s.SyncTo("fgh", 3, 5));

  COggStream closed;
  EXPECT_EQ(closed.FileSize(), -1);
  EXPECT_EQ(closed.LastGranule(), -1);
  EXPECT_EQ(closed.ReadData(buf, 4), 0u);
  EXPECT_FALSE(closed.NextPage());
}

TEST(OggStream, StopsForGoodAtADamagedPage) {
  Bytes second = Page(7, 1, 5, 0, B("defgh"));
  second[30] ^= 0x01; // one body bit
  const Bytes file = Cat({Page(7, 0, 0, kFirst, B("abc")), second, Page(7, 2, 8, kLast, B("ij"))});
  MemoryFileSystem mem;
  mem.SetFile(u"/f", file);
  COggStream s;
  ASSERT_TRUE(s.Open(mem, u"/f"));
  char buf[16];
  EXPECT_EQ(s.ReadData(buf, 16), 3u); // only the first page; the good third one is not reached
  EXPECT_FALSE(s.NextPage());

  // A header that is not "OggS" with version 0 ends the data too.
  for (size_t at : {size_t(0), size_t(4)}) {
    Bytes bad = file;
    bad[at] ^= 0x01;
    mem.SetFile(u"/g", bad);
    EXPECT_FALSE(s.Open(mem, u"/g")) << at;
    EXPECT_EQ(s.ReadData(buf, 16), 0u) << at;
  }
}

// ---- The last granule ------------------------------------------------------

// The head pages, an audio page, and a final page of `finalSize` bytes that
// ends the file; the file's end fixes where the 4 KiB windows fall, so the
// final page's size decides where its header lies among them.
Bytes WithFinalPage(size_t finalSize, const Bytes &trailer = {}) {
  return Cat({HeadPages(CommentHeader("v", {})), PageOfSize(5000, kSerial, 2, 1000, 0),
              PageOfSize(finalSize, kSerial, 3, 4242, kLast), trailer});
}

TEST(OggLastGranule, FindsTheFinalPageWhereverItsHeaderFallsAmongTheWindows) {
  // The windows are [E-4096, E), [E-8160, E-4064), [E-12224, E-8128), ...
  std::vector<size_t> sizes;
  for (size_t s = 28; s <= 64; ++s)
    sizes.push_back(s); // header in the last 32 bytes of the file
  for (size_t base : {size_t(4096), size_t(8160), size_t(8128), size_t(12224)})
    for (size_t s = base - 30; s <= base + 30; ++s)
      sizes.push_back(s);                // straddling a window's start or end
  sizes.push_back(27 + 255 + 255 * 255); // the largest page there is
  for (size_t size : sizes) {
    const Bytes file = WithFinalPage(size);
    ASSERT_EQ(Pages(file).back().size, size);
    MemoryFileSystem mem;
    mem.SetFile(u"/f", file);
    COggStream s;
    ASSERT_TRUE(s.Open(mem, u"/f"));
    EXPECT_EQ(s.LastGranule(), 4242) << "final page of " << size << " bytes";
    EXPECT_TRUE(s.LastPageEos) << size;
  }
}

TEST(OggLastGranule, CountsOnlyPagesOfTheStreamThatCarryAPosition) {
  const Bytes fakeHeader = Cat({B("OggS"), {0, kLast}, Le64(9999), Le32(0xBAD), Bytes(13, 0)});
  struct Case {
    const char *what;
    Bytes trailer;
    int64_t granule;
    bool eos;
  } cases[] = {
      {"another stream's page last", PageOfSize(300, 0xBAD, 0, 777, kLast), 4242, true},
      {"a page without position last", PageOfSize(300, kSerial, 4, -1, 0), 4242, true},
      {"a later page of ours without EOS", PageOfSize(300, kSerial, 4, 5000, 0), 5000, false},
      {"a tag after the pages", Cat({B("TAG"), Bytes(125, 'x')}), 4242, true},
      {"a header of another stream in the data", Cat({fakeHeader, Bytes(64, 1)}), 4242, true},
  };
  for (const auto &c : cases) {
    MemoryFileSystem mem;
    mem.SetFile(u"/f", WithFinalPage(600, c.trailer));
    COggStream s;
    ASSERT_TRUE(s.Open(mem, u"/f"));
    EXPECT_EQ(s.LastGranule(), c.granule) << c.what;
    EXPECT_EQ(s.LastPageEos, c.eos) << c.what;
  }

  // With no page of a known position the search runs to the start and gives up.
  const Bytes none = Cat({Page(kSerial, 0, -1, kFirst, IdHeader(2, 44100)),
                          PageOfSize(20000, kSerial, 1, -1, 0), PageOfSize(20000, 0xBAD, 0, 5, 0)});
  MemoryFileSystem mem;
  mem.SetFile(u"/f", none);
  FaultInjector faults;
  FaultInjectingFileSystem fs(mem, faults);
  COggStream s;
  ASSERT_TRUE(s.Open(fs, u"/f"));
  const int64_t before = faults.stats.bytesRead;
  EXPECT_EQ(s.LastGranule(), -1);
  EXPECT_FALSE(s.LastPageEos);
  EXPECT_GE(faults.stats.bytesRead - before, int64_t(none.size()));
}

TEST(OggLastGranule, KeepsTheReadingPosition) {
  const Bytes file = WithFinalPage(3000);
  MemoryFileSystem mem;
  mem.SetFile(u"/f", file);
  COggStream s;
  ASSERT_TRUE(s.Open(mem, u"/f"));
  uint8_t id[30];
  ASSERT_EQ(s.ReadData(id, 30), 30u);
  EXPECT_EQ(s.LastGranule(), 4242);
  uint8_t next[7];
  ASSERT_EQ(s.ReadData(next, 7), 7u); // the comment page, read after the search
  EXPECT_EQ(Bytes(next, next + 7), Cat({{3}, B("vorbis")}));
}

// ---- The Vorbis headers, hand-built ----------------------------------------

TEST(OggVorbis, ReadsTheHeadersOfAHandBuiltStream) {
  const Bytes file = Cat(
      {Page(kSerial, 0, 0, kFirst, IdHeader(2, 44100, 160000)),
       Page(kSerial, 1, 0, 0,
            CommentHeader("Vëndor", {"TITLE=Tïtle", "NOEQUALS", "EMPTY=", "A=b=c", "=nameless"})),
       PageOfSize(900, kSerial, 2, 123456, kLast)});
  MemoryFileSystem mem;
  mem.SetFile(u"/f", file);
  COggVorbis ogg;
  EXPECT_TRUE(ogg.Read(mem, u"/f"));
  EXPECT_EQ(ogg.Version, 0u);
  EXPECT_EQ(ogg.Channels, 2);
  EXPECT_EQ(ogg.SampleRate, 44100u);
  EXPECT_EQ(ogg.BitrateMaximum, 0);
  EXPECT_EQ(ogg.BitrateNominal, 160000);
  EXPECT_EQ(ogg.BitrateMinimum, 0);
  EXPECT_EQ(ogg.BlockSize0, 8);
  EXPECT_EQ(ogg.BlockSize1, 11);
  EXPECT_TRUE(ogg.FramingFlag);
  EXPECT_EQ(ogg.LastGranule, 123456);
  EXPECT_EQ(ogg.FileSize, int64_t(file.size()));
  // The text without "=" is skipped but still counted in the block's size.
  const int64_t total = 8 + 7 + (4 + 12) + (4 + 8) + (4 + 6) + (4 + 5) + (4 + 9);
  EXPECT_EQ(Dump(ogg), "valid=1\nchannels=2\nrate=44100\nbitrate=160000\ngranule=123456\n"
                       "vendor=Vëndor\ntotalsize=" +
                           std::to_string(total) + "\nTITLE=Tïtle\nEMPTY=\nA=b=c\n=nameless\n");
}

TEST(OggVorbis, JudgesTheIdentificationHeader) {
  struct Case {
    const char *what;
    Bytes header;
    bool valid;
  } cases[] = {
      {"good", IdHeader(1, 8000), true},
      {"equal block sizes", IdHeader(1, 8000, 0, 0x88), true},
      {"version 1", IdHeader(1, 8000, 0, 0xB8, 1, 1), false},
      {"no channels", IdHeader(0, 8000), false},
      {"no sample rate", IdHeader(1, 0), false},
      {"block size 1 below 0", IdHeader(1, 8000, 0, 0x8B), false},
      {"framing bit clear", IdHeader(1, 8000, 0, 0xB8, 0xFE), false},
  };
  for (const auto &c : cases) {
    MemoryFileSystem mem;
    mem.SetFile(u"/f", Cat({Page(kSerial, 0, 0, kFirst, c.header),
                            Page(kSerial, 1, 0, 0, CommentHeader("v", {"A=1"}))}));
    COggVorbis ogg;
    EXPECT_EQ(ogg.Read(mem, u"/f"), c.valid) << c.what;
    EXPECT_EQ(ogg.Valid, c.valid) << c.what;
    EXPECT_EQ(ogg.Comments().Count(), 1u) << c.what; // the comments are read all the same
  }
}

TEST(OggVorbis, FindsHeadersAfterStrayBytesButNotFarAway) {
  MemoryFileSystem mem;
  mem.SetFile(u"/near", Cat({Page(kSerial, 0, 0, kFirst, Cat({B("junk"), IdHeader(2, 48000)})),
                             Page(kSerial, 1, 0, 0, Cat({B("xx"), CommentHeader("v", {"A=1"})}))}));
  COggVorbis ogg;
  EXPECT_TRUE(ogg.Read(mem, u"/near"));
  EXPECT_EQ(ogg.SampleRate, 48000u);
  EXPECT_EQ(ogg.Comments().GetComment("a"), u"1");

  // A stream that does not begin with Vorbis headers is given up early
  // instead of being read to its end.
  Bytes far = Page(kSerial, 0, 0, kFirst, B("OpusHead"));
  for (uint32_t i = 1; i <= 40; ++i)
    far = Cat({far, PageOfSize(4000, kSerial, i, i * 1000, 0)});
  far = Cat({far, Page(kSerial, 41, 50000, kLast, IdHeader(2, 48000))});
  mem.SetFile(u"/far", far);
  FaultInjector faults;
  FaultInjectingFileSystem fs(mem, faults);
  EXPECT_FALSE(ogg.Read(fs, u"/far"));
  EXPECT_EQ(ogg.SampleRate, 0u);
  EXPECT_LT(faults.stats.bytesRead, 65536 + 2 * 4000);
}

TEST(OggVorbis, ReadsIntoTheListItIsGiven) {
  MemoryFileSystem mem;
  mem.SetFile(u"/f", HeadPages(CommentHeader("vendor", {"ARTIST=Me"})));
  CVorbisComments mine;
  mine.AddCommentText("OLD=gone");
  mine.Vendor = u"old";
  COggVorbis ogg;
  ogg.UseComments(&mine);
  ogg.Read(mem, u"/f");
  EXPECT_EQ(&ogg.Comments(), &mine);
  ASSERT_EQ(mine.Count(), 1u);
  EXPECT_EQ(mine.GetComment("artist"), u"Me");
  EXPECT_EQ(mine.Vendor, u"vendor");

  ogg.UseComments(nullptr);
  ogg.Read(mem, u"/f");
  EXPECT_NE(&ogg.Comments(), &mine);
  EXPECT_EQ(ogg.Comments().Count(), 1u);
  EXPECT_EQ(mine.Count(), 1u);
}

// ---- Damaged files ---------------------------------------------------------

TEST(OggVorbis, ADamagedFirstPageGivesNothing) {
  const Bytes good = WithFinalPage(700);
  const auto pages = Pages(good);
  COggVorbis ogg;
  MemoryFileSystem mem;
  mem.SetFile(u"/good", good);
  ASSERT_TRUE(ogg.Read(mem, u"/good"));

  Bytes bad = good;
  bad[pages[0].bodyOffset + 12] ^= 0x40; // inside the sample rate; the CRC no longer matches
  mem.SetFile(u"/bad", bad);
  EXPECT_FALSE(ogg.Read(mem, u"/bad")); // the same object: nothing of the good file stays
  EXPECT_EQ(Dump(ogg), "valid=0\nchannels=0\nrate=0\nbitrate=0\ngranule=-1\nvendor=\n"
                       "totalsize=0\n");
  EXPECT_EQ(ogg.FileSize, int64_t(bad.size()));
  EXPECT_FALSE(ogg.Read(mem, u"/missing"));
  EXPECT_EQ(ogg.FileSize, -1);

  // A damaged comment page keeps the stream parameters and the length.
  bad = good;
  bad[pages[1].bodyOffset + 9] ^= 0x01;
  mem.SetFile(u"/bad2", bad);
  EXPECT_TRUE(ogg.Read(mem, u"/bad2"));
  EXPECT_EQ(Dump(ogg), "valid=1\nchannels=2\nrate=44100\nbitrate=128000\ngranule=4242\nvendor=\n"
                       "totalsize=0\n");
}

TEST(OggVorbis, BadInputEndsReadingQuietly) {
  const std::string big(70000, 'x');
  const Bytes truncatedPage = Page(kSerial, 1, 0, 0, CommentHeader("v", {"A=1"}));
  const Bytes shortId = IdHeader(1, 8000);
  struct Case {
    const char *what;
    Bytes file;
    std::string dump;
  } cases[] = {
      {"empty file",
       {},
       "valid=0\nchannels=0\nrate=0\nbitrate=0\ngranule=-1\nvendor=\ntotalsize=0\n"},
      {"header only", B("OggS"),
       "valid=0\nchannels=0\nrate=0\nbitrate=0\ngranule=-1\nvendor=\n"
       "totalsize=0\n"},
      {"segment table past the end",
       Cat({Page(kSerial, 0, 0, kFirst, IdHeader(2, 44100)),
            Bytes(truncatedPage.begin(), truncatedPage.begin() + 30)}),
       "valid=1\nchannels=2\nrate=44100\nbitrate=128000\ngranule=0\nvendor=\ntotalsize=0\n"},
      {"body past the end",
       Cat({Page(kSerial, 0, 0, kFirst, IdHeader(2, 44100)),
            Bytes(truncatedPage.begin(), truncatedPage.end() - 3)}),
       "valid=1\nchannels=2\nrate=44100\nbitrate=128000\ngranule=0\nvendor=\ntotalsize=0\n"},
      {"vendor length past the data",
       HeadPages(Cat({{3}, B("vorbis"), Le32(0xFFFFFFF0), B("vendor")})),
       "valid=1\nchannels=2\nrate=44100\nbitrate=128000\ngranule=0\nvendor=\ntotalsize=0\n"},
      {"comment count past the data", HeadPages(CommentHeader("v", {"A=1", "B=2"}, 0xFFFFFFFF)),
       "valid=1\nchannels=2\nrate=44100\nbitrate=128000\ngranule=0\nvendor=v\ntotalsize=23\n"
       "A=1\nB=2\n"},
      {"comment length past the data",
       HeadPages(Cat({{3},
                      B("vorbis"),
                      Le32(1),
                      B("v"),
                      Le32(2),
                      Le32(3),
                      B("A=1"),
                      Le32(0xFFFFFF00),
                      B("B=2")})),
       "valid=1\nchannels=2\nrate=44100\nbitrate=128000\ngranule=0\nvendor=v\ntotalsize=16\n"
       "A=1\n"},
      {"comment header missing", Page(kSerial, 0, 0, kFirst, IdHeader(1, 8000)),
       "valid=1\nchannels=1\nrate=8000\nbitrate=128000\ngranule=0\nvendor=\ntotalsize=0\n"},
      {"identification header cut short",
       Page(kSerial, 0, 0, kFirst, Bytes(shortId.begin(), shortId.end() - 1)),
       "valid=0\nchannels=0\nrate=0\nbitrate=0\ngranule=-1\nvendor=\ntotalsize=0\n"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(ReadDump(c.file), c.dump) << c.what;
}

// Random files, and real files cut short or with random bytes changed (with
// and without fixing the page CRCs): reading must end, inside its buffers.
TEST(OggVorbis, SurvivesRandomAndMangledFiles) {
  std::mt19937 random(20240611);
  for (int i = 0; i < 200; ++i) {
    Bytes junk(random() % 9000);
    for (auto &b : junk)
      b = uint8_t(random());
    if (i % 2 && junk.size() > 5) std::copy_n("OggS", 5, junk.begin()); // with "OggS" and 0
    ReadDump(junk);
  }

  const Bytes good =
      Cat({HeadPages(CommentHeader("vendor", {"A=1", "TITLE=x", "B="})),
           PageOfSize(300, kSerial, 2, 10, 0), PageOfSize(200, kSerial, 3, 20, kLast)});
  const std::string full = ReadDump(good);
  const auto pages = Pages(good);
  // Cut inside the head pages, the file must not read as whole; cut later,
  // the headers are all there and only the length may suffer.
  for (size_t n = 0; n < good.size(); ++n) {
    const std::string dump = ReadDump(Bytes(good.begin(), good.begin() + n));
    if (n < pages[2].offset) {
      EXPECT_NE(dump, full) << "a file cut to " << n << " bytes";
    }
  }
  for (int i = 0; i < 3000; ++i) {
    Bytes bad = good;
    const auto &page = pages[random() % 2]; // the head pages, where the headers are parsed
    for (int k = 0; k < 3; ++k)
      bad[page.offset + random() % page.size] = uint8_t(random());
    ReadDump(bad);
    if (Pages(bad).size() == pages.size()) FixCrc(bad, page);
    ReadDump(bad);
  }
}

TEST(OggVorbis, AFailureAtAnyCallEndsReadingWithoutHarm) {
  const Bytes file = WithFinalPage(5000);
  const std::string full = ReadDump(file);
  for (int64_t failAt = 1;; ++failAt) {
    MemoryFileSystem mem;
    mem.SetFile(u"/f", file);
    FaultInjector faults;
    faults.FailAt(failAt);
    FaultInjectingFileSystem fs(mem, faults);
    COggVorbis ogg;
    ogg.Read(fs, u"/f");
    EXPECT_EQ(faults.stats.bytesWritten, 0);
    EXPECT_EQ(mem.GetFile(u"/f"), file);
    if (!faults.Failed()) {
      EXPECT_EQ(Dump(ogg), full);
      break;
    }
    ASSERT_LT(failAt, 100);
  }
}

// ---- Real files and peers --------------------------------------------------

TEST(OggVorbisPeers, AgreesWithMutagenAndVorbiscomment) {
  TB_REQUIRE_TOOL("sox");
  TB_REQUIRE_TOOL("oggenc");
  TB_REQUIRE_TOOL("vorbiscomment");
  TB_REQUIRE_MUTAGEN();
  test::TempDir dir;
  const struct {
    int rate, channels;
    const char *quality;
  } formats[] = {{44100, 1, "2"}, {44100, 2, "5"}, {22050, 1, "0"}, {22050, 2, "3"}};
  for (const auto &f : formats) {
    const std::string name = std::to_string(f.rate) + "-" + std::to_string(f.channels) + ".ogg";
    Encode(dir, name, f.rate, f.channels, "2.5", {"-q", f.quality});
    const std::string path = (dir.Path() / name).string();
    const std::string comments = "ARTIST=Ärger Ünal\nTITLE=Schnee ☃\nGENRE=Rock\nGENRE=Pop\n"
                                 "EMPTY=\nDESCRIPTION=line one and more\n";
    const auto w = test::RunCommand({"vorbiscomment", "-w", "-R", path}, comments);
    ASSERT_EQ(w.exitCode, 0) << w.err;

    RealFileSystem fs;
    COggVorbis ogg;
    ASSERT_TRUE(ogg.Read(fs, W(path))) << name;
    EXPECT_EQ(Dump(ogg), MutagenDump(path)) << name;
    EXPECT_EQ(ogg.FileSize, int64_t(std::filesystem::file_size(path)));
    EXPECT_GE(ogg.BlockSize0, 6) << name;
    EXPECT_LE(ogg.BlockSize0, ogg.BlockSize1) << name;
    EXPECT_LE(ogg.BlockSize1, 13) << name;

    const auto listed = test::RunCommand({"vorbiscomment", "-l", "-R", path});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    std::string ours;
    for (const auto &c : ogg.Comments().Comments)
      ours += c.Name + "=" + WideToUtf8(c.Value) + "\n";
    EXPECT_EQ(ours, listed.out) << name;
    EXPECT_EQ(ours, comments) << name;
  }
}

TEST(OggVorbisPeers, ReadsACommentHeaderThatSpansSeveralPages) {
  TB_REQUIRE_TOOL("sox");
  TB_REQUIRE_TOOL("oggenc");
  TB_REQUIRE_TOOL("vorbiscomment");
  TB_REQUIRE_MUTAGEN();
  test::TempDir dir;
  std::string longText(100000, ' ');
  for (size_t i = 0; i < longText.size(); ++i)
    longText[i] = char('a' + i % 26);
  Encode(dir, "long.ogg", 44100, 2, "1", {"-c", "DESCRIPTION=" + longText, "-c", "TITLE=after"});
  Encode(dir, "many.ogg", 22050, 1, "1");
  std::string many;
  for (int i = 0; i < 4000; ++i)
    many += "NUMBER" + std::to_string(i) + "=value number " + std::to_string(i) + "\n";
  ASSERT_EQ(
      test::RunCommand({"vorbiscomment", "-w", "-R", (dir.Path() / "many.ogg").string()}, many)
          .exitCode,
      0);

  for (const char *name : {"long.ogg", "many.ogg"}) {
    const std::string path = (dir.Path() / name).string();
    const Bytes bytes = B(test::ReadFileBytes(path));
    const auto pages = Pages(bytes);
    ASSERT_GT(pages.size(), 3u);
    EXPECT_TRUE(pages[2].flags & kContinued) << name << ": the comments fit on one page";
    MemoryFileSystem mem;
    mem.SetFile(u"/f", bytes);
    COggVorbis ogg;
    ASSERT_TRUE(ogg.Read(mem, u"/f"));
    EXPECT_GT(ogg.Comments().TotalSize, 65536);
    EXPECT_EQ(Dump(ogg), MutagenDump(path)) << name;
  }
}

// Pages of two files, serial numbers 1111 and 2222, interleaved one by one
// (all first pages first, as a multiplexed file has them) and one after the
// other (a chained file: the second stream starts when the first ends).
// Every page keeps its own CRC, so nothing needs rewriting.
TEST(OggVorbisPeers, ReadsOnlyTheFirstStreamOfAMultiplexedOrChainedFile) {
  TB_REQUIRE_TOOL("sox");
  TB_REQUIRE_TOOL("oggenc");
  TB_REQUIRE_MUTAGEN();
  test::TempDir dir;
  const Bytes a = Encode(dir, "a.ogg", 44100, 2, "2", {"-s", "1111", "-c", "ARTIST=first"});
  const Bytes b = Encode(dir, "b.ogg", 22050, 1, "20", {"-s", "2222", "-c", "ARTIST=second"});
  const auto pa = Pages(a), pb = Pages(b);
  Bytes muxed;
  for (size_t i = 0; i < std::max(pa.size(), pb.size()); ++i) {
    if (i < pa.size()) muxed = Cat({muxed, Slice(a, pa[i])});
    if (i < pb.size()) muxed = Cat({muxed, Slice(b, pb[i])});
  }
  ASSERT_GT(pb.size(), pa.size()); // so the last pages are the second stream's
  Save(dir, "muxed.ogg", muxed);
  Save(dir, "chained.ogg", Cat({a, b}));

  const std::string first = ReadDump(a);
  EXPECT_NE(first.find("granule=88200\n"), std::string::npos) << first;
  EXPECT_NE(first.find("ARTIST=first\n"), std::string::npos) << first;
  for (const char *name : {"muxed.ogg", "chained.ogg"}) {
    const std::string path = (dir.Path() / name).string();
    EXPECT_EQ(ReadDump(B(test::ReadFileBytes(path))), first) << name;
    EXPECT_EQ(MutagenDump(path), first) << name;
  }

  // The page layer hands out the first stream's bodies and nothing else.
  MemoryFileSystem mem;
  mem.SetFile(u"/m", muxed);
  COggStream s;
  ASSERT_TRUE(s.Open(mem, u"/m"));
  EXPECT_EQ(s.StreamSerial, 1111u);
  size_t bodies = 0;
  for (const auto &p : pa)
    bodies += p.size - (p.bodyOffset - p.offset);
  EXPECT_EQ(s.ReadData(nullptr, muxed.size()), bodies);
}

// A long file is read at its head pages and in a few 4 KiB blocks at its end.
TEST(OggVorbisPeers, ReadsOnlyTheHeadPagesAndTheEndOfALongFile) {
  TB_REQUIRE_TOOL("sox");
  TB_REQUIRE_TOOL("oggenc");
  test::TempDir dir;
  const Bytes file = Encode(dir, "long.ogg", 44100, 2, "240", {"-q", "10"}, "whitenoise");
  ASSERT_GT(file.size(), 10000000u);
  size_t headEnd = 0;
  for (const auto &p : Pages(file))
    if (p.granule == 0) headEnd = p.offset + p.size;
  ASSERT_GT(headEnd, 0u);
  RealFileSystem real;
  FaultInjector faults;
  FaultInjectingFileSystem fs(real, faults);
  COggVorbis ogg;
  ASSERT_TRUE(ogg.Read(fs, W((dir.Path() / "long.ogg").string())));
  EXPECT_EQ(ogg.LastGranule, 240 * 44100);
  EXPECT_LE(faults.stats.bytesRead, int64_t(headEnd + 3 * 4096));
}

// A file of another codec in an Ogg container is left unrecognised early.
TEST(OggVorbisPeers, GivesUpOnAnOpusFileEarly) {
  TB_REQUIRE_TOOL("sox");
  TB_REQUIRE_TOOL("opusenc");
  test::TempDir dir;
  const std::string wav = (dir.Path() / "n.wav").string(), opus = (dir.Path() / "n.opus").string();
  ASSERT_EQ(test::RunCommand({"sox", "-n", "-r", "48000", "-c", "2", "-b", "16", wav, "synth", "20",
                              "whitenoise"})
                .exitCode,
            0);
  ASSERT_EQ(test::RunCommand({"opusenc", "--quiet", "--bitrate", "256", wav, opus}).exitCode, 0);
  ASSERT_GT(std::filesystem::file_size(opus), 400000u);
  RealFileSystem real;
  FaultInjector faults;
  FaultInjectingFileSystem fs(real, faults);
  COggVorbis ogg;
  EXPECT_FALSE(ogg.Read(fs, W(opus)));
  EXPECT_EQ(ogg.Channels, 0);
  EXPECT_EQ(ogg.Comments().Count(), 0u);
  EXPECT_LT(faults.stats.bytesRead, 150000);
}

} // namespace
} // namespace tunbrix
