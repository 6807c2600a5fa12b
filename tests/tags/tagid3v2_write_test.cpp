// Setting frames, writing and removing ID3v2 tags, checked byte for byte on
// small hand-built files, with failures injected at every I/O call.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <string>

#include "support/fault_loop.h"
#include "support/id3v2_bytes.h"
#include "support/test_support.h"
#include "tags/tagid3v2.h"

namespace tunbrix {
namespace {

using namespace std::string_literals;
using namespace test::bytes;
using namespace test::id3v2;

Bytes Zeros(size_t n) { return Bytes(n, 0); }

Bytes ID3v1() {
  Bytes t = B("TAG") + Zeros(125);
  t[3] = 'x';
  return t;
}

Bytes Lyrics3() {
  const std::string fields = "IND00002"
                             "10"
                             "EAR00004"
                             "Band";
  return B("LYRICSBEGIN" + fields + "000033" + "LYRICS200");
}

// A version 3 title frame of exactly `total` bytes.
WideString TitleOfFrameSize(size_t total) { return WideString(total - 11, u'a'); }
Bytes TitleFrame3(size_t total) { return Frame3("TIT2", B("\0"s + std::string(total - 11, 'a'))); }

const WideString kPath = u"/a.mp3";

// Writes with a fresh object that setup fills; returns the file afterwards.
Bytes WriteOnce(const Bytes &before, const std::function<void(CID3v2 &)> &setup,
                int expected = kTagDone) {
  MemoryFileSystem fs;
  fs.SetFile(kPath, before);
  CID3v2 tag;
  tag.Read(fs, kPath); // the frames already there, if any
  setup(tag);
  EXPECT_EQ(tag.Write(fs, kPath), expected);
  EXPECT_EQ(fs.FileNames().size(), 1u) << "a temporary file was left behind";
  return *fs.GetFile(kPath);
}

CID3v2 ReadBack(const Bytes &file) {
  MemoryFileSystem fs;
  fs.SetFile(kPath, file);
  CID3v2 tag;
  EXPECT_EQ(tag.Read(fs, kPath), 0);
  return tag;
}

// ---- setting frames

TEST(ID3v2SetItem, FrameBodies) {
  const struct {
    const char *item;
    std::u16string value;
    const char *id;
    Bytes body;
  } cases[] = {
      {"Title", u"Hi", "TIT2", B("\0Hi"s)},
      {"artist", u"Zo\u00EB", "TPE1", B("\0Zo\xEB"s)},
      {"Album", u"a\u20ACb", "TALB",
       B("\1\xFF\xFE"
         "a\0\xAC\x20"
         "b\0"s)},
      // C1 controls are not the same byte in ISO-8859-1 and Windows-1252.
      {"Composer", u"\u0085", "TCOM", B("\1\xFF\xFE\x85\0"s)},
      {"Comment", u"note", "COMM", B("\0XXX\0note"s)},
      {"Comment", u"n\u0100", "COMM", B("\1XXX\xFF\xFE\0\0\xFF\xFEn\0\0\1"s)},
      {"URL", u"http://x/", "WXXX", B("\0\0http://x/"s)},
      {"Lyrics", u"la", "USLT", B("\0XXX\0la"s)},
      {"Track", u"3/12", "TRCK",
       B("\0"
         "3/12"s)},
  };
  for (const auto &c : cases) {
    CID3v2 tag;
    tag.SetItem(c.item, c.value);
    ASSERT_EQ(Ids(tag), c.id) << c.item;
    EXPECT_EQ(tag.Frames[0].Data, c.body) << c.item;
    EXPECT_EQ(tag.GetFrameText(c.id, u""), c.value) << c.item;
  }
  CID3v2 tag;
  tag.SetItem("NoSuchItem", u"x");
  tag.SetTextFrame("APIC", u"", u"x"); // not a text frame
  tag.SetTextFrame("tit2", u"", u"x");
  EXPECT_EQ(tag.FrameCount(), 0u);
  // "Year" sets the frame of each version, so neither can bring back an old year.
  tag.SetItem("YEAR", u"2004");
  EXPECT_EQ(Ids(tag), "TDRC TYER");
}

TEST(ID3v2SetItem, ReplacingAndRemoving) {
  const Bytes body = Frame3("TIT2", B("\0one"s), 0x20) + Frame3("COMM", B("\0eng\0c1"s)) +
                     Frame3("COMM", B("\0engx\0cx"s)) + Frame3("TIT2", B("\0two"s)) +
                     Frame3("COMM", B("\0deu\0c2"s)) +
                     Frame3("TALB", BigEndian(9) + Bytes{1, 2}, 0, 0x80) +
                     Frame3("COMM", B("\0eng\0"s) + Bytes{1, 2, 3}, 0, 0x80);
  CID3v2 tag = ReadBack(Tag(3, 0, body));
  ASSERT_EQ(Ids(tag), "TIT2 COMM COMM TIT2 COMM TALB COMM");

  // A kind without description: the first frame is reused, its flags kept.
  tag.SetItem("Title", u"new");
  EXPECT_EQ(tag.Frames[0].Data, B("\0new"s));
  EXPECT_TRUE(tag.Frames[0].Flags.ReadOnly);
  EXPECT_EQ(tag.Frames[3].Data, B("\0two"s));
  // A compressed frame is reused; its new body is plain.
  tag.SetItem("Album", u"al");
  EXPECT_EQ(tag.Frames[5].Data, B("\0al"s));
  EXPECT_FALSE(tag.Frames[5].Flags.Compression);
  EXPECT_FALSE(tag.Frames[5].Flags.DataLengthIndicator);
  EXPECT_EQ(tag.GetFrameText("TALB", u""), u"al");
  // Comments with the empty description go, the compressed one is reused.
  tag.SetItem("Comment", u"c3");
  EXPECT_EQ(Ids(tag), "TIT2 COMM TIT2 TALB COMM");
  EXPECT_EQ(tag.GetFrameText("COMM", u"x"), u"cx");
  EXPECT_EQ(tag.Frames[4].Data, B("\0XXX\0c3"s));
  EXPECT_FALSE(tag.Frames[4].Flags.Compression);
  // The description matches without regard to case; a new frame goes last.
  tag.SetTextFrame("COMM", u"X", u"big");
  EXPECT_EQ(Ids(tag), "TIT2 TIT2 TALB COMM COMM");
  EXPECT_EQ(tag.Frames[4].Data, B("\0XXX"
                                  "X\0big"s));
  // An empty value removes the frame.
  tag.SetItem("Title", u"");
  tag.SetItem("Comment", u"");
  EXPECT_EQ(Ids(tag), "TIT2 TALB COMM");
  EXPECT_EQ(tag.GetFrameText("TIT2", u""), u"two");
  tag.SetTextFrame("COMM", u"x", u"");
  tag.SetItem("Title", u"");
  tag.SetItem("Album", u"");
  EXPECT_EQ(tag.FrameCount(), 0u);
}

// ---- placing the tag

TEST(ID3v2Write, Placement) {
  const Bytes audio = Audio(3000);
  const Bytes title = B("\0Hi"s);
  const auto setTitle = [](CID3v2 &t) {
    t.Frames.clear();
    t.SetItem("Title", u"Hi");
  };
  const auto v4 = [&](bool atEnd) {
    return [=](CID3v2 &t) {
      setTitle(t);
      t.Version = 4;
      t.AtEnd = atEnd;
    };
  };
  const auto v3AtEnd = [&](CID3v2 &t) {
    setTitle(t);
    t.Version = 3;
    t.AtEnd = true;
  };
  const Bytes newEnd4 =
      Header("ID3", 4, 0x10, 13) + Frame4("TIT2", title) + Header("3DI", 4, 0x10, 13);
  const Bytes oldEnd4 = Tag(4, 0x10, Frame4("TALB", B("\0"s + std::string(300, 'o'))));
  const struct {
    const char *name;
    Bytes before;
    std::function<void(CID3v2 &)> setup;
    Bytes after;
  } cases[] = {
      {"no tag: padded to the next multiple of 256", audio,
       [](CID3v2 &t) { t.SetItem("Title", TitleOfFrameSize(300)); },
       Header("ID3", 3, 0, 512) + TitleFrame3(300) + Zeros(212) + audio},
      {"smaller than the old tag: in place",
       Tag(3, 0, Frame3("TALB", B("\0old"s)) + Zeros(4082)) + audio,
       [](CID3v2 &t) {
         t.Frames.clear();
         t.SetItem("Title", TitleOfFrameSize(1000));
       },
       Header("ID3", 3, 0, 4096) + TitleFrame3(1000) + Zeros(3096) + audio},
      {"as large as the old tag: rewritten", Tag(3, 0, TitleFrame3(1000)) + audio,
       [](CID3v2 &t) { t.SetItem("Title", TitleOfFrameSize(1000)); },
       Header("ID3", 3, 0, 1024) + TitleFrame3(1000) + Zeros(24) + audio},
      {"padding unit 1000", audio,
       [](CID3v2 &t) {
         t.SetItem("Title", TitleOfFrameSize(300));
         t.PaddingUnit = 1000;
       },
       Header("ID3", 3, 0, 1000) + TitleFrame3(300) + Zeros(700) + audio},
      {"no padding", audio,
       [](CID3v2 &t) {
         t.SetItem("Title", u"Hi");
         t.PaddingUnit = -1;
       },
       Header("ID3", 3, 0, 13) + Frame3("TIT2", title) + audio},
      {"2.4 at the start with a footer: the footer's bytes are reused",
       Tag(4, 0x10, Frame4("TIT2", title) + Zeros(500)) + audio, v4(false),
       Header("ID3", 4, 0, 523) + Frame4("TIT2", title) + Zeros(510) + audio},
      {"at the end asked for, but a tag is at the start: in place",
       Tag(3, 0, Frame3("TIT2", title) + Zeros(100)) + audio, v3AtEnd,
       Header("ID3", 3, 0, 113) + Frame3("TIT2", title) + Zeros(100) + audio},
      {"2.4 at the end: before Lyrics3 and ID3v1", audio + Lyrics3() + ID3v1(), v4(true),
       audio + newEnd4 + Lyrics3() + ID3v1()},
      {"2.4 at the end: before ID3v1", audio + ID3v1(), v4(true), audio + newEnd4 + ID3v1()},
      {"2.4 at the end of a file without tags", audio, v4(true), audio + newEnd4},
      {"2.4 with an old tag at the end: replaced there", audio + oldEnd4 + ID3v1(), v4(false),
       audio + newEnd4 + ID3v1()},
      {"2.4 replacing a smaller tag at the end", audio + Tag(4, 0x10, Frame4("TIT2", B("\0x"s))),
       [](CID3v2 &t) {
         t.Frames.clear();
         t.SetItem("Album", WideString(100, u'b'));
         t.Version = 4;
       },
       audio + Tag(4, 0x10, Frame4("TALB", B("\0"s + std::string(100, 'b'))))},
      {"2.3 at the end: no footer", audio + Lyrics3() + ID3v1(), v3AtEnd,
       audio + Header("ID3", 3, 0, 13) + Frame3("TIT2", title) + Lyrics3() + ID3v1()},
      {"2.3 at the end replaces its old tag there",
       audio + Tag(3, 0, Frame3("TALB", B("\0old album"s))) + ID3v1(), v3AtEnd,
       audio + Header("ID3", 3, 0, 13) + Frame3("TIT2", title) + ID3v1()},
      {"2.3 with an old tag at the end: new one at the start, old one left", audio + oldEnd4,
       [](CID3v2 &t) {
         t.Frames.clear();
         t.SetItem("Title", u"Hi");
         t.Version = 3;
         t.PaddingUnit = -1;
       },
       Header("ID3", 3, 0, 13) + Frame3("TIT2", title) + audio + oldEnd4},
      {"an old tag cut by the end of the file fills all of it",
       Header("ID3", 3, 0, 9000) + Audio(100), setTitle,
       Header("ID3", 3, 0, 100) + Frame3("TIT2", title) + Zeros(87)},
      {"an APE footer 131 bytes before the end is no ID3v1 tag", audio + B("APETAGEX") + Zeros(123),
       v4(true), audio + B("APETAGEX") + Zeros(123) + newEnd4},
  };
  for (const auto &c : cases) {
    const Bytes after = WriteOnce(c.before, c.setup);
    EXPECT_EQ(after.size(), c.after.size()) << c.name;
    EXPECT_TRUE(after == c.after) << c.name;
  }
}

TEST(ID3v2Write, Unsynchronisation) {
  const Bytes audio = Audio(100);
  const auto setup = [](int version, bool second) {
    return [=](CID3v2 &t) {
      t.SetItem("Title", u"\u00FF\u00E0"); // FF E0 in the body
      if (second) t.SetItem("Album", u"ab");
      t.Version = version;
      t.Unsync = true;
      t.PaddingUnit = -1;
    };
  };
  const struct {
    const char *name;
    std::function<void(CID3v2 &)> setup;
    Bytes after;
  } cases[] = {
      // 2.3: the whole frame area; frame sizes count the bytes before it.
      {"2.3", setup(3, false),
       Header("ID3", 3, 0x80, 14) + B("TIT2\0\0\0\3\0\0\0\xFF\0\xE0"s) + audio},
      // 2.4: each frame; the tag's flag only when every frame changed.
      {"2.4, every frame changed", setup(4, false),
       Header("ID3", 4, 0x80, 14) + Frame4("TIT2", Bytes{0, 0xFF, 0, 0xE0}, 0, 0x02) + audio},
      {"2.4, one frame of two changed", setup(4, true),
       Header("ID3", 4, 0, 27) + Frame4("TIT2", Bytes{0, 0xFF, 0, 0xE0}, 0, 0x02) +
           Frame4("TALB", B("\0ab"s)) + audio},
  };
  for (const auto &c : cases) {
    const Bytes after = WriteOnce(audio, c.setup);
    EXPECT_TRUE(after == c.after) << c.name;
    const CID3v2 back = ReadBack(after);
    EXPECT_EQ(back.GetFrameText("TIT2", u""), u"\u00FF\u00E0") << c.name;
    EXPECT_EQ(back.Frames[0].Data, (Bytes{0, 0xFF, 0xE0})) << c.name;
  }
  // Nothing to change: no flag.
  const Bytes plain = WriteOnce(audio, [](CID3v2 &t) {
    t.SetItem("Title", u"Hi");
    t.Unsync = true;
    t.PaddingUnit = -1;
  });
  EXPECT_EQ(plain, Header("ID3", 3, 0, 13) + Frame3("TIT2", B("\0Hi"s)) + audio);
}

// ---- preparing the frames for the version written

TEST(ID3v2Write, From24To23) {
  const Bytes body = Frame4("TIT2", B("\0T"s)) +
                     Frame4("TDRC", B("\0"
                                      "2004-05-06"s)) +
                     Frame4("TDTG", B("\0"
                                      "2001-01-01T00:00:00"s)) +
                     Frame4("TMOO", B("\0calm"s)) + Frame4("TSOP", B("\0sort"s)) +
                     Frame4("TLEN", B("\0"
                                      "1000"s)) +
                     Frame4("TPE2", B("\0gone"s), 0x40) + Frame4("TXXX", B("\0k\0v"s)) +
                     Frame4("TALB", B("\0"s));
  const Bytes after = WriteOnce(Tag(4, 0, body), [](CID3v2 &t) { t.Version = 3; });
  const CID3v2 back = ReadBack(after);
  EXPECT_EQ(back.Version, 3);
  EXPECT_EQ(Ids(back), "TIT2 TLEN TXXX TYER");
  EXPECT_EQ(back.GetFrameText("TYER", u""), u"2004");
  EXPECT_TRUE(back.Frames[1].Flags.FileAlterPreservation);
  // In the file: status byte 0x40 of a 2.3 frame.
  const Bytes tlen = Frame3("TLEN",
                            B("\0"
                              "1000"s),
                            0x40);
  EXPECT_NE(std::search(after.begin(), after.end(), tlen.begin(), tlen.end()), after.end());
}

TEST(ID3v2Write, From23To24) {
  const Bytes body = Frame3("TIT2", B("\0T"s)) +
                     Frame3("TYER", B("\0"
                                      "1999"s)) +
                     Frame3("TDAT", B("\0"
                                      "0105"s)) +
                     Frame3("RVAD", Bytes{1, 2, 3}) +
                     Frame3("TSIZ", B("\0"
                                      "9"s)) +
                     Frame3("TPE1", B("\0a"s), 0x80);
  const CID3v2 back = ReadBack(WriteOnce(Tag(3, 0, body), [](CID3v2 &t) { t.Version = 4; }));
  EXPECT_EQ(back.Version, 4);
  EXPECT_EQ(Ids(back), "TIT2 TDRC");
  EXPECT_EQ(back.GetFrameText("TDRC", u""), u"1999");
  // A year set on a tag read as 2.3 is the year written as 2.4.
  const CID3v2 changed = ReadBack(WriteOnce(Tag(3, 0, body), [](CID3v2 &t) {
    t.SetItem("Year", u"2010-02");
    t.Version = 4;
  }));
  EXPECT_EQ(changed.GetFrameText("TDRC", u""), u"2010-02");
  const CID3v2 v3 =
      ReadBack(WriteOnce(Tag(3, 0, body), [](CID3v2 &t) { t.SetItem("Year", u"2010-02"); }));
  EXPECT_EQ(v3.GetFrameText("TYER", u""), u"2010");
  // An emptied year stays empty.
  const CID3v2 cleared =
      ReadBack(WriteOnce(Tag(3, 0, body), [](CID3v2 &t) { t.SetItem("Year", u""); }));
  EXPECT_EQ(Ids(cleared), "TIT2 TDAT RVAD TSIZ");
  EXPECT_TRUE(cleared.Frames[2].Flags.FileAlterPreservation);
  EXPECT_TRUE(cleared.Frames[3].Flags.FileAlterPreservation);
}

std::string TagTime(std::time_t when) {
  std::tm t{};
  localtime_r(&when, &t);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &t);
  return text;
}

TEST(ID3v2Write, TaggingTime) {
  const Bytes withTdtg = Tag(4, 0,
                             Frame4("TIT2", B("\0T"s)) + Frame4("TDTG", B("\0"
                                                                          "2001-01-01T00:00:00"s)));
  const std::string before = TagTime(std::time(nullptr));
  const CID3v2 back = ReadBack(WriteOnce(withTdtg, [](CID3v2 &t) { t.Version = 4; }));
  const std::string after = TagTime(std::time(nullptr));
  const std::string written = WideToUtf8(back.GetFrameText("TDTG", u""));
  EXPECT_EQ(written.size(), 19u);
  EXPECT_LE(before, written);
  EXPECT_LE(written, after);
  // None is made up when the tag had none.
  const CID3v2 none =
      ReadBack(WriteOnce(Tag(4, 0, Frame4("TIT2", B("\0T"s))), [](CID3v2 &t) { t.Version = 4; }));
  EXPECT_EQ(Ids(none), "TIT2");
}

TEST(ID3v2Write, OpaqueFramesKeepTheirBytes) {
  const Bytes zlib = {0x78, 0x9C, 0x01, 0x02, 0x03};
  const Bytes compressed3 = Frame3("TIT2", BigEndian(20) + zlib, 0, 0x80);
  const Bytes unknown3 = Frame3("XTST", Bytes{1, 2, 3}, 0x20, 0);
  const Bytes album3 = Frame3("TALB", B("\0al"s));
  const Bytes source = Tag(3, 0, compressed3 + unknown3 + album3) + Audio(50);
  const uint32_t m = uint32_t(compressed3.size() + unknown3.size() + album3.size());
  // Same version: the very bytes.
  EXPECT_EQ(WriteOnce(source, [](CID3v2 &) {}), Header("ID3", 3, 0, 256) + compressed3 + unknown3 +
                                                    album3 + Zeros(256 - m) + Audio(50));
  // 2.4: the decompressed size becomes the data length indicator.
  const Bytes to4 = WriteOnce(source, [](CID3v2 &t) {
    t.Version = 4;
    t.PaddingUnit = -1;
  });
  EXPECT_EQ(to4, Header("ID3", 4, 0, m) + Frame4("TIT2", Synchsafe(20) + zlib, 0, 0x09) +
                     Frame4("XTST", Bytes{1, 2, 3}, 0x10, 0) + Frame4("TALB", B("\0al"s)) +
                     Audio(50));
  // Back to 2.3 from there, with grouping and encryption in each version's order.
  const Bytes grouped4 = Frame4("PRIV", Bytes{5, 9, 'x'}, 0, 0x44);
  const Bytes to3 = WriteOnce(to4 + Bytes{}, [](CID3v2 &t) {
    t.Version = 3;
    t.PaddingUnit = -1;
  });
  EXPECT_EQ(to3, Header("ID3", 3, 0, m) + compressed3 + unknown3 + album3 + Audio(50));
  const Bytes priv3 = WriteOnce(Tag(4, 0, grouped4), [](CID3v2 &t) {
    t.Version = 3;
    t.PaddingUnit = -1;
  });
  EXPECT_EQ(priv3, Header("ID3", 3, 0, 13) + Frame3("PRIV", Bytes{9, 5, 'x'}, 0, 0x60));
}

TEST(ID3v2Write, RefusesAndTouchesNothing) {
  const Bytes file = Tag(3, 0, Frame3("TIT2", B("\0T"s))) + Audio(100);
  const struct {
    const char *name;
    std::function<void(CID3v2 &)> setup;
  } cases[] = {
      {"version 2", [](CID3v2 &t) { t.Version = 2; }},
      {"version 5", [](CID3v2 &t) { t.Version = 5; }},
      {"revision 255", [](CID3v2 &t) { t.Revision = 255; }},
      {"no frames", [](CID3v2 &t) { t.Frames.clear(); }},
      {"only empty frames", [](CID3v2 &t) { t.Frames[0].Data = B("\0"s); }},
      {"only frames the version drops",
       [](CID3v2 &t) {
         t.Frames[0] = MakeFrame("TDTG");
         t.Frames[0].Data = B("\0x"s);
       }},
      {"too much padding", [](CID3v2 &t) { t.PaddingUnit = 1 << 29; }},
  };
  for (const auto &c : cases)
    EXPECT_EQ(WriteOnce(file, c.setup, kTagFailed), file) << c.name;
  MemoryFileSystem fs;
  CID3v2 tag;
  tag.SetItem("Title", u"x");
  EXPECT_EQ(tag.Write(fs, u"/missing.mp3"), kTagFailed);
  EXPECT_TRUE(fs.FileNames().empty());
}

TEST(ID3v2Write, VersionZeroIsThree) {
  const Bytes after = WriteOnce(Audio(10), [](CID3v2 &t) {
    t.SetItem("Title", u"Hi");
    t.Version = 0;
    t.PaddingUnit = -1;
  });
  EXPECT_EQ(after, Header("ID3", 3, 0, 13) + Frame3("TIT2", B("\0Hi"s)) + Audio(10));
}

// ---- round trips

struct TFrameView {
  std::string id;
  Bytes data;
  TID3FrameFlags flags;
  uint8_t group, method;
  uint32_t length;
  bool operator==(const TFrameView &) const = default;
};

std::vector<TFrameView> View(const CID3v2 &tag) {
  std::vector<TFrameView> v;
  for (const auto &f : tag.Frames)
    v.push_back({f.FrameId, f.Data, f.Flags, f.GroupId, f.EncryptionMethod, f.DataLength});
  return v;
}

TEST(ID3v2Write, ReadWriteReadKeepsTheFramesAndWritingTwiceChangesNothing) {
  const Bytes frames =
      Frame3("TIT2", B("\1\xFF\xFE"
                       "a\0\xFF\0"s)) +
      Frame3("COMM", B("\0engd\0text"s)) +
      Frame3("APIC", B("\0image/png\0\3pic\0"s) + Bytes{0x89, 'P', 0xFF, 0xE0, 0x00}) +
      Frame3("PRIV", B("owner\0"s) + Bytes{0xFF, 0xFB}) + Frame3("XTST", Bytes{1}, 0x20) +
      Frame3("TALB", BigEndian(9) + Bytes{0x78, 0xFF}, 0, 0xA0) + // compressed and grouped
      Frame3("TXXX", B("\0k\0v"s));
  const Bytes source = Audio(2000) + Lyrics3() + ID3v1();
  const struct {
    const char *name;
    int version;
    bool unsync, atEnd;
    int padding;
  } cases[] = {
      {"2.3", 3, false, false, 0},           {"2.3 unsynchronised", 3, true, false, 512},
      {"2.4", 4, false, false, 0},           {"2.4 unsynchronised", 4, true, false, -1},
      {"2.4 at the end", 4, false, true, 0}, {"2.3 at the end", 3, true, true, 0},
  };
  for (const auto &c : cases) {
    const auto options = [&](CID3v2 &t) {
      t.Version = c.version;
      t.Unsync = c.unsync;
      t.AtEnd = c.atEnd;
      t.PaddingUnit = c.padding;
    };
    const CID3v2 original = ReadBack(Tag(3, 0, frames));
    const Bytes once = WriteOnce(source, [&](CID3v2 &t) {
      t.Frames = original.Frames;
      options(t);
    });
    const CID3v2 back = ReadBack(once);
    EXPECT_TRUE(View(back) == View(original)) << c.name;
    EXPECT_EQ(back.Version, c.version) << c.name;
    const Bytes twice = WriteOnce(once, options);
    EXPECT_TRUE(twice == once) << c.name;
  }
}

// ---- removing

TEST(ID3v2Remove, StartEndAndNothing) {
  const Bytes audio = Audio(3000);
  const struct {
    const char *name;
    Bytes before;
    int result;
    Bytes after;
  } cases[] = {
      {"at the start", Tag(3, 0, Frame3("TIT2", B("\0T"s)) + Zeros(50)) + audio, kTagDone, audio},
      {"2.4 with footer at the start", Tag(4, 0x10, Frame4("TIT2", B("\0T"s))) + audio, kTagDone,
       audio},
      {"at the end before ID3v1", audio + Tag(4, 0x10, Frame4("TIT2", B("\0T"s))) + ID3v1(),
       kTagDone, audio + ID3v1()},
      {"2.3 at the end", audio + Tag(3, 0, Frame3("TIT2", B("\0T"s))) + Lyrics3() + ID3v1(),
       kTagDone, audio + Lyrics3() + ID3v1()},
      {"cut by the end of the file", Header("ID3", 3, 0, 9000) + Audio(100), kTagDone, {}},
      {"no tag", audio + ID3v1(), kTagNothing, audio + ID3v1()},
  };
  for (const auto &c : cases) {
    MemoryFileSystem fs;
    fs.SetFile(kPath, c.before);
    CID3v2 tag;
    EXPECT_EQ(tag.Remove(fs, kPath), c.result) << c.name;
    EXPECT_TRUE(*fs.GetFile(kPath) == c.after) << c.name;
    EXPECT_EQ(fs.FileNames().size(), 1u) << c.name;
  }
  MemoryFileSystem fs;
  CID3v2 tag;
  EXPECT_EQ(tag.Remove(fs, u"/missing.mp3"), kTagFailed);
}

// ---- failures at every call

TEST(ID3v2Write, EveryFailureLeavesTheFileAsItWas) {
  const Bytes audio = Audio(300000); // more than two copy blocks
  const Bytes title = Frame3("TIT2", B("\0Hi"s));
  const Bytes atStart = Tag(3, 0, Frame3("TIT2", B("\0Ho"s)) + Zeros(200)) + audio;
  const struct {
    const char *name;
    Bytes before;
    int version;
    bool atEnd;
    Bytes after;
  } cases[] = {
      {"in place", atStart, 3, false, Header("ID3", 3, 0, 213) + title + Zeros(200) + audio},
      {"through a temporary file", audio, 3, false,
       Header("ID3", 3, 0, 256) + title + Zeros(243) + audio},
      {"at the end", audio + Lyrics3() + ID3v1(), 4, true,
       audio + Header("ID3", 4, 0x10, 13) + Frame4("TIT2", B("\0Hi"s)) +
           Header("3DI", 4, 0x10, 13) + Lyrics3() + ID3v1()},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    test::ExpectEveryFailureLeavesTheFile(
        c.before, c.after,
        [&](IFileSystem &fs) {
          CID3v2 tag;
          tag.SetItem("Title", u"Hi");
          tag.Version = c.version;
          tag.AtEnd = c.atEnd;
          return int(tag.Write(fs, kPath));
        },
        kTagDone, std::nullopt, kPath);
  }
  const struct {
    const char *name;
    Bytes before;
    Bytes after;
  } removals[] = {
      {"remove at the start", atStart, audio},
      {"remove at the end", audio + Tag(4, 0x10, Frame4("TIT2", B("\0T"s))) + ID3v1(),
       audio + ID3v1()},
  };
  for (const auto &c : removals) {
    SCOPED_TRACE(c.name);
    test::ExpectEveryFailureLeavesTheFile(
        c.before, c.after,
        [](IFileSystem &fs) {
          CID3v2 tag;
          return int(tag.Remove(fs, kPath));
        },
        kTagDone, std::nullopt, kPath);
  }
}

// Logs what happens to which file.
class RecordingFileSystem final : public IFileSystem {
public:
  explicit RecordingFileSystem(IFileSystem &inner) : inner_(inner) {}
  std::vector<std::string> log;

