#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "foundation/WinExc32.h"
#include "foundation/text_types.h"
#include "foundation/unicode_winapi.h"
#include "support/bytes.h"
#include "support/fault_loop.h"
#include "support/tag_text.h"
#include "support/test_support.h"
#include "support/tones.h"
#include "tags/tagflacvorbis.h"
#include "tags/taglib.h"

namespace tunbrix {
namespace {

using namespace test::bytes;
using test::Items;
using test::W;

// ---- fixtures ------------------------------------------------------------
// Files in memory are tagged with the format classes, which have tests of
// their own; what is checked here is how CTAG combines them.

Bytes Tail(const Bytes &b, size_t n) { return Bytes(b.end() - std::ptrdiff_t(n), b.end()); }

const std::string kLongTitle = "A Title Far Longer Than Thirty Characters";
const std::string kLongArtist = "An Artist Whose Name Needs Forty Letters";

struct TMemFile {
  explicit TMemFile(WideString name = u"/music/song.mp3", size_t audio = 6000) : path(name) {
    fs.SetFile(path, NoSyncAudio(audio));
  }
  Bytes Data() const { return *fs.GetFile(path); }
  MemoryFileSystem fs;
  WideString path;
};

void PutID3v1(TMemFile &f, const std::string &title, const std::string &artist,
              const std::string &comment = "", uint8_t track = 0, uint8_t genre = kNoGenre) {
  CID3 id3;
  id3.Title = title;
  id3.Artist = artist;
  id3.Comment = comment;
  id3.Track = track;
  id3.Genre = genre;
  ASSERT_EQ(id3.Write(f.fs, f.path), 0);
}

struct TFrameText {
  std::string id;
  WideString description;
  WideString text;
};

void PutID3v2(TMemFile &f, const std::vector<TFrameText> &frames, int version = 3) {
  CID3v2 id3;
  id3.Version = version;
  for (const auto &frame : frames)
    id3.SetTextFrame(frame.id, frame.description, frame.text);
  ASSERT_EQ(id3.Write(f.fs, f.path), kTagDone);
}

void PutLyrics3(TMemFile &f, const std::string &artist) {
  CLyrics3 lyrics;
  ASSERT_EQ(lyrics.Read(f.fs, f.path), kTagNothing);
  lyrics.Artist = artist;
  ASSERT_EQ(lyrics.Write(f.fs, f.path), kTagDone);
}

void PutAPE(TMemFile &f, const std::vector<std::pair<std::string, WideString>> &items) {
  CAPETag ape;
  ape.NameCase = ape.NameSort = 0;
  for (const auto &[key, value] : items)
    ape.SetItem(key, value);
  ASSERT_EQ(ape.Write(f.fs, f.path, true), kTagDone);
}

// ---- FLAC files by hand: "fLaC", STREAMINFO of 44.1 kHz stereo 16-bit,
// an optional comment block, padding, then the "audio".

Bytes FlacBlock(uint8_t type, bool last, const Bytes &body) {
  const auto n = uint32_t(body.size());
  return Cat(
      {{uint8_t(type | (last ? 0x80 : 0)), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)}, body});
}

Bytes StreamInfo() {
  Bytes info = {0x10, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0, 0};
  const uint64_t packed = uint64_t(44100) << 44 | uint64_t(1) << 41 | uint64_t(15) << 36 | 44100;
  for (int i = 7; i >= 0; --i)
    info.push_back(uint8_t(packed >> (8 * i)));
  info.resize(34, 0);
  return info;
}

Bytes CommentBlock(const std::string &vendor, const std::vector<std::string> &comments) {
  Bytes body = Cat({Le32(uint32_t(vendor.size())), B(vendor), Le32(uint32_t(comments.size()))});
  for (const auto &c : comments)
    body = Cat({body, Le32(uint32_t(c.size())), B(c)});
  return body;
}

Bytes FlacFile(const std::vector<std::string> &comments, size_t padding, bool withBlock = true) {
  Bytes out = Cat({B("fLaC"), FlacBlock(0, false, StreamInfo())});
  if (withBlock) out = Cat({out, FlacBlock(4, false, CommentBlock("test vendor", comments))});
  return Cat({out, FlacBlock(1, true, Bytes(padding, 0)), NoSyncAudio(5000)});
}

// ---- views

// Items by lower-cased name, for comparing tags whose formats spell and
// order names differently.
std::map<std::string, std::string> ItemMap(const CTAG &tag) {
  std::map<std::string, std::string> out;
  for (const auto &item : tag.Items)
    out[WideToUtf8(LowerCaseW(Utf8ToWide(item.Name)))] = WideToUtf8(item.Value);
  return out;
}

CTAG Loaded(IFileSystem &fs, const WideString &path) {
  CTAG tag;
  tag.ReadTags(fs, path, AllTagFormats);
  ReadVorbisComments(fs, path, tag);
  tag.LoadItems();
  return tag;
}

std::vector<std::string> Comments(const CVorbisComments &list) {
  std::vector<std::string> out;
  for (const auto &c : list.Comments)
    out.push_back(c.Name + "=" + WideToUtf8(c.Value));
  return out;
}

// A clean run of op gives the bytes to expect; then every call of op fails in
// turn, and each failing run must leave the file as it was.
void EveryFailureLeavesTheFile(const WideString &path, const Bytes &before,
                               const std::function<int(IFileSystem &)> &op) {
  MemoryFileSystem clean;
  clean.SetFile(path, before);
  ASSERT_EQ(op(clean), kTagDone);
  const Bytes after = *clean.GetFile(path);
  ASSERT_NE(after, before) << "the operation must change the file to show anything";
  test::ExpectEveryFailureLeavesTheFile(before, after, op, kTagDone, kTagFailed, path);
}

// ---- the item list -----------------------------------------------------

TEST(CTAGItems, NamesCompareWithoutCaseAndKeepTheirFirstSpelling) {
  CTAG tag;
  EXPECT_TRUE(tag.HasTag); // a new tag counts as one until Reset
  tag.SetItem("artist", u"a");
  tag.SetItem("ARTIST", u"b"); // the same item
  tag.AddItem("Artist", u"c"); // a second one
  EXPECT_EQ(Items(tag), (std::vector<std::string>{"artist=b", "Artist=c"}));
  EXPECT_EQ(tag.GetItem("Artist"), u"b");
  EXPECT_EQ(tag.GetItem("Title"), u"");
  EXPECT_EQ(tag.FindItem("Title"), nullptr);

  tag.FindItem("artist")->Removed = true;
  tag.SetItem("Artist", u"d");
  EXPECT_FALSE(tag.FindItem("artist")->Removed);
  tag.Reset();
  EXPECT_EQ(tag.ItemCount(), 0u);
  EXPECT_FALSE(tag.HasTag);
}

TEST(CTAGItems, MergeItemTakesLongerFormsAndKeepsOtherValues) {
  struct Case {
    std::optional<std::string> old;
    std::string merged;
    std::vector<std::string> items;
  } cases[] = {
      {std::nullopt, "One", {"Title=One"}},
      {"", "One", {"Title=One"}},
      {kLongTitle.substr(0, 30), kLongTitle, {"Title=" + kLongTitle}},
      {"a title far longer", "A TITLE FAR LONGER THAN", {"Title=A TITLE FAR LONGER THAN"}},
      {"Rock", "ROCK", {"Title=ROCK"}},
      {"Abc", "Abd", {"Title=Abc", "Title=Abd"}},
      {"Abcdef", "Abc", {"Title=Abcdef", "Title=Abc"}}, // a shorter form is another value
  };
  for (const auto &c : cases) {
    CTAG tag;
    if (c.old) tag.SetItem("Title", W(*c.old));
    if (c.old) tag.FindItem("Title")->Removed = true;
    tag.MergeItem("Title", W(c.merged));
    EXPECT_EQ(Items(tag), c.items) << c.merged;
    if (c.items.size() == 1) { // the value was taken over: the item is back
      EXPECT_FALSE(tag.FindItem("Title")->Removed) << c.merged;
    }
  }
}

TEST(CTAGItems, FitsID3v1CountsCharactersOfItemsNotRemoved) {
  CTAG tag;
  tag.SetItem("Title", WideString(30, u'\u00E9'));
  EXPECT_TRUE(tag.FitsID3v1());
  tag.SetItem("Album", WideString(31, u'x'));
  EXPECT_FALSE(tag.FitsID3v1());
  tag.FindItem("Album")->Removed = true;
  EXPECT_TRUE(tag.FitsID3v1());
}

// ---- folding formats into items ----------------------------------------

TEST(CTAGLoadItems, EachFormatOverridesTheOnesBeforeIt) {
  TMemFile f;
  PutID3v2(f, {{"TALB", u"", u"ID3v2 Album"},
               {"TCON", u"", u"(8)"},
               {"COMM", u"", u"ID3v2 comment"},
               {"TXXX", u"Label", u"not an item"}});
  PutID3v1(f, kLongTitle.substr(0, 30), kLongArtist.substr(0, 30), "ID3v1 comment", 7, 17);
  PutLyrics3(f, kLongArtist);
  PutAPE(f, {{"Title", W(kLongTitle)}, {"REPLAYGAIN_TRACK_GAIN", u"-3 dB"}, {"Catalog", u"C-1"}});

  CTAG tag = Loaded(f.fs, f.path);
  EXPECT_TRUE(tag.HasID3v1 && tag.HasLyrics3 && tag.HasID3v2 && tag.HasAPE && tag.HasTag);
  EXPECT_FALSE(tag.HasVorbis);
  EXPECT_EQ(Items(tag), (std::vector<std::string>{
                            "Artist=" + kLongArtist, // Lyrics3 over ID3v1
                            "Title=" + kLongTitle,   // APE over ID3v1
                            "Comment=ID3v2 comment", // ID3v2 over ID3v1
                            "Track=07",              // ID3v1 only
                            "Genre=Jazz",            // ID3v2 "(8)" over ID3v1 Rock
                            "Album=ID3v2 Album",     // ID3v2 only
                            "Catalog=C-1",           // a free item, from APE
                        }));
  EXPECT_EQ(tag.TotalTagSize, int64_t(f.Data().size()) - 6000);
}

TEST(CTAGLoadItems, VorbisCommentsMergeIntoTheItems) {
  CTAG tag;
  tag.HasID3v1 = true;
  tag.ID3v1.Title = kLongTitle.substr(0, 30);
  tag.ID3v1.Artist = "First";
  tag.ID3v1.Track = 2;
  tag.HasVorbis = true;
  for (const auto *text :
       {"TITLE=A Title Far Longer Than Thirty Characters", "ARTIST=first", "ARTIST=Second",
        "TRACKNUMBER=3/9", "DATE=2001-02-03", "REPLAYGAIN_ALBUM_GAIN=-1 dB", "Mood=calm"})
    tag.Vorbis.AddCommentText(text);
  tag.LoadItems();
  EXPECT_EQ(Items(tag),
            (std::vector<std::string>{"Artist=first", "Title=" + kLongTitle, "Track=3/9",
                                      "ARTIST=Second", "Year=2001-02-03", "Mood=calm"}));
}

TEST(CTAGLoadItems, ID3v1TrackAndGenreBytes) {
  struct Case {
    uint8_t track, genre;
    std::vector<std::string> items;
  } cases[] = {
      {7, 17, {"Title=t", "Track=07", "Genre=Rock"}},
      {0, 255, {"Title=t"}},                        // no track, no genre
      {12, 200, {"Title=t", "Track=12", "Genre="}}, // a genre byte without a name
  };
  for (const auto &c : cases) {
    CTAG tag;
    tag.HasID3v1 = true;
    tag.ID3v1.Title = "t";
    tag.ID3v1.Track = c.track;
    tag.ID3v1.Genre = c.genre;
    tag.LoadItems();
    EXPECT_EQ(Items(tag), c.items) << int(c.genre);
  }
}

TEST(CTAGLoadItems, ID3v2GenresAndTheAPEItemsThatAreNoItems) {
  for (const auto &[stored, item] :
       std::vector<std::pair<WideString, WideString>>{{u"(17)", u"Rock"},
                                                      {u"17", u"Rock"},
                                                      {u"rock", u"Rock"},
                                                      {u"300", u"300"},
                                                      {u"Chiptune", u"Chiptune"}}) {
    CTAG tag;
    tag.HasID3v2 = true;
    tag.ID3v2.SetTextFrame("TCON", u"", stored);
    tag.LoadItems();
    EXPECT_EQ(tag.GetItem("Genre"), item) << WideToUtf8(stored);
  }
  CTAG tag;
  tag.HasAPE = true;
  tag.APE.SetItem("replaygain_track_peak", u"0.9");
  tag.APE.SetItem("Cover Art (Front)", u"");
  tag.APE.Items.back().Flags.Binary = true;
  tag.APE.Items.back().RawValue = B("jpeg");
  tag.APE.SetItem("Composer", u"Someone");
  tag.LoadItems();
  EXPECT_EQ(Items(tag), std::vector<std::string>{"Composer=Someone"});
}

// ---- the three mended faults -------------------------------------------

TEST(CTAGMends, AFrameWithADescriptionOnlyDoesNotHideOrEraseOtherFormats) {
  TMemFile f;
  PutID3v2(f, {{"COMM", u"iTunNORM", u" 00000B0A 00000A2C"}, {"TPE1", u"", u"V2 Artist"}});
  PutID3v1(f, "Title", "V1 Artist", "kept comment");
  CTAG tag = Loaded(f.fs, f.path);
  EXPECT_EQ(tag.GetItem("Comment"), u"kept comment");
  EXPECT_EQ(tag.GetItem("Artist"), u"V2 Artist");

  ASSERT_EQ(tag.WriteTags(f.fs, f.path, kTagID3v1 | kTagID3v2), kTagDone);
  CTAG back = Loaded(f.fs, f.path);
  EXPECT_EQ(back.ID3v1.Comment, "kept comment");
  EXPECT_EQ(back.ID3v2.GetFrameText("COMM", u"iTunNORM"), u" 00000B0A 00000A2C");
  EXPECT_EQ(back.ID3v2.GetFrameText("COMM", u""), u"kept comment");

  // Nor does a frame whose text cannot be read.
  CTAG unreadable;
  unreadable.HasID3v1 = unreadable.HasID3v2 = true;
  unreadable.ID3v1.Title = "Readable";
  TID3Frame frame = MakeFrame("TIT2");
  frame.Data = {9, 'x', 'y'}; // no such text encoding
  unreadable.ID3v2.Frames.push_back(frame);
  unreadable.LoadItems();
  EXPECT_EQ(unreadable.GetItem("Title"), u"Readable");
}

TEST(CTAGMends, WritingAPEAloneKeepsTheID3v1AndLyrics3TagsAfterIt) {
  TMemFile f;
  PutID3v1(f, "Title", "Artist");
  PutLyrics3(f, kLongArtist);
  PutAPE(f, {{"Title", u"Old"}});
  const Bytes before = f.Data();
  const size_t trailing = 128 + size_t(Loaded(f.fs, f.path).Lyrics3.TagSize);
  CTAG tag = Loaded(f.fs, f.path);
  tag.SetItem("Title", u"New title");
  ASSERT_EQ(tag.WriteTags(f.fs, f.path, kTagAPE), kTagDone);
  EXPECT_EQ(Tail(f.Data(), trailing), Tail(before, trailing));
  CTAG back = Loaded(f.fs, f.path);
  EXPECT_TRUE(back.HasID3v1 && back.HasLyrics3 && back.HasAPE);
  EXPECT_EQ(back.GetItem("Title"), u"New title");
  EXPECT_EQ(back.ID3v1.Title, "Title");
}

TEST(CTAGMends, AnEarlierFailureIsNotHiddenByALaterSuccess) {
  TMemFile f;
  PutID3v2(f, {{"TIT2", u"", u"Old"}});
  const Bytes before = f.Data();
  CTAG tag = Loaded(f.fs, f.path);
  tag.SetItem("Title", u"New");
  tag.ID3v2.Version = 2; // "Use Old Version" of a 2.2 tag: no writer makes that
  EXPECT_EQ(tag.WriteTags(f.fs, f.path, kTagID3v2 | kTagAPE), kTagFailed);
  EXPECT_EQ(tag.FailedFormats, kTagID3v2);
  EXPECT_TRUE(f.Data() == before); // and the APE tag did not go in either
}

// ---- writing -----------------------------------------------------------

CTAG FullTag() {
  CTAG tag;
  tag.SetItem("Artist", W(kLongArtist));
  tag.SetItem("Title", u"Caf\u00E9 Song");
  tag.SetItem("Album", u"Album");
  tag.SetItem("Year", u"2004");
  tag.SetItem("Comment", u"A comment");
  tag.SetItem("Track", u"3/12");
  tag.SetItem("Genre", u"Jazz");
  tag.SetItem("Catalog", u"CAT-1");
  return tag;
}

TEST(CTAGWrite, EveryFormatReadsBackWithItsItems) {
  TMemFile f;
  CTAG tag = FullTag();
  ASSERT_EQ(tag.WriteTags(f.fs, f.path, kTagID3v1 | kTagLyrics3 | kTagID3v2 | kTagAPE), kTagDone);
  CTAG back = Loaded(f.fs, f.path);
  EXPECT_TRUE(back.HasID3v1 && back.HasLyrics3 && back.HasID3v2 && back.HasAPE);
  EXPECT_EQ(back.ID3v1.Artist, kLongArtist.substr(0, 30));
  EXPECT_EQ(back.ID3v1.Title, "Caf\xE9 Song"); // Windows-1252
  EXPECT_EQ(back.ID3v1.Track, 3);
  EXPECT_EQ(back.ID3v1.Genre, 8);
  EXPECT_EQ(back.Lyrics3.Artist, kLongArtist);
  EXPECT_EQ(back.ID3v2.GetFrameText("TRCK", u""), u"3/12");
  EXPECT_EQ(back.ID3v2.GetFrameText("TXXX", u"Catalog"), u""); // free items stay in APE
  EXPECT_EQ(back.APE.FindItem("Catalog")->Value, u"CAT-1");
  EXPECT_EQ(ItemMap(back), ItemMap(tag));
  EXPECT_EQ(back.TotalTagSize, int64_t(f.Data().size()) - 6000);

  TMemFile flac(u"/music/song.flac");
  flac.fs.SetFile(flac.path, FlacFile({"REPLAYGAIN_TRACK_GAIN=-2 dB", "ARTIST=old"}, 2048));
  CTAG vorbis = Loaded(flac.fs, flac.path);
  for (const auto &item : tag.Items)
    vorbis.SetItem(item.Name, item.Value);
  ASSERT_EQ(vorbis.WriteTags(flac.fs, flac.path, kTagVorbis), kTagDone);
  CTAG flacBack = Loaded(flac.fs, flac.path);
  EXPECT_EQ(Comments(flacBack.Vorbis),
            (std::vector<std::string>{"REPLAYGAIN_TRACK_GAIN=-2 dB", "ARTIST=" + kLongArtist,
                                      "Title=Caf\u00E9 Song", "Album=Album", "date=2004",
                                      "Comment=A comment", "tracknumber=3/12", "Genre=Jazz",
                                      "Catalog=CAT-1"}));
  EXPECT_EQ(flacBack.Vorbis.Vendor, u"test vendor");
  EXPECT_EQ(ItemMap(flacBack), ItemMap(tag));
}

TEST(CTAGWrite, NamesAreCasedAndSortedForAPEAndVorbis) {
  TMemFile f(u"/music/a.flac");
  f.fs.SetFile(f.path, FlacFile({}, 4096));
  CTAG tag;
  tag.SetItem("ALBUM ARTIST", u"Somebody");
  tag.SetItem("track", u"4");
  tag.NameCase = 3;
  tag.NameSort = 2;
  ASSERT_EQ(tag.WriteTags(f.fs, f.path, kTagAPE | kTagVorbis), kTagDone);
  CTAG back = Loaded(f.fs, f.path);
  EXPECT_EQ(Comments(back.Vorbis),
            (std::vector<std::string>{"Tracknumber=4", "Album Artist=Somebody"}));
  EXPECT_EQ(back.APE.Items.front().Key, "Track");
}

TEST(CTAGWrite, PresentOnlyAddsTheFormatsTheFileHas) {
  TMemFile f;
  PutID3v1(f, "Old", "Artist");
  PutAPE(f, {{"Title", u"Old"}});
  CTAG tag = Loaded(f.fs, f.path);
  tag.SetItem("Title", u"New");
  ASSERT_EQ(tag.WriteTags(f.fs, f.path, kTagPresentOnly), kTagDone);
  CTAG back = Loaded(f.fs, f.path);
  EXPECT_TRUE(back.HasID3v1 && back.HasAPE);
  EXPECT_FALSE(back.HasID3v2);
  EXPECT_EQ(back.ID3v1.Title, "New");
  EXPECT_EQ(back.APE.FindItem("Title")->Value, u"New");

  ASSERT_EQ(tag.WriteTags(f.fs, f.path, kTagPresentOnly | kTagID3v2), kTagDone);
  EXPECT_EQ(Loaded(f.fs, f.path).ID3v2.GetFrameText("TIT2", u""), u"New");
}

TEST(CTAGWrite, NothingChosenOrNowhereToPutItFailsAndTouchesNothing) {
  TMemFile f;
  const Bytes before = f.Data();
  CTAG tag = FullTag();
  EXPECT_EQ(tag.WriteTags(f.fs, f.path, 0), kTagFailed);
  EXPECT_EQ(tag.WriteTags(f.fs, f.path, kTagPresentOnly), kTagFailed); // nothing was read
  EXPECT_EQ(tag.WriteTags(f.fs, f.path, kTagVorbis), kTagFailed);      // no comments in MP3
  EXPECT_TRUE(f.Data() == before);
  // Beside another format the comments are simply left out.
  EXPECT_EQ(tag.WriteTags(f.fs, f.path, kTagID3v1 | kTagVorbis), kTagDone);
  // Ogg comments need the external program, and so a runner.
  TMemFile ogg(u"/music/a.ogg");
  EXPECT_EQ(tag.WriteTags(ogg.fs, ogg.path, kTagVorbis), kTagFailed);
  EXPECT_EQ(tag.FailedFormats, kTagVorbis);
}

TEST(CTAGWrite, ID3v1BytesFromTrackAndGenreTexts) {
  struct Case {
    WideString track, genre;
    uint8_t trackByte, genreByte;
  } cases[] = {
      {u"3/12", u"Rock", 3, 17},        {u"07", u"(8)", 7, 8}, {u"", u"44", 0, 44},
      {u"300", u"300", 0, 255}, // no byte holds 300: no track, unknown genre
      {u"x", u"No Such Genre", 0, 255},
  };
  for (const auto &c : cases) {
    TMemFile f;
    CTAG tag;
    tag.SetItem("Track", c.track);
    tag.SetItem("Genre", c.genre);
    ASSERT_EQ(tag.WriteTags(f.fs, f.path, kTagID3v1), kTagDone);
    const Bytes id3 = Tail(f.Data(), 128);
    EXPECT_EQ(id3[126], c.trackByte) << WideToUtf8(c.track);
    EXPECT_EQ(id3[127], c.genreByte) << WideToUtf8(c.genre);
  }
}

// ---- removing ----------------------------------------------------------

TEST(CTAGRemove, ResultCodesAndWhatGoes) {
  TMemFile tagged;
  PutID3v2(tagged, {{"TIT2", u"", u"t"}});
  PutID3v1(tagged, "t", "a");
  PutLyrics3(tagged, kLongArtist);
  PutAPE(tagged, {{"Title", u"t"}});
  const Bytes all = tagged.Data();

  struct Case {
    const char *what;
    WideString name;
    Bytes file;
    uint8_t formats;
    TagResult result;
    uint8_t left; // formats found afterwards
  } cases[] = {
      {"untagged", u"/a.mp3", NoSyncAudio(6000), AllTagFormats, kTagNothing, 0},
      {"everything", u"/a.mp3", all, AllTagFormats, kTagDone, 0},
      {"ID3v1 takes Lyrics3 along", u"/a.mp3", all, kTagID3v1, kTagDone, kTagID3v2 | kTagAPE},
      {"Lyrics3 alone", u"/a.mp3", all, kTagLyrics3, kTagDone, kTagID3v1 | kTagID3v2 | kTagAPE},
      {"APE", u"/a.mp3", all, kTagAPE, kTagDone, kTagID3v1 | kTagLyrics3 | kTagID3v2},
      {"ID3v2", u"/a.mp3", all, kTagID3v2, kTagDone, kTagID3v1 | kTagLyrics3 | kTagAPE},
      {"Vorbis in MP3", u"/a.mp3", all, kTagVorbis, kTagNothing, AllTagFormats & ~kTagVorbis},
      {"FLAC comments", u"/a.flac", FlacFile({"ARTIST=x"}, 100), kTagVorbis, kTagDone,
       kTagVorbis}, // the vendor stays
      {"FLAC without comments", u"/a.flac", FlacFile({}, 100, false), kTagVorbis, kTagDone, 0},
      {"Ogg without a runner", u"/a.ogg", NoSyncAudio(100), kTagVorbis, kTagFailed, 0},
  };
  for (const auto &c : cases) {
    MemoryFileSystem fs;
    fs.SetFile(c.name, c.file);
    CTAG tag;
    EXPECT_EQ(tag.RemoveTags(fs, c.name, c.formats), c.result) << c.what;
    const CTAG back = Loaded(fs, c.name);
    const uint8_t left = (back.HasID3v1 ? kTagID3v1 : 0) | (back.HasLyrics3 ? kTagLyrics3 : 0) |
                         (back.HasID3v2 ? kTagID3v2 : 0) | (back.HasAPE ? kTagAPE : 0) |
                         (back.HasVorbis ? kTagVorbis : 0);
    EXPECT_EQ(left, c.left) << c.what;
    if (left == kTagVorbis) { // the comment block is down to its vendor
      EXPECT_EQ(back.Vorbis.Count(), 0u);
      EXPECT_EQ(back.Vorbis.Vendor, u"test vendor");
    }
    if (c.formats == AllTagFormats && c.result == kTagDone) {
      EXPECT_EQ(*fs.GetFile(c.name), NoSyncAudio(6000)) << c.what;
    }
  }
}

// ---- nothing lost ------------------------------------------------------

TEST(CTAGFailSafe, AFailureAtAnyCallLeavesTheFileAsItWas) {
  TMemFile f;
  PutID3v2(f, {{"TIT2", u"", u"t"}});
  PutID3v1(f, "t", "a");
  PutLyrics3(f, kLongArtist);
  PutAPE(f, {{"Title", u"t"}});
  const Bytes before = f.Data();
  CTAG tag = Loaded(f.fs, f.path);
  tag.SetItem("Title", W(kLongTitle));
  tag.SetItem("Lyrics", WideString(600, u'l')); // the ID3v2 tag outgrows its padding
  tag.SetItem("Album", W(kLongTitle + " too"));

  {
    SCOPED_TRACE("write every format");
    EveryFailureLeavesTheFile(f.path, before, [&](IFileSystem &fs) {
      CTAG copy = tag;
      return copy.WriteTags(fs, f.path, kTagID3v1 | kTagLyrics3 | kTagID3v2 | kTagAPE);
    });
  }
  {
    SCOPED_TRACE("remove every format");
    EveryFailureLeavesTheFile(f.path, before, [&](IFileSystem &fs) {
      return CTAG().RemoveTags(fs, f.path, AllTagFormats);
    });
  }

  // A FLAC file with an ID3v2 tag in front, both ends of the metadata moved.
  const WideString flacPath = u"/music/a.flac";
  MemoryFileSystem flacFs;
  flacFs.SetFile(flacPath, FlacFile({"ARTIST=x"}, 16));
  {
    CID3v2 front;
    front.SetTextFrame("TIT2", u"", u"front");
    ASSERT_EQ(front.Write(flacFs, flacPath), kTagDone);
  }
  CTAG flacTag = Loaded(flacFs, flacPath);
  flacTag.SetItem("Title", WideString(700, u't'));
  {
    SCOPED_TRACE("write ID3v2 and FLAC comments");
    EveryFailureLeavesTheFile(flacPath, *flacFs.GetFile(flacPath), [&](IFileSystem &fs) {
      CTAG copy = flacTag;
      return copy.WriteTags(fs, flacPath, kTagID3v2 | kTagVorbis);
    });
  }
  {
    SCOPED_TRACE("remove ID3v2 and FLAC comments");
    EveryFailureLeavesTheFile(flacPath, *flacFs.GetFile(flacPath), [&](IFileSystem &fs) {
      return CTAG().RemoveTags(fs, flacPath, AllTagFormats);
    });
  }
}

// ---- peers: real MP3, FLAC and Ogg files -------------------------------

std::filesystem::path Encode(const test::TempDir &dir, const std::string &kind) {
  const auto raw = test::WriteStereoTone(dir);
  const auto out = dir.Path() / ("tone." + kind);
  std::vector<std::string> command;
  if (kind == "mp3")
    command = {"lame",     "--silent",        "-r",         "-s",        "44.1", "--bitwidth", "16",
               "--signed", "--little-endian", raw.string(), out.string()};
  else if (kind == "flac")
    command = {"flac",
               "--silent",
               "--force-raw-format",
               "--endian=little",
               "--sign=signed",
               "--channels=2",
               "--bps=16",
               "--sample-rate=44100",
               "-o",
               out.string(),
               raw.string()};
  else
    command = {"oggenc", "--quiet", "-r", "-C", "2",          "-R",
               "44100",  "-B",      "16", "-o", out.string(), raw.string()};
  const auto r = test::RunCommand(command);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return out;
}

WideString Wide(const std::filesystem::path &p) { return FromNativePath(p.string()); }

TEST(CTAGPeers, AudioOfALameMp3IsNeverTouched) {
  TB_REQUIRE_TOOL("lame");
  TB_REQUIRE_MUTAGEN();
  test::TempDir dir;
  const auto mp3 = Encode(dir, "mp3");
  const std::string audio = test::ReadFileBytes(mp3);
  RealFileSystem fs;
  CTAG tag = FullTag();
  ASSERT_EQ(tag.WriteTags(fs, Wide(mp3), kTagID3v1 | kTagLyrics3 | kTagID3v2 | kTagAPE), kTagDone);
  const std::string tagged = test::ReadFileBytes(mp3);
  const CTAG back = Loaded(fs, Wide(mp3));
  EXPECT_EQ(tagged.substr(size_t(back.ID3v2.TotalSize), audio.size()), audio);
  EXPECT_EQ(tagged.size(), audio.size() + size_t(back.TotalTagSize));

  // mutagen sees the same tags.
  const auto seen = test::RunCommand(
      {"/usr/bin/python3", "-c",
       "import sys\n"
       "from mutagen.id3 import ID3\n"
       "from mutagen.apev2 import APEv2\n"
       "i = ID3(sys.argv[1]); a = APEv2(sys.argv[1])\n"
       "print(i['TPE1'].text[0], i['TRCK'].text[0], a['Catalog'], a['Artist'], sep='|')\n",
       mp3.string()});
  EXPECT_EQ(seen.out, kLongArtist + "|3/12|CAT-1|" + kLongArtist + "\n") << seen.err;

  EXPECT_EQ(CTAG().RemoveTags(fs, Wide(mp3), AllTagFormats), kTagDone);
  EXPECT_EQ(test::ReadFileBytes(mp3), audio);
}

TEST(CTAGPeers, TagsCopiedThroughFlacAndOggAndBackKeepEveryItem) {
  for (const char *tool : {"lame", "flac", "oggenc", "vorbiscomment"})
    TB_REQUIRE_TOOL(tool);
  TB_REQUIRE_MUTAGEN();
  test::TempDir dir;
  const auto mp3 = Encode(dir, "mp3");
  const std::string untagged = test::ReadFileBytes(mp3);
  // An APE tag, then ID3v2.4 and ID3v1 as mutagen writes them (ID3v1 after
  // the APE tag, as its own save would drop it).
  const auto made =
      test::RunCommand({"/usr/bin/python3", "-c",
                        "import sys\n"
                        "from mutagen.id3 import ID3, TPE1, TIT2, TALB, TDRC, TRCK, TCON, COMM\n"
                        "from mutagen.apev2 import APEv2\n"
                        "a = APEv2()\n"
                        "a['Artist'] = 'Artist \\u00c5'; a['Title'] = '" +
                            kLongTitle +
                            "'\n"
                            "a['Catalog'] = 'CAT-1'; a['Mood'] = 'calm'\n"
                            "a.save(sys.argv[1])\n"
                            "t = ID3()\n"
                            "t.add(TPE1(encoding=3, text='Artist \\u00c5'))\n"
                            "t.add(TIT2(encoding=3, text='" +
                            kLongTitle +
                            "'))\n"
                            "t.add(TALB(encoding=3, text='Album'))\n"
                            "t.add(TDRC(encoding=3, text='2004-05-06'))\n"
                            "t.add(TRCK(encoding=3, text='5/9'))\n"
                            "t.add(TCON(encoding=3, text='Jazz'))\n"
                            "t.add(COMM(encoding=3, lang='eng', desc='', text='A comment'))\n"
                            "t.save(sys.argv[1], v1=2, v2_version=4)\n",
                        mp3.string()});
  ASSERT_EQ(made.exitCode, 0) << made.err;

  RealFileSystem fs;
  const CTAG source = Loaded(fs, Wide(mp3));
  ASSERT_TRUE(source.HasID3v1 && source.HasID3v2 && source.HasAPE);
  const std::map<std::string, std::string> expected = {
      {"artist", "Artist \xC3\x85"}, {"title", kLongTitle}, {"album", "Album"},
      {"year", "2004-05-06"},        {"track", "5/9"},      {"genre", "Jazz"},
      {"comment", "A comment"},      {"catalog", "CAT-1"},  {"mood", "calm"}};
  EXPECT_EQ(ItemMap(source), expected);

  // To FLAC and back.
  const auto flac = Encode(dir, "flac");
  CTAG toFlac = source;
  ASSERT_EQ(toFlac.WriteTags(fs, Wide(flac), kTagVorbis), kTagDone);
  const CTAG fromFlac = Loaded(fs, Wide(flac));
  EXPECT_EQ(ItemMap(fromFlac), expected);
  const auto listed = test::RunCommand({"metaflac", "--export-tags-to=-", flac.string()});
  EXPECT_NE(listed.out.find("tracknumber=5/9\n"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("Catalog=CAT-1\n"), std::string::npos) << listed.out;

  test::WriteFileBytes(mp3, untagged);
  CTAG backToMp3 = fromFlac;
  backToMp3.ID3v2.Version = 4;
  ASSERT_EQ(backToMp3.WriteTags(fs, Wide(mp3), kTagID3v1 | kTagID3v2 | kTagAPE), kTagDone);
  EXPECT_EQ(ItemMap(Loaded(fs, Wide(mp3))), expected);

  // To Ogg through vorbiscomment, and back through the Ogg reader.
  const auto ogg = Encode(dir, "ogg");
  CUninterruptedRun control;
  CRecordingDesktop desktop;
  const TRunContext runner{u"", control, desktop, u""};
  CTAG toOgg = source;
  ASSERT_EQ(toOgg.WriteTags(fs, Wide(ogg), kTagVorbis, &runner), kTagDone);
  const CTAG fromOgg = Loaded(fs, Wide(ogg));
  EXPECT_TRUE(fromOgg.HasVorbis);
  EXPECT_EQ(ItemMap(fromOgg), expected);
  const auto oggListed = test::RunCommand({"vorbiscomment", "-l", "-R", ogg.string()});
  EXPECT_NE(oggListed.out.find("date=2004-05-06\n"), std::string::npos) << oggListed.out;
  EXPECT_NE(oggListed.out.find("Mood=calm\n"), std::string::npos) << oggListed.out;

  test::WriteFileBytes(mp3, untagged);
  CTAG oggToMp3 = fromOgg;
  oggToMp3.ID3v2.Version = 4;
  ASSERT_EQ(oggToMp3.WriteTags(fs, Wide(mp3), kTagID3v1 | kTagID3v2 | kTagAPE), kTagDone);
  EXPECT_EQ(ItemMap(Loaded(fs, Wide(mp3))), expected);
}

// ---- patterns ----------------------------------------------------------

TEST(CTAGPatterns, ExpandPatternDropsMissingFieldsAndStopsAt260) {
  CTAG tag;
  tag.SetItem("Artist", u"Some Artist");
  tag.SetItem("Title", u"Some Title");
  EXPECT_EQ(tag.ExpandPattern(u"%Track%. %Artist% - %Title%"), u". Some Artist - Some Title");
  EXPECT_EQ(tag.ExpandPattern(u"%artist%/%Title"), u"Some Artist/Some Title"); // unclosed
  EXPECT_EQ(tag.ExpandPattern(u"100%% %Nothing%"), u"100 ");
  tag.SetItem("Long", WideString(300, u'x'));
  EXPECT_EQ(tag.ExpandPattern(u"%Long%").size(), 260u);
  const WideString pair = u"\U0001F600";
  tag.SetItem("Fits", WideString(258, u'x') + pair);
  EXPECT_EQ(tag.ExpandPattern(u"%Fits%"), WideString(258, u'x') + pair);
  tag.SetItem("Odd", WideString(259, u'x') + pair);
  EXPECT_EQ(tag.ExpandPattern(u"%Odd%"), WideString(259, u'x')); // no half pair at the end
}

TEST(CTAGPatterns, ParseFileNameSetsItemsByThePattern) {
  CTAG tag;
  tag.SetItem("Artist", u"before");
  tag.ParseFileName(u"/Music/01. Some Artist - Some Title", u"%Track%. %artist% - %Title%");
  EXPECT_EQ(Items(tag),
            (std::vector<std::string>{"Artist=Some Artist", "Track=01", "Title=Some Title"}));
}

} // namespace
} // namespace tunbrix
