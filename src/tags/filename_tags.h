// Tags guessed from file names: the path is cleaned (underscores, case, kept
// lower-case words, a word replacer) and matched against a pattern of item
// names between percent signs, in which each "/" stands for a folder level.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "foundation/codepages.h"

namespace tunbrix {

class CTAG;

// The settings the guess needs, handed over by the caller.
struct TFileNameTagOptions {
  bool UnderscoreToSpace = true;
  bool Lowercase = false;
  bool Capitalize = true;
  bool KeepLowercaseEnable = true;
  WideString KeepLowercase = u"a an and as at feat featuring for in is of on the to vs e";
  bool WordReplaceEnable = true;
  bool IgnoreCase = true;
  std::vector<std::pair<WideString, WideString>> WordReplace; // Old, New
  WideString Pattern;                                         // "%Track%. %Artist% - %Title%"
  // Added to every guessed tag, over a field of the same name.
  struct TItem {
    std::string Name;
    WideString Value;
    bool Removed = false;
  };
  std::vector<TItem> AdditionalItems;
};

// The fields that pattern finds in text, in pattern order, as (name, value).
// The name is the text between the percent signs, as written.
std::vector<std::pair<std::string, WideString>> MatchFileNamePattern(const WideString &text,
                                                                     const WideString &pattern);

// The cleaned text of a path (without its extension) that the pattern is
// matched against.
WideString CleanFileNameText(const WideString &file, const TFileNameTagOptions &options);

// A new tag from a file name; the file itself is never read.
std::unique_ptr<CTAG> BuildTagFromFileName(const WideString &file,
                                           const TFileNameTagOptions &options);

} // namespace tunbrix