  std::unique_ptr<IFile> Open(const WideString &path, FileMode mode) override {
    auto file = inner_.Open(path, mode);
    return file ? std::make_unique<File>(std::move(file), WideToUtf8(path), log) : nullptr;
  }
  bool Rename(const WideString &from, const WideString &to) override {
    log.push_back("rename " + WideToUtf8(from) + " " + WideToUtf8(to));
    return inner_.Rename(from, to);
  }
  bool Remove(const WideString &path) override {
    log.push_back("remove " + WideToUtf8(path));
    return inner_.Remove(path);
  }
  bool Exists(const WideString &path) override { return inner_.Exists(path); }
  WideString MakeTempFile(const WideString &directory, const WideString &prefix) override {
    const WideString name = inner_.MakeTempFile(directory, prefix);
    log.push_back("temp " + WideToUtf8(name));
    return name;
  }
  bool CopyPermissions(const WideString &from, const WideString &to) override {
    return inner_.CopyPermissions(from, to);
  }

private:
  class File final : public IFile {
  public:
    File(std::unique_ptr<IFile> inner, std::string name, std::vector<std::string> &log)
        : inner_(std::move(inner)), name_(std::move(name)), log_(log) {}
    int64_t Read(void *buf, size_t count) override { return inner_->Read(buf, count); }
    bool Write(const void *buf, size_t count) override {
      log_.push_back("write " + name_);
      return inner_->Write(buf, count);
    }
    bool Seek(int64_t position) override { return inner_->Seek(position); }
    int64_t Position() override { return inner_->Position(); }
    int64_t Size() override { return inner_->Size(); }
    bool Truncate(int64_t size) override {
      log_.push_back("truncate " + name_);
      return inner_->Truncate(size);
    }
    bool Flush() override {
      log_.push_back("flush " + name_);
      return inner_->Flush();
    }

