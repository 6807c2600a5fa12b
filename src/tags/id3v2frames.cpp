#include "tags/id3v2frames.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tunbrix {
namespace {

constexpr TID3FrameTableEntry kFrames[] = {
    {"AENC", kBothVersions, ""},
    {"APIC", kBothVersions, ""},
    {"ASPI", kOnlyVersion4, ""},
    {"COMM", kBothVersions, "Comment"},
    {"COMR", kBothVersions, ""},
    {"ENCR", kBothVersions, ""},
    {"EQU2", kOnlyVersion4, ""},
    {"EQUA", kOnlyVersion3, ""},
    {"ETCO", kBothVersions, ""},
    {"GEOB", kBothVersions, ""},
    {"GRID", kBothVersions, ""},
    {"IPLS", kOnlyVersion3, ""},
    {"LINK", kBothVersions, ""},
    {"MCDI", kBothVersions, ""},
    {"MLLT", kBothVersions, ""},
    {"OWNE", kBothVersions, ""},
    {"PCNT", kBothVersions, ""},
    {"POPM", kBothVersions, ""},
    {"POSS", kBothVersions, ""},
    {"PRIV", kBothVersions, ""},
    {"RBUF", kBothVersions, ""},
    {"RVA2", kOnlyVersion4, ""},
    {"RVAD", kOnlyVersion3, ""},
    {"RVRB", kBothVersions, ""},
    {"SEEK", kOnlyVersion4, ""},
    {"SIGN", kOnlyVersion4, ""},
    {"SYLT", kBothVersions, ""},
    {"SYTC", kBothVersions, ""},
    {"TALB", kBothVersions, "Album"},
    {"TBPM", kBothVersions, "BPM"},
    {"TCOM", kBothVersions, "Composer"},
    {"TCON", kBothVersions, "Genre"},
    {"TCOP", kBothVersions, "Copyright"},
    {"TDAT", kOnlyVersion3, ""},
    {"TDEN", kOnlyVersion4, ""},
    {"TDLY", kBothVersions, ""},
    {"TDOR", kOnlyVersion4, ""},
    {"TDRC", kOnlyVersion4, "Year"},
    {"TDRL", kOnlyVersion4, ""},
    {"TDTG", kOnlyVersion4, ""},
    {"TENC", kBothVersions, "EncodedBy"},
    {"TEXT", kBothVersions, ""},
    {"TFLT", kBothVersions, ""},
    {"TIME", kOnlyVersion3, ""},
    {"TIPL", kOnlyVersion4, ""},
    {"TIT1", kBothVersions, ""},
    {"TIT2", kBothVersions, "Title"},
    {"TIT3", kBothVersions, "Subtitle"},
    {"TKEY", kBothVersions, ""},
    {"TLAN", kBothVersions, "Language"},
    {"TLEN", kBothVersions, ""},
    {"TMCL", kOnlyVersion4, ""},
    {"TMED", kBothVersions, "Media"},
    {"TMOO", kOnlyVersion4, "Mood"},
    {"TOAL", kBothVersions, "OriginalTitle"},
    {"TOFN", kBothVersions, ""},
    {"TOLY", kBothVersions, ""},
    {"TOPE", kBothVersions, "OriginalArtist"},
    {"TORY", kOnlyVersion3, ""},
    {"TOWN", kBothVersions, ""},
    {"TPE1", kBothVersions, "Artist"},
    {"TPE2", kBothVersions, ""},
    {"TPE3", kBothVersions, "Conductor"},
    {"TPE4", kBothVersions, ""},
    {"TPOS", kBothVersions, "Disc"},
    {"TPRO", kOnlyVersion4, ""},
    {"TPUB", kBothVersions, ""},
    {"TRCK", kBothVersions, "Track"},
    {"TRDA", kOnlyVersion3, ""},
    {"TRSN", kBothVersions, ""},
    {"TRSO", kBothVersions, ""},
    {"TSIZ", kOnlyVersion3, ""},
    {"TSOA", kOnlyVersion4, ""},
    {"TSOP", kOnlyVersion4, ""},
    {"TSOT", kOnlyVersion4, ""},
    {"TSRC", kBothVersions, "ISRC"},
    {"TSSE", kBothVersions, ""},
    {"TSST", kOnlyVersion4, ""},
    {"TXXX", kBothVersions, ""},
    {"TYER", kOnlyVersion3, "Year"},
    {"UFID", kBothVersions, ""},
    {"USER", kBothVersions, ""},
    {"USLT", kBothVersions, "Lyrics"},
    {"WCOM", kBothVersions, ""},
    {"WCOP", kBothVersions, ""},
    {"WOAF", kBothVersions, ""},
    {"WOAR", kBothVersions, ""},
    {"WOAS", kBothVersions, ""},
    {"WORS", kBothVersions, ""},
    {"WPAY", kBothVersions, ""},
    {"WPUB", kBothVersions, ""},
    {"WXXX", kBothVersions, "URL"},
};

struct TID3v22Entry {
  const char *From;
  const char *To;
};

constexpr TID3v22Entry kFrames22[] = {
    {"BUF", "RBUF"}, {"CNT", "PCNT"}, {"COM", "COMM"}, {"CRA", "AENC"}, {"EQU", "EQUA"},
    {"ETC", "ETCO"}, {"GEO", "GEOB"}, {"IPL", "IPLS"}, {"LNK", "LINK"}, {"MCI", "MCDI"},
    {"MLL", "MLLT"}, {"PIC", "APIC"}, {"POP", "POPM"}, {"REV", "RVRB"}, {"RVA", "RVAD"},
    {"SLT", "SYLT"}, {"STC", "SYTC"}, {"TAL", "TALB"}, {"TBP", "TBPM"}, {"TCM", "TCOM"},
    {"TCO", "TCON"}, {"TCR", "TCOP"}, {"TDA", "TDAT"}, {"TDY", "TDLY"}, {"TEN", "TENC"},
    {"TFT", "TFLT"}, {"TIM", "TIME"}, {"TKE", "TKEY"}, {"TLA", "TLAN"}, {"TLE", "TLEN"},
    {"TMT", "TMED"}, {"TOA", "TOPE"}, {"TOF", "TOFN"}, {"TOL", "TOLY"}, {"TOR", "TORY"},
    {"TOT", "TOAL"}, {"TP1", "TPE1"}, {"TP2", "TPE2"}, {"TP3", "TPE3"}, {"TP4", "TPE4"},
    {"TPA", "TPOS"}, {"TPB", "TPUB"}, {"TRC", "TSRC"}, {"TRD", "TRDA"}, {"TRK", "TRCK"},
    {"TSI", "TSIZ"}, {"TSS", "TSSE"}, {"TT1", "TIT1"}, {"TT2", "TIT2"}, {"TT3", "TIT3"},
    {"TXT", "TEXT"}, {"TXX", "TXXX"}, {"TYE", "TYER"}, {"UFI", "UFID"}, {"ULT", "USLT"},
    {"WAF", "WOAF"}, {"WAR", "WOAR"}, {"WAS", "WOAS"}, {"WCM", "WCOM"}, {"WCP", "WCOP"},
    {"WPB", "WPUB"}, {"WXX", "WXXX"},
};

TID3Layout Fields(std::initializer_list<TID3Field> fields) {
  TID3Layout layout;
  for (const TID3Field f : fields)
    layout.set(f);
  return layout;
}

// An 8-bit field up to its zero byte (or the end); pos moves past the zero.
std::string TakeTerminated(const Bytes &data, size_t &pos) {
  const auto begin = data.begin() + static_cast<ptrdiff_t>(pos);
  const auto zero = std::find(begin, data.end(), uint8_t{0});
  std::string text(begin, zero);
  pos = zero == data.end() ? data.size() : static_cast<size_t>(zero - data.begin()) + 1;
  return text;
}

WideString TakeUtf16(const Bytes &data, size_t &pos) {
  size_t end = pos;
  while (end + 1 < data.size() && (data[end] != 0 || data[end + 1] != 0))
    end += 2;
  const bool terminated = end + 1 < data.size();
  if (!terminated) end = pos + (data.size() - pos) / 2 * 2;
  size_t i = pos;
  bool littleEndian = false;
  if (end - i >= 2 && data[i] == 0xFF && data[i + 1] == 0xFE) {
    littleEndian = true;
    i += 2;
  } else if (end - i >= 2 && data[i] == 0xFE && data[i + 1] == 0xFF) {
    i += 2;
  }
  WideString text;
  text.reserve((end - i) / 2);
  for (; i < end; i += 2)
    text +=
        littleEndian ? WideChar(data[i] | data[i + 1] << 8) : WideChar(data[i] << 8 | data[i + 1]);
  pos = terminated ? end + 2 : data.size();
  return text;
}

WideString TakeText(const Bytes &data, size_t &pos, int encoding) {
  switch (encoding) {
  case 1:
  case 2: return TakeUtf16(data, pos);
  case 3: return Utf8ToWide(TakeTerminated(data, pos));
  default: return Cp1252ToWide(TakeTerminated(data, pos));
  }
}

std::string TakeFixed(const Bytes &data, size_t &pos, size_t length) {
  const size_t n = std::min(length, data.size() - pos);
  std::string text(data.begin() + static_cast<ptrdiff_t>(pos),
                   data.begin() + static_cast<ptrdiff_t>(pos + n));
  pos += n;
  return text.substr(0, text.find('\0'));
}

} // namespace

