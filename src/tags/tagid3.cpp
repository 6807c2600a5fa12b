#include "tags/tagid3.h"

#include <algorithm>
#include <cstring>

#include "tags/file_patch.h"

namespace tunbrix {
namespace {

constexpr int kTitleAt = 3, kArtistAt = 33, kAlbumAt = 63, kYearAt = 93, kCommentAt = 97;
constexpr int kZeroOrComment29 = 125, kTrackOrComment30 = 126, kGenreAt = 127;
constexpr int kTextSize = 30, kYearSize = 4;

// The end of the file as the detection needs it: size and last 131 bytes.
struct Tail {
  int64_t size = 0;
  uint8_t last[131] = {};
};

enum class TailRead { Ok, TooShort, Failed };

TailRead ReadTail(IFile &file, Tail &tail) {
  tail.size = file.Size();
  if (tail.size < 0) return TailRead::Failed;
  if (tail.size < 131) return TailRead::TooShort;
  return ReadAt(file, tail.size - 131, tail.last, sizeof tail.last) ? TailRead::Ok
                                                                    : TailRead::Failed;
}

// Blanks and control characters go at both ends.
std::string Trimmed(std::string text) {
  const auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  const auto first = std::find_if_not(text.begin(), text.end(), isBlank);
  const auto last = std::find_if_not(text.rbegin(), text.rend(), isBlank).base();
  return first < last ? std::string(first, last) : std::string();
}

// The bytes up to the first zero byte.
std::string UpToZero(const uint8_t *bytes, size_t count) {
  const auto *end = std::find(bytes, bytes + count, uint8_t{0});
  return std::string(reinterpret_cast<const char *>(bytes), static_cast<size_t>(end - bytes));
}

void Put(Bytes &tag, int at, const std::string &text, size_t maxSize) {
  std::memcpy(tag.data() + at, text.data(), std::min(text.size(), maxSize));
}

} // namespace

void CID3::Parse(const uint8_t *tag) {
  Title = Trimmed(UpToZero(tag + kTitleAt, kTextSize));
  Artist = Trimmed(UpToZero(tag + kArtistAt, kTextSize));
  Album = Trimmed(UpToZero(tag + kAlbumAt, kTextSize));
  Year = Trimmed(UpToZero(tag + kYearAt, kYearSize));
  Genre = tag[kGenreAt];
  if (tag[kZeroOrComment29] != 0) { // ID3v1.0: the comment has all 30 bytes
    Comment = Trimmed(UpToZero(tag + kCommentAt, 29) + static_cast<char>(tag[kTrackOrComment30]));
    Track = 0;
  } else {
    Comment = Trimmed(UpToZero(tag + kCommentAt, 29));
    Track = tag[kTrackOrComment30];
  }
}

Bytes CID3::Build() const {
  Bytes tag(kID3v1Size, 0);
  std::memcpy(tag.data(), "TAG", 3);
  Put(tag, kTitleAt, Title, kTextSize);
  Put(tag, kArtistAt, Artist, kTextSize);
  Put(tag, kAlbumAt, Album, kTextSize);
  Put(tag, kYearAt, Year, kYearSize);
  if (Track != 0) {
    Put(tag, kCommentAt, Comment, 28);
    tag[kZeroOrComment29] = 0;
    tag[kTrackOrComment30] = Track;
  } else {
    // Without a track the comment keeps its 30th byte (ID3v1.0).
    Put(tag, kCommentAt, Comment, 29);
    if (Comment.size() >= 30) tag[kTrackOrComment30] = static_cast<uint8_t>(Comment[29]);
  }
  tag[kGenreAt] = Genre;
  return tag;
}

int CID3::Read(IFileSystem &fs, const WideString &path) {
  *this = CID3();
  auto file = fs.Open(path, FileMode::Read);
  Tail tail;
  if (!file || ReadTail(*file, tail) != TailRead::Ok) return kTagFailed;
  if (!DetectID3v1(tail.last)) return kTagNothing;
  Parse(tail.last + 3);
  TagSize = kID3v1Size;
  return kTagDone;
}

int CID3::Write(IFileSystem &fs, const WideString &path) {
  const Bytes tag = Build();
  auto file = fs.Open(path, FileMode::ReadWrite);
  if (!file) return kTagFailed;
  // A file too short for the detection gets the tag appended.
  Tail tail;
  const TailRead got = ReadTail(*file, tail);
  if (got == TailRead::Failed) return kTagFailed;
  const bool found = got == TailRead::Ok && DetectID3v1(tail.last);
  const int64_t start = found ? tail.size - kID3v1Size : tail.size;
  return ReplaceTail(*file, start, tag) ? kTagDone : kTagFailed;
}

int CID3::Remove(IFileSystem &fs, const WideString &path) {
  Tail tail;
  {
    auto file = fs.Open(path, FileMode::Read);
    if (!file || ReadTail(*file, tail) != TailRead::Ok) return kTagFailed;
    if (!DetectID3v1(tail.last)) return kTagNothing;
  }
  auto file = fs.Open(path, FileMode::ReadWrite);
  // The size checks that nobody changed the file in between.
  if (!file || file->Size() != tail.size || !file->Truncate(tail.size - kID3v1Size))
    return kTagFailed;
  return kTagDone;
}

} // namespace tunbrix
