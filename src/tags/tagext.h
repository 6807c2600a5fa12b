// Tag rules per extension: which formats a file of an extension gets, their
// stored number, the look-up, and the planner that turns a rule and a file's
// present tags into the formats to remove and to write.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/codepages.h"

namespace tunbrix {

class CTAG;

struct TTagExt {
  // Extensions with their dots, separated by spaces, trimmed.
  WideString Extensions;
  // Extensions with "|" for every space and one "|" appended.
  WideString MatchKey;
  bool WriteID3v1 = false;
  bool WriteLyrics3 = false;
  bool WriteID3v2 = false;
  bool WriteAPE = false;
  bool WriteVorbis = false;
  int ID3v2Version = 0; // 3 or 4; 0 when not chosen
  int ID3v2Padding = 0; // bytes; 0 is the writer's default of 256
  bool ID3v2Unsync = false;
  bool ID3v2AtEnd = false;
  bool ID3v2OnlyIfNotFit = false;
  int APEVersion = 0; // 1000 or 2000; 0 when not chosen

  // Sets Extensions (trimmed) and MatchKey from the text typed.
  void SetExtensions(const WideString &text);
};

// The stored number: format bits, ID3v2 options and versions, and the
// padding as a power of two (rounded up, at most 2^15).
uint32_t RuleToNumber(const TTagExt &rule);
// Everything but the extensions; only the low 32 bits of number count.
TTagExt RuleFromNumber(int64_t number);
// A rule as the configuration stores it: its extension text and number.
TTagExt RuleFromStored(const WideString &extensions, int64_t number);
// "ID3, ID3v2.3, Lyrics3, APE v2, Vorbis": the parts of the formats written.
WideString RuleToText(const TTagExt &rule);

// The rules in the order the settings list shows them: by their extension
// text, case-insensitively, equal texts keeping their order.
void SortTagExts(std::vector<TTagExt> &rules);
// The first rule that lists extension (with its dot, lower case); nullptr
// when none does.
const TTagExt *FindTagExt(const std::vector<TTagExt> &rules, const WideString &extension);

// "If file has other tags:"
enum TOtherTagFormat : int {
  kUpdateTags = 0,
  kDoNotUpdateTags = 1,
  kUpdateOldTagsOnly = 2,
  kRemoveTags = 3,
};
// "If file has different tag version:"
enum TDiffTagVersion : int { kUseOldVersion = 0, kUseNewVersion = 1 };

// The four tagging choices, as the settings hold them.
struct TTagWriteChoices {
  int OtherTagFormat = kUpdateTags;
  int DiffTagVersion = kUseNewVersion;
  int FixTagNames = 3;  // "Tag names:", becomes the tag's NameCase
  int SortTagNames = 2; // "Sort tag names:", becomes the tag's NameSort
};

struct TTagWritePlan {
  uint8_t RemoveSet = 0; // for RemoveTags on the file's present tags
  uint8_t WriteSet = 0;  // for WriteTags of the new tag
  bool HasRule = false;
};

// Plans writing newTag into file, whose present tags oldTag holds (both may
// be one object), and sets the naming options and the ID3v2 and APE
// versions on newTag.
TTagWritePlan PlanTagWrite(const WideString &file, CTAG &newTag, const CTAG &oldTag,
                           const TTagWriteChoices &choices, const std::vector<TTagExt> &rules);

} // namespace tunbrix
