#include <gtest/gtest.h>

#include "support/bytes.h"
#include "support/test_support.h"
#include "tags/tagext.h"
#include "tags/taglib.h"

namespace tunbrix {
namespace {

using namespace test::bytes;
using test::W;

TTagExt Rule(const std::string &extensions, uint8_t formats) {
  TTagExt rule;
  rule.SetExtensions(W(extensions));
  rule.WriteID3v1 = formats & kTagID3v1;
  rule.WriteLyrics3 = formats & kTagLyrics3;
  rule.WriteID3v2 = formats & kTagID3v2;
  rule.WriteAPE = formats & kTagAPE;
  rule.WriteVorbis = formats & kTagVorbis;
  rule.ID3v2Version = rule.WriteID3v2 ? 3 : 0;
  rule.APEVersion = rule.WriteAPE ? 2000 : 0;
  return rule;
}

// ---- the stored form ---------------------------------------------------

TEST(TagExtStored, NumbersBothWays) {
  TTagExt all = Rule(".mp3", AllTagFormats);
  all.ID3v2Version = 4;
  all.ID3v2Unsync = all.ID3v2AtEnd = all.ID3v2OnlyIfNotFit = true;
  all.APEVersion = 1000;
  all.ID3v2Padding = 1024;
  struct Case {
    TTagExt rule;
    uint32_t number;
  } cases[] = {
      {Rule(".mp3", kTagID3v1 | kTagID3v2), 0x0303},
      {Rule(".mpc", kTagAPE), 0x1008},
      {Rule(".ogg", kTagVorbis), 0x0010},
      {Rule(".x", kTagLyrics3 | kTagID3v1), 0x0005},
      {all, 0xA0CFF},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(RuleToNumber(c.rule), c.number) << WideToUtf8(c.rule.Extensions);
    const TTagExt back = RuleFromStored(c.rule.Extensions, c.number);
    EXPECT_EQ(RuleToNumber(back), c.number);
    EXPECT_EQ(RuleToText(back), RuleToText(c.rule));
    EXPECT_EQ(back.ID3v2Padding, c.rule.ID3v2Padding);
  }
  // The high half of the stored 64-bit value and the unused bits mean nothing.
  EXPECT_EQ(RuleToNumber(RuleFromNumber(int64_t(0x12345678) << 32 | 0x00F0C000 | 0x0303)), 0x0303u);
}

TEST(TagExtStored, PaddingIsKeptAsAPowerOfTwo) {
  struct Case {
    int typed, stored, loaded;
  } cases[] = {
      {0, 0, 0},     {1, 0, 0},        {-7, 0, 0},       {2, 1, 2},
      {256, 8, 256}, {1000, 10, 1024}, {4096, 12, 4096}, {40000, 15, 32768},
  };
  for (const auto &c : cases) {
    TTagExt rule = Rule(".mp3", kTagID3v2);
    rule.ID3v2Padding = c.typed;
    const uint32_t number = RuleToNumber(rule);
    EXPECT_EQ(int(number >> 16 & 0xF), c.stored) << c.typed;
    EXPECT_EQ(RuleFromNumber(number).ID3v2Padding, c.loaded) << c.typed;
  }
}

TEST(TagExtStored, ExtensionsAndDisplayText) {
  const TTagExt rule = RuleFromStored(u"  .mp3 .mp2  ", 0x130F);
  EXPECT_EQ(rule.Extensions, u".mp3 .mp2");
  EXPECT_EQ(rule.MatchKey, u".mp3|.mp2|");
  EXPECT_EQ(RuleToText(rule), u"ID3, ID3v2.3, Lyrics3, APE v2");
  EXPECT_EQ(RuleToText(Rule(".ape", kTagAPE | kTagVorbis)), u"APE v2, Vorbis");
  TTagExt v1 = Rule(".ape", kTagAPE);
  v1.APEVersion = 1000;
  EXPECT_EQ(RuleToText(v1), u"APE v1");
  EXPECT_EQ(RuleToText(Rule(".none", 0)), u"");
}

// ---- the look-up ----------------------------------------------------------

TEST(TagExtLookup, FirstRuleOfTheSortedListThatNamesTheWholeExtension) {
  std::vector<TTagExt> rules = {Rule(".wav .mp3", kTagID3v1), Rule("mp3", kTagAPE),
                                Rule(".mp3  .mp2", kTagID3v2), Rule(".ogg", kTagVorbis)};
  SortTagExts(rules);
  ASSERT_EQ(rules.front().Extensions, u".mp3  .mp2");
  EXPECT_EQ(FindTagExt(rules, u".mp3")->Extensions, u".mp3  .mp2");
  EXPECT_EQ(FindTagExt(rules, u".mp2")->Extensions, u".mp3  .mp2");
  EXPECT_EQ(FindTagExt(rules, u".wav")->Extensions, u".wav .mp3");
  EXPECT_EQ(FindTagExt(rules, u".p3"), nullptr); // not a whole extension
  EXPECT_EQ(FindTagExt(rules, u".flac"), nullptr);
  EXPECT_EQ(FindTagExt(rules, u""), nullptr); // a file without an extension
  // Files come with their dot, so a rule typed without dots never matches.
  EXPECT_EQ(FindTagExt({Rule("mp3 ogg", kTagAPE)}, u".mp3"), nullptr);
}

// ---- the planner ----------------------------------------------------------

CTAG Present(uint8_t formats) {
  CTAG tag;
  tag.HasID3v1 = formats & kTagID3v1;
  tag.HasLyrics3 = formats & kTagLyrics3;
  tag.HasID3v2 = formats & kTagID3v2;
  tag.HasAPE = formats & kTagAPE;
  tag.HasVorbis = formats & kTagVorbis;
  return tag;
}

TEST(PlanTagWrite, WhatHappensToTheOtherTagsOfAFile) {
  struct Case {
    uint8_t rule, present;
    int other;
    uint8_t remove, write;
  } cases[] = {
      // Rule ID3v1 + ID3v2 on a file with ID3v1 only.
      {kTagID3v1 | kTagID3v2, kTagID3v1, kUpdateTags, 0, kTagID3v1 | kTagID3v2},
      {kTagID3v1 | kTagID3v2, kTagID3v1, kDoNotUpdateTags, 0, kTagID3v1 | kTagID3v2},
      {kTagID3v1 | kTagID3v2, kTagID3v1, kUpdateOldTagsOnly, 0, kTagID3v1},
      {kTagID3v1 | kTagID3v2, kTagID3v1, kRemoveTags, 0, kTagID3v1 | kTagID3v2},
      // Rule APE on a file with ID3v1 and ID3v2.
      {kTagAPE, kTagID3v1 | kTagID3v2, kUpdateTags, 0, kTagAPE | kTagID3v1 | kTagID3v2},
      {kTagAPE, kTagID3v1 | kTagID3v2, kDoNotUpdateTags, 0, kTagAPE},
      {kTagAPE, kTagID3v1 | kTagID3v2, kUpdateOldTagsOnly, 0, kTagID3v1 | kTagID3v2},
      {kTagAPE, kTagID3v1 | kTagID3v2, kRemoveTags, kTagID3v1 | kTagID3v2, kTagAPE},
      // Every other format, for Vorbis and Lyrics3 too.
      {kTagVorbis, kTagLyrics3 | kTagAPE, kRemoveTags, kTagLyrics3 | kTagAPE, kTagVorbis},
      {kTagVorbis, kTagVorbis, kUpdateOldTagsOnly, 0, kTagVorbis},
      {kTagVorbis, 0, kUpdateOldTagsOnly, 0, 0},
  };
  for (const auto &c : cases) {
    const std::vector<TTagExt> rules = {Rule(".mp3", c.rule)};
    const CTAG old = Present(c.present);
    CTAG fresh;
    TTagWriteChoices choices;
    choices.OtherTagFormat = c.other;
    const TTagWritePlan plan = PlanTagWrite(u"/m/A.MP3", fresh, old, choices, rules);
    EXPECT_TRUE(plan.HasRule);
    EXPECT_EQ(plan.RemoveSet, c.remove) << int(c.rule) << " " << int(c.present) << " " << c.other;
    EXPECT_EQ(plan.WriteSet, c.write) << int(c.rule) << " " << int(c.present) << " " << c.other;
  }
}

TEST(PlanTagWrite, ATagRewrittenIntoItsOwnFileRemovesNothing) {
  const std::vector<TTagExt> rules = {Rule(".mp3", kTagAPE)};
  CTAG tag = Present(kTagID3v1 | kTagID3v2);
  TTagWriteChoices choices;
  choices.OtherTagFormat = kRemoveTags;
  const TTagWritePlan plan = PlanTagWrite(u"/m/a.mp3", tag, tag, choices, rules);
  EXPECT_EQ(plan.RemoveSet, 0);
  EXPECT_EQ(plan.WriteSet, kTagAPE);
}

TEST(PlanTagWrite, NamingOptionsAlwaysAndNothingWithoutARule) {
  CTAG tag;
  TTagWriteChoices choices;
  choices.FixTagNames = 1;
  choices.SortTagNames = 0;
  const TTagWritePlan plan = PlanTagWrite(u"/m/a.xyz", tag, tag, choices, {});
  EXPECT_FALSE(plan.HasRule);
  EXPECT_EQ(plan.RemoveSet | plan.WriteSet, 0);
  EXPECT_EQ(tag.NameCase, 1);
  EXPECT_EQ(tag.NameSort, 0);
}

TEST(PlanTagWrite, ID3v2OnlyWhenTheTagDoesNotFitID3v1) {
  TTagExt rule = Rule(".mp3", kTagID3v1 | kTagID3v2);
  rule.ID3v2OnlyIfNotFit = true;
  CTAG tag;
  tag.SetItem("Title", WideString(30, u't'));
  EXPECT_EQ(PlanTagWrite(u"a.mp3", tag, tag, {}, {rule}).WriteSet, kTagID3v1);
  tag.SetItem("Album", WideString(31, u'a'));
  EXPECT_EQ(PlanTagWrite(u"a.mp3", tag, tag, {}, {rule}).WriteSet, kTagID3v1 | kTagID3v2);
}

TEST(PlanTagWrite, VersionsOldOrNew) {
  TTagExt rule = Rule(".mp3", kTagID3v2 | kTagAPE);
  rule.ID3v2Version = 3;
  rule.ID3v2Unsync = true;
  rule.ID3v2Padding = 512;
  rule.APEVersion = 2000;
  CTAG old = Present(kTagID3v2 | kTagAPE);
  old.ID3v2.Version = 4;
  old.ID3v2.Revision = 1;
  old.ID3v2.HeaderFlags.Footer = true; // it stands at the end
  old.APE.Version = 1000;
  for (const int diff : {kUseOldVersion, kUseNewVersion}) {
    CTAG fresh;
    TTagWriteChoices choices;
    choices.DiffTagVersion = diff;
    ASSERT_EQ(PlanTagWrite(u"a.mp3", fresh, old, choices, {rule}).WriteSet, kTagID3v2 | kTagAPE);
    const bool useOld = diff == kUseOldVersion;
    EXPECT_EQ(fresh.ID3v2.Version, useOld ? 4 : 3);
    EXPECT_EQ(fresh.ID3v2.Revision, 0);
    EXPECT_EQ(fresh.ID3v2.AtEnd, useOld);
    EXPECT_EQ(fresh.ID3v2.Unsync, !useOld);
    EXPECT_EQ(fresh.ID3v2.PaddingUnit, 512);
    EXPECT_EQ(fresh.APE.Version, useOld ? 1000 : 2000);
  }
}

// ---- the planner with real writes ------------------------------------------

TEST(PlanTagWrite, AnOldID3v22TagKeptAtItsVersionCannotBeWritten) {
  MemoryFileSystem fs;
  const WideString path = u"/m/a.mp3";
  // An ID3v2.2 tag with one TT2 frame, then the audio.
  Bytes file = {'I', 'D', '3', 2, 0, 0, 0, 0, 0, 16, 'T', 'T', '2', 0, 0, 4, 0, 'o', 'l', 'd'};
  file.resize(26, 0);
  const Bytes audio = NoSyncAudio(3000);
  file.insert(file.end(), audio.begin(), audio.end());
  fs.SetFile(path, file);
  CTAG tag;
  tag.ReadTags(fs, path, AllTagFormats);
  tag.LoadItems();
  ASSERT_EQ(tag.GetItem("Title"), u"old");
  tag.SetItem("Title", u"new");
  TTagWriteChoices choices;
  choices.DiffTagVersion = kUseOldVersion;
  const TTagWritePlan plan =
      PlanTagWrite(path, tag, tag, choices, {Rule(".mp3", kTagID3v1 | kTagID3v2)});
  EXPECT_EQ(tag.ID3v2.Version, 2);
  EXPECT_EQ(tag.WriteTags(fs, path, plan.WriteSet), kTagFailed);
  EXPECT_EQ(tag.FailedFormats, kTagID3v2);
  EXPECT_TRUE(*fs.GetFile(path) == file); // the ID3v1 tag written first went again
}

TEST(PlanTagWrite, DoNotUpdateTagsKeepsTheID3v1AndLyrics3TagsBehindANewAPETag) {
  MemoryFileSystem fs;
  const WideString path = u"/m/a.mpc";
  fs.SetFile(path, NoSyncAudio(3000));
  CID3 id3;
  id3.Title = "Old";
  ASSERT_EQ(id3.Write(fs, path), 0);
  CLyrics3 lyrics;
  lyrics.Title = "An Old Title Longer Than Thirty Characters";
  ASSERT_EQ(lyrics.Write(fs, path), kTagDone);
  const Bytes before = *fs.GetFile(path);

  CTAG old;
  old.ReadTags(fs, path, AllTagFormats);
  CTAG fresh;
  fresh.SetItem("Title", u"New");
  TTagWriteChoices choices;
  choices.OtherTagFormat = kDoNotUpdateTags;
  const TTagWritePlan plan = PlanTagWrite(path, fresh, old, choices, {Rule(".mpc", kTagAPE)});
  ASSERT_EQ(plan.WriteSet, kTagAPE);
  ASSERT_EQ(fresh.WriteTags(fs, path, plan.WriteSet), kTagDone);
  const Bytes after = *fs.GetFile(path);
  const size_t kept = before.size() - 3000;
  EXPECT_TRUE(Bytes(after.end() - std::ptrdiff_t(kept), after.end()) ==
              Bytes(before.begin() + 3000, before.end()));
  CTAG back;
  back.ReadTags(fs, path, AllTagFormats);
  EXPECT_TRUE(back.HasID3v1 && back.HasLyrics3 && back.HasAPE);
  EXPECT_EQ(back.APE.FindItem("Title")->Value, u"New");
}

} // namespace
} // namespace tunbrix