TID3Layout FrameLayout(std::string_view id) {
  if (id == "TXXX" || id == "WXXX") return Fields({kFieldEncoding, kFieldDescription, kFieldText});
  if (id == "COMM" || id == "USLT")
    return Fields({kFieldEncoding, kFieldLanguage, kFieldDescription, kFieldText});
  if (id == "USER") return Fields({kFieldEncoding, kFieldLanguage, kFieldText});
  if (id == "APIC")
    return Fields(
        {kFieldEncoding, kFieldMimeType, kFieldPictureType, kFieldDescription, kFieldBinaryData});
  if (id == "GEOB")
    return Fields(
        {kFieldEncoding, kFieldMimeType, kFieldFileNameOrUrl, kFieldDescription, kFieldBinaryData});
  if (id == "LINK") return Fields({kFieldFrameId, kFieldFileNameOrUrl, kFieldText});
  if (!id.empty() && id[0] == 'T') return Fields({kFieldEncoding, kFieldText});
  if (!id.empty() && id[0] == 'W') return Fields({kFieldText});
  return {};
}

void EncodeFrameFlags(const TID3FrameFlags &f, int version, uint8_t out[2]) {
  if (version >= 4) {
    out[0] = uint8_t((f.TagAlterPreservation ? 0x40 : 0) | (f.FileAlterPreservation ? 0x20 : 0) |
                     (f.ReadOnly ? 0x10 : 0));
    out[1] = uint8_t((f.GroupingIdentity ? 0x40 : 0) | (f.Compression ? 0x08 : 0) |
                     (f.Encryption ? 0x04 : 0) | (f.Unsynchronisation ? 0x02 : 0) |
                     (f.DataLengthIndicator ? 0x01 : 0));
  } else {
    out[0] = uint8_t((f.TagAlterPreservation ? 0x80 : 0) | (f.FileAlterPreservation ? 0x40 : 0) |
                     (f.ReadOnly ? 0x20 : 0));
    out[1] = uint8_t((f.Compression ? 0x80 : 0) | (f.Encryption ? 0x40 : 0) |
                     (f.GroupingIdentity ? 0x20 : 0));
  }
}

