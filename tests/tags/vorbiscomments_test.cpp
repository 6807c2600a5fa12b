#include <gtest/gtest.h>

#include "support/bytes.h"
#include "support/tag_text.h"
#include "support/test_support.h"
#include "tags/vorbiscomments.h"

namespace tunbrix {
namespace {

using namespace test::bytes;
using test::PairList;
using test::Pairs;
using test::W;

TEST(VorbisComments, FindAndGetIgnoreAsciiCase) {
  CVorbisComments list;
  list.AddComment() = {"Artist", W("First"), "", false};
  list.AddComment() = {"ARTIST", W("Second"), "", false};
  ASSERT_NE(list.FindComment("artist"), nullptr);
  EXPECT_EQ(list.FindComment("artist"), &list.Comments.front());
  EXPECT_EQ(list.GetComment("aRtIsT"), W("First"));
  EXPECT_EQ(list.FindComment("TITLE"), nullptr);
  EXPECT_EQ(list.GetComment("TITLE"), W(""));
}

// The marks let several values of one name fill that name's comments in
// order, append the rest, and leave other comments alone.
TEST(VorbisComments, SetCommentFillsUnmarkedCommentsThenAppends) {
  CVorbisComments list;
  list.AddComment() = {"ARTIST", W("a"), "", false};
  list.AddComment() = {"REPLAYGAIN_TRACK_GAIN", W("-3.2 dB"), "", false};
  list.AddComment() = {"artist", W("b"), "", false};
  list.SetComment("Artist", W("x"));
  list.SetComment("Artist", W("y"));
  list.SetComment("Artist", W("z"));
  list.SetComment("TITLE", W("t"));
  EXPECT_EQ(Pairs(list), (PairList{{"ARTIST", "x"},
                                   {"REPLAYGAIN_TRACK_GAIN", "-3.2 dB"},
                                   {"artist", "y"},
                                   {"Artist", "z"},
                                   {"TITLE", "t"}}));
  EXPECT_TRUE(list.Comments.front().SetMark);
  EXPECT_FALSE(std::next(list.Comments.begin())->SetMark);

  list.ClearMarks();
  list.SetComment("ARTIST", W("again"));
  EXPECT_EQ(list.Comments.front().Value, W("again"));
  EXPECT_EQ(list.Count(), 5u);
}

TEST(VorbisComments, SerialiseWritesOnlyNamedCommentsWithValues) {
  CVorbisComments list;
  list.Vendor = W("reference libFLAC 1.4.2");
  list.AddComment() = {"TITLE", W("Grüße"), "", false};
  list.AddComment() = {"EMPTY", W(""), "", false};
  list.AddComment() = {"", W("no name"), "", false};
  list.AddComment() = {"ARTIST", W("A=B"), "", false};
  const Bytes expected = Cat({LengthPrefixed("reference libFLAC 1.4.2"), Le32(2),
                              LengthPrefixed("TITLE=Grüße"), LengthPrefixed("ARTIST=A=B")});
  EXPECT_EQ(list.Serialise(), expected);
  EXPECT_EQ(list.TotalSize, int64_t(expected.size()));
  EXPECT_EQ(list.Comments.front().Utf8, "Grüße");

  CVorbisComments empty;
  EXPECT_EQ(empty.Serialise(), Cat({Le32(0), Le32(0)}));
  EXPECT_EQ(empty.TotalSize, 8);
}

TEST(VorbisComments, ParseBlockReadsWhatSerialiseWrote) {
  const Bytes block = Cat({LengthPrefixed("vendor ☃"), Le32(4), LengthPrefixed("TITLE=Grüße"),
                           LengthPrefixed("no equals sign"), LengthPrefixed("ARTIST=A=B"),
                           LengthPrefixed("EMPTY=")});
  CVorbisComments list;
  list.AddComment() = {"OLD", W("gone"), "", false};
  EXPECT_TRUE(list.ParseBlock(block.data(), block.size()));
  EXPECT_EQ(list.Vendor, W("vendor ☃"));
  EXPECT_EQ(list.TotalSize, int64_t(block.size()));
  EXPECT_EQ(Pairs(list), (PairList{{"TITLE", "Grüße"}, {"ARTIST", "A=B"}, {"EMPTY", ""}}));
}

// Damaged blocks: the list holds what lies wholly inside the block; nothing
// is read beyond it (the sanitizer build would catch that).
TEST(VorbisComments, ParseBlockStaysInsideDamagedBlocks) {
  struct Case {
    const char *what;
    Bytes block;
    bool whole;
    std::string vendor;
    PairList comments;
  };
  const Case cases[] = {
      {"empty", {}, false, "", {}},
      {"short vendor length", {5, 0}, false, "", {}},
      {"vendor past the end", Cat({Le32(100), B("abc")}), false, "", {}},
      {"vendor length near 2^32", Cat({Le32(0xFFFFFFFF), B("abc")}), false, "", {}},
      {"count missing", LengthPrefixed("v"), false, "v", {}},
      {"count too large",
       Cat({LengthPrefixed("v"), Le32(0xFFFFFFFF), LengthPrefixed("A=1")}),
       false,
       "v",
       {{"A", "1"}}},
      {"comment past the end",
       Cat({LengthPrefixed("v"), Le32(2), LengthPrefixed("A=1"), Le32(50), B("B=2")}),
       false,
       "v",
       {{"A", "1"}}},
      {"comment length near 2^32",
       Cat({LengthPrefixed("v"), Le32(1), Le32(0xFFFFFFFC), B("B=2")}),
       false,
       "v",
       {}},
      {"trailing bytes after the count",
       Cat({LengthPrefixed("v"), Le32(0), B("xyz")}),
       true,
       "v",
       {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    // A copy of exactly the block's size, so that a read past it is caught.
    auto heap = std::make_unique<uint8_t[]>(c.block.size() + 1);
    std::copy(c.block.begin(), c.block.end(), heap.get());
    CVorbisComments list;
    EXPECT_EQ(list.ParseBlock(heap.get(), c.block.size()), c.whole);
    EXPECT_EQ(WideToUtf8(list.Vendor), c.vendor);
    EXPECT_EQ(Pairs(list), c.comments);
    EXPECT_EQ(list.TotalSize, int64_t(c.block.size()));
  }
}

TEST(VorbisComments, AddCommentTextSplitsAtTheFirstEquals) {
  CVorbisComments list;
  EXPECT_TRUE(list.AddCommentText("a=b=c"));
  EXPECT_FALSE(list.AddCommentText("abc"));
  EXPECT_TRUE(list.AddCommentText("x="));
  EXPECT_EQ(Pairs(list), (PairList{{"a", "b=c"}, {"x", ""}}));
}

TEST(VorbisComments, ApplyNameCase) {
  struct Case {
    int mode;
    std::string in, out;
  };
  const Case cases[] = {
      {0, "TrackNumber", "TrackNumber"},
      {1, "TrackNumber", "tracknumber"},
      {2, "TrackNumber", "TRACKNUMBER"},
      {3, "TRACKNUMBER", "Tracknumber"},
      {3, "ALBUM ARTIST", "Album Artist"},
      {3, " lead", " Lead"},
      {0, "A=B", "A_B"},
      {2, "tab\there", "TAB_HERE"},
      {0, "tilde~", "tilde_"},
      {0, "brace}", "brace}"},
      {1, "Ärger", "__rger"}, // each byte of the UTF-8 letter
      {3, "\x7f", "_"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.in);
    CVorbisComments list;
    list.AddComment() = {c.in, W("v"), "", false};
    list.ApplyNameCase(c.mode);
    EXPECT_EQ(list.Comments.front().Name, c.out);
  }
}

TEST(VorbisComments, SortCommentsIsStable) {
  CVorbisComments list;
  for (auto [name, value] : PairList{{"title", "ccc"},
                                     {"ARTIST", "bb"},
                                     {"Album", "a"},
                                     {"artist", "dd"},
                                     {"TITLE", "ee"},
                                     {"ALBUMARTIST", "f"}})
    list.AddComment() = {name, W(value), "", false};
  CVorbisComments byName = list, bySize = list, unchanged = list;
  byName.SortComments(1);
  EXPECT_EQ(Pairs(byName), (PairList{{"Album", "a"},
                                     {"ALBUMARTIST", "f"},
                                     {"ARTIST", "bb"},
                                     {"artist", "dd"},
                                     {"title", "ccc"},
                                     {"TITLE", "ee"}}));
  bySize.SortComments(2);
  EXPECT_EQ(Pairs(bySize), (PairList{{"Album", "a"},
                                     {"ALBUMARTIST", "f"},
                                     {"ARTIST", "bb"},
                                     {"artist", "dd"},
                                     {"TITLE", "ee"},
                                     {"title", "ccc"}}));
  unchanged.SortComments(0);
  EXPECT_EQ(Pairs(unchanged), Pairs(list));
}

// Length in characters: "€€" is two UTF-16 units but six UTF-8 bytes.
TEST(VorbisComments, SortBySizeCountsCharacters) {
  CVorbisComments list;
  list.AddComment() = {"A", W("€€"), "", false};
  list.AddComment() = {"B", W("abc"), "", false};
  list.SortComments(2);
  EXPECT_EQ(list.Comments.front().Name, "A");
}

TEST(VorbisComments, ClearDropsEverything) {
  CVorbisComments list;
  list.Vendor = W("v");
  list.AddComment() = {"A", W("1"), "", false};
  list.Serialise();
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_TRUE(list.Vendor.empty());
  EXPECT_EQ(list.TotalSize, 0);
}

} // namespace
} // namespace tunbrix
