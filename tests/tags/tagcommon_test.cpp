#include <gtest/gtest.h>

#include <cstring>

#include "tags/tagcommon.h"

namespace tunbrix {
namespace {

TEST(TagCommon, GenreIndex) {
  const struct {
    std::u16string text;
    int index;
  } cases[] = {
      {u"(17)", 17},      {u"17", 17},        {u"Rock", 17},
      {u"rOcK", 17},      {u"Roc", 17},       {u"Ro", 255},
      {u"Hip", 7},        {u"(Rock)", 0},     {u"300", 300},
      {u"", 255},         {u"Synthpop", 147}, {u"Synthpopx", 255},
      {u"Alt. Rock", 40}, {u"(4)Disco", 4},   {u"nothing like it", 255},
      {u"-3", 255},
  };
  for (const auto &c : cases)
    EXPECT_EQ(GenreIndex(c.text), c.index) << WideToUtf8(c.text);
}

TEST(TagCommon, GenreNames) {
  EXPECT_EQ(GenreName(0), u"Blues");
  EXPECT_EQ(GenreName(123), u"A Cappella");
  EXPECT_EQ(GenreName(147), u"Synthpop");
  EXPECT_EQ(GenreName(148), u"");
  EXPECT_EQ(GenreName(-1), u"");
  for (int i = 0; i < kGenreCount; ++i)
    EXPECT_EQ(GenreIndex(GenreName(i)), i) << i;
}

TEST(TagCommon, ParseTrack) {
  EXPECT_EQ(ParseTrack(u"3/12"), std::make_pair(3, 12));
  EXPECT_EQ(ParseTrack(u"3"), std::make_pair(3, 0));
  EXPECT_EQ(ParseTrack(u"a/b"), std::make_pair(0, 0));
  EXPECT_EQ(ParseTrack(u"07/x"), std::make_pair(7, 0));
  EXPECT_EQ(ParseTrack(u""), std::make_pair(0, 0));
  EXPECT_EQ(ParseTrack(u"99999999999"), std::make_pair(0, 0));
}

TEST(TagCommon, ID3v1DetectionSkipsTheApeTrap) {
  uint8_t tail[131] = {};
  std::memcpy(tail + 3, "TAG", 3);
  EXPECT_TRUE(DetectID3v1(tail));
  // "APETAGEX" at end -131 contains "TAG" at end -128.
  std::memcpy(tail, "APETAGEX", 8);
  EXPECT_FALSE(DetectID3v1(tail));
  std::memset(tail, 0, sizeof tail);
  EXPECT_FALSE(DetectID3v1(tail));

  MemoryFile shortFile(Bytes(130, 0));
  EXPECT_FALSE(FileHasID3v1(shortFile));
  Bytes data(1000, 0);
  std::memcpy(data.data() + 1000 - 128, "TAG", 3);
  MemoryFile tagged(data);
  EXPECT_TRUE(FileHasID3v1(tagged));
}

} // namespace
} // namespace tunbrix