TID3FrameFlags DecodeFrameFlags(uint8_t status, uint8_t format, int version) {
  TID3FrameFlags f;
  if (version >= 4) {
    f.TagAlterPreservation = status & 0x40;
    f.FileAlterPreservation = status & 0x20;
    f.ReadOnly = status & 0x10;
    f.GroupingIdentity = format & 0x40;
    f.Compression = format & 0x08;
    f.Encryption = format & 0x04;
    f.Unsynchronisation = format & 0x02;
    f.DataLengthIndicator = format & 0x01;
  } else {
    f.TagAlterPreservation = status & 0x80;
    f.FileAlterPreservation = status & 0x40;
    f.ReadOnly = status & 0x20;
    f.Compression = format & 0x80;
    f.Encryption = format & 0x40;
    f.GroupingIdentity = format & 0x20;
  }
  return f;
}

TID3Frame MakeFrame(std::string_view frameId) {
  TID3Frame frame;
  frame.FrameId = std::string(frameId);
  frame.TableIndex = FrameTableIndex(frameId);
  if (frame.TableIndex >= 0) frame.ItemName = kFrames[frame.TableIndex].ItemName;
  frame.Layout = FrameLayout(frameId);
  return frame;
}

TID3FrameTextW DecodeFrame(const TID3Frame &frame) {
  TID3FrameTextW r;
  if (frame.Flags.Compression || frame.Flags.Encryption) return r;
  const Bytes &d = frame.Data;
  const TID3Layout &layout = frame.Layout;
  size_t pos = 0;
  if (layout[kFieldEncoding]) {
    if (d.empty() || d[0] >= 4) return r;
    r.Encoding = d[pos++];
  }
  if (layout[kFieldLanguage]) r.Language = TakeFixed(d, pos, 3);
  if (layout[kFieldMimeType]) r.MimeType = TakeTerminated(d, pos);
  if (layout[kFieldFrameId]) r.LinkedFrameId = TakeFixed(d, pos, 4);
  if (layout[kFieldFileNameOrUrl]) r.FileNameOrUrl = TakeTerminated(d, pos);
  if (layout[kFieldPictureType] && pos < d.size()) r.PictureType = d[pos++];
  if (layout[kFieldDescription]) r.Description = TakeText(d, pos, r.Encoding);
  if (layout[kFieldText]) r.Text = TakeText(d, pos, r.Encoding);
  if (layout[kFieldTrailingByte] && pos < d.size()) ++pos;
  if (layout[kFieldBinaryData]) {
    r.BinaryData = d.data() + pos;
    r.BinaryLength = d.size() - pos;
  }
  return r;
}

