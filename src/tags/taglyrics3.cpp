#include "tags/taglyrics3.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tags/file_patch.h"

namespace tunbrix {
namespace {

constexpr std::string_view kBegin = "LYRICSBEGIN";
constexpr std::string_view kEnd = "LYRICS200";
constexpr int64_t kID3v1Size = 128;
// Size digits, end marker and ID3v1 tag behind the fields.
constexpr int64_t kTrailer = 6 + 9 + kID3v1Size;
constexpr int64_t kMaxSize = 999999;      // six digits
constexpr size_t kMaxFieldLength = 99999; // five digits
constexpr size_t kFieldHeader = 8;        // identifier and length
// ID3v1 holds 30 bytes; only longer texts need an extended field.
constexpr size_t kID3v1Text = 30, kExtendedText = 250;

constexpr uint32_t kArtistID = Lyrics3ID("EAR"), kTitleID = Lyrics3ID("ETT"),
                   kAlbumID = Lyrics3ID("EAL");

bool Matches(const uint8_t *bytes, std::string_view text) {
  return std::memcmp(bytes, text.data(), text.size()) == 0;
}

// A run of decimal digits and nothing else.
bool ParseDigits(const uint8_t *bytes, size_t count, int64_t &value) {
  value = 0;
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] < '0' || bytes[i] > '9') return false;
    value = value * 10 + (bytes[i] - '0');
  }
  return true;
}

// Where a block sits, found from the markers in front of the ID3v1 tag.
struct Location {
  int result = kTagNothing; // kTagDone found; kTagFailed unreadable or damaged
  int64_t fileSize = 0;
  int64_t start = 0; // of "LYRICSBEGIN"
  Bytes block;       // "LYRICSBEGIN" and the fields
};

Location Locate(IFile &file) {
  Location at;
  at.fileSize = file.Size();
  if (at.fileSize < 0) {
    at.result = kTagFailed;
    return at;
  }
  if (at.fileSize < kTrailer) return at;
  uint8_t marks[18];
  if (!ReadAt(file, at.fileSize - kTrailer, marks, sizeof marks)) {
    at.result = kTagFailed;
    return at;
  }
  int64_t size = 0;
  // Size digits that are no number mean no tag, like a size of 0.
  if (!Matches(marks + 6, "LYRICS200TAG") || !ParseDigits(marks, 6, size) || size == 0) return at;
  at.result = kTagFailed;
  // A size that reaches before the start of the file cannot be ours.
  at.start = at.fileSize - kTrailer - size;
  if (size < static_cast<int64_t>(kBegin.size()) || at.start < 0) return at;
  auto block = ReadUpTo(file, at.start, static_cast<size_t>(size));
  if (!block || static_cast<int64_t>(block->size()) != size || !Matches(block->data(), kBegin))
    return at;
  at.block = std::move(*block);
  at.result = kTagDone;
  return at;
}

// False when a field does not fit in the block.
bool ParseFields(const Bytes &block, std::vector<CLyrics3TagItem> &fields) {
  fields.clear();
  size_t pos = kBegin.size();
  while (pos < block.size()) {
    if (block.size() - pos < kFieldHeader) return false;
    const uint8_t *header = block.data() + pos;
    int64_t length = 0;
    if (!ParseDigits(header + 3, 5, length)) return false;
    pos += kFieldHeader;
    if (static_cast<uint64_t>(length) > block.size() - pos) return false;
    CLyrics3TagItem field;
    field.ID = uint32_t(header[0]) << 16 | uint32_t(header[1]) << 8 | header[2];
    field.Data.assign(reinterpret_cast<const char *>(block.data() + pos),
                      static_cast<size_t>(length));
    fields.push_back(std::move(field));
    pos += static_cast<size_t>(length);
  }
  return true;
}

// The first field with that identifier, or nullptr.
template <typename Fields> auto FindField(Fields &fields, uint32_t id) {
  auto it = std::find_if(fields.begin(), fields.end(), [&](auto &f) { return f.ID == id; });
  return it == fields.end() ? nullptr : &*it;
}

// The text of the first field with that identifier, up to its first zero
// byte; an overlong field gives nothing.
std::string ExtendedText(const std::vector<CLyrics3TagItem> &fields, uint32_t id) {
  const CLyrics3TagItem *field = FindField(fields, id);
  if (!field || field->Length() > kExtendedText) return {};
  return field->Data.substr(0, field->Data.find('\0'));
}

