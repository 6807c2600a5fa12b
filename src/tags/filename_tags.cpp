#include "tags/filename_tags.h"

#include <algorithm>
#include <optional>

#include "foundation/text_types.h"
#include "tags/taglib.h"

namespace tunbrix {
namespace {

constexpr WideChar kFolder = u'/';

// The last folderLevels + 1 components of text (all of it when it has fewer).
WideString MatchedPart(const WideString &text, size_t folderLevels) {
  size_t met = 0;
  for (size_t i = text.size(); i-- > 0;)
    if (text[i] == kFolder && ++met == folderLevels + 1) return text.substr(i + 1);
  return text;
}

// literal0, field1, literal1, ..., fieldk, literalk: literals.size() is
// always fields.size() + 1. A "%" that is never closed takes the rest of the
// pattern as a field name.
struct TSplitPattern {
  std::vector<WideString> literals;
  std::vector<WideString> fields;
};

TSplitPattern SplitPattern(const WideString &pattern) {
  TSplitPattern split;
  WideString literal;
  for (size_t i = 0; i < pattern.size();) {
    if (pattern[i] != u'%') {
      literal += pattern[i++];
      continue;
    }
    const size_t close = std::min(pattern.find(u'%', i + 1), pattern.size());
    split.literals.push_back(std::move(literal));
    literal.clear();
    split.fields.push_back(pattern.substr(i + 1, close - i - 1));
    i = close + 1;
  }
  split.literals.push_back(std::move(literal));
  return split;
}

} // namespace

std::vector<std::pair<std::string, WideString>> MatchFileNamePattern(const WideString &text,
                                                                     const WideString &pattern) {
  const WideString part =
      MatchedPart(text, size_t(std::count(pattern.begin(), pattern.end(), kFolder)));
  const TSplitPattern split = SplitPattern(pattern);
  std::vector<std::pair<std::string, WideString>> found;
  std::optional<size_t> pending; // index of the field waiting for its end
  const auto assign = [&](WideString value) {
    if (pending) found.emplace_back(WideToUtf8(split.fields[*pending]), std::move(value));
  };
  size_t p = 0; // 0-based: before the first character
  for (size_t k = 0; k < split.literals.size(); ++k) {
    const WideString &literal = split.literals[k];
    const bool trailing = k + 1 == split.literals.size();
    if (trailing && literal.empty()) { // the last field takes the rest
      assign(p < part.size() ? part.substr(p) : WideString());
      break;
    }
    // Every field but a leading literal's gets at least one character.
    const size_t from = k == 0 ? p : p + 1;
    const size_t q = from <= part.size() ? part.find(literal, from) : WideString::npos;
    if (q != WideString::npos) {
      assign(part.substr(p, q - p));
      p = q + literal.size();
    } else {
      assign(p < part.size() ? part.substr(p, 1) : WideString());
      ++p;
    }
    pending = k < split.fields.size() ? std::optional<size_t>(k) : std::nullopt;
  }
  return found;
}

WideString CleanFileNameText(const WideString &file, const TFileNameTagOptions &options) {
  // The folders take part too, so that a pattern with folder levels sees
  // them cleaned like the name.
  WideString text = RemoveFileExtW(file);
  if (options.UnderscoreToSpace) text = UnderscoresToSpaces(text);
  if (options.Lowercase) text = LowerCaseW(text);
  if (options.Capitalize)
    CapitalizeWords(text, options.KeepLowercaseEnable ? u" " + options.KeepLowercase + u" "
                                                      : WideString());
  if (options.WordReplaceEnable)
    for (const auto &[from, to] : options.WordReplace) {
      if (from.empty()) continue;
      text = options.IgnoreCase ? ReplaceWholeWordsNoCase(text, from, to)
                                : ReplaceWholeWords(text, from, to);
    }
  return text;
}

std::unique_ptr<CTAG> BuildTagFromFileName(const WideString &file,
                                           const TFileNameTagOptions &options) {
  auto tag = std::make_unique<CTAG>();
  tag->ParseFileName(CleanFileNameText(file, options), options.Pattern);
  for (const auto &item : options.AdditionalItems)
    if (!item.Removed) tag->SetItem(item.Name, item.Value);
  return tag;
}

} // namespace tunbrix