int FrameTableSize() { return static_cast<int>(std::size(kFrames)); }

const TID3FrameTableEntry &FrameTableEntry(int index) { return kFrames[index]; }

int FrameTableIndex(std::string_view frameId) {
  const auto end = std::end(kFrames);
  const auto it = std::lower_bound(std::begin(kFrames), end, frameId,
                                   [](const TID3FrameTableEntry &e, std::string_view id) {
                                     return std::string_view(e.FrameId) < id;
                                   });
  return it != end && it->FrameId == frameId ? static_cast<int>(it - std::begin(kFrames)) : -1;
}

std::string FrameIdFromID3v22(std::string_view frameId22) {
  const auto end = std::end(kFrames22);
  const auto it =
      std::lower_bound(std::begin(kFrames22), end, frameId22,
                       [](const TID3v22Entry &e, std::string_view id) { return e.From < id; });
  return it != end && it->From == frameId22 ? it->To : "";
}

int ID3v22TableSize() { return static_cast<int>(std::size(kFrames22)); }

bool IsSynchsafe(const uint8_t *b) { return ((b[0] | b[1] | b[2] | b[3]) & 0x80) == 0; }

uint32_t DecodeSynchsafe(const uint8_t *b) {
  return uint32_t(b[0] & 0x7F) << 21 | uint32_t(b[1] & 0x7F) << 14 | uint32_t(b[2] & 0x7F) << 7 |
         uint32_t(b[3] & 0x7F);
}

void EncodeSynchsafe(uint32_t value, uint8_t *out) {
  out[0] = uint8_t(value >> 21 & 0x7F);
  out[1] = uint8_t(value >> 14 & 0x7F);
  out[2] = uint8_t(value >> 7 & 0x7F);
  out[3] = uint8_t(value & 0x7F);
}

uint32_t DecodeBigEndian32(const uint8_t *b) {
  return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
}

void EncodeBigEndian32(uint32_t value, uint8_t *out) {
  out[0] = uint8_t(value >> 24);
  out[1] = uint8_t(value >> 16);
  out[2] = uint8_t(value >> 8);
  out[3] = uint8_t(value);
}

Bytes RemoveUnsynchronisation(const uint8_t *data, size_t size) {
  Bytes out;
  out.reserve(size);
  for (size_t i = 0; i < size; ++i) {
    out.push_back(data[i]);
    if (data[i] == 0xFF && i + 2 < size && data[i + 1] == 0 &&
        (data[i + 2] >= 0xE0 || data[i + 2] == 0))
      ++i;
  }
  return out;
}

bool Unsynchronise(Bytes &data) {
  const auto falseSync = [&](size_t i) {
    return data[i] == 0xFF && i + 1 < data.size() && (data[i + 1] >= 0xE0 || data[i + 1] == 0);
  };
  size_t count = 0;
  for (size_t i = 0; i < data.size(); ++i)
    count += falseSync(i);
  if (count == 0) return false;
  Bytes out;
  out.reserve(data.size() + count);
  for (size_t i = 0; i < data.size(); ++i) {
    out.push_back(data[i]);
    if (falseSync(i)) out.push_back(0);
  }
  data = std::move(out);
  return true;
}

} // namespace tunbrix
