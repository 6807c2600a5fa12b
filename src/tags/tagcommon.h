// Helpers shared by every tag format: the genre table, track numbers, the
// result codes, and the test for an ID3v1 tag at the end of a file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "foundation/codepages.h"
#include "foundation/file_io.h"

namespace tunbrix {

// Results of every remove and write operation of the tag formats.
enum TagResult : int { kTagDone = 0, kTagFailed = 1, kTagNothing = 2 };

// Format selector bits.
constexpr uint8_t kTagPresentOnly = 0x02;
constexpr uint8_t kTagID3v1 = 0x04;
constexpr uint8_t kTagID3v2 = 0x08;
constexpr uint8_t kTagLyrics3 = 0x10;
constexpr uint8_t kTagAPE = 0x20;
constexpr uint8_t kTagVorbis = 0x40;
constexpr uint8_t AllTagFormats = 0x7C;

constexpr int kGenreCount = 148;
constexpr uint8_t kNoGenre = 255;

// (track, total) of "3/12"; each 0 when it is not a number.
std::pair<int, int> ParseTrack(std::u16string_view text);
// 255 when unknown. A text of digits alone is taken as its number, which may
// lie above 255; callers that store a byte must treat that as unknown.
int GenreIndex(std::u16string_view text);
// The table's name for 0..147, "" for any other index.
WideString GenreName(int index);

// The integer value of a whole text of decimal digits with an optional sign
// and leading blanks; false when it is not such a number or overflows int.
bool ParseDecimal(std::u16string_view text, int &value);

// ASCII case-insensitive equality and prefix test of 8-bit names.
bool SameTextAscii(std::string_view a, std::string_view b);
bool StartsWithAscii(std::string_view text, std::string_view prefix);

// The last 131 bytes of a file hold an ID3v1 tag when "TAG" stands at
// end -128, unless an APE header or footer starts at end -131 ("APE" there
// and "EX" at end -125).
bool DetectID3v1(const uint8_t *last131);
// Reads the last 131 bytes and applies DetectID3v1; false for short files and
// on read errors.
bool FileHasID3v1(IFile &file);

} // namespace tunbrix
