// Reading ID3v2 tags from small hand-built files. Every fixture spells out
// its bytes: header, frames and whatever surrounds them.
#include <gtest/gtest.h>

#include <string>

#include "support/id3v2_bytes.h"
#include "support/test_support.h"
#include "tags/tagid3v2.h"

namespace tunbrix {
namespace {

using namespace std::string_literals;
using namespace test::bytes;
using namespace test::id3v2;

Bytes Frame2(const std::string &id, const Bytes &body) {
  return B(id) + BigEndian(uint32_t(body.size()), 3) + body;
}

Bytes ID3v1() {
  Bytes t(128, 0);
  t[0] = 'T', t[1] = 'A', t[2] = 'G';
  return t;
}

struct ReadResult {
  int result;
  CID3v2 tag;
};

ReadResult ReadBytes(const Bytes &file) {
  MemoryFileSystem fs;
  fs.SetFile(u"/a.mp3", file);
  ReadResult r;
  r.result = r.tag.Read(fs, u"/a.mp3");
  return r;
}

TEST(ID3v2Tables, SortedAndComplete) {
  ASSERT_EQ(FrameTableSize(), 92);
  for (int i = 1; i < FrameTableSize(); ++i)
    EXPECT_LT(std::string(FrameTableEntry(i - 1).FrameId), FrameTableEntry(i).FrameId);
  for (int i = 0; i < FrameTableSize(); ++i)
    EXPECT_EQ(FrameTableIndex(FrameTableEntry(i).FrameId), i);
  EXPECT_EQ(FrameTableIndex("XXXX"), -1);
  EXPECT_EQ(FrameTableIndex("TIT"), -1);
  EXPECT_EQ(ID3v22TableSize(), 62);
  const std::pair<const char *, const char *> v22[] = {
      {"BUF", "RBUF"}, {"CRA", "AENC"}, {"PIC", "APIC"}, {"TT2", "TIT2"},
      {"TP1", "TPE1"}, {"WXX", "WXXX"}, {"TCP", ""},     {"ZZZ", ""}};
  for (const auto &[from, to] : v22)
    EXPECT_EQ(FrameIdFromID3v22(from), to) << from;
  // Item names, and the version marks that decide what a write drops.
  const struct {
    const char *id;
    const char *item;
    int mark;
  } rows[] = {{"COMM", "Comment", 0}, {"TDRC", "Year", 4}, {"TYER", "Year", 3}, {"WXXX", "URL", 0},
              {"TMOO", "Mood", 4},    {"TDTG", "", 4},     {"RVAD", "", 3},     {"APIC", "", 0}};
  for (const auto &row : rows) {
    const auto &e = FrameTableEntry(FrameTableIndex(row.id));
    EXPECT_STREQ(e.ItemName, row.item) << row.id;
    EXPECT_EQ(e.VersionMark, row.mark) << row.id;
  }
}

TEST(ID3v2Numbers, SynchsafeAndBigEndian) {
  const struct {
    uint32_t value;
    Bytes bytes;
  } cases[] = {{0, {0, 0, 0, 0}},
               {127, {0, 0, 0, 0x7F}},
               {128, {0, 0, 1, 0}},
               {4096, {0, 0, 0x20, 0}},
               {kMaxSynchsafe, {0x7F, 0x7F, 0x7F, 0x7F}}};
  for (const auto &c : cases) {
    uint8_t out[4];
    EncodeSynchsafe(c.value, out);
    EXPECT_EQ(Bytes(out, out + 4), c.bytes) << c.value;
    EXPECT_EQ(DecodeSynchsafe(c.bytes.data()), c.value);
    EXPECT_TRUE(IsSynchsafe(c.bytes.data()));
  }
  const uint8_t invalid[4] = {0, 0, 0x80, 0};
  EXPECT_FALSE(IsSynchsafe(invalid));
  const uint8_t be[4] = {0x12, 0x34, 0x56, 0x78};
  EXPECT_EQ(DecodeBigEndian32(be), 0x12345678u);
}

TEST(ID3v2Numbers, UnsynchronisationBothWays) {
  const struct {
    Bytes plain;
    Bytes unsynchronised;
  } cases[] = {
      {{0xFF, 0xE3}, {0xFF, 0x00, 0xE3}},
      {{0xFF, 0x00}, {0xFF, 0x00, 0x00}},
      {{0xFF, 0xFF, 0xE0}, {0xFF, 0x00, 0xFF, 0x00, 0xE0}},
      {{0x41, 0xFF}, {0x41, 0xFF}},                         // a final 0xFF gets nothing
      {{0xFF, 0x7F, 0xFF, 0xDF}, {0xFF, 0x7F, 0xFF, 0xDF}}, // no false sync
      {{0xFF, 0x00, 0x01}, {0xFF, 0x00, 0x00, 0x01}},
  };
  for (const auto &c : cases) {
    Bytes data = c.plain;
    EXPECT_EQ(Unsynchronise(data), c.plain != c.unsynchronised);
    EXPECT_EQ(data, c.unsynchronised);
    EXPECT_EQ(RemoveUnsynchronisation(c.unsynchronised.data(), c.unsynchronised.size()), c.plain);
  }
  // Only a 0x00 that the scheme inserts is dropped, and never one of the last two bytes.
  const Bytes kept[] = {{0xFF, 0x00, 0x41}, {0x20, 0xFF, 0x00}};
  for (const auto &k : kept)
    EXPECT_EQ(RemoveUnsynchronisation(k.data(), k.size()), k);
}

TEST(ID3v2Numbers, FrameFlagBytes) {
  TID3FrameFlags all;
  all.TagAlterPreservation = all.FileAlterPreservation = all.ReadOnly = true;
  all.Compression = all.Encryption = all.GroupingIdentity = true;
  all.Unsynchronisation = all.DataLengthIndicator = true;
  uint8_t out[2];
  EncodeFrameFlags(all, 3, out);
  EXPECT_EQ(out[0], 0xE0);
  EXPECT_EQ(out[1], 0xE0);
  EncodeFrameFlags(all, 4, out);
  EXPECT_EQ(out[0], 0x70);
  EXPECT_EQ(out[1], 0x4F);
  for (int version : {3, 4})
    for (int bit = 0; bit < 8; ++bit)
      for (int byte = 0; byte < 2; ++byte) {
        const uint8_t status = byte == 0 ? uint8_t(1 << bit) : 0;
        const uint8_t format = byte == 1 ? uint8_t(1 << bit) : 0;
        const TID3FrameFlags f = DecodeFrameFlags(status, format, version);
        EncodeFrameFlags(f, version, out);
        // Every bit with a meaning survives; the others are dropped.
        if (out[0] != 0 || out[1] != 0) {
          EXPECT_EQ(out[0], status) << version << " " << bit;
          EXPECT_EQ(out[1], format) << version << " " << bit;
        }
      }
  EXPECT_TRUE(DecodeFrameFlags(0, 0x20, 3).GroupingIdentity);
  EXPECT_TRUE(DecodeFrameFlags(0, 0x40, 4).GroupingIdentity);
  EXPECT_TRUE(DecodeFrameFlags(0x40, 0, 4).TagAlterPreservation);
}

// ---- finding the tag

const Bytes kTitle = Frame4("TIT2", B("\0Hi"s));

TEST(ID3v2Locate, StartAndEnd) {
  const Bytes tag24 = Tag(4, 0x10, kTitle); // with footer
  const Bytes tag23 = Tag(3, 0, Frame3("TIT2", B("\0Hi"s)));
  const Bytes big = Audio(5000);
  const struct {
    const char *name;
    Bytes file;
    bool found;
    int64_t position;
  } cases[] = {
      {"at the start", tag23 + big, true, 0},
      {"2.4 appended with footer", big + tag24, true, 5000},
      {"appended with footer before ID3v1", big + tag24 + ID3v1(), true, 5000},
      {"header in the last 1024 bytes, no footer", big + tag23 + Audio(500), true, 5000},
      {"the tag at the start wins", tag23 + big + tag24, true, 0},
      {"header further back than 1024 bytes", big + tag23 + Audio(1100), false, 0},
      {"footer without its header", big + Header("3DI", 4, 0x10, 13), false, 0},
      {"footer pointing before the file", Audio(20) + Header("3DI", 4, 0x10, 500), false, 0},
      {"header whose tag runs past the end", big + Header("ID3", 3, 0, 900), false, 0},
      {"nothing", big, false, 0},
      {"too short", B("ID3"), false, 0},
      {"empty", {}, false, 0},
  };
  for (const auto &c : cases) {
    MemoryFile file(c.file);
    const TID3v2Location loc = CID3v2::Locate(file);
    EXPECT_EQ(loc.Found, c.found) << c.name;
    EXPECT_FALSE(loc.IoError) << c.name;
    if (c.found) {
      EXPECT_EQ(loc.TagPosition, c.position) << c.name;
    }
  }
}

TEST(ID3v2Locate, AppendedTagBeforeLargeLyrics3) {
  // A Lyrics3 block longer than the scanned kilobyte sits between the tag's
  // footer and the ID3v1 tag.
  const std::string fields = "LYR01500" + std::string(1500, 'l');
  char size[8];
  std::snprintf(size, sizeof size, "%06zu", 11 + fields.size());
  const Bytes lyrics = B("LYRICSBEGIN" + fields + size + "LYRICS200");
  const Bytes file = Audio(3000) + Tag(4, 0x10, kTitle) + lyrics + ID3v1();
  const auto r = ReadBytes(file);
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.tag.TagPosition, 3000);
  EXPECT_EQ(r.tag.GetFrameText("TIT2", u""), u"Hi");
}

TEST(ID3v2Read, HeaderFieldsAndSizes) {
  const Bytes body = kTitle + Bytes(20, 0); // 20 bytes of padding
  const auto r = ReadBytes(Audio(3000) + Tag(4, 0x10, body) + ID3v1());
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(r.tag.Version, 4);
  EXPECT_EQ(r.tag.Revision, 0);
  EXPECT_TRUE(r.tag.HeaderFlags.Footer);
  EXPECT_EQ(r.tag.TagSize, body.size());
  EXPECT_EQ(r.tag.TotalSize, int64_t(body.size() + 20));
  EXPECT_EQ(r.tag.TagPosition, 3000);
  EXPECT_EQ(Ids(r.tag), "TIT2");
  EXPECT_EQ(r.tag.FrameCount(), 1u);
  EXPECT_EQ(r.tag.FramesSize(), 3u);
}

TEST(ID3v2Read, Version22FramesBecome23) {
  // TT2, TP1 and CRA map to TIT2, TPE1 and AENC; TCP (an iTunes frame with
  // no 2.3 counterpart) is skipped and the frames after it are still read;
  // PIC gets a MIME type in place of its three-letter image format.
  const Bytes body = Frame2("TT2", B("\0Song"s)) + Frame2("TCP", B("\0001"s)) +
                     Frame2("TP1", B("\0Band"s)) + Frame2("CRA", B("owner\0"s)) +
                     Frame2("PIC", B("\0JPG\3cover\0DATA"s)) + Bytes(10, 0);
  const auto r = ReadBytes(Tag(2, 0, body) + Audio(100));
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(r.tag.Version, 2);
  EXPECT_EQ(Ids(r.tag), "TIT2 TPE1 AENC APIC");
  EXPECT_EQ(r.tag.GetFrameText("TIT2", u""), u"Song");
  EXPECT_EQ(r.tag.Frames[1].ItemName, "Artist");
  EXPECT_EQ(r.tag.Frames[2].Data, B("owner\0"s));
  EXPECT_EQ(r.tag.Frames[3].Data, B("\0image/jpeg\0\3cover\0DATA"s));
  const auto pic = r.tag.FindFrame("APIC", u"cover");
  EXPECT_TRUE(pic.Found);
  EXPECT_EQ(pic.MimeType, "image/jpeg");
  EXPECT_EQ(pic.PictureType, 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(pic.BinaryData), pic.BinaryLength), "DATA");
  // The 2.2 flag 0x40 announces a compression no one defined: no frames.
  const auto compressed = ReadBytes(Tag(2, 0x40, body));
  EXPECT_EQ(compressed.result, 0);
  EXPECT_EQ(compressed.tag.FrameCount(), 0u);
}

