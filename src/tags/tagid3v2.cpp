#include "tags/tagid3v2.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>

#include "foundation/text_types.h"
#include "tags/file_patch.h"

namespace tunbrix {
namespace {

constexpr int64_t kHeaderSize = 10;
constexpr int64_t kScanSize = 1024;
constexpr int64_t kCopyBlock = 131072;

bool IsValidMarker(const uint8_t *b, const char *marker) {
  return std::memcmp(b, marker, 3) == 0 && b[3] != 255 && b[3] >= 2 && b[4] != 255 &&
         IsSynchsafe(b + 6);
}

// The footer flag means something from version 2.4 on only.
bool HasFooter(const uint8_t *header) { return header[3] >= 4 && (header[5] & 0x10); }

// Bytes a tag takes from its header on: header, body and footer.
int64_t TagLength(const uint8_t *header) {
  return kHeaderSize + DecodeSynchsafe(header + 6) + (HasFooter(header) ? kHeaderSize : 0);
}

bool IsIdChar(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

bool IsFrameId(std::string_view id) {
  return id.size() == 4 && std::all_of(id.begin(), id.end(), [](char c) { return IsIdChar(c); });
}

// Characters that ISO-8859-1 and Windows-1252 both hold as the same byte.
bool FitsLatin1(const WideString &text) {
  return std::all_of(text.begin(), text.end(),
                     [](WideChar c) { return c <= 0xFF && (c < 0x80 || c > 0x9F); });
}

void AppendText(Bytes &out, const WideString &text, bool wide) {
  if (!wide) {
    const std::string bytes = WideToCp1252(text);
    out.insert(out.end(), bytes.begin(), bytes.end());
    return;
  }
  out.push_back(0xFF);
  out.push_back(0xFE);
  for (const WideChar c : text) {
    out.push_back(uint8_t(c & 0xFF));
    out.push_back(uint8_t(c >> 8));
  }
}

Bytes TextFrameBody(const TID3Layout &layout, const WideString &description,
                    const WideString &text) {
  const bool wide = layout[kFieldEncoding] && !(FitsLatin1(description) && FitsLatin1(text));
  Bytes body;
  if (layout[kFieldEncoding]) body.push_back(wide ? 1 : 0);
  if (layout[kFieldLanguage]) body.insert(body.end(), {'X', 'X', 'X'});
  if (layout[kFieldDescription]) {
    AppendText(body, description, wide);
    body.push_back(0);
    if (wide) body.push_back(0);
  }
  AppendText(body, text, wide);
  return body;
}

// A version 2.2 picture names its image format with three letters where
// APIC has a MIME type.
Bytes PictureFromID3v22(const Bytes &pic) {
  if (pic.size() < 4) return pic;
  std::string format(pic.begin() + 1, pic.begin() + 4);
  format = format.substr(0, format.find('\0'));
  for (char &c : format)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  const std::string mime = format == "-->"   ? format
                           : format == "jpg" ? "image/jpeg"
                                             : "image/" + format;
  Bytes out{pic[0]};
  out.insert(out.end(), mime.begin(), mime.end());
  out.push_back(0);
  out.insert(out.end(), pic.begin() + 4, pic.end());
  return out;
}

std::tm LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

WideString FormatTagTime(const std::tm &t) {
  char text[80]; // room for any int the fields may hold
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return AsciiToWide(text);
}

bool MarkedForOtherVersion(const TID3Frame &frame, int version) {
  if (frame.TableIndex < 0) return false;
  const int mark = FrameTableEntry(frame.TableIndex).VersionMark;
  return mark != kBothVersions && mark != version;
}

// Frames that describe the audio data and lose their meaning when it changes.
bool DescribesAudio(const std::string &id) {
  static constexpr const char *kIds[] = {"TLEN", "TSIZ", "TENC", "SEEK", "ETCO",
                                         "EQUA", "MLLT", "POSS", "SYLT", "SYTC",
                                         "RVAD", "ASPI", "AENC", "EQU2", "RVA2"};
  return std::any_of(std::begin(kIds), std::end(kIds), [&](const char *k) { return id == k; });
}

bool CopyBlocks(IFile &source, int64_t from, int64_t count, IFile &target) {
  Bytes block(static_cast<size_t>(std::min(count, kCopyBlock)));
  while (count > 0) {
    const size_t n = static_cast<size_t>(std::min(count, kCopyBlock));
    if (!ReadAt(source, from, block.data(), n) || !target.Write(block.data(), n)) return false;
    from += static_cast<int64_t>(n);
    count -= static_cast<int64_t>(n);
  }
  return true;
}

// Bytes at the end of the file that belong to an ID3v1 tag and a Lyrics3
// v2.00 block before it; an appended ID3v2 tag goes in front of them.
std::optional<int64_t> TailTagsSize(IFile &file, int64_t fileSize) {
  if (fileSize < 128) return 0;
  const size_t n = static_cast<size_t>(std::min<int64_t>(fileSize, 143));
  const auto last = ReadUpTo(file, fileSize - static_cast<int64_t>(n), n);
  if (!last || last->size() != n) return std::nullopt;
  const uint8_t *end = last->data() + n;
  const bool id3v1 = n >= 131 ? DetectID3v1(end - 131) : std::memcmp(end - 128, "TAG", 3) == 0;
  if (!id3v1) return 0;
  if (n < 143 || std::memcmp(end - 137, "LYRICS200", 9) != 0) return 128;
  int64_t lyricsSize = 0;
  for (const uint8_t *d = end - 143; d < end - 137; ++d) {
    if (*d < '0' || *d > '9') return 128;
    lyricsSize = lyricsSize * 10 + (*d - '0');
  }
  const int64_t lyricsStart = fileSize - 128 - 15 - lyricsSize;
  if (lyricsSize < 11 || lyricsStart < 0) return 128;
  uint8_t begin[11];
  if (!ReadAt(file, lyricsStart, begin, sizeof begin)) return std::nullopt;
  return std::memcmp(begin, "LYRICSBEGIN", 11) == 0 ? 128 + 15 + lyricsSize : 128;
}

} // namespace

bool IsValidID3v2Header(const uint8_t *bytes) { return IsValidMarker(bytes, "ID3"); }
bool IsValidID3v2Footer(const uint8_t *bytes) { return IsValidMarker(bytes, "3DI"); }

size_t CID3v2::FramesSize() const {
  size_t sum = 0;
  for (const auto &frame : Frames)
    sum += frame.Size();
  return sum;
}

// ---- locating and reading

TID3v2Location CID3v2::Locate(IFile &file) {
  TID3v2Location loc;
  const auto found = [&](int64_t position, const uint8_t *header) {
    loc.Found = true;
    loc.TagPosition = position;
    loc.TagSize = DecodeSynchsafe(header + 6);
    std::memcpy(loc.Header, header, sizeof loc.Header);
    return loc;
  };
  // A footer counts only with its header in place, so stray bytes in the
  // audio are never taken for a tag.
  const auto headerOfFooter = [&](int64_t footerAt, const uint8_t *footer, uint8_t *header) {
    const int64_t start = footerAt - DecodeSynchsafe(footer + 6) - kHeaderSize;
    if (start < 0) return int64_t{-1};
    if (!ReadAt(file, start, header, kHeaderSize)) loc.IoError = true;
    return !loc.IoError && IsValidID3v2Header(header) && HasFooter(header) &&
                   std::memcmp(header + 6, footer + 6, 4) == 0
               ? start
               : int64_t{-1};
  };

  const int64_t size = file.Size();
  if (size < 0) loc.IoError = true;
  if (size < kHeaderSize) return loc;
  uint8_t header[kHeaderSize];
  if (!ReadAt(file, 0, header, sizeof header)) {
    loc.IoError = true;
    return loc;
  }
  if (IsValidID3v2Header(header)) return found(0, header);

  const auto block = ReadUpTo(file, size - std::min(size, kScanSize),
                              static_cast<size_t>(std::min(size, kScanSize)));
  if (!block) {
    loc.IoError = true;
    return loc;
  }
  if (block->size() < kHeaderSize) return loc;
  const int64_t base = size - static_cast<int64_t>(block->size());
  for (size_t i = block->size() - kHeaderSize + 1; i-- > 0;) {
    const uint8_t *p = block->data() + i;
    const int64_t at = base + static_cast<int64_t>(i);
    if (p[0] != 'I' && p[0] != '3') continue; // the common case, cheaply
    if (IsValidID3v2Header(p)) {
      if (at + TagLength(p) <= size) return found(at, p);
    } else if (IsValidID3v2Footer(p)) {
      const int64_t start = headerOfFooter(at, p, header);
      if (loc.IoError) return loc;
      if (start >= 0) return found(start, header);
    }
  }

  // An appended tag in front of a Lyrics3 block too large for the scan.
  const auto tail = TailTagsSize(file, size);
  if (!tail) {
    loc.IoError = true;
    return loc;
  }
  uint8_t footer[kHeaderSize];
  if (*tail > 0 && size - *tail >= 2 * kHeaderSize) {
    if (!ReadAt(file, size - *tail - kHeaderSize, footer, sizeof footer)) {
      loc.IoError = true;
      return loc;
    }
    if (IsValidID3v2Footer(footer)) {
      const int64_t start = headerOfFooter(size - *tail - kHeaderSize, footer, header);
      if (start >= 0) return found(start, header);
    }
  }
  return loc;
}

void CID3v2::ResetTag() {
  Version = 3;
  Revision = 0;
  HeaderFlags = {};
  TagSize = 0;
  TotalSize = 0;
  TagPosition = 0;
  ExtHeaderSize = 0;
  Frames.clear();
}

int CID3v2::Read(IFileSystem &fs, const WideString &path) {
  ResetTag();
  try {
    return ReadFrom(fs, path) ? 0 : 1;
  } catch (const std::exception &) {
    return 1;
  }
}

bool CID3v2::ReadFrom(IFileSystem &fs, const WideString &path) {
  auto file = fs.Open(path, FileMode::Read);
  if (!file) return false;
  const int64_t fileSize = file->Size();
  const TID3v2Location loc = Locate(*file);
  if (fileSize < 0 || loc.IoError || !loc.Found) return false;
  const uint8_t *h = loc.Header;
  Version = h[3];
  Revision = h[4];
  HeaderFlags.Unsynchronisation = h[5] & 0x80;
  HeaderFlags.ExtendedHeader = h[5] & 0x40;
  HeaderFlags.Experimental = h[5] & 0x20;
  HeaderFlags.Footer = HasFooter(h);
  TagSize = loc.TagSize;
  TagPosition = loc.TagPosition;
  TotalSize = std::min(TagLength(h), fileSize - TagPosition);
  if (Version < 2 || Version > 4) return true; // a version we cannot parse: no frames

  // A tag cut short by the end of the file ends there.
  const int64_t available = std::min<int64_t>(TagSize, fileSize - TagPosition - kHeaderSize);
  auto block = ReadUpTo(*file, TagPosition + kHeaderSize,
                        static_cast<size_t>(std::max<int64_t>(available, 0)));
  if (!block) return false;
  ParseTagBody(std::move(*block));
  return true;
}

void CID3v2::ParseTagBody(Bytes block) {
  if (HeaderFlags.Unsynchronisation && Version <= 3) {
    block = RemoveUnsynchronisation(block.data(), block.size());
    HeaderFlags.Unsynchronisation = false;
  }
  size_t offset = 0;
  if (HeaderFlags.ExtendedHeader) {
    // In version 2.2 this bit announces a compression that was never defined.
    if (Version == 2 || block.size() < 4) return;
    uint64_t size;
    if (Version == 3) {
      size = uint64_t{DecodeBigEndian32(block.data())} + 4; // the size leaves itself out
    } else {
      if (!IsSynchsafe(block.data())) return;
      size = DecodeSynchsafe(block.data());
    }
    if (size < (Version == 3 ? 10u : 6u) || size > block.size()) return;
    ExtHeaderSize = static_cast<uint32_t>(size);
    offset = static_cast<size_t>(size);
  }
  ParseFrames(block, offset);
}

void CID3v2::ParseFrames(const Bytes &block, size_t offset) {
  const size_t headerSize = Version == 2 ? 6 : 10;
  const size_t idSize = Version == 2 ? 3 : 4;
  // Padding, garbage and frames that do not fit end the list.
  while (block.size() - offset >= headerSize) {
    const uint8_t *h = block.data() + offset;
    if (!std::all_of(h, h + idSize, IsIdChar)) break;
    uint32_t size;
    if (Version == 2) {
      size = uint32_t(h[3]) << 16 | uint32_t(h[4]) << 8 | h[5];
    } else if (Version == 3) {
      size = DecodeBigEndian32(h + 4);
    } else {
      if (!IsSynchsafe(h + 4)) break;
      size = DecodeSynchsafe(h + 4);
    }
    if (size > block.size() - offset - headerSize) break;
    offset += headerSize + size;
    TID3Frame frame;
    if (ParseFrame(h, h + headerSize, size, frame) && !frame.Data.empty())
      Frames.push_back(std::move(frame));
  }
}

bool CID3v2::ParseFrame(const uint8_t *h, const uint8_t *body, size_t size,
                        TID3Frame &frame) const {
  if (Version == 2) {
    // A version 2.2 frame without a 2.3 counterpart cannot be kept; the
    // frames after it still are.
    const std::string id =
        FrameIdFromID3v22(std::string_view(reinterpret_cast<const char *>(h), 3));
    if (id.empty()) return false;
    frame = MakeFrame(id);
    frame.Data.assign(body, body + size);
    if (id == "APIC") frame.Data = PictureFromID3v22(frame.Data);
    return true;
  }
  frame = MakeFrame(std::string_view(reinterpret_cast<const char *>(h), 4));
  TID3FrameFlags flags = DecodeFrameFlags(h[8], h[9], Version);
  Bytes data;
  if (Version >= 4 && (flags.Unsynchronisation || HeaderFlags.Unsynchronisation))
    data = RemoveUnsynchronisation(body, size);
  else
    data.assign(body, body + size);
  flags.Unsynchronisation = false;

  // The bytes some flags add in front of the data, in each version's order.
  size_t pos = 0;
  const auto take = [&](size_t n) {
    const bool fits = data.size() - pos >= n;
    const size_t at = pos;
    pos += fits ? n : 0;
    return fits ? data.data() + at : nullptr;
  };
  const uint8_t *p = nullptr;
  if (Version == 3) {
    if (flags.Compression) {
      if (!(p = take(4))) return false;
      frame.DataLength = DecodeBigEndian32(p);
      flags.DataLengthIndicator = true;
    }
    if (flags.Encryption) {
      if (!(p = take(1))) return false;
      frame.EncryptionMethod = *p;
    }
    if (flags.GroupingIdentity) {
      if (!(p = take(1))) return false;
      frame.GroupId = *p;
    }
  } else {
    if (flags.GroupingIdentity) {
      if (!(p = take(1))) return false;
      frame.GroupId = *p;
    }
    if (flags.Encryption) {
      if (!(p = take(1))) return false;
      frame.EncryptionMethod = *p;
    }
    if (flags.DataLengthIndicator) {
      if (!(p = take(4))) return false;
      frame.DataLength = DecodeSynchsafe(p);
      // Plain frames do not need it; compressed and encrypted ones do.
      if (!flags.Compression && !flags.Encryption) {
        flags.DataLengthIndicator = false;
        frame.DataLength = 0;
      }
    }
  }
  data.erase(data.begin(), data.begin() + static_cast<ptrdiff_t>(pos));
  frame.Data = std::move(data);
  frame.Flags = flags;
  return true;
}

// ---- looking up and setting frames

TID3FrameTextW CID3v2::FindFrame(std::string_view frameId, const WideString &description) const {
  for (const auto &frame : Frames) {
    if (frame.FrameId != frameId) continue;
    TID3FrameTextW fields = DecodeFrame(frame);
    if (!frame.Layout[kFieldDescription] || fields.Description == description) {
      fields.Found = true;
      return fields;
    }
  }
  return {};
}

WideString CID3v2::GetFrameText(std::string_view frameId, const WideString &description) const {
  return FindFrame(frameId, description).Text;
}

void CID3v2::SetItem(std::string_view itemName, const WideString &value) {
  // "Year" has a frame in each version; both get the value so that the
  // other one cannot bring an old year back when the tag is written.
  for (int i = 0; i < FrameTableSize(); ++i) {
    const TID3FrameTableEntry &entry = FrameTableEntry(i);
    if (*entry.ItemName && SameTextAscii(entry.ItemName, itemName))
      SetTextFrame(entry.FrameId, u"", value);
  }
}

void CID3v2::SetTextFrame(std::string_view frameId, const WideString &description,
                          const WideString &text) {
  TID3Layout writable;
  writable.set(kFieldEncoding).set(kFieldLanguage).set(kFieldDescription).set(kFieldText);
  const TID3Layout layout = FrameLayout(frameId);
  if (!IsFrameId(frameId) || !layout[kFieldText] || (layout & ~writable).any()) return;
  const bool hasDescription = layout[kFieldDescription];

  // The frame to reuse: the first of a kind without description, or the
  // first whose description cannot be read. Readable frames with this
  // description are replaced by a new one at the end.
  std::optional<size_t> reuse;
  const WideString wanted = UpperCaseW(description);
  for (size_t i = 0; i < Frames.size();) {
    const TID3Frame &frame = Frames[i];
    if (frame.FrameId != frameId) {
      ++i;
    } else if (!hasDescription || frame.Flags.Compression || frame.Flags.Encryption) {
      if (!reuse) reuse = i;
      if (!hasDescription) break;
      ++i;
    } else if (UpperCaseW(DecodeFrame(frame).Description) == wanted) {
      Frames.erase(Frames.begin() + static_cast<ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  if (text.empty()) {
    if (reuse) Frames.erase(Frames.begin() + static_cast<ptrdiff_t>(*reuse));
    return;
  }
  Bytes body = TextFrameBody(layout, description, text);
  if (reuse) {
    // The new body is plain: what described the old stored form goes.
    TID3Frame &frame = Frames[*reuse];
    frame.Data = std::move(body);
    frame.Flags.Compression = frame.Flags.Encryption = frame.Flags.DataLengthIndicator = false;
    frame.EncryptionMethod = 0;
    frame.DataLength = 0;
    return;
  }
  TID3Frame frame = MakeFrame(frameId);
  frame.Data = std::move(body);
  Frames.push_back(std::move(frame));
}

// ---- writing

void CID3v2::PrepareFrames(int version, const std::tm &now) {
  WideString year = GetFrameText("TDRC", u"");
  if (year.empty()) year = GetFrameText("TYER", u"");
  if (!year.empty()) {
    if (version == 3)
      SetTextFrame("TYER", u"", year.substr(0, 4));
    else
      SetTextFrame("TDRC", u"", year);
  }
  for (size_t i = 0; i < Frames.size(); ++i) {
    if (!MarkedForOtherVersion(Frames[i], version)) continue;
    const std::string id = Frames[i].FrameId;
    const WideString text = DecodeFrame(Frames[i]).Text;
    if (text.empty()) continue;
    if (version == 3 && id == "TDRC") SetTextFrame("TYER", u"", text.substr(0, 4));
    if (version == 4 && id == "TYER") SetTextFrame("TDRC", u"", text);
  }
  if (version == 4 && FindFrame("TDTG", u"").Found) SetTextFrame("TDTG", u"", FormatTagTime(now));

  std::erase_if(Frames, [&](const TID3Frame &f) {
    const bool opaque = f.Flags.Compression || f.Flags.Encryption;
    const bool emptyText =
        !opaque && f.Layout[kFieldEncoding] && f.Layout[kFieldText] && f.Data.size() <= 1;
    return f.Flags.TagAlterPreservation || f.Data.empty() || MarkedForOtherVersion(f, version) ||
           emptyText;
  });
  for (auto &frame : Frames)
    if (DescribesAudio(frame.FrameId)) frame.Flags.FileAlterPreservation = true;
}

// Frame headers and bodies; nullopt when a frame is too large for its size
// field. everyFrameUnsynchronised tells whether version 4 unsynchronisation
// changed each frame.
std::optional<Bytes> CID3v2::BuildFrameArea(int version, bool &everyFrameUnsynchronised) const {
  Bytes area;
  area.reserve(FramesSize() + 16 * Frames.size());
  everyFrameUnsynchronised = !Frames.empty();
  for (const auto &frame : Frames) {
    TID3FrameFlags flags = frame.Flags;
    flags.Unsynchronisation = false;
    Bytes payload;
    uint8_t number[4];
    if (version == 3) {
      if (flags.Compression) {
        EncodeBigEndian32(frame.DataLength, number);
        payload.insert(payload.end(), number, number + 4);
      }
      if (flags.Encryption) payload.push_back(frame.EncryptionMethod);
      if (flags.GroupingIdentity) payload.push_back(frame.GroupId);
    } else {
      if (flags.GroupingIdentity) payload.push_back(frame.GroupId);
      if (flags.Encryption) payload.push_back(frame.EncryptionMethod);
      if (flags.DataLengthIndicator) {
        EncodeSynchsafe(frame.DataLength, number);
        payload.insert(payload.end(), number, number + 4);
      }
    }
    payload.insert(payload.end(), frame.Data.begin(), frame.Data.end());
    if (version == 4 && Unsync) flags.Unsynchronisation = Unsynchronise(payload);
    everyFrameUnsynchronised = everyFrameUnsynchronised && flags.Unsynchronisation;

    if (payload.size() > (version == 4 ? kMaxSynchsafe : UINT32_MAX)) return std::nullopt;
    uint8_t header[10];
    std::memcpy(header, frame.FrameId.data(), 4);
    if (version == 4)
      EncodeSynchsafe(static_cast<uint32_t>(payload.size()), header + 4);
    else
      EncodeBigEndian32(static_cast<uint32_t>(payload.size()), header + 4);
    EncodeFrameFlags(flags, version, header + 8);
    area.insert(area.end(), header, header + 10);
    area.insert(area.end(), payload.begin(), payload.end());
  }
  return area;
}

TagResult CID3v2::Write(IFileSystem &fs, const WideString &path) {
  const int version = Version == 0 ? 3 : Version;
  if ((version != 3 && version != 4) || Revision < 0 || Revision > 254 || Frames.empty())
    return kTagFailed;
  try {
    return WriteFile(fs, path, version);
  } catch (const std::exception &) {
    return kTagFailed;
  }
}

TagResult CID3v2::WriteFile(IFileSystem &fs, const WideString &path, int version) {
  auto file = fs.Open(path, FileMode::ReadWrite);
  if (!file) return kTagFailed;
  HeaderFlags = {};
  PrepareFrames(version, LocalNow());
  if (Frames.empty()) return kTagFailed;
  bool everyFrameUnsynchronised = false;
  auto area = BuildFrameArea(version, everyFrameUnsynchronised);
  if (!area) return kTagFailed;
  bool unsynchronised = version == 4 && Unsync && everyFrameUnsynchronised;
  if (version == 3 && Unsync) unsynchronised = Unsynchronise(*area);
  const int64_t m = static_cast<int64_t>(area->size());

  const int64_t fileSize = file->Size();
  const TID3v2Location old = Locate(*file);
  if (fileSize < 0 || old.IoError) return kTagFailed;

  enum class Mode { Rewrite, InPlace, AtEnd } mode = Mode::Rewrite;
  bool atEnd = AtEnd;
  int64_t skip = 0;            // the old tag at the start, left out by a rewrite
  int64_t insertAt = fileSize; // at the end: where the new tag goes
  int64_t keepFrom = fileSize; // at the end: the bytes from here on follow the new tag
  if (old.Found && old.TagPosition == 0) {
    atEnd = false;
    skip = std::min(TagLength(old.Header), fileSize);
    if (m < skip - kHeaderSize) mode = Mode::InPlace;
  } else if (old.Found) {
    // Version 2.3 goes to the start unless asked for the end; an old tag at
    // the end is replaced there, never left behind as a stale second copy.
    if (version == 4) atEnd = true;
    if (atEnd) {
      insertAt = old.TagPosition;
      keepFrom = old.TagPosition + TagLength(old.Header);
    }
  } else if (atEnd) {
    const auto tail = TailTagsSize(*file, fileSize);
    if (!tail) return kTagFailed;
    insertAt = keepFrom = fileSize - *tail;
  }
  if (atEnd) mode = Mode::AtEnd;

  int64_t tagSize = m;
  if (mode == Mode::InPlace) {
    tagSize = skip - kHeaderSize;
  } else if (mode == Mode::Rewrite && PaddingUnit >= 0) {
    const int64_t unit = PaddingUnit == 0 ? 256 : PaddingUnit;
    tagSize = unit * ((m + unit) / unit);
  }
  if (tagSize > kMaxSynchsafe) return kTagFailed;
  const bool footer = mode == Mode::AtEnd && version == 4;

  Bytes out(kHeaderSize);
  std::memcpy(out.data(), "ID3", 3);
  out[3] = uint8_t(version);
  out[4] = uint8_t(Revision);
  out[5] = uint8_t((unsynchronised ? 0x80 : 0) | (footer ? 0x10 : 0));
  EncodeSynchsafe(static_cast<uint32_t>(tagSize), out.data() + 6);
  out.reserve(static_cast<size_t>(tagSize + 2 * kHeaderSize + (fileSize - keepFrom)));
  out.insert(out.end(), area->begin(), area->end());
  out.resize(static_cast<size_t>(kHeaderSize + tagSize), 0);
  if (footer) {
    out.insert(out.end(), out.begin(), out.begin() + kHeaderSize);
    std::memcpy(out.data() + out.size() - kHeaderSize, "3DI", 3);
  }

  bool ok = false;
  if (mode == Mode::InPlace) {
    ok = OverwriteRange(*file, 0, out);
  } else if (mode == Mode::AtEnd) {
    const auto kept = ReadUpTo(*file, keepFrom, static_cast<size_t>(fileSize - keepFrom));
    if (!kept || static_cast<int64_t>(kept->size()) != fileSize - keepFrom) return kTagFailed;
    out.insert(out.end(), kept->begin(), kept->end());
    ok = ReplaceTail(*file, insertAt, out);
  } else {
    ok = RewriteThroughTempFile(fs, path, u"id3", [&](IFile &temp) {
      return temp.Write(out.data(), out.size()) && CopyBlocks(*file, skip, fileSize - skip, temp);
    });
  }
  if (!ok) return kTagFailed;

  HeaderFlags.Unsynchronisation = unsynchronised;
  HeaderFlags.Footer = footer;
  TagSize = static_cast<uint32_t>(tagSize);
  TagPosition = mode == Mode::AtEnd ? insertAt : 0;
  TotalSize = kHeaderSize + tagSize + (footer ? kHeaderSize : 0);
  ExtHeaderSize = 0;
  return kTagDone;
}

TagResult CID3v2::Remove(IFileSystem &fs, const WideString &path) {
  try {
    auto file = fs.Open(path, FileMode::Read);
    if (!file) return kTagFailed;
    const int64_t size = file->Size();
    const TID3v2Location loc = Locate(*file);
    if (size < 0 || loc.IoError) return kTagFailed;
    if (!loc.Found) return kTagNothing;
    const int64_t start = loc.TagPosition;
    const int64_t end = std::min(start + TagLength(loc.Header), size);
    const bool ok = RewriteThroughTempFile(fs, path, u"tag", [&](IFile &temp) {
      return CopyBlocks(*file, 0, start, temp) && CopyBlocks(*file, end, size - end, temp);
    });
    return ok ? kTagDone : kTagFailed;
  } catch (const std::exception &) {
    return kTagFailed;
  }
}

} // namespace tunbrix
