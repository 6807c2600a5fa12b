#include "tags/tagcommon.h"

#include <array>
#include <climits>
#include <cstring>

namespace tunbrix {
namespace {

constexpr std::array<const char *, kGenreCount> kGenres = {
    "Blues",
    "Classic Rock",
    "Country",
    "Dance",
    "Disco",
    "Funk",
    "Grunge",
    "Hip-Hop",
    "Jazz",
    "Metal",
    "New Age",
    "Oldies",
    "Other",
    "Pop",
    "R&B",
    "Rap",
    "Reggae",
    "Rock",
    "Techno",
    "Industrial",
    "Alternative",
    "Ska",
    "Death Metal",
    "Pranks",
    "Soundtrack",
    "Euro-Techno",
    "Ambient",
    "Trip-Hop",
    "Vocal",
    "Jazz+Funk",
    "Fusion",
    "Trance",
    "Classical",
    "Instrumental",
    "Acid",
    "House",
    "Game",
    "Sound Clip",
    "Gospel",
    "Noise",
    "Alt. Rock",
    "Bass",
    "Soul",
    "Punk",
    "Space",
    "Meditative",
    "Instrumental Pop",
    "Instrumental Rock",
    "Ethnic",
    "Gothic",
    "Darkwave",
    "Techno-Industrial",
    "Electronic",
    "Pop-Folk",
    "Eurodance",
    "Dream",
    "Southern Rock",
    "Comedy",
    "Cult",
    "Gangsta Rap",
    "Top 40",
    "Christian Rap",
    "Pop/Funk",
    "Jungle",
    "Native American",
    "Cabaret",
    "New Wave",
    "Psychedelic",
    "Rave",
    "Showtunes",
    "Trailer",
    "Lo-Fi",
    "Tribal",
    "Acid Punk",
    "Acid Jazz",
    "Polka",
    "Retro",
    "Musical",
    "Rock & Roll",
    "Hard Rock",
    "Folk",
    "Folk/Rock",
    "National Folk",
    "Swing",
    "Fast-Fusion",
    "Bebob",
    "Latin",
    "Revival",
    "Celtic",
    "Bluegrass",
    "Avantgarde",
    "Gothic Rock",
    "Progressive Rock",
    "Psychedelic Rock",
    "Symphonic Rock",
    "Slow Rock",
    "Big Band",
    "Chorus",
    "Easy Listening",
    "Acoustic",
    "Humour",
    "Speech",
    "Chanson",
    "Opera",
    "Chamber Music",
    "Sonata",
    "Symphony",
    "Booty Bass",
    "Primus",
    "Porn Groove",
    "Satire",
    "Slow Jam",
    "Club",
    "Tango",
    "Samba",
    "Folklore",
    "Ballad",
    "Power Ballad",
    "Rhythmic Soul",
    "Freestyle",
    "Duet",
    "Punk Rock",
    "Drum Solo",
    "A Cappella",
    "Euro-House",
    "Dance Hall",
    "Goa",
    "Drum & Bass",
    "Club-House",
    "Hardcore",
    "Terror",
    "Indie",
    "BritPop",
    "Negerpunk",
    "Polsk Punk",
    "Beat",
    "Christian Gangsta Rap",
    "Heavy Metal",
    "Black Metal",
    "Crossover",
    "Contemporary Christian",
    "Christian Rock",
    "Merengue",
    "Salsa",
    "Thrash Metal",
    "Anime",
    "JPop",
    "Synthpop",
};

char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; }
char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; }

int NumberOrZero(std::u16string_view text) {
  int value = 0;
  return ParseDecimal(text, value) ? value : 0;
}

} // namespace

bool ParseDecimal(std::u16string_view text, int &value) {
  size_t i = 0;
  while (i < text.size() && text[i] == u' ')
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  if (i == text.size()) return false;
  long long v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < u'0' || text[i] > u'9') return false;
    v = v * 10 + (text[i] - u'0');
    if (v > static_cast<long long>(INT_MAX) + 1) return false;
  }
  if (negative) v = -v;
  if (v > INT_MAX || v < INT_MIN) return false;
  value = static_cast<int>(v);
  return true;
}

std::pair<int, int> ParseTrack(std::u16string_view text) {
  const size_t slash = text.find(u'/');
  if (slash == std::u16string_view::npos) return {NumberOrZero(text), 0};
  return {NumberOrZero(text.substr(0, slash)), NumberOrZero(text.substr(slash + 1))};
}

int GenreIndex(std::u16string_view text) {
  // A plain number is taken as it is, also above the table ("300" gives 300).
  int number;
  if (!text.empty() && text.find_first_not_of(u"0123456789") == text.npos &&
      ParseDecimal(text, number))
    return number;
  if (text.size() < 3) return kNoGenre;
  const size_t open = text.find(u'('), close = text.find(u')');
  // A missing "(" counts as position 0, before any ")".
  const size_t openPos = open == text.npos ? 0 : open + 1;
  const size_t closePos = close == text.npos ? 0 : close + 1;
  if (openPos < closePos) {
    const auto inner = text.substr(openPos, closePos - openPos - 1);
    return NumberOrZero(inner);
  }
  for (int i = 0; i < kGenreCount; ++i) {
    const std::string_view name = kGenres[i];
    if (name.size() < text.size()) continue;
    bool prefix = true;
    for (size_t k = 0; k < text.size() && prefix; ++k)
      prefix = AsciiUpper(text[k]) == static_cast<char16_t>(AsciiUpper(name[k]));
    if (prefix) return i;
  }
  return kNoGenre;
}

WideString GenreName(int index) {
  if (index < 0 || index >= kGenreCount) return {};
  return AsciiToWide(kGenres[static_cast<size_t>(index)]);
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  return true;
}

bool StartsWithAscii(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameTextAscii(text.substr(0, prefix.size()), prefix);
}

bool DetectID3v1(const uint8_t *last131) {
  const bool tag = std::memcmp(last131 + 3, "TAG", 3) == 0;
  const bool apeHeader =
      std::memcmp(last131, "APE", 3) == 0 && std::memcmp(last131 + 6, "EX", 2) == 0;
  return tag && !apeHeader;
}

bool FileHasID3v1(IFile &file) {
  const int64_t size = file.Size();
  if (size < 131) return false;
  uint8_t last[131];
  return ReadAt(file, size - 131, last, sizeof last) && DetectID3v1(last);
}

} // namespace tunbrix