TEST(ID3v2Read, TagUnsynchronisation) {
  // 2.3: the whole body is unsynchronised; FF 00 E3 reads as FF E3, and the
  // frame size counts the bytes after the scheme was removed.
  const Bytes frame = B("TXXX") + BigEndian(4) + Bytes{0, 0} + Bytes{0, 0xFF, 0x00, 0xE3, 0};
  const auto r = ReadBytes(Tag(3, 0x80, frame + Bytes(4, 0)));
  ASSERT_EQ(r.result, 0);
  ASSERT_EQ(Ids(r.tag), "TXXX");
  EXPECT_EQ(r.tag.Frames[0].Data, (Bytes{0, 0xFF, 0xE3, 0}));
  EXPECT_FALSE(r.tag.HeaderFlags.Unsynchronisation);
}

TEST(ID3v2Read, FrameUnsynchronisationAndAdditions24) {
  const Bytes unsynced = {0x00, 'a', 0xFF, 0x00, 0xFE, 'b'};
  const Bytes plain = {0x00, 'a', 0xFF, 0xFE, 'b'};
  const struct {
    const char *name;
    Bytes frame;
    Bytes data;
    bool grouping;
  } cases[] = {
      {"unsynchronised", Frame4("TALB", unsynced, 0, 0x02), plain, false},
      {"with data length", Frame4("TALB", Synchsafe(5) + unsynced, 0, 0x03), plain, false},
      {"data length alone", Frame4("TALB", Synchsafe(5) + plain, 0, 0x01), plain, false},
      {"grouped", Frame4("TALB", Bytes{7} + unsynced, 0, 0x42), plain, true},
      {"grouped with data length", Frame4("TALB", Bytes{7} + Synchsafe(5) + plain, 0, 0x41), plain,
       true},
  };
  for (const auto &c : cases) {
    const auto r = ReadBytes(Tag(4, 0, c.frame) + Audio(50));
    ASSERT_EQ(Ids(r.tag), "TALB") << c.name;
    const TID3Frame &f = r.tag.Frames[0];
    EXPECT_EQ(f.Data, c.data) << c.name;
    EXPECT_FALSE(f.Flags.Unsynchronisation) << c.name;
    EXPECT_FALSE(f.Flags.DataLengthIndicator) << c.name;
    EXPECT_EQ(f.Flags.GroupingIdentity, c.grouping) << c.name;
    if (c.grouping) {
      EXPECT_EQ(f.GroupId, 7) << c.name;
    }
    EXPECT_EQ(r.tag.GetFrameText("TALB", u""), u"a\u00FF\u00FEb") << c.name;
  }
  // The tag's flag in 2.4 stands for every frame.
  const auto r = ReadBytes(Tag(4, 0x80, Frame4("TALB", unsynced)));
  ASSERT_EQ(Ids(r.tag), "TALB");
  EXPECT_EQ(r.tag.Frames[0].Data, plain);
}

