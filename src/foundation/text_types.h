// String and path helpers over wide text. Paths use "/" as their only
// separator. Positions in descriptions are 1-based unless they say otherwise.
#pragma once

#include <cstddef>
#include <optional>
#include <random>
#include <string>

#include "foundation/codepages.h"

namespace tunbrix {

class IFileSystem;

// ---- tokenising and parameters

// Next token of a NUL-terminated writable buffer from position (0-based),
// which it advances; the separator found is overwritten with NUL. nullopt at
// the end of input.
std::optional<std::string> NextToken(std::string &buffer, size_t &position, char separator);
// Next parameter of a wide command line, taken from position (0-based), which
// it moves behind the parameter. Quotes group and are dropped.
WideString NextParamW(const WideString &text, size_t &position);

// ---- path parts

WideString ExtractFilePathW(const WideString &path);
WideString ExtractFileNameW(const WideString &path);
WideString ExtractFileExtW(const WideString &path);
WideString RemoveFileExtW(const WideString &path);
WideString ChangeFileExtW(const WideString &path, const WideString &extension);
WideString IncludeTrailingBackslashW(const WideString &path);

// ---- file names

void ReplaceInvalidFileNameChars(WideString &name);
void FoldAccentsW(WideString &text);
WideString ReplaceCharW(const WideString &text, WideChar from, WideChar to);
std::string ReplaceCharA(const std::string &text, char from, char to);
void ReplaceCharInPlaceW(WideString &text, WideChar from, WideChar to);
WideString UnderscoresToSpaces(const WideString &text);

// ---- case and words

WideChar UpperCharW(WideChar c);
WideChar LowerCharW(WideChar c);
WideString UpperCaseW(const WideString &text);
WideString LowerCaseW(const WideString &text);
bool IsWordDelimiter(WideChar c);
void CapitalizeWords(WideString &text, const WideString &keepLowercase);
WideString ReplaceWholeWords(const WideString &text, const WideString &find,
                             const WideString &replacement);
WideString ReplaceWholeWordsNoCase(const WideString &text, const WideString &find,
                                   const WideString &replacement);

// ---- values in settings

// Bytes 0-31, '"', '\'', '=' and '\\' become "\xHH"; UnescapeValue undoes it.
std::string EscapeValue(const std::string &bytes);
std::string UnescapeValue(const std::string &text);

// ---- temporary names

// Creates a uniquely named empty file in the folder of path ("." when path
// has none; the user's temporary folder when path is empty) and returns its
// name; "" when that fails.
WideString MakeTempFileNameW(IFileSystem &fs, const WideString &path, const WideString &prefix);
// "~" + seven random letters or digits + ".tmp"; creates nothing.
WideString RandomTempName(std::mt19937 &random);

} // namespace tunbrix
