#include "tags/taglib.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "foundation/WinExc32.h"
#include "foundation/text_types.h"
#include "tags/file_patch.h"
#include "tags/filename_tags.h"
#include "tags/id3v2frames.h"
#include "tags/oggpacketlib.h"
#include "tags/tagflacvorbis.h"
#include "tags/tagvorbis_fix.h"

namespace tunbrix {
namespace {

constexpr size_t kID3v1TextLimit = 30;
constexpr size_t kPatternLimit = 260;
constexpr int kLastGenre = kGenreCount - 1;

// ---- the regions a tag writer changes, kept for putting a file back

// Bytes of ID3v2 header, body and footer of the tag at the start of a file,
// and for FLAC files the metadata blocks behind it, found as the FLAC
// writer finds them. nullopt on a read error.
std::optional<int64_t> LeadingTagsLength(IFile &file, int64_t size, bool flac) {
  uint8_t h[10] = {};
  if (size >= 10 && !ReadAt(file, 0, h, sizeof h)) return std::nullopt;
  int64_t lead = 0;
  if (size >= 10 && IsValidID3v2Header(h))
    lead = std::min<int64_t>(size, 10 + DecodeSynchsafe(h + 6) + ((h[5] & 0x10) ? 10 : 0));
  if (!flac) return lead;
  int64_t pos = 0;
  if (size >= 10 && std::memcmp(h, "ID3", 3) == 0 && h[3] >= 2 && h[3] <= 4 && IsSynchsafe(h + 6))
    pos = 10 + DecodeSynchsafe(h + 6) + (h[3] == 4 && (h[5] & 0x10) ? 10 : 0);
  uint8_t b[4];
  if (pos + 4 > size) return lead;
  if (!ReadAt(file, pos, b, 4)) return std::nullopt;
  if (std::memcmp(b, "fLaC", 4) != 0) return lead;
  pos += 4;
  // Metadata the FLAC reader refuses is nothing its writer rewrites.
  for (size_t blocks = 0; blocks < kFlacMaxBlocks; ++blocks) {
    if (pos + 4 > size) return lead;
    if (!ReadAt(file, pos, b, 4)) return std::nullopt;
    pos += 4 + (int64_t(b[1]) << 16 | int64_t(b[2]) << 8 | b[3]);
    if (pos > size) return lead;
    if (b[0] & 0x80) return std::max(lead, pos);
  }
  return lead;
}

// How many bytes at the end of a file the tag writers may change: the APE
// and ID3v2 search window, an APE tag whose footer lies in it, a Lyrics3
// block with its ID3v1 tag, and an ID3v2 tag at the end. Generous on
// purpose: what is kept beyond the tags is audio that no writer changes.
std::optional<int64_t> TrailingTagsBound(IFile &file, int64_t size) {
  constexpr int64_t kWindow = 1024;
  const int64_t n = std::min(size, kWindow);
  auto last = ReadUpTo(file, size - n, size_t(n));
  if (!last || int64_t(last->size()) != n) return std::nullopt;
  int64_t bound = kWindow + 32 + 128;
  uint32_t apeSize = 0;
  for (size_t i = 0; i + 32 <= last->size(); ++i) {
    const uint8_t *p = last->data() + i;
    if (std::memcmp(p, "APETAGEX", 8) != 0) continue;
    const uint32_t s =
        uint32_t(p[12]) | uint32_t(p[13]) << 8 | uint32_t(p[14]) << 16 | uint32_t(p[15]) << 24;
    if (int64_t(s) <= size - n + int64_t(i) + 32) apeSize = std::max(apeSize, s);
  }
  bound += int64_t(apeSize) + 32;
  if (size >= 143) {
    const uint8_t *end = last->data() + last->size();
    if (std::memcmp(end - 137, "LYRICS200", 9) == 0) {
      int64_t digits = 0;
      for (const uint8_t *d = end - 143; d < end - 137 && *d >= '0' && *d <= '9'; ++d)
        digits = digits * 10 + (*d - '0');
      bound += digits + 15;
    }
  }
  const TID3v2Location id3 = CID3v2::Locate(file);
  if (id3.IoError) return std::nullopt;
  if (id3.Found && id3.TagPosition > 0) bound += size - id3.TagPosition;
  return std::min(bound, size);
}

// The leading and trailing tag regions of a file and marks of the audio
// between them. Tag writers only ever move the audio, never change it, so
// a file changed by some of them can be put back from these.
class TTagRegions {
public:
  bool Take(IFileSystem &fs, const WideString &path, bool flac) {
    flac_ = flac;
    auto file = fs.Open(path, FileMode::Read);
    if (!file) return false;
    const int64_t size = file->Size();
    if (size < 0) return false;
    const auto lead = LeadingTagsLength(*file, size, flac);
    const auto trail = TrailingTagsBound(*file, size);
    if (!lead || !trail) return false;
    const int64_t tailStart = std::max(*lead, size - *trail);
    middle_ = tailStart - *lead;
    auto head = ReadUpTo(*file, 0, size_t(*lead));
    auto tail = ReadUpTo(*file, tailStart, size_t(size - tailStart));
    if (!head || !tail || int64_t(head->size()) != *lead ||
        int64_t(tail->size()) != size - tailStart)
      return false;
    head_ = std::move(*head);
    tail_ = std::move(*tail);
    auto marks = Marks(*file, *lead);
    if (!marks) return false;
    marks_ = std::move(*marks);
    return true;
  }