TEST(ID3v2Read, CompressedAndEncryptedFramesKeptAsStored) {
  const Bytes zlib = {0x78, 0x9C, 0x01, 0x02, 0x03};
  const auto r3 = ReadBytes(
      Tag(3, 0,
          Frame3("TIT2", BigEndian(20) + zlib, 0, 0x80) + Frame3("PRIV", Bytes{9, 'x'}, 0, 0x40)));
  ASSERT_EQ(Ids(r3.tag), "TIT2 PRIV");
  const TID3Frame &c = r3.tag.Frames[0];
  EXPECT_TRUE(c.Flags.Compression);
  EXPECT_TRUE(c.Flags.DataLengthIndicator);
  EXPECT_EQ(c.DataLength, 20u);
  EXPECT_EQ(c.Data, zlib);
  EXPECT_EQ(r3.tag.GetFrameText("TIT2", u""), u""); // never decompressed
  EXPECT_TRUE(r3.tag.FindFrame("TIT2", u"").Found);
  const TID3Frame &e = r3.tag.Frames[1];
  EXPECT_TRUE(e.Flags.Encryption);
  EXPECT_EQ(e.EncryptionMethod, 9);
  EXPECT_EQ(e.Data, Bytes{'x'});

  const auto r4 = ReadBytes(Tag(4, 0, Frame4("TIT2", Synchsafe(20) + zlib, 0, 0x09)));
  ASSERT_EQ(Ids(r4.tag), "TIT2");
  EXPECT_EQ(r4.tag.Frames[0].DataLength, 20u);
  EXPECT_TRUE(r4.tag.Frames[0].Flags.DataLengthIndicator);
  EXPECT_EQ(r4.tag.Frames[0].Data, zlib);
}

