#include "foundation/text_types.h"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "foundation/file_io.h"
#include "foundation/unicode_case_table.h"
#include "foundation/unicode_winapi.h"

namespace tunbrix {
namespace {

constexpr WideChar kSeparator = u'/';

// Position of the last path separator, or npos.
size_t LastSeparator(const WideString &path) { return path.rfind(kSeparator); }

// Position of the dot that starts the extension, or npos.
size_t ExtensionDot(const WideString &path) {
  const size_t dot = path.rfind(u'.');
  if (dot == WideString::npos) return dot;
  const size_t sep = LastSeparator(path);
  return sep != WideString::npos && sep > dot ? WideString::npos : dot;
}

WideChar MapCase(std::span<const TCaseRun> runs, WideChar c) {
  // The last run that starts at or before c is the only one that can hold it.
  auto it = std::upper_bound(runs.begin(), runs.end(), c,
                             [](WideChar value, const TCaseRun &run) { return value < run.first; });
  if (it == runs.begin()) return c;
  const TCaseRun &run = *(it - 1);
  if (c > run.last || (c - run.first) % run.stride != 0) return c;
  return static_cast<WideChar>(c + run.delta);
}

bool IsBlankOrControl(WideChar c) { return c <= 32; }

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsEscaped(unsigned char c) { return c < 32 || c == '"' || c == '\'' || c == '=' || c == '\\'; }

// Value of one digit of an escape. A character that is no hexadecimal digit
// counts as 0, so any text unescapes to some byte.
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

struct TFoldRun {
  WideChar first, last, letter;
};

constexpr TFoldRun kFoldRuns[] = {
    {128, 128, u'C'}, {199, 199, u'C'}, {138, 138, u'S'}, {223, 223, u'S'}, {154, 154, u's'},
    {159, 159, u'Y'}, {165, 165, u'Y'}, {221, 221, u'Y'}, {162, 162, u'c'}, {231, 231, u'c'},
    {192, 198, u'A'}, {200, 203, u'E'}, {204, 207, u'I'}, {208, 208, u'D'}, {209, 209, u'N'},
    {210, 214, u'O'}, {216, 216, u'O'}, {217, 220, u'U'}, {224, 230, u'a'}, {232, 235, u'e'},
    {236, 239, u'i'}, {241, 241, u'n'}, {242, 246, u'o'}, {248, 248, u'o'}, {249, 252, u'u'},
    {253, 253, u'y'}, {255, 255, u'y'},
};

// The folded letter of code points 128-255; 0 keeps the character.
constexpr std::array<WideChar, 128> kAccentFolds = [] {
  std::array<WideChar, 128> folds{};
  for (const TFoldRun &run : kFoldRuns)
    for (int c = run.first; c <= run.last; ++c)
      folds[c - 128] = run.letter;
  return folds;
}();

constexpr char kRandomAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";

} // namespace

// ---- tokenising and parameters

std::optional<std::string> NextToken(std::string &buffer, size_t &position, char separator) {
  // The text ends at the next NUL, as the C string it stands for; the
  // separators already taken are NULs behind the position.
  if (position >= buffer.size()) return std::nullopt;
  const size_t start = position;
  const size_t end = std::min(buffer.find('\0', start), buffer.size());
  if (start == end) return std::nullopt;
  const size_t found = buffer.find(separator, start);
  if (found == std::string::npos || found >= end) {
    position = end;
    return buffer.substr(start, end - start);
  }
  buffer[found] = '\0';
  position = found + 1;
  return buffer.substr(start, found - start);
}

WideString NextParamW(const WideString &text, size_t &position) {
  size_t i = position;
  const size_t n = text.size();
  for (;;) {
    if (i < n && text[i] >= 1 && text[i] <= 32) {
      ++i;
    } else if (i + 1 < n && text[i] == u'"' && text[i + 1] == u'"') {
      i += 2;
    } else {
      break;
    }
  }
  WideString param;
  while (i < n && text[i] > 32) {
    if (text[i] == u'"') {
      ++i;
      while (i < n && text[i] != u'"')
        param += text[i++];
      if (i < n) ++i; // the closing quote
    } else {
      param += text[i++];
    }
  }
  position = i;
  return param;
}

// ---- path parts

WideString ExtractFilePathW(const WideString &path) {
  const size_t sep = LastSeparator(path);
  return sep == WideString::npos ? WideString() : path.substr(0, sep + 1);
}

WideString ExtractFileNameW(const WideString &path) {
  const size_t sep = LastSeparator(path);
  return sep == WideString::npos ? path : path.substr(sep + 1);
}

WideString ExtractFileExtW(const WideString &path) {
  const size_t dot = ExtensionDot(path);
  return dot == WideString::npos ? WideString() : path.substr(dot);
}

WideString RemoveFileExtW(const WideString &path) {
  const size_t dot = ExtensionDot(path);
  return dot == WideString::npos ? path : path.substr(0, dot);
}

WideString ChangeFileExtW(const WideString &path, const WideString &extension) {
  if (extension.empty()) return path;
  const size_t dot = ExtensionDot(path);
  // A trailing dot is no extension: "name." gets the new one appended.
  if (dot == WideString::npos || dot + 1 == path.size()) return path + extension;
  return path.substr(0, dot) + extension;
}

WideString IncludeTrailingBackslashW(const WideString &path) {
  if (path.empty() || path.back() == kSeparator) return path;
  return path + kSeparator;
}

// ---- file names

void ReplaceInvalidFileNameChars(WideString &name) {
  static constexpr std::u16string_view kInvalid = u"\"*/:<>?\\|";
  for (WideChar &c : name)
    if (kInvalid.find(c) != std::u16string_view::npos) c = u'_';
}

void FoldAccentsW(WideString &text) {
  for (WideChar &c : text)
    if (c >= 128 && c < 256 && kAccentFolds[c - 128] != 0) c = kAccentFolds[c - 128];
}

WideString ReplaceCharW(const WideString &text, WideChar from, WideChar to) {
  WideString result = text;
  ReplaceCharInPlaceW(result, from, to);
  return result;
}

std::string ReplaceCharA(const std::string &text, char from, char to) {
  std::string result = text;
  std::replace(result.begin(), result.end(), from, to);
  return result;
}

void ReplaceCharInPlaceW(WideString &text, WideChar from, WideChar to) {
  std::replace(text.begin(), text.end(), from, to);
}

WideString UnderscoresToSpaces(const WideString &text) {
  const WideString spaced = ReplaceCharW(text, u'_', u' ');
  const auto first = std::find_if_not(spaced.begin(), spaced.end(), IsBlankOrControl);
  const auto last = std::find_if_not(spaced.rbegin(), spaced.rend(), IsBlankOrControl).base();
  return first < last ? WideString(first, last) : WideString();
}

// ---- case and words

WideChar UpperCharW(WideChar c) { return MapCase(UpperCaseRuns(), c); }
WideChar LowerCharW(WideChar c) { return MapCase(LowerCaseRuns(), c); }

WideString UpperCaseW(const WideString &text) {
  WideString result = text;
  for (WideChar &c : result)
    c = UpperCharW(c);
  return result;
}

WideString LowerCaseW(const WideString &text) {
  WideString result = text;
  for (WideChar &c : result)
    c = LowerCharW(c);
  return result;
}

bool IsWordDelimiter(WideChar c) {
  return (c >= 32 && c <= 38) || (c >= 40 && c <= 47) || (c >= 58 && c <= 64) ||
         (c >= 91 && c <= 95) || (c >= 123 && c <= 126);
}

void CapitalizeWords(WideString &text, const WideString &keepLowercase) {
  if (text.empty()) return;
  // The first word is capitalised even when it is one to keep lower case.
  text[0] = UpperCharW(text[0]);
  size_t i = 0;
  while (i < text.size()) {
    if (IsWordDelimiter(text[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < text.size() && !IsWordDelimiter(text[end]))
      ++end;
    const bool keep = !keepLowercase.empty() &&
                      keepLowercase.find(u" " + text.substr(i, end - i) + u" ") != WideString::npos;
    if (!keep) text[i] = UpperCharW(text[i]);
    i = end;
  }
}

namespace {

bool IsWholeWordAt(const WideString &text, size_t pos, size_t length) {
  const size_t after = pos + length;
  return (pos == 0 || IsWordDelimiter(text[pos - 1])) &&
         (after == text.size() || IsWordDelimiter(text[after]));
}

// Replaces the whole-word matches of find in text. With folded, a lower-cased
// copy of text kept in step with it, the matches are searched there instead
// (case mapping never changes the length, so positions agree).
void ReplaceWords(WideString &text, WideString *folded, const WideString &find,
                  const WideString &replacement) {
  if (find.empty()) return;
  const WideString foldedReplacement = folded ? LowerCaseW(replacement) : WideString();
  size_t pos = 0;
  for (;;) {
    const WideString &haystack = folded ? *folded : text;
    const size_t hit = haystack.find(find, pos);
    if (hit == WideString::npos) return;
    if (!IsWholeWordAt(text, hit, find.size())) {
      pos = hit + 1;
      continue;
    }
    text.replace(hit, find.size(), replacement);
    if (folded) folded->replace(hit, find.size(), foldedReplacement);
    pos = hit + replacement.size();
  }
}

} // namespace

WideString ReplaceWholeWords(const WideString &text, const WideString &find,
                             const WideString &replacement) {
  WideString result = text;
  ReplaceWords(result, nullptr, find, replacement);
  return result;
}

WideString ReplaceWholeWordsNoCase(const WideString &text, const WideString &find,
                                   const WideString &replacement) {
  WideString result = text;
  WideString folded = LowerCaseW(text);
  ReplaceWords(result, &folded, LowerCaseW(find), replacement);
  return result;
}

// ---- values in settings

std::string EscapeValue(const std::string &bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (!IsEscaped(b)) {
      out += c;
      continue;
    }
    out += "\\x";
    out += kHexDigits[b >> 4];
    out += kHexDigits[b & 15];
  }
  return out;
}

std::string UnescapeValue(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    // A backslash too near the end to start an escape is kept as it is.
    if (text[i] == '\\' && i + 4 <= text.size()) {
      out += static_cast<char>(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3]));
      i += 4;
    } else {
      out += text[i++];
    }
  }
  return out;
}

// ---- temporary names

WideString MakeTempFileNameW(IFileSystem &fs, const WideString &path, const WideString &prefix) {
  if (path.empty()) return fs.MakeTempFile(GetTempDirectoryW(), prefix);
  const WideString folder = ExtractFilePathW(path);
  return fs.MakeTempFile(folder.empty() ? WideString(u".") : folder, prefix);
}

WideString RandomTempName(std::mt19937 &random) {
  std::uniform_int_distribution<size_t> pick(0, sizeof(kRandomAlphabet) - 2);
  WideString name = u"~";
  for (int i = 0; i < 7; ++i)
    name += static_cast<WideChar>(kRandomAlphabet[pick(random)]);
  return name + u".tmp";
}

} // namespace tunbrix
