#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "support/bytes.h"
#include "support/fault_loop.h"
#include "support/test_support.h"
#include "tags/tagape.h"

namespace tunbrix {
namespace {

using namespace test::bytes;
using test::W;

// ---- Hand-built fixtures -------------------------------------------------

// A header or footer: "APETAGEX", version, size (items + footer), count, flags.
Bytes Block(uint32_t version, uint32_t size, uint32_t count, uint32_t flags) {
  return Cat({B("APETAGEX"), Le32(version), Le32(size), Le32(count), Le32(flags), Bytes(8, 0)});
}

struct Item {
  std::string key;
  std::string value; // the stored bytes
  uint32_t flags = 0;
};

Bytes ItemBytes(const Item &i) {
  return Cat({Le32(uint32_t(i.value.size())), Le32(i.flags), B(i.key), {0}, B(i.value)});
}

Bytes ItemBlock(const std::vector<Item> &items) {
  Bytes out;
  for (const auto &i : items)
    out = Cat({out, ItemBytes(i)});
  return out;
}

// Laid out as a careful writer does: version 2 with a header, version 1 without.
Bytes Tag(uint32_t version, const std::vector<Item> &items) {
  const Bytes body = ItemBlock(items);
  const auto size = uint32_t(body.size() + 32), count = uint32_t(items.size());
  if (version == 2000)
    return Cat({Block(2000, size, count, 0xA0000000), body, Block(2000, size, count, 0x80000000)});
  return Cat({body, Block(version, size, count, 0)});
}

Bytes Audio(size_t n) {
  std::mt19937 random{unsigned(n)};
  Bytes out(n);
  for (auto &b : out)
    b = uint8_t(random());
  return out;
}

Bytes Id3v1(const std::string &title) {
  Bytes tag(128, 0);
  std::copy_n("TAG", 3, tag.begin());
  std::copy(title.begin(), title.end(), tag.begin() + 3);
  tag[127] = 12;
  return tag;
}

// A Lyrics3 v2 tag (without the ID3v1 tag it needs after it) with one
// lyrics field.
Bytes Lyrics3(const std::string &lyrics) {
  char len[16];
  std::snprintf(len, sizeof len, "%05zu", lyrics.size());
  const std::string block = "LYRICSBEGIN" + std::string("LYR") + len + lyrics;
  std::snprintf(len, sizeof len, "%06zu", block.size());
  return B(block + len + "LYRICS200");
}

// ---- Helpers -------------------------------------------------------------

// Byte comparison that shows where two files part.
testing::AssertionResult SameBytes(const Bytes &actual, const Bytes &expected) {
  if (actual == expected) return testing::AssertionSuccess();
  size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
    ++at;
  const auto show = [at](const Bytes &b) {
    std::string out;
    for (size_t i = at; i < b.size() && i < at + 48; ++i)
      out += b[i] >= 32 && b[i] <= 126 ? std::string(1, char(b[i])) : "\\x" + std::to_string(b[i]);
    return out;
  };
  return testing::AssertionFailure()
         << "sizes " << actual.size() << " and " << expected.size() << ", first difference at "
         << at << ": \"" << show(actual) << "\" instead of \"" << show(expected) << "\"";
}

// key|flag bits|value|stored bytes, with bytes outside 32..126 as \xHH.
std::string Describe(const CApeTagItem &item) {
  std::string raw;
  for (uint8_t b : item.RawValue) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", b);
    raw += b >= 32 && b <= 126 ? std::string(1, char(b)) : hex;
  }
  const int flags =
      (item.Flags.ReadOnly ? 1 : 0) | (item.Flags.Binary ? 2 : 0) | (item.Flags.Locator ? 4 : 0);
  return item.Key + "|" + std::to_string(flags) + "|" + WideToUtf8(item.Value) + "|" + raw;
}

std::vector<std::string> Describe(const CAPETag &tag) {
  std::vector<std::string> out;
  for (const auto &item : tag.Items)
    out.push_back(Describe(item));
  return out;
}

TagResult ReadBytes(CAPETag &tag, const Bytes &file) {
  MemoryFileSystem fs;
  fs.SetFile(u"/f", file);
  return tag.Read(fs, u"/f");
}

// The file after a write of tag onto before.
Bytes WriteBytes(CAPETag &tag, const Bytes &before, bool id3v1Follows, TagResult expected) {
  MemoryFileSystem fs;
  fs.SetFile(u"/f", before);
  EXPECT_EQ(tag.Write(fs, u"/f", id3v1Follows), expected);
  return *fs.GetFile(u"/f");
}

CApeTagItem MakeItem(std::string key, std::u16string value, Bytes raw = {},
                     TApeItemFlags flags = {}) {
  CApeTagItem item;
  item.Flags = flags;
  item.Key = std::move(key);
  item.Value = std::move(value);
  item.RawValue = std::move(raw);
  return item;
}

CAPETag PlainTag() {
  CAPETag tag;
  tag.NameCase = 0;
  tag.NameSort = 0;
  return tag;
}

const std::vector<Item> kV2Items = {
    {"Artist", "\xC3\x84nne"},
    {"Cover Art (Front)", std::string("a.jpg\0\xFF\xD8", 8), 2},
    {"Homepage", "http://example.org", 4},
    {"Title", "Locked", 1},
    {"Genre", std::string("Rock\0Pop", 8)},
    {"Odd", "x", 6}, // the reserved type 3
    {"Empty", ""},
};
const std::vector<std::string> kV2Described = {
    "Artist|0|Änne|\\xC3\\x84nne",
    "Cover Art (Front)|2||a.jpg\\x00\\xFF\\xD8",
    "Homepage|4|http://example.org|http://example.org",
    "Title|1|Locked|Locked",
    "Genre|0|Rock|Rock\\x00Pop",
    "Odd|6||x",
    "Empty|0||",
};
const std::vector<Item> kV1Items = {{"Artist", std::string("Caf\xE9\0", 5)},
                                    {"Year", std::string("1999\0", 5)}};
const std::vector<std::string> kV1Described = {"Artist|0|Café|Caf\\xE9\\x00",
                                               "Year|0|1999|1999\\x00"};

// ---- Reading -------------------------------------------------------------

TEST(ApeTag, ReadsBothVersionsBeforeOtherTags) {
  const Bytes audio = Audio(700), v2 = Tag(2000, kV2Items), v1 = Tag(1000, kV1Items);
  const Bytes v2NoHeader = Cat({ItemBlock(kV2Items), Block(2000, uint32_t(v2.size() - 32), 7, 0)});
  const struct {
    const char *name;
    Bytes file;
    int version;
    int64_t tagSize;
    std::vector<std::string> items;
  } cases[] = {
      {"v2 with header", Cat({audio, v2}), 2000, int64_t(v2.size()), kV2Described},
      {"v2 without header", Cat({audio, v2NoHeader}), 2000, int64_t(v2NoHeader.size()),
       kV2Described},
      {"v2, ID3v1", Cat({audio, v2, Id3v1("t")}), 2000, int64_t(v2.size()), kV2Described},
      {"v2, Lyrics3, ID3v1", Cat({audio, v2, Lyrics3("la la"), Id3v1("t")}), 2000,
       int64_t(v2.size()), kV2Described},
      {"v1", Cat({audio, v1}), 1000, int64_t(v1.size()), kV1Described},
      {"v1, ID3v1", Cat({audio, v1, Id3v1("t")}), 1000, int64_t(v1.size()), kV1Described},
      {"footer 1024 bytes before the end", Cat({audio, v1, Bytes(992, 'z')}), 1000,
       int64_t(v1.size()), kV1Described},
      {"file is the tag alone", v1, 1000, int64_t(v1.size()), kV1Described},
  };
  for (const auto &c : cases) {
    CAPETag tag;
    EXPECT_EQ(ReadBytes(tag, c.file), kTagDone) << c.name;
    EXPECT_EQ(tag.Version, c.version) << c.name;
    EXPECT_EQ(tag.TagSize, c.tagSize) << c.name;
    EXPECT_EQ(Describe(tag), c.items) << c.name;
  }
  CAPETag tag;
  ReadBytes(tag, Cat({audio, v2}));
  EXPECT_TRUE(tag.TagFlags.HasHeader);
  EXPECT_FALSE(tag.TagFlags.IsHeader);
  EXPECT_EQ(tag.FindItem("ARTIST")->Value, u"Änne");
  EXPECT_EQ(tag.FindItem("nothing"), nullptr);
}

TEST(ApeTag, DamagedTagsAreReadSafely) {
  const Bytes audio = Audio(300);
  const Bytes good = ItemBytes({"Artist", "A"});
  const auto footer = [](const Bytes &body, uint32_t count) {
    return Block(2000, uint32_t(body.size() + 32), count, 0);
  };
  const Bytes hugeValue = Cat({Le32(0xFFFFFFF0), Le32(0), B("Big"), {0}, B("abc")});
  const Bytes noKeyEnd = Cat({Le32(1), Le32(0), B("KeyWithoutEnd")});
  const Bytes v2 = Tag(2000, kV1Items);
  const struct {
    const char *name;
    Bytes file;
    TagResult result;
    size_t items;
  } cases[] = {
      {"empty file", {}, kTagFailed, 0},
      {"a lone footer", Block(2000, 32, 1, 0), kTagFailed, 0},
      {"no tag", audio, kTagFailed, 0},
      {"footer beyond the last 1 KiB", Cat({audio, v2, Bytes(993, 'z')}), kTagFailed, 0},
      {"size past the file start", Cat({audio, Block(2000, 5000, 1, 0)}), kTagFailed, 0},
      {"tag cut at the front", Bytes(v2.begin() + 40, v2.end()), kTagFailed, 0},
      {"size 0", Cat({audio, good, Block(2000, 0, 1, 0)}), kTagFailed, 0},
      {"size below the footer", Cat({audio, good, Block(2000, 16, 1, 0)}), kTagFailed, 0},
      {"no items counted", Cat({audio, good, footer(good, 0)}), kTagFailed, 0},
      {"a lone header", Cat({audio, good, Block(2000, 32 + 14, 1, 0xA0000000)}), kTagFailed, 0},
      {"absurd item count", Cat({audio, good, good, footer(Cat({good, good}), 0xFFFFFFFF)}),
       kTagDone, 2},
      {"value past the block", Cat({audio, good, hugeValue, footer(Cat({good, hugeValue}), 2)}),
       kTagDone, 1},
      {"key without terminator", Cat({audio, good, noKeyEnd, footer(Cat({good, noKeyEnd}), 2)}),
       kTagDone, 1},
      {"item header cut short",
       Cat({audio, good, Bytes(5, 1), footer(Cat({good, Bytes(5, 1)}), 2)}), kTagDone, 1},
      {"count below the items", Cat({audio, good, good, footer(Cat({good, good}), 1)}), kTagDone,
       1},
  };
  for (const auto &c : cases) {
    CAPETag tag;
    EXPECT_EQ(ReadBytes(tag, c.file), c.result) << c.name;
    EXPECT_EQ(tag.ItemCount(), c.items) << c.name;
  }
  // A footer that announces a header which is not there counts no header.
  CAPETag tag;
  const Bytes body = Cat({good, good});
  ASSERT_EQ(ReadBytes(tag, Cat({audio, body, Block(2000, 32 + 32, 2, 0x80000000)})), kTagDone);
  EXPECT_EQ(tag.TagSize, 32 + 32);
  // A missing file.
  MemoryFileSystem fs;
  EXPECT_EQ(tag.Read(fs, u"/missing"), kTagFailed);
}

// ---- Writing -------------------------------------------------------------

TEST(ApeTag, WritesBothVersionsByteExact) {
  const Bytes audio = Audio(400);
  const struct {
    int version;
    Bytes tag;
  } cases[] = {
      // Version 2: UTF-8 texts, binary items and locators as they are.
      {2000, Tag(2000, {{"Artist", "\xC3\x84nne Caf\xC3\xA9"},
                        {"Cover", std::string("x\0\xFF", 3), 2},
                        {"Link", "http://a", 5},
                        {"Title", "\xE2\x82\xACuro"}})},
      // Version 1: Windows-1252 texts with a zero byte; no binary items.
      {1000, Tag(1000, {{"Artist", std::string("\xC4nne Caf\xE9\0", 10)},
                        {"Link", std::string("http://a\0", 9), 1},
                        {"Title", std::string("\x80uro\0", 5)}})},
  };
  for (const auto &c : cases) {
    CAPETag tag = PlainTag();
    tag.Version = c.version;
    tag.SetItem("Artist", u"Änne Café");
    tag.Items.push_back(MakeItem("Cover", u"", {'x', 0, 0xFF}, {.Binary = true}));
    tag.Items.push_back(
        MakeItem("Link", u"http://a", B("http://a"), {.ReadOnly = true, .Locator = true}));
    tag.SetItem("Title", u"€uro");
    EXPECT_TRUE(SameBytes(WriteBytes(tag, audio, false, kTagDone), Cat({audio, c.tag})))
        << c.version;
    EXPECT_EQ(tag.TagSize, int64_t(c.tag.size()));
  }
}

TEST(ApeTag, KeyCaseAndForbiddenKeys) {
  const struct {
    int nameCase;
    std::string key, written;
  } cases[] = {
      {3, "ALBUM ARTIST", "Album Artist"},
      {3, "mUsic  bRAINZ id", "Music  Brainz Id"},
      {3, "Cover Art (Front)", "Cover Art (front)"},
      {1, "Album Artist", "album artist"},
      {2, "Album Artist", "ALBUM ARTIST"},
      {0, "MiXeD", "MiXeD"},
      {0, "TAG", "_AG"},
      {2, "tag", "_AG"},
      {3, "TAG", "Tag"},
      {0, "ID3", "_D3"},
      {0, "OggS", "_ggS"},
      {2, "mp+", "_P+"},
      {0, "TAGS", "TAGS"},
      {0, "K\xE9y\x01~", "K_y_~"},
      {3, "\xE9t\xE9 x", "_t_ X"},
  };
  const Bytes audio = Audio(100);
  for (const auto &c : cases) {
    CAPETag tag = PlainTag();
    tag.NameCase = c.nameCase;
    tag.SetItem(c.key, u"v");
    EXPECT_TRUE(SameBytes(WriteBytes(tag, audio, false, kTagDone),
                          Cat({audio, Tag(2000, {{c.written, "v"}})})))
        << c.key;
  }
}

TEST(ApeTag, SortOrders) {
  const auto item = [](std::string key, std::u16string value) {
    return MakeItem(std::move(key), std::move(value));
  };
  const struct {
    int nameSort;
    std::vector<CApeTagItem> items;
    std::vector<std::string> order;
  } cases[] = {
      {0, {item("b", u"1"), item("A", u"2")}, {"b=1", "A=2"}},
      // By key without regard to case; equal keys keep their order.
      {1,
       {item("b", u"1"), item("A", u"2"), item("_u", u"3"), item("b", u"4"), item("a", u"5")},
       {"A=2", "a=5", "b=1", "b=4", "_u=3"}},
      // Shortest value first, in bytes; equal sizes keep their order.
      {2,
       {item("k1", u"ccc"), item("k2", u"a"), item("k3", u"bb"), item("k4", u"d"),
        item("k5", u"é")},
       {"k2=a", "k4=d", "k3=bb", "k5=é", "k1=ccc"}},
  };
  for (const auto &c : cases) {
    CAPETag tag = PlainTag();
    tag.NameSort = c.nameSort;
    tag.Items = c.items;
    const Bytes file = WriteBytes(tag, Audio(50), false, kTagDone);
    CAPETag back;
    ASSERT_EQ(ReadBytes(back, file), kTagDone);
    std::vector<std::string> order;
    for (const auto &i : back.Items)
      order.push_back(i.Key + "=" + WideToUtf8(i.Value));
    EXPECT_EQ(order, c.order) << c.nameSort;
  }
}

TEST(ApeTag, SetItemJoinsRepeatedNamesOfOneWrite) {
  const Bytes audio = Audio(100);
  CAPETag tag = PlainTag();
  tag.SetItem("Artist", u"Anna");
  tag.SetItem("ARTIST", u"Bert");
  tag.SetItem("Artist", u""); // an empty repeat adds nothing
  tag.SetItem("Comment", u"");
  Bytes file = WriteBytes(tag, audio, false, kTagDone);
  EXPECT_TRUE(SameBytes(file, Cat({audio, Tag(2000, {{"Artist", "Anna, Bert"}})})));

  // The next write starts afresh: the value is replaced.
  tag.SetItem("artist", u"Cleo");
  MemoryFileSystem fs;
  fs.SetFile(u"/f", file);
  EXPECT_EQ(tag.Write(fs, u"/f", false), kTagDone);
  EXPECT_TRUE(SameBytes(*fs.GetFile(u"/f"), Cat({audio, Tag(2000, {{"Artist", "Cleo"}})})));

  // A binary item set to text becomes a text item; one set empty goes away.
  CAPETag read = PlainTag();
  ASSERT_EQ(ReadBytes(read, Cat({audio, Tag(2000, kV2Items)})), kTagDone);
  read.SetItem("cover art (front)", u"now text");
  read.SetItem("Homepage", u"");
  read.SetItem("Title", u"Changed");
  file = WriteBytes(read, audio, false, kTagDone);
  CAPETag back;
  ASSERT_EQ(ReadBytes(back, file), kTagDone);
  EXPECT_EQ(Describe(back), (std::vector<std::string>{
                                "Artist|0|Änne|\\xC3\\x84nne",
                                "Cover Art (Front)|0|now text|now text",
                                "Title|0|Changed|Changed",
                                "Genre|0|Rock|Rock\\x00Pop",
                                "Odd|6||x",
                            }));
}

TEST(ApeTag, TagsAfterTheApeTagStayOnlyWhenAnID3v1Follows) {
  const Bytes audio = Audio(600);
  const struct {
    const char *name;
    Bytes bytes;
  } tails[] = {
      {"nothing", {}},
      {"ID3v1", Id3v1("old")},
      {"Lyrics3, ID3v1", Cat({Lyrics3("la la"), Id3v1("old")})},
      // The footer before it lies beyond the last 1 KiB.
      {"long Lyrics3, ID3v1", Cat({Lyrics3(std::string(2000, 'l')), Id3v1("old")})},
  };
  const struct {
    const char *name;
    Bytes bytes;
  } oldTags[] = {
      {"no tag", {}},
      {"v2", Tag(2000, {{"Artist", "Old"}, {"Cover", "bin", 2}})},
      {"v1", Tag(1000, {{"Artist", std::string("Old\0", 4)}})},
      {"v2 without header", Cat({ItemBytes({"Old", "o"}), Block(2000, 32 + 13, 1, 0)})},
  };
  const Bytes newTag = Tag(2000, {{"Title", "New"}});
  for (const auto &tail : tails)
    for (const auto &old : oldTags)
      for (bool follows : {true, false}) {
        CAPETag tag = PlainTag();
        tag.SetItem("Title", u"New");
        const Bytes expected = Cat({audio, newTag, follows ? tail.bytes : Bytes{}});
        EXPECT_TRUE(SameBytes(
            WriteBytes(tag, Cat({audio, old.bytes, tail.bytes}), follows, kTagDone), expected))
            << old.name << " + " << tail.name << (follows ? ", ID3v1 follows" : "");
      }

  // A Lyrics3 end mark whose size does not lead to its start: only the
  // ID3v1 tag is taken for a tag.
  Bytes junk = Cat({Lyrics3("la"), Id3v1("old")});
  junk[junk.size() - 128 - 15] = '9';
  CAPETag tag = PlainTag();
  tag.SetItem("Title", u"New");
  EXPECT_TRUE(SameBytes(WriteBytes(tag, Cat({audio, junk}), true, kTagDone),
                        Cat({audio, Bytes(junk.begin(), junk.end() - 128), newTag, Id3v1("old")})));
}

TEST(ApeTag, WritingNoItemsRemovesTheOldTag) {
  const Bytes audio = Audio(300), old = Tag(2000, {{"Artist", "Old"}}), id3 = Id3v1("t");
  for (bool follows : {true, false}) {
    CAPETag tag;
    tag.SetItem("Artist", u"");
    EXPECT_TRUE(SameBytes(WriteBytes(tag, Cat({audio, old, id3}), follows, kTagFailed),
                          follows ? Cat({audio, id3}) : audio));
    EXPECT_EQ(tag.TagSize, 0);
  }
}

TEST(ApeTag, DamagedOrMissingTagsAreLeftAlone) {
  const Bytes audio = Audio(300), id3 = Id3v1("t");
  const struct {
    const char *name;
    Bytes file;
  } cases[] = {
      {"size past the file start", Cat({audio, Block(2000, 5000, 1, 0x80000000), id3})},
      {"size below the footer", Cat({audio, Block(2000, 8, 1, 0x80000000)})},
      {"a lone header", Cat({audio, Block(2000, 32, 1, 0xA0000000)})},
  };
  for (const auto &c : cases) {
    CAPETag tag;
    tag.SetItem("Artist", u"New");
    EXPECT_TRUE(SameBytes(WriteBytes(tag, c.file, true, kTagFailed), c.file)) << c.name;
    MemoryFileSystem fs;
    fs.SetFile(u"/f", c.file);
    EXPECT_EQ(tag.Remove(fs, u"/f"), kTagFailed) << c.name;
    EXPECT_TRUE(SameBytes(*fs.GetFile(u"/f"), c.file)) << c.name;
  }
  CAPETag tag;
  tag.SetItem("Artist", u"New");
  MemoryFileSystem fs;
  EXPECT_EQ(tag.Write(fs, u"/missing", false), kTagFailed);
  EXPECT_EQ(tag.Remove(fs, u"/missing"), kTagFailed);
  EXPECT_TRUE(fs.FileNames().empty());
}

TEST(ApeTag, Remove) {
  const Bytes audio = Audio(500), id3 = Id3v1("t"), lyrics = Lyrics3(std::string(1500, 'l'));
  const Bytes v2 = Tag(2000, kV2Items), v1 = Tag(1000, kV1Items);
  const struct {
    const char *name;
    Bytes before;
    TagResult result;
    Bytes after;
  } cases[] = {
      {"v2 and ID3v1", Cat({audio, v2, id3}), kTagDone, Cat({audio, id3})},
      {"v1", Cat({audio, v1}), kTagDone, audio},
      {"v2, long Lyrics3, ID3v1", Cat({audio, v2, lyrics, id3}), kTagDone,
       Cat({audio, lyrics, id3})},
      {"ID3v1 alone", Cat({audio, id3}), kTagNothing, Cat({audio, id3})},
      {"no tag", audio, kTagNothing, audio},
      {"empty file", {}, kTagNothing, {}},
  };
  for (const auto &c : cases) {
    MemoryFileSystem fs;
    fs.SetFile(u"/f", c.before);
    CAPETag tag;
    EXPECT_EQ(tag.Remove(fs, u"/f"), c.result) << c.name;
    EXPECT_TRUE(SameBytes(*fs.GetFile(u"/f"), c.after)) << c.name;
  }
}

TEST(ApeTag, RoundTrips) {
  const Bytes audio = Audio(800), id3 = Id3v1("t");
  for (const auto &fixture : {Tag(2000, kV2Items), Tag(1000, kV1Items)}) {
    CAPETag first = PlainTag();
    ASSERT_EQ(ReadBytes(first, Cat({audio, fixture, id3})), kTagDone);
    std::vector<std::string> items = Describe(first);
    items.erase(std::remove(items.begin(), items.end(), "Empty|0||"), items.end());
    const Bytes once = WriteBytes(first, Cat({audio, fixture, id3}), true, kTagDone);
    // Nothing changed: the same tag comes back (bar the empty item).
    EXPECT_TRUE(SameBytes(
        once,
        Cat({audio,
             first.Version == 2000 ? Tag(2000, {kV2Items.begin(), kV2Items.end() - 1}) : fixture,
             id3})));
    CAPETag second = PlainTag();
    ASSERT_EQ(ReadBytes(second, once), kTagDone);
    EXPECT_EQ(Describe(second), items);
    // The aggregate tag hands every text item back unchanged: still the same.
    for (const auto &item : first.Items)
      if (!item.Flags.Binary) second.SetItem(item.Key, item.Value);
    EXPECT_TRUE(SameBytes(WriteBytes(second, once, true, kTagDone), once));
  }
  // With the default name rules the first write changes keys and order, and
  // later writes keep the file as it is.
  CAPETag tag;
  ASSERT_EQ(ReadBytes(tag, Cat({audio, Tag(2000, kV2Items), id3})), kTagDone);
  const Bytes once = WriteBytes(tag, Cat({audio, Tag(2000, kV2Items), id3}), true, kTagDone);
  EXPECT_TRUE(SameBytes(WriteBytes(tag, once, true, kTagDone), once));
  CAPETag reread;
  ASSERT_EQ(ReadBytes(reread, once), kTagDone);
  EXPECT_TRUE(SameBytes(WriteBytes(reread, once, true, kTagDone), once));
}

TEST(ApeTag, AFailureAtAnyCallLeavesTheFileAsItWas) {
  const Bytes audio = Audio(400), id3 = Id3v1("t"), old = Tag(2000, kV2Items);
  const Bytes before = Cat({audio, old, Lyrics3("la"), id3});
  const Bytes newTag = Tag(2000, {{"Title", "New"}});
  for (bool follows : {true, false})
    test::ExpectEveryFailureLeavesTheFile(
        before, Cat({audio, newTag, follows ? Cat({Lyrics3("la"), id3}) : Bytes{}}),
        [&](IFileSystem &fs) {
          CAPETag tag = PlainTag();
          tag.SetItem("Title", u"New");
          return tag.Write(fs, u"/f", follows);
        },
        kTagDone, kTagFailed);
  test::ExpectEveryFailureLeavesTheFile(
      Cat({audio, id3}), Cat({audio, newTag, id3}),
      [&](IFileSystem &fs) {
        CAPETag tag = PlainTag();
        tag.SetItem("Title", u"New");
        return tag.Write(fs, u"/f", true);
      },
      kTagDone, kTagFailed);
  test::ExpectEveryFailureLeavesTheFile(
      before, Cat({audio, Lyrics3("la"), id3}),
      [](IFileSystem &fs) { return CAPETag().Remove(fs, u"/f"); }, kTagDone, kTagFailed);
  // Reading under failures reports failure and nothing else.
  for (int failAt = 1; failAt < 8; ++failAt) {
    MemoryFileSystem mem;
    mem.SetFile(u"/f", before);
    FaultInjector faults;
    faults.FailAt(failAt);
    FaultInjectingFileSystem fs(mem, faults);
    CAPETag tag;
    const TagResult result = tag.Read(fs, u"/f");
    EXPECT_EQ(result, faults.Failed() ? kTagFailed : kTagDone) << failAt;
  }
}

// ---- Real peers ----------------------------------------------------------

std::string RunPython(const std::string &code, const std::string &file) {
  return test::RunTool({"/usr/bin/python3", "-c", code, file});
}

// Every item mutagen finds: key, kind and the stored bytes in hex, sorted by key.
const char *const kMutagenList = R"(
import sys
from mutagen.apev2 import APEv2
tag = APEv2(sys.argv[1])
for key in sorted(tag.keys()):
    v = tag[key]
    raw = v.value.encode('utf-8') if isinstance(v.value, str) else bytes(v.value)
    print(key, v.kind, raw.hex(), sep='|')
)";