TEST(ID3v2Read, ExtendedHeader) {
  const Bytes frames = Frame3("TIT2", B("\0Hi"s));
  const Bytes ext23 = BigEndian(6) + Bytes{0, 0} + BigEndian(0); // no CRC
  const Bytes ext23crc = BigEndian(10) + Bytes{0x80, 0} + BigEndian(0) + BigEndian(0xFFFFFFFF);
  const Bytes frames4 = Frame4("TIT2", B("\0Hi"s));
  const Bytes ext24 = Synchsafe(6) + Bytes{1, 0};
  const struct {
    const char *name;
    Bytes file;
    uint32_t extSize;
    const char *ids;
  } cases[] = {
      {"2.3", Tag(3, 0x40, ext23 + frames), 10, "TIT2"},
      {"2.3 with CRC", Tag(3, 0x40, ext23crc + frames), 14, "TIT2"},
      {"2.4", Tag(4, 0x40, ext24 + frames4), 6, "TIT2"},
      {"2.3 size past the tag", Tag(3, 0x40, BigEndian(5000) + frames), 0, ""},
      {"2.3 size far too large", Tag(3, 0x40, BigEndian(0xFFFFFFFF) + frames), 0, ""},
      {"2.4 size not synchsafe", Tag(4, 0x40, Bytes{0, 0, 0, 0x86, 1, 0} + frames4), 0, ""},
      {"2.4 size too small", Tag(4, 0x40, Synchsafe(0) + frames4), 0, ""},
      {"no room for a size", Tag(3, 0x40, Bytes{0, 0}), 0, ""},
  };
  for (const auto &c : cases) {
    const auto r = ReadBytes(c.file);
    EXPECT_EQ(r.result, 0) << c.name;
    EXPECT_EQ(r.tag.ExtHeaderSize, c.extSize) << c.name;
    EXPECT_EQ(Ids(r.tag), c.ids) << c.name;
  }
}