  // False when the file could not be put back, or no longer holds the
  // same audio (an external program rewrote it): it is then left alone.
  bool Restore(IFileSystem &fs, const WideString &path) const {
    auto file = fs.Open(path, FileMode::ReadWrite);
    if (!file) return false;
    const int64_t size = file->Size();
    const auto lead = size < 0 ? std::nullopt : LeadingTagsLength(*file, size, flac_);
    if (!lead || size - *lead < middle_) return false;
    const auto marks = Marks(*file, *lead);
    if (!marks || *marks != marks_) return false;
    const int64_t tailStart = *lead + middle_;
    if (*lead != int64_t(head_.size())) {
      return RewriteThroughTempFile(fs, path, u"tag", [&](IFile &temp) {
        return temp.Write(head_.data(), head_.size()) && CopyRange(*file, *lead, middle_, temp) &&
               temp.Write(tail_.data(), tail_.size());
      });
    }
    const auto head = ReadUpTo(*file, 0, head_.size());
    const auto tail = ReadUpTo(*file, tailStart, size_t(size - tailStart));
    if (!head || !tail) return false;
    if (*tail != tail_ && !ReplaceTail(*file, tailStart, tail_)) return false;
    return *head == head_ || OverwriteRange(*file, 0, head_);
  }

private:
  // The first and last bytes of the audio, which tell that it is still the
  // same audio wherever a rewrite moved it.
  std::optional<Bytes> Marks(IFile &file, int64_t lead) const {
    constexpr int64_t kMark = 4096;
    const int64_t n = std::min(middle_, kMark);
    auto first = ReadUpTo(file, lead, size_t(n));
    auto last = ReadUpTo(file, lead + middle_ - n, size_t(n));
    if (!first || !last || int64_t(first->size()) != n || int64_t(last->size()) != n)
      return std::nullopt;
    first->insert(first->end(), last->begin(), last->end());
    return first;
  }