Bytes MakeMp3(const test::TempDir &dir) {
  const std::string wav = (dir.Path() / "in.wav").string(), mp3 = (dir.Path() / "a.mp3").string();
  EXPECT_EQ(test::RunCommand({"sox", "-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth",
                              "0.3", "sine", "440"})
                .exitCode,
            0);
  EXPECT_EQ(test::RunCommand({"lame", "--silent", "-b", "128", wav, mp3}).exitCode, 0);
  const std::string bytes = test::ReadFileBytes(mp3);
  return B(bytes);
}

TEST(ApeTagPeers, MutagenReadsWhatWeWrite) {
  TB_REQUIRE_TOOL("lame");
  TB_REQUIRE_TOOL("sox");
  TB_REQUIRE_MUTAGEN();
  test::TempDir dir;
  const Bytes mp3 = MakeMp3(dir), id3 = Id3v1("id3 title");
  const auto path = dir.Path() / "a.mp3";
  test::WriteFileBytes(path,
                       std::string(mp3.begin(), mp3.end()) + std::string(id3.begin(), id3.end()));
  RealFileSystem fs;
  CAPETag tag; // the default name rules: capitalised keys, shortest value first
  tag.SetItem("ARTIST", u"Ärger Ünal");
  tag.SetItem("Artist", u"Zweite");
  tag.SetItem("album artist", u"Ö");
  tag.Items.push_back(
      MakeItem("Cover Art (Front)", u"", {'c', 0, 0xFF, 0xD8, 0}, {.Binary = true}));
  ASSERT_EQ(tag.Write(fs, W(path.string()), true), kTagDone);
  const Bytes written = B(test::ReadFileBytes(path));
  ASSERT_GT(written.size(), mp3.size() + 128);
  EXPECT_TRUE(std::equal(mp3.begin(), mp3.end(), written.begin())) << "audio changed";
  EXPECT_TRUE(std::equal(id3.begin(), id3.end(), written.end() - 128));
  EXPECT_EQ(RunPython(kMutagenList, path.string()),
            "Album Artist|0|c396\n"
            "Artist|0|c3847267657220c39c6e616c2c205a7765697465\n"
            "Cover Art (front)|1|6300ffd800\n");
  EXPECT_EQ(tag.Remove(fs, W(path.string())), kTagDone);
  EXPECT_TRUE(SameBytes(B(test::ReadFileBytes(path)), Cat({mp3, id3})));
}

