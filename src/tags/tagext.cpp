#include "tags/tagext.h"

#include <algorithm>
#include <cstdio>

#include "foundation/text_types.h"
#include "tags/tagcommon.h"
#include "tags/taglib.h"

namespace tunbrix {
namespace {

constexpr uint32_t kBitID3v1 = 1u << 0;
constexpr uint32_t kBitID3v2 = 1u << 1;
constexpr uint32_t kBitLyrics3 = 1u << 2;
constexpr uint32_t kBitAPE = 1u << 3;
constexpr uint32_t kBitVorbis = 1u << 4;
constexpr uint32_t kBitUnsync = 1u << 5;
constexpr uint32_t kBitAtEnd = 1u << 6;
constexpr uint32_t kBitOnlyIfNotFit = 1u << 7;
constexpr int kID3v2VersionShift = 8;
constexpr int kAPEVersionShift = 11;
constexpr int kPaddingShift = 16;
constexpr int kMaxPaddingExponent = 15;

WideString Trimmed(const WideString &text) {
  const auto blank = [](WideChar c) { return c <= u' '; };
  const auto first = std::find_if_not(text.begin(), text.end(), blank);
  const auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
  return first < last ? WideString(first, last) : WideString();
}

uint32_t PaddingExponent(int padding) {
  uint32_t e = 0;
  while (e < kMaxPaddingExponent && (int64_t(1) << e) < padding)
    ++e;
  return padding <= 1 ? 0 : e;
}

// What one format of the rule does to the file, by "If file has other tags:".
struct TFormatPlan {
  uint8_t bit;
  bool ruleWrites;
  bool oldHas;
};

} // namespace

void TTagExt::SetExtensions(const WideString &text) {
  Extensions = Trimmed(text);
  MatchKey = ReplaceCharW(Extensions, u' ', u'|') + u"|";
}

uint32_t RuleToNumber(const TTagExt &rule) {
  uint32_t n = 0;
  if (rule.WriteID3v1) n |= kBitID3v1;
  if (rule.WriteID3v2) n |= kBitID3v2;
  if (rule.WriteLyrics3) n |= kBitLyrics3;
  if (rule.WriteAPE) n |= kBitAPE;
  if (rule.WriteVorbis) n |= kBitVorbis;
  if (rule.ID3v2Unsync) n |= kBitUnsync;
  if (rule.ID3v2AtEnd) n |= kBitAtEnd;
  if (rule.ID3v2OnlyIfNotFit) n |= kBitOnlyIfNotFit;
  n |= (uint32_t(rule.ID3v2Version) & 7) << kID3v2VersionShift;
  n |= (uint32_t(rule.APEVersion / 1000) & 7) << kAPEVersionShift;
  n |= PaddingExponent(rule.ID3v2Padding) << kPaddingShift;
  return n;
}

TTagExt RuleFromNumber(int64_t number) {
  const auto n = uint32_t(number);
  TTagExt rule;
  rule.WriteID3v1 = n & kBitID3v1;
  rule.WriteID3v2 = n & kBitID3v2;
  rule.WriteLyrics3 = n & kBitLyrics3;
  rule.WriteAPE = n & kBitAPE;
  rule.WriteVorbis = n & kBitVorbis;
  rule.ID3v2Unsync = n & kBitUnsync;
  rule.ID3v2AtEnd = n & kBitAtEnd;
  rule.ID3v2OnlyIfNotFit = n & kBitOnlyIfNotFit;
  rule.ID3v2Version = int(n >> kID3v2VersionShift & 7);
  rule.APEVersion = int(n >> kAPEVersionShift & 7) * 1000;
  const uint32_t e = n >> kPaddingShift & 0xF;
  rule.ID3v2Padding = e > 0 ? 1 << e : 0;
  return rule;
}

TTagExt RuleFromStored(const WideString &extensions, int64_t number) {
  TTagExt rule = RuleFromNumber(number);
  rule.SetExtensions(extensions);
  return rule;
}

WideString RuleToText(const TTagExt &rule) {
  std::vector<std::string> parts;
  char text[32];
  if (rule.WriteID3v1) parts.push_back("ID3");
  if (rule.WriteID3v2) {
    std::snprintf(text, sizeof text, "ID3v2.%d", rule.ID3v2Version);
    parts.push_back(text);
  }
  if (rule.WriteLyrics3) parts.push_back("Lyrics3");
  if (rule.WriteAPE) {
    std::snprintf(text, sizeof text, "APE v%g", rule.APEVersion / 1000.0);
    parts.push_back(text);
  }
  if (rule.WriteVorbis) parts.push_back("Vorbis");
  std::string joined;
  for (const auto &part : parts)
    joined += (joined.empty() ? "" : ", ") + part;
  return AsciiToWide(joined);
}

void SortTagExts(std::vector<TTagExt> &rules) {
  std::stable_sort(rules.begin(), rules.end(), [](const TTagExt &a, const TTagExt &b) {
    return LowerCaseW(a.Extensions) < LowerCaseW(b.Extensions);
  });
}

const TTagExt *FindTagExt(const std::vector<TTagExt> &rules, const WideString &extension) {
  // Whole extensions only: ".p3" is not ".mp3", and a file without an
  // extension has no rule.
  if (extension.empty()) return nullptr;
  const WideString wanted = u"|" + extension + u"|";
  for (const auto &rule : rules)
    if ((u"|" + rule.MatchKey).find(wanted) != WideString::npos) return &rule;
  return nullptr;
}

TTagWritePlan PlanTagWrite(const WideString &file, CTAG &newTag, const CTAG &oldTag,
                           const TTagWriteChoices &choices, const std::vector<TTagExt> &rules) {
  TTagWritePlan plan;
  newTag.NameCase = choices.FixTagNames;
  newTag.NameSort = choices.SortTagNames;
  const TTagExt *rule = FindTagExt(rules, LowerCaseW(ExtractFileExtW(file)));
  if (!rule) return plan;
  plan.HasRule = true;
  const bool sameTag = &newTag == &oldTag;
  const TFormatPlan formats[] = {
      {kTagID3v1, rule->WriteID3v1, oldTag.HasID3v1},
      {kTagLyrics3, rule->WriteLyrics3, oldTag.HasLyrics3},
      {kTagID3v2, rule->WriteID3v2, oldTag.HasID3v2},
      {kTagAPE, rule->WriteAPE, oldTag.HasAPE},
      {kTagVorbis, rule->WriteVorbis, oldTag.HasVorbis},
  };
  for (const auto &f : formats) {
    if (f.ruleWrites) {
      if (choices.OtherTagFormat == kUpdateOldTagsOnly && !f.oldHas) continue;
      if (f.bit == kTagID3v2 && rule->ID3v2OnlyIfNotFit && newTag.FitsID3v1()) continue;
      plan.WriteSet |= f.bit;
    } else if (f.oldHas && !sameTag) {
      if (choices.OtherTagFormat == kUpdateTags || choices.OtherTagFormat == kUpdateOldTagsOnly)
        plan.WriteSet |= f.bit;
      else if (choices.OtherTagFormat == kRemoveTags)
        plan.RemoveSet |= f.bit;
    }
  }
  const bool useOld = choices.DiffTagVersion == kUseOldVersion;
  if (plan.WriteSet & kTagID3v2) {
    CID3v2 &id3 = newTag.ID3v2;
    id3.Revision = 0;
    id3.PaddingUnit = rule->ID3v2Padding;
    if (oldTag.HasID3v2 && useOld) {
      // The reader has undone and cleared unsynchronisation; a footer says
      // the tag stood at the end.
      const bool footer = oldTag.ID3v2.HeaderFlags.Footer;
      id3.Version = oldTag.ID3v2.Version;
      id3.AtEnd = footer;
      id3.Unsync = false;
    } else {
      id3.Version = rule->ID3v2Version;
      id3.AtEnd = rule->ID3v2AtEnd;
      id3.Unsync = rule->ID3v2Unsync;
    }
  }
  if (plan.WriteSet & kTagAPE)
    newTag.APE.Version = oldTag.HasAPE && useOld ? oldTag.APE.Version : rule->APEVersion;
  return plan;
}

} // namespace tunbrix