TEST(ID3v2Read, TextEncodings) {
  const struct {
    const char *name;
    Bytes body;
    std::u16string text;
  } cases[] = {
      {"Windows-1252", B("\0caf\xE9 \x80"s), u"caf\u00E9 \u20AC"},
      {"first value only", B("\0one\0two"s), u"one"},
      {"UTF-16 FF FE",
       B("\1\xFF\xFE"
         "a\0\x14\x20"s),
       u"a\u2014"},
      {"UTF-16 FE FF", B("\1\xFE\xFF\0a\x20\x14"s), u"a\u2014"},
      {"UTF-16 without mark is big-endian", B("\1\0a\x20\x14"s), u"a\u2014"},
      {"UTF-16 big-endian, fullwidth first", B("\2\xFF\x01\0a"s), u"\uFF01a"},
      {"UTF-16 terminator at an even offset",
       B("\1\xFF\xFE"
         "a\0\0\x01\0\0b\0"s),
       u"a\u0100"},
      {"UTF-16 odd trailing byte",
       B("\1\xFF\xFE"
         "a\0b"s),
       u"a"},
      {"UTF-8", B("\3caf\xC3\xA9\0x"s), u"caf\u00E9"},
      {"encoding 4 is not read", B("\4abc"s), u""},
      {"encoding byte alone", B("\0"s), u""},
  };
  for (const auto &c : cases) {
    const auto r = ReadBytes(Tag(3, 0, Frame3("TIT2", c.body)));
    EXPECT_EQ(r.tag.GetFrameText("TIT2", u""), c.text) << c.name;
  }
}

TEST(ID3v2Read, DescriptionsAndOtherFields) {
  const Bytes body =
      Frame3("COMM", B("\0engx\0with x"s)) + Frame3("COMM", B("\1deu\xFF\xFE\0\0\xFF\xFEo\0k\0"s)) +
      Frame3("TXXX", B("\0MusicBrainz\0id-1"s)) + Frame3("WOAR", B("http://a.example/"s)) +
      Frame3("USER", B("\0engterms"s)) + Frame3("LINK", B("TIT2http://l/\0data"s)) +
      Frame3("GEOB", B("\0app/x\0f.bin\0desc\0\1\2"s));
  const auto r = ReadBytes(Tag(3, 0, body));
  ASSERT_EQ(r.tag.FrameCount(), 7u);
  // The comment with description "x" is not the one an empty description finds.
  EXPECT_EQ(r.tag.GetFrameText("COMM", u""), u"ok");
  EXPECT_EQ(r.tag.GetFrameText("COMM", u"x"), u"with x");
  EXPECT_EQ(r.tag.FindFrame("COMM", u"x").Language, "eng");
  EXPECT_EQ(r.tag.FindFrame("COMM", u"").Language, "deu");
  EXPECT_FALSE(r.tag.FindFrame("COMM", u"X").Found); // exact match
  EXPECT_EQ(r.tag.GetFrameText("TXXX", u"MusicBrainz"), u"id-1");
  EXPECT_EQ(r.tag.GetFrameText("WOAR", u""), u"http://a.example/");
  EXPECT_EQ(r.tag.GetFrameText("USER", u""), u"terms");
  const auto link = r.tag.FindFrame("LINK", u"");
  EXPECT_EQ(link.LinkedFrameId, "TIT2");
  EXPECT_EQ(link.FileNameOrUrl, "http://l/");
  EXPECT_EQ(link.Text, u"data");
  const auto geob = r.tag.FindFrame("GEOB", u"desc");
  ASSERT_TRUE(geob.Found);
  EXPECT_EQ(geob.MimeType, "app/x");
  EXPECT_EQ(geob.FileNameOrUrl, "f.bin");
  EXPECT_EQ(geob.BinaryLength, 2u);
  EXPECT_FALSE(r.tag.FindFrame("TPE1", u"").Found);
}