TEST(ApeTagPeers, WeReadWhatMutagenWrites) {
  TB_REQUIRE_MUTAGEN();
  test::TempDir dir;
  const auto path = dir.Path() / "a.mp3";
  const Bytes audio = Audio(2000), id3 = Id3v1("t");
  test::WriteFileBytes(path, std::string(audio.begin(), audio.end()) +
                                 std::string(id3.begin(), id3.end()));
  RunPython(R"(
import sys
from mutagen.apev2 import APEv2, APEValue, BINARY, EXTERNAL
tag = APEv2()
tag['Artist'] = 'Ärger'
tag['Genre'] = ['Rock', 'Pop']
tag['Cover Art (Front)'] = APEValue(b'c.jpg\x00\xff\xd8', BINARY)
tag['Homepage'] = APEValue('http://example.org/', EXTERNAL)
tag.save(sys.argv[1])
)",
            path.string());
  RealFileSystem fs;
  CAPETag tag = PlainTag();
  ASSERT_EQ(tag.Read(fs, W(path.string())), kTagDone);
  EXPECT_EQ(tag.Version, 2000);
  EXPECT_EQ(tag.ItemCount(), 4u);
  ASSERT_NE(tag.FindItem("Artist"), nullptr);
  EXPECT_EQ(Describe(*tag.FindItem("Artist")), "Artist|0|Ärger|\\xC3\\x84rger");
  EXPECT_EQ(Describe(*tag.FindItem("Genre")), "Genre|0|Rock|Rock\\x00Pop");
  EXPECT_EQ(Describe(*tag.FindItem("Cover Art (Front)")),
            "Cover Art (Front)|2||c.jpg\\x00\\xFF\\xD8");
  EXPECT_EQ(Describe(*tag.FindItem("Homepage")),
            "Homepage|4|http://example.org/|http://example.org/");
  const Bytes file = B(test::ReadFileBytes(path));
  EXPECT_EQ(tag.TagSize, int64_t(file.size() - audio.size() - 128));

  // Written back unchanged, mutagen still finds it all.
  ASSERT_EQ(tag.Write(fs, W(path.string()), true), kTagDone);
  EXPECT_EQ(RunPython(kMutagenList, path.string()),
            "Artist|0|c38472676572\n"
            "Cover Art (Front)|1|632e6a706700ffd8\n"
            "Genre|0|526f636b00506f70\n"
            "Homepage|2|687474703a2f2f6578616d706c652e6f72672f\n");
}