  bool flac_ = false;
  Bytes head_, tail_, marks_;
  int64_t middle_ = 0;
};

// Whether the file ends in an ID3v1 tag; nullopt when that cannot be read.
std::optional<bool> EndsWithID3v1(IFileSystem &fs, const WideString &path) {
  auto file = fs.Open(path, FileMode::Read);
  if (!file) return std::nullopt;
  const int64_t size = file->Size();
  if (size < 0) return std::nullopt;
  if (size < 131) return false;
  uint8_t last[131];
  if (!ReadAt(*file, size - 131, last, sizeof last)) return std::nullopt;
  return DetectID3v1(last);
}

// ---- folding formats into items

WideString TwoDigits(int number) {
  char text[16];
  std::snprintf(text, sizeof text, "%.2d", number);
  return AsciiToWide(text);
}

bool Readable(const TID3Frame &frame) {
  if (frame.Flags.Compression || frame.Flags.Encryption) return false;
  return !frame.Layout[kFieldEncoding] || (!frame.Data.empty() && frame.Data[0] < 4);
}

// The text of the first readable frame with this identifier and an empty
// description. nullopt when there is none or its text is empty: a frame
// that only carries a described variant ("iTunNORM" comments) or that
// cannot be read must not hide the value another format holds, nor get it
// erased at the next write.
std::optional<WideString> MappedFrameText(const CID3v2 &tag, const std::string &frameId) {
  for (const auto &frame : tag.Frames) {
    if (frame.FrameId != frameId || !Readable(frame)) continue;
    TID3FrameTextW fields = DecodeFrame(frame);
    if (frame.Layout[kFieldDescription] && !fields.Description.empty()) continue;
    if (fields.Text.empty()) return std::nullopt;
    return std::move(fields.Text);
  }
  return std::nullopt;
}

void SetIfNotEmpty(CTAG &tag, std::string_view name, const std::string &cp1252) {
  if (!cp1252.empty()) tag.SetItem(name, Cp1252ToWide(cp1252));
}

void LoadID3v1(CTAG &tag) {
  const CID3 &id3 = tag.ID3v1;
  SetIfNotEmpty(tag, "Artist", id3.Artist);
  SetIfNotEmpty(tag, "Title", id3.Title);
  SetIfNotEmpty(tag, "Album", id3.Album);
  SetIfNotEmpty(tag, "Year", id3.Year);
  SetIfNotEmpty(tag, "Comment", id3.Comment);
  if (id3.Track != 0) tag.SetItem("Track", TwoDigits(id3.Track));
  if (id3.Genre < kNoGenre) tag.SetItem("Genre", GenreName(id3.Genre));
}

void LoadLyrics3(CTAG &tag) {
  SetIfNotEmpty(tag, "Artist", tag.Lyrics3.Artist);
  SetIfNotEmpty(tag, "Title", tag.Lyrics3.Title);
  SetIfNotEmpty(tag, "Album", tag.Lyrics3.Album);
}

void LoadID3v2(CTAG &tag) {
  for (const auto &frame : tag.ID3v2.Frames) {
    if (frame.ItemName.empty()) continue;
    auto text = MappedFrameText(tag.ID3v2, frame.FrameId);
    if (!text) continue;
    if (SameTextAscii(frame.ItemName, "Genre")) {
      // "(17)", "17" and "Rock" all name the same genre.
      const int index = GenreIndex(*text);
      if (index >= 0 && index <= kLastGenre) *text = GenreName(index);
    }
    tag.SetItem(frame.ItemName, *text);
  }
}

void LoadAPE(CTAG &tag) {
  const bool v2 = tag.APE.Version == 2000;
  for (const auto &item : tag.APE.Items) {
    if ((v2 && item.Flags.Binary) || StartsWithAscii(item.Key, "replaygain_")) continue;
    tag.SetItem(item.Key, item.Value);
  }
}

void LoadVorbis(CTAG &tag) {
  for (const auto &comment : tag.Vorbis.Comments) {
    if (SameTextAscii(comment.Name, "tracknumber"))
      tag.SetItem("Track", comment.Value);
    else if (SameTextAscii(comment.Name, "date"))
      tag.SetItem("Year", comment.Value);
    else if (!StartsWithAscii(comment.Name, "replaygain_"))
      tag.MergeItem(comment.Name, comment.Value);
  }
}

// ---- writing items into formats

uint8_t TrackByte(const WideString &track) {
  const int number = ParseTrack(track).first;
  return number > 0 && number <= 255 ? uint8_t(number) : 0;
}

uint8_t GenreByte(const WideString &genre) {
  // A genre of digits may name a number no byte holds: that is no genre.
  const int index = GenreIndex(genre);
  return index >= 0 && index < kNoGenre ? uint8_t(index) : kNoGenre;
}

TagResult Done(int result) {
  return result == 0 ? kTagDone : result == 2 ? kTagNothing : kTagFailed;
}

std::string VorbisName(const std::string &itemName) {
  if (SameTextAscii(itemName, "track")) return "tracknumber";
  if (SameTextAscii(itemName, "year")) return "date";
  return itemName;
}

// The format bits a call works on, present-only resolved.
uint8_t ChosenFormats(const CTAG &tag, uint8_t formats) {
  uint8_t chosen = formats & AllTagFormats;
  if (formats & kTagPresentOnly) {
    if (tag.HasID3v1) chosen |= kTagID3v1;
    if (tag.HasID3v2) chosen |= kTagID3v2;
    if (tag.HasLyrics3) chosen |= kTagLyrics3;
    if (tag.HasAPE) chosen |= kTagAPE;
    if (tag.HasVorbis) chosen |= kTagVorbis;
  }
  return chosen;
}

// Results of the steps of one write or remove, stopping at the first
// failure so that the file can be put back.
struct TStepResults {
  TagResult last = kTagFailed;
  bool failed = false;
  bool anyDone = false;
  uint8_t failedFormats = 0;
  void Add(uint8_t format, TagResult result) {
    last = result;
    if (result == kTagDone) anyDone = true;
    if (result == kTagFailed) {
      failed = true;
      failedFormats |= format;
    }
  }
};

} // namespace

// ---- the item list

TTagItemFrame &CTAG::AddItem(std::string_view name, const WideString &value) {
  Items.push_back({std::string(name), value});
  return Items.back();
}

TTagItemFrame *CTAG::FindItem(std::string_view name) {
  for (auto &item : Items)
    if (SameTextAscii(item.Name, name)) return &item;
  return nullptr;
}

const TTagItemFrame *CTAG::FindItem(std::string_view name) const {
  return const_cast<CTAG *>(this)->FindItem(name);
}

WideString CTAG::GetItem(std::string_view name) const {
  const TTagItemFrame *item = FindItem(name);
  return item ? item->Value : WideString();
}

void CTAG::SetItem(std::string_view name, const WideString &value) {
  if (TTagItemFrame *item = FindItem(name)) {
    item->Value = value;
    item->Removed = false;
    return;
  }
  AddItem(name, value);
}

void CTAG::MergeItem(std::string_view name, const WideString &value) {
  TTagItemFrame *item = FindItem(name);
  // A longer form of a value cut short elsewhere (the 30 bytes of ID3v1)
  // replaces it; any other value is one more value of that name.
  const bool extends =
      item && (item->Value.empty() ||
               (value.size() >= item->Value.size() &&
                UpperCaseW(value.substr(0, item->Value.size())) == UpperCaseW(item->Value)));
  if (!extends) {
    AddItem(name, value);
    return;
  }
  item->Value = value;
  item->Removed = false;
}

void CTAG::ClearItems() { Items.clear(); }

bool CTAG::FitsID3v1() const {
  return std::all_of(Items.begin(), Items.end(), [](const TTagItemFrame &item) {
    return item.Removed || item.Value.size() <= kID3v1TextLimit;
  });
}

// ---- whole files

void CTAG::Reset() {
  HasID3v1 = HasID3v2 = HasLyrics3 = HasAPE = HasVorbis = false;
  HasTag = false;
  TotalTagSize = 0;
  FailedFormats = 0;
  ClearItems();
  ID3v1 = CID3();
  ID3v2 = CID3v2();
  Lyrics3 = CLyrics3();
  APE = CAPETag();
  Vorbis = CVorbisComments();
}

bool CTAG::ReadTags(IFileSystem &fs, const WideString &path, uint8_t formats) {
  Reset();
  // A format that is not found, or cannot be read, is left as new, so that
  // nothing half read is ever written back.
  if (formats & kTagID3v1) {
    HasID3v1 = ID3v1.Read(fs, path) == 0;
    if (HasID3v1)
      TotalTagSize += kID3v1Size;
    else
      ID3v1 = CID3();
  }
  if (formats & kTagLyrics3) {
    HasLyrics3 = Lyrics3.Read(fs, path) == 0;
    if (HasLyrics3)
      TotalTagSize += Lyrics3.TagSize;
    else
      Lyrics3 = CLyrics3();
  }
  if (formats & kTagID3v2) {
    HasID3v2 = ID3v2.Read(fs, path) == 0;
    if (HasID3v2)
      TotalTagSize += ID3v2.TotalSize;
    else
      ID3v2 = CID3v2();
  }
  if (formats & kTagAPE) {
    HasAPE = APE.Read(fs, path) == kTagDone;
    if (HasAPE)
      TotalTagSize += APE.TagSize;
    else
      APE = CAPETag();
  }
  HasTag = HasID3v1 || HasLyrics3 || HasID3v2 || HasAPE;
  return !HasTag;
}

void CTAG::LoadItems() {
  if (HasID3v1) LoadID3v1(*this);
  if (HasLyrics3) LoadLyrics3(*this);
  if (HasID3v2) LoadID3v2(*this);
  if (HasAPE) LoadAPE(*this);
  if (HasVorbis) LoadVorbis(*this);
  if (HasID3v1 || HasLyrics3 || HasID3v2 || HasAPE || HasVorbis) HasTag = true;
}

TagResult CTAG::WriteTags(IFileSystem &fs, const WideString &path, uint8_t formats,
                          const TRunContext *runner) {
  FailedFormats = 0;
  const uint8_t chosen = ChosenFormats(*this, formats);
  if (chosen == 0) return kTagFailed;
  const TVorbisContainer container = VorbisContainerOf(path);
  TTagRegions regions;
  if (!regions.Take(fs, path, container == TVorbisContainer::Flac)) {
    FailedFormats = chosen;
    return kTagFailed;
  }
  TStepResults steps;
  if (chosen & kTagID3v1) {
    ID3v1.Artist = WideToCp1252(GetItem("Artist"));
    ID3v1.Title = WideToCp1252(GetItem("Title"));
    ID3v1.Album = WideToCp1252(GetItem("Album"));
    ID3v1.Year = WideToCp1252(GetItem("Year"));
    ID3v1.Comment = WideToCp1252(GetItem("Comment"));
    ID3v1.Track = TrackByte(GetItem("Track"));
    ID3v1.Genre = GenreByte(GetItem("Genre"));
    steps.Add(kTagID3v1, Done(ID3v1.Write(fs, path)));
  }
  if (!steps.failed && (chosen & kTagLyrics3)) {
    Lyrics3.Artist = WideToCp1252(GetItem("Artist"));
    Lyrics3.Title = WideToCp1252(GetItem("Title"));
    Lyrics3.Album = WideToCp1252(GetItem("Album"));
    steps.Add(kTagLyrics3, Done(Lyrics3.Write(fs, path)));
  }
  if (!steps.failed && (chosen & kTagID3v2)) {
    for (const auto &item : Items)
      ID3v2.SetItem(item.Name, item.Value);
    steps.Add(kTagID3v2, ID3v2.Write(fs, path));
  }
  if (!steps.failed && (chosen & kTagAPE)) {
    for (const auto &item : Items)
      APE.SetItem(item.Name, item.Value);
    APE.NameCase = NameCase;
    APE.NameSort = NameSort;
    // An ID3v1 tag (and the Lyrics3 block before it) stays at the very end
    // whether this call wrote it or the file had it already.
    const auto id3v1 = EndsWithID3v1(fs, path);
    steps.Add(kTagAPE, id3v1 ? APE.Write(fs, path, (chosen & kTagID3v1) || *id3v1) : kTagFailed);
  }
  if (!steps.failed && (chosen & kTagVorbis) && container != TVorbisContainer::None) {
    Vorbis.ClearMarks();
    for (const auto &item : Items)
      Vorbis.SetComment(VorbisName(item.Name), item.Value);
    Vorbis.ApplyNameCase(NameCase);
    Vorbis.SortComments(NameSort);
    TagResult result = kTagFailed;
    if (container == TVorbisContainer::Flac)
      result = CFlacVorbisTag().WriteComments(fs, path, Vorbis);
    else if (runner)
      result = WriteOggComments(*runner, path, Vorbis) == 0 ? kTagDone : kTagFailed;
    steps.Add(kTagVorbis, result);
  }
  FailedFormats = steps.failedFormats;
  if (!steps.failed) return steps.last;
  regions.Restore(fs, path);
  return kTagFailed;
}

TagResult CTAG::RemoveTags(IFileSystem &fs, const WideString &path, uint8_t formats,
                           const TRunContext *runner) {
  FailedFormats = 0;
  const uint8_t chosen = formats & AllTagFormats;
  if (chosen == 0) return kTagNothing;
  const TVorbisContainer container = VorbisContainerOf(path);
  TTagRegions regions;
  if (!regions.Take(fs, path, container == TVorbisContainer::Flac)) {
    FailedFormats = chosen;
    return kTagFailed;
  }
  // Removers of their own: what the format objects read stays, so that this
  // tag can still be written elsewhere.
  TStepResults steps;
  TagResult lyrics3 = kTagNothing;
  if (chosen & (kTagLyrics3 | kTagID3v1)) {
    lyrics3 = Done(CLyrics3().Remove(fs, path, (chosen & kTagID3v1) != 0));
    steps.Add(kTagLyrics3, lyrics3);
  }
  if (!steps.failed && (chosen & kTagID3v1) && lyrics3 != kTagDone)
    steps.Add(kTagID3v1, Done(CID3().Remove(fs, path)));
  if (!steps.failed && (chosen & kTagAPE)) steps.Add(kTagAPE, CAPETag().Remove(fs, path));
  if (!steps.failed && (chosen & kTagID3v2)) steps.Add(kTagID3v2, CID3v2().Remove(fs, path));
  if (!steps.failed && (chosen & kTagVorbis)) {
    TagResult result = kTagNothing;
    if (container == TVorbisContainer::Flac)
      result = CFlacVorbisTag().RemoveComments(fs, path);
    else if (container == TVorbisContainer::Ogg)
      // The program clears a file without comments as well, so anything but
      // success is a failure, not "nothing there".
      result = runner && ClearOggComments(*runner, path) == 0 ? kTagDone : kTagFailed;
    steps.Add(kTagVorbis, result);
  }
  FailedFormats = steps.failedFormats;
  if (steps.failed) {
    regions.Restore(fs, path);
    return kTagFailed;
  }
  return steps.anyDone ? kTagDone : kTagNothing;
}

// ---- patterns

void CTAG::ParseFileName(const WideString &name, const WideString &pattern) {
  for (auto &[field, value] : MatchFileNamePattern(name, pattern))
    if (!field.empty()) SetItem(field, value);
}

WideString CTAG::ExpandPattern(const WideString &pattern) const {
  WideString out;
  for (size_t i = 0; i < pattern.size() && out.size() < kPatternLimit;) {
    if (pattern[i] != u'%') {
      out += pattern[i++];
      continue;
    }
    const size_t close = std::min(pattern.find(u'%', i + 1), pattern.size());
    out += GetItem(WideToUtf8(pattern.substr(i + 1, close - i - 1)));
    i = close + 1;
  }
  if (out.size() > kPatternLimit) {
    out.resize(kPatternLimit);
    // Never end in half a surrogate pair.
    if (out.back() >= 0xD800 && out.back() < 0xDC00) out.pop_back();
  }
  return out;
}

// ---- Vorbis comments in their streams

TVorbisContainer VorbisContainerOf(const WideString &path) {
  const WideString ext = LowerCaseW(ExtractFileExtW(path));
  if (ext == u".flac" || ext == u".fla") return TVorbisContainer::Flac;
  if (ext == u".ogg") return TVorbisContainer::Ogg;
  return TVorbisContainer::None;
}

bool ReadVorbisComments(IFileSystem &fs, const WideString &path, CTAG &tag) {
  tag.Vorbis.Clear();
  tag.HasVorbis = false;
  bool read = false;
  switch (VorbisContainerOf(path)) {
  case TVorbisContainer::Flac:
    read = CFlacVorbisTag().ReadInfoAndComments(fs, path, tag.Vorbis) == 0;
    break;
  case TVorbisContainer::Ogg: {
    COggVorbis ogg;
    ogg.UseComments(&tag.Vorbis);
    read = ogg.Read(fs, path);
    break;
  }
  case TVorbisContainer::None: break;
  }
  // A block with a vendor and no comments is a tag all the same.
  tag.HasVorbis = tag.Vorbis.TotalSize > 0;
  if (tag.HasVorbis) tag.HasTag = true;
  return read;
}

} // namespace tunbrix