void SetExtended(std::vector<CLyrics3TagItem> &fields, uint32_t id, const std::string &text) {
  CLyrics3TagItem *field = FindField(fields, id);
  if (!field) {
    fields.push_back(CLyrics3TagItem{id, {}});
    field = &fields.back();
  }
  field->Data = text.size() > kID3v1Text ? text.substr(0, kExtendedText) : std::string();
}

void AppendText(Bytes &out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}

void AppendNumber(Bytes &out, size_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*zu", digits, value);
  AppendText(out, text);
}

// The whole block, or an empty one when no field has data; false when the
// fields do not fit the size digits.
bool BuildBlock(const std::vector<CLyrics3TagItem> &fields, Bytes &block) {
  block.clear();
  AppendText(block, kBegin);
  for (const auto &field : fields) {
    if (field.Data.empty()) continue;
    if (field.Length() > kMaxFieldLength) return false;
    block.push_back(uint8_t(field.ID >> 16));
    block.push_back(uint8_t(field.ID >> 8));
    block.push_back(uint8_t(field.ID));
    AppendNumber(block, field.Length(), 5);
    AppendText(block, field.Data);
    if (static_cast<int64_t>(block.size()) > kMaxSize) return false;
  }
  if (block.size() == kBegin.size()) {
    block.clear();
    return true;
  }
  AppendNumber(block, block.size(), 6);
  AppendText(block, kEnd);
  return true;
}

} // namespace

int64_t CLyrics3::FieldsLength() const {
  int64_t sum = 0;
  for (const auto &field : Fields)
    sum += static_cast<int64_t>(field.Length());
  return sum;
}

int CLyrics3::Read(IFileSystem &fs, const WideString &path) {
  *this = CLyrics3();
  auto file = fs.Open(path, FileMode::Read);
  if (!file) return kTagFailed;
  const Location at = Locate(*file);
  if (at.result != kTagDone) return at.result;
  if (!ParseFields(at.block, Fields)) {
    Fields.clear();
    return kTagFailed;
  }
  Artist = ExtendedText(Fields, kArtistID);
  Title = ExtendedText(Fields, kTitleID);
  Album = ExtendedText(Fields, kAlbumID);
  TagSize = static_cast<int64_t>(at.block.size()) + 15;
  TagPosition = at.start - at.fileSize;
  return kTagDone;
}

int CLyrics3::Write(IFileSystem &fs, const WideString &path) {
  SetExtended(Fields, kArtistID, Artist);
  SetExtended(Fields, kTitleID, Title);
  SetExtended(Fields, kAlbumID, Album);
  Bytes tail;
  if (!BuildBlock(Fields, tail)) return kTagFailed;
  const int64_t blockSize = static_cast<int64_t>(tail.size());

  auto file = fs.Open(path, FileMode::ReadWrite);
  if (!file) return kTagFailed;
  const Location old = Locate(*file);
  if (old.result == kTagFailed) return kTagFailed;
  // A damaged old block is kept rather than replaced by what we know of it.
  std::vector<CLyrics3TagItem> oldFields;
  if (old.result == kTagDone && !ParseFields(old.block, oldFields)) return kTagFailed;
  if (old.fileSize < 131) return kTagNothing;
  uint8_t last[131];
  if (!ReadAt(*file, old.fileSize - 131, last, sizeof last)) return kTagFailed;
  if (!DetectID3v1(last)) return kTagNothing;

  tail.insert(tail.end(), last + 3, last + 131);
  const int64_t cut = old.result == kTagDone ? old.start : old.fileSize - kID3v1Size;
  if (!ReplaceTail(*file, cut, tail)) return kTagFailed;
  TagSize = blockSize;
  TagPosition = blockSize ? -static_cast<int64_t>(tail.size()) : 0;
  return kTagDone;
}

int CLyrics3::Remove(IFileSystem &fs, const WideString &path, bool withID3v1) {
  Location at;
  {
    auto file = fs.Open(path, FileMode::Read);
    if (!file) return kTagFailed;
    at = Locate(*file);
    if (at.result != kTagDone) return at.result;
  }
  auto file = fs.Open(path, FileMode::ReadWrite);
  // The size checks that nobody changed the file in between.
  if (!file || file->Size() != at.fileSize) return kTagFailed;
  if (withID3v1) {
    if (!file->Truncate(at.start)) return kTagFailed;
  } else {
    Bytes id3(kID3v1Size);
    if (!ReadAt(*file, at.fileSize - kID3v1Size, id3.data(), id3.size())) return kTagFailed;
    if (!Matches(id3.data(), "TAG")) return kTagNothing;
    if (!ReplaceTail(*file, at.start, id3)) return kTagFailed;
  }
  TagPosition = TagSize = 0;
  return kTagDone;
}

} // namespace tunbrix