TEST(ApeTagPeers, WavPackTagsOfWvtag) {
  TB_REQUIRE_TOOL("sox");
  TB_REQUIRE_TOOL("wavpack");
  TB_REQUIRE_TOOL("wvtag");
  TB_REQUIRE_TOOL("wvunpack");
  test::TempDir dir;
  const std::string wav = (dir.Path() / "a.wav").string(), wv = (dir.Path() / "a.wv").string(),
                    jpg = (dir.Path() / "c.jpg").string();
  ASSERT_EQ(test::RunCommand({"sox", "-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth",
                              "0.3", "sine", "440"})
                .exitCode,
            0);
  ASSERT_EQ(test::RunCommand({"wavpack", "-q", wav, "-o", wv}).exitCode, 0);
  const Bytes audio = B(test::ReadFileBytes(wv));
  test::WriteFileBytes(jpg, std::string("\xFF\xD8\xFF\xE0JPEG\0\1", 10));
  const auto tagged =
      test::RunCommand({"wvtag", "-q", "--no-utf8-convert", "-w", "Artist=Ünal", "-w", "Title=Hi",
                        "--write-binary-tag", "Cover Art (Front)=@" + jpg, wv});
  ASSERT_EQ(tagged.exitCode, 0) << tagged.err;

  RealFileSystem fs;
  CAPETag tag = PlainTag();
  ASSERT_EQ(tag.Read(fs, W(wv)), kTagDone);
  EXPECT_EQ(Describe(tag), (std::vector<std::string>{
                               "Artist|0|Ünal|\\xC3\\x9Cnal",
                               "Title|0|Hi|Hi",
                               "Cover Art (Front)|2||Cover Art (Front).jpg\\x00\\xFF\\xD8\\xFF"
                               "\\xE0JPEG\\x00\\x01",
                           }));

  // Our rewrite keeps the stream intact and wvtag reads it.
  tag.SetItem("Title", u"Neu");
  ASSERT_EQ(tag.Write(fs, W(wv), false), kTagDone);
  const Bytes written = B(test::ReadFileBytes(wv));
  ASSERT_GT(written.size(), audio.size());
  EXPECT_TRUE(std::equal(audio.begin(), audio.end(), written.begin())) << "audio changed";
  EXPECT_EQ(test::RunCommand({"wvunpack", "-q", "-v", wv}).exitCode, 0);
  const auto listed = test::RunCommand({"wvtag", "-q", "-l", wv});
  EXPECT_NE(listed.out.find("Title:             Neu"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("Artist:            Ünal"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("10-byte binary item"), std::string::npos) << listed.out;
  EXPECT_EQ(tag.Remove(fs, W(wv)), kTagDone);
  EXPECT_TRUE(SameBytes(B(test::ReadFileBytes(wv)), audio));
}

} // namespace
} // namespace tunbrix
