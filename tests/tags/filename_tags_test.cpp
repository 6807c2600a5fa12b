#include <gtest/gtest.h>

#include "support/tag_text.h"
#include "support/test_support.h"
#include "tags/filename_tags.h"
#include "tags/taglib.h"

namespace tunbrix {
namespace {

using test::Items;
using test::W;

std::vector<std::string> Fields(const std::string &text, const std::string &pattern) {
  std::vector<std::string> out;
  for (const auto &[name, value] : MatchFileNamePattern(W(text), W(pattern)))
    out.push_back(name + "=" + WideToUtf8(value));
  return out;
}

TEST(FileNamePattern, FieldsAreCutAtTheLiteralsBetweenThem) {
  struct Case {
    const char *text, *pattern;
    std::vector<std::string> fields;
  } cases[] = {
      // Only the name: the pattern has no folder level.
      {"/Music/01. Some Artist - Some Title",
       "%Track%. %Artist% - %Title%",
       {"Track=01", "Artist=Some Artist", "Title=Some Title"}},
      // Two folder levels: the last three components.
      {"/mp3/Some Artist/Some Album/05 - Some Song",
       "%Artist%/%Album%/%Track% - %Title%",
       {"Artist=Some Artist", "Album=Some Album", "Track=05", "Title=Some Song"}},
      // A literal that is not there: one character, then the rest.
      {"/x/0102 Name", "%Track% - %Title%", {"Track=0", "Title=102 Name"}},
      // Fewer folders than the pattern has levels: all of the text.
      {"x/y", "%A%/%B%/%C%", {"A=x", "B=y", "C="}},
      // Text after a trailing literal is ignored; a leading literal is skipped.
      {"Band [1999] remaster", "%Artist% [%Year%]", {"Artist=Band", "Year=1999"}},
      {"CD2-07", "CD%Disc%-%Track%", {"Disc=2", "Track=07"}},
      // Adjacent fields: the first gets one character.
      {"xyz", "%A%%B%", {"A=x", "B=yz"}},
      // A field names its item as written; an unclosed one takes the rest.
      {"a - b", "%artist% - %Title", {"artist=a", "Title=b"}},
      {"anything", "no fields", {}},
      {"", "%Title%", {"Title="}},
  };
  for (const auto &c : cases)
    EXPECT_EQ(Fields(c.text, c.pattern), c.fields) << c.text << " | " << c.pattern;
}

TEST(FileNamePattern, ParseFileNameSetsItemsThatLaterNamesUpdate) {
  CTAG tag;
  tag.ParseFileName(u"/m/a - b", u"%artist% - %Title%");
  tag.SetItem("Artist", u"c");
  EXPECT_EQ(Items(tag), (std::vector<std::string>{"artist=c", "Title=b"}));
}

TEST(FileNameCleaning, EachSettingInItsTurn) {
  TFileNameTagOptions defaults;
  TFileNameTagOptions off;
  off.UnderscoreToSpace = off.Capitalize = off.KeepLowercaseEnable = off.WordReplaceEnable = false;
  TFileNameTagOptions lower = defaults;
  lower.Lowercase = true;
  TFileNameTagOptions noKeep = defaults;
  noKeep.KeepLowercaseEnable = false;
  TFileNameTagOptions replacer = defaults;
  replacer.WordReplace = {{u"FEAT", u"ft."}, {u"", u"never"}, {u"Vol", u"Volume"}};
  TFileNameTagOptions exact = replacer;
  exact.IgnoreCase = false;

  struct Case {
    const char *file;
    const TFileNameTagOptions &options;
    const char *text;
  } cases[] = {
      {"the_end_of_the_world.mp3", defaults, "The End of the World"},
      {"_name_.mp3", defaults, "Name"},
      {"_name_.mp3", off, "_name_"},
      {"LOUD name.ogg", defaults, "LOUD Name"},
      {"LOUD name.ogg", lower, "Loud Name"},
      {"the end of it.flac", noKeep, "The End Of It"},
      // Folders are cleaned too, and only the path's first character is
      // exempt from the kept words.
      {"/music/some band/a_song.mp3", defaults, "/Music/Some Band/a Song"},
      {"band feat other vol 2.mp3", replacer, "Band ft. Other Volume 2"},
      {"band feat other Vol 2.mp3", exact, "Band feat Other Volume 2"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(WideToUtf8(CleanFileNameText(W(c.file), c.options)), c.text) << c.file;
}

TEST(BuildTagFromFileName, FieldsOfTheCleanedPathAndTheAdditionalItems) {
  TFileNameTagOptions options;
  options.Pattern = u"%Artist%/%Album%/%Track% - %Title% (%Genre%)";
  options.AdditionalItems = {{"Genre", u"Rock"}, {"Comment", u"gone", true}, {"Mood", u"calm"}};
  const auto tag =
      BuildTagFromFileName(u"/mp3/some_artist/greatest_hits/05_-_the_song_(pop).mp3", options);
  EXPECT_EQ(Items(*tag),
            (std::vector<std::string>{"Artist=Some Artist", "Album=Greatest Hits", "Track=05",
                                      "Title=the Song", "Genre=Rock", "Mood=calm"}));
  EXPECT_FALSE(tag->HasID3v1 || tag->HasID3v2 || tag->HasAPE); // the file is never read
}

} // namespace
} // namespace tunbrix