TEST(ID3v2Read, BadInputEndsQuietly) {
  const Bytes title = Frame3("TIT2", B("\0Hi"s));
  const Bytes title4 = Frame4("TIT2", B("\0Hi"s));
  const struct {
    const char *name;
    Bytes file;
    int result;
    const char *ids;
  } cases[] = {
      {"tag cut by the end of the file",
       Header("ID3", 3, 0, 5000) + title + Frame3("TALB", B("\0Al"s)), 0, "TIT2 TALB"},
      {"frame cut by the end of the file",
       Header("ID3", 3, 0, 5000) + title + B("TALB\0\0\0\x20\0\0ab"s), 0, "TIT2"},
      {"frame running past the tag", Tag(3, 0, title + B("TALB\0\0\0\x09\0\0\0ab"s)) + Audio(40), 0,
       "TIT2"},
      {"absurd frame size", Tag(3, 0, title + B("TALB\xFF\xFF\xFF\xFF\0\0\0ab"s)), 0, "TIT2"},
      {"frame header cut by the tag's end", Tag(3, 0, title + B("TALB\0\0"s)), 0, "TIT2"},
      {"invalid synchsafe frame size", Tag(4, 0, title4 + B("TALB\0\0\x80\x01\0\0\0a"s) + title4),
       0, "TIT2"},
      {"garbage identifier", Tag(3, 0, title + B("T\x01LB\0\0\0\x01\0\0x"s) + title), 0, "TIT2"},
      {"lower-case identifier", Tag(3, 0, B("tit2\0\0\0\x01\0\0x"s) + title), 0, ""},
      {"empty frame skipped", Tag(3, 0, Frame3("TALB", {}) + title), 0, "TIT2"},
      {"invalid synchsafe tag size", B("ID3\3\0\0\0\0\x80\0"s) + title, 1, ""},
      {"version 255", B("ID3\xFF\0\0\0\0\0\x0B"s) + title, 1, ""},
      {"revision 255", B("ID3\3\xFF\0\0\0\0\x0B"s) + title, 1, ""},
      {"version 1", B("ID3\1\0\0\0\0\0\x0B"s) + title, 1, ""},
      {"version 5: a tag without frames", B("ID3\5\0\0\0\0\0\x0B"s) + title, 0, ""},
      {"header only", Header("ID3", 3, 0, 0), 0, ""},
      {"header cut short", B("ID3\3\0\0\0"s), 1, ""},
      {"2.2 frame size past the tag", Tag(2, 0, B("TT2\xFF\xFF\xFF\0x"s)), 0, ""},
      {"no tag", Audio(2000), 1, ""},
      {"empty file", {}, 1, ""},
  };
  for (const auto &c : cases) {
    const auto r = ReadBytes(c.file);
    EXPECT_EQ(r.result, c.result) << c.name;
    EXPECT_EQ(Ids(r.tag), c.ids) << c.name;
    EXPECT_LE(r.tag.TotalSize, int64_t(c.file.size())) << c.name;
  }
}

TEST(ID3v2Read, MissingFileAndEveryReadFailure) {
  MemoryFileSystem mem;
  CID3v2 tag;
  EXPECT_EQ(tag.Read(mem, u"/missing.mp3"), 1);
  const Bytes file = Audio(2000) + Tag(4, 0x10, kTitle) + ID3v1();
  mem.SetFile(u"/a.mp3", file);
  for (int failAt = 1;; ++failAt) {
    FaultInjector faults;
    faults.FailAt(failAt);
    FaultInjectingFileSystem fs(mem, faults);
    const int result = tag.Read(fs, u"/a.mp3");
    if (!faults.Failed()) {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(tag.GetFrameText("TIT2", u""), u"Hi");
      break;
    }
    EXPECT_EQ(result, 1) << "call " << failAt;
  }
}

} // namespace
} // namespace tunbrix