  private:
    std::unique_ptr<IFile> inner_;
    std::string name_;
    std::vector<std::string> &log_;
  };
  IFileSystem &inner_;
};

TEST(ID3v2Write, TemporaryFileReplacesTheOriginalOnlyByRename) {
  for (const bool remove : {false, true}) {
    MemoryFileSystem mem;
    mem.SetFile(kPath, Tag(3, 0, Frame3("TIT2", B("\0T"s))) + Audio(200000));
    RecordingFileSystem fs(mem);
    CID3v2 tag;
    tag.SetItem("Title", WideString(500, u'x')); // too large for the old place
    ASSERT_EQ(remove ? tag.Remove(fs, kPath) : tag.Write(fs, kPath), kTagDone);
    ASSERT_GE(fs.log.size(), 3u);
    const std::string temp = fs.log.front().substr(5);
    EXPECT_EQ(fs.log.front().rfind(remove ? "temp /tag" : "temp /id3", 0), 0u) << fs.log.front();
    EXPECT_EQ(fs.log[fs.log.size() - 2], "flush " + temp);
    EXPECT_EQ(fs.log.back(), "rename " + temp + " /a.mp3");
    // Nothing but the final rename touches the original.
    for (size_t i = 0; i + 1 < fs.log.size(); ++i)
      EXPECT_EQ(fs.log[i].find("/a.mp3"), std::string::npos) << fs.log[i];
  }
}

TEST(ID3v2Write, InPlaceRewriteOfALargeFileLeavesTheAudioAlone) {
  test::TempDir dir;
  const auto path = dir.Path() / "big.mp3";
  test::WriteFileBytes(path, "");
  {
    RealFileSystem real;
    CID3v2 first;
    first.SetItem("Title", u"first");
    first.PaddingUnit = 4096;
    ASSERT_EQ(first.Write(real, dir.File("big.mp3")), kTagDone);
  }
  constexpr int64_t kSize = 100 << 20;
  std::filesystem::resize_file(path, kSize); // sparse: quick to make
  RealFileSystem real;
  FaultInjector faults;
  FaultInjectingFileSystem fs(real, faults);
  CID3v2 tag;
  tag.SetItem("Title", u"second title");
  tag.SetItem("Artist", u"someone");
  ASSERT_EQ(tag.Write(fs, dir.File("big.mp3")), kTagDone);
  EXPECT_EQ(int64_t(std::filesystem::file_size(path)), kSize);
  EXPECT_LT(faults.stats.bytesRead, 16384);
  EXPECT_LT(faults.stats.bytesWritten, 16384);
  CID3v2 back;
  ASSERT_EQ(back.Read(real, dir.File("big.mp3")), 0);
  EXPECT_EQ(back.GetFrameText("TIT2", u""), u"second title");
  EXPECT_EQ(back.TagSize, 4096u);
}

} // namespace
} // namespace tunbrix
