#include "tags/tagflacvorbis.h"

#include <cstring>

#include "tags/file_patch.h"

namespace tunbrix {
namespace {

constexpr int64_t kID3v2HeaderSize = 10;

uint32_t Be(const uint8_t *p, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i)
    v = v << 8 | p[i];
  return v;
}

uint32_t Le32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutHeader(Bytes &out, uint8_t typeAndLast, uint32_t length) {
  out.push_back(typeAndLast);
  out.push_back(static_cast<uint8_t>(length >> 16));
  out.push_back(static_cast<uint8_t>(length >> 8));
  out.push_back(static_cast<uint8_t>(length));
}

// Where "fLaC" should stand: behind an ID3v2 tag whose size can be trusted
// (synchsafe), else at the start. nullopt on a read error.
std::optional<int64_t> MarkerPosition(IFile &file) {
  uint8_t h[kID3v2HeaderSize];
  if (!ReadAt(file, 0, h, 4)) return std::nullopt;
  if (std::memcmp(h, "ID3", 3) != 0 || h[3] < 2 || h[3] > 4) return 0;
  if (!ReadExact(file, h + 4, 6)) return std::nullopt;
  const uint8_t *size = h + 6;
  if ((size[0] | size[1] | size[2] | size[3]) & 0x80) return 0;
  int64_t end =
      kID3v2HeaderSize + (int64_t(size[0]) << 21 | int64_t(size[1]) << 14 | size[2] << 7 | size[3]);
  // A version 4 tag may end in a footer of another 10 bytes.
  if (h[3] == 4 && (h[5] & 0x10)) end += kID3v2HeaderSize;
  return end;
}

TFlacStreamInfo DecodeStreamInfo(const uint8_t *p) {
  TFlacStreamInfo info;
  info.MinBlockSize = Be(p, 2);
  info.MaxBlockSize = Be(p + 2, 2);
  info.MinFrameSize = Be(p + 4, 3);
  info.MaxFrameSize = Be(p + 7, 3);
  const uint64_t packed = uint64_t(Be(p + 10, 4)) << 32 | Be(p + 14, 4);
  info.SampleRate = static_cast<uint32_t>(packed >> 44);
  info.Channels = static_cast<uint32_t>(packed >> 41 & 0x7) + 1;
  info.BitsPerSample = static_cast<uint32_t>(packed >> 36 & 0x1F) + 1;
  info.TotalSamples = packed & 0xFFFFFFFFFull;
  std::memcpy(info.MD5.data(), p + 18, info.MD5.size());
  return info;
}

// The vendor bytes of a comment block body, when they lie inside it.
std::optional<std::string_view> VendorBytes(const Bytes &body) {
  if (body.size() < 4) return std::nullopt;
  const uint32_t length = Le32(body.data());
  if (length > body.size() - 4) return std::nullopt;
  return std::string_view(reinterpret_cast<const char *>(body.data() + 4), length);
}

} // namespace

TagResult CFlacVorbisTag::ReadBlocks(IFile &file) {
  Blocks.clear();
  FirstBlockPos = MetadataSize = 0;
  Valid = Rewrite = false;
  const int64_t fileSize = file.Size();
  const auto marker = MarkerPosition(file);
  uint8_t h[4];
  if (fileSize < 0 || !marker || !ReadAt(file, *marker, h, 4) || std::memcmp(h, "fLaC", 4) != 0)
    return kTagFailed;
  int64_t pos = FirstBlockPos = *marker + 4;
  bool last = false;
  for (size_t count = 0; !last; ++count) {
    if (count == kFlacMaxBlocks) return kTagFailed;
    if (!ReadAt(file, pos, h, 4)) return kTagFailed;
    last = (h[0] & 0x80) != 0;
    const uint8_t type = h[0] & 0x7F;
    const uint32_t length = Be(h + 1, 3);
    pos += 4;
    if (length > fileSize - pos) return kTagFailed;
    if (type != kFlacPadding) {
      TFlacBlock block{type, Bytes(length)};
      if (!ReadExact(file, block.Body.data(), length)) return kTagFailed;
      Blocks.push_back(std::move(block));
    }
    pos += length;
    MetadataSize += 4 + int64_t(length);
  }
  Valid = true;
  return kTagDone;
}

TagResult CFlacVorbisTag::ReadBlocks(IFileSystem &fs, const WideString &path) {
  auto file = fs.Open(path, FileMode::Read);
  if (!file) {
    *this = CFlacVorbisTag();
    return kTagFailed;
  }
  return ReadBlocks(*file);
}

int CFlacVorbisTag::ReadInfoAndComments(IFile &file, CVorbisComments &comments) {
  comments.Clear();
  StreamInfo = {};
  // A damaged block late in the metadata does not hide what came before it.
  ReadBlocks(file);
  const TFlacBlock *info = FindBlock(kFlacStreamInfo);
  if (!info || info->Body.size() < 34) return 1;
  StreamInfo = DecodeStreamInfo(info->Body.data());
  if (StreamInfo.MinBlockSize < 16 || StreamInfo.MaxBlockSize < 16 || StreamInfo.SampleRate == 0)
    return 1;
  const TFlacBlock *block = FindBlock(kFlacVorbisComment);
  if (block && block->Body.size() > 7) comments.ParseBlock(block->Body.data(), block->Body.size());
  return 0;
}

int CFlacVorbisTag::ReadInfoAndComments(IFileSystem &fs, const WideString &path,
                                        CVorbisComments &comments) {
  auto file = fs.Open(path, FileMode::Read);
  if (!file) {
    comments.Clear();
    *this = CFlacVorbisTag();
    return 1;
  }
  return ReadInfoAndComments(*file, comments);
}

TagResult CFlacVorbisTag::WriteComments(IFileSystem &fs, const WideString &path,
                                        CVorbisComments &comments) {
  comments.ClearMarks(); // the next round of SetComment starts afresh
  auto file = fs.Open(path, FileMode::ReadWrite);
  if (!file || ReadBlocks(*file) != kTagDone) return kTagFailed;
  TFlacBlock *block = FindBlock(kFlacVorbisComment);
  if (block) {
    if (auto vendor = VendorBytes(block->Body)) comments.Vendor = Utf8ToWide(*vendor);
  } else {
    block = &Blocks.emplace_back(TFlacBlock{kFlacVorbisComment, {}});
  }
  block->Body = comments.Serialise();
  return WriteBlocks(fs, path, *file);
}

TagResult CFlacVorbisTag::RemoveComments(IFileSystem &fs, const WideString &path) {
  auto file = fs.Open(path, FileMode::ReadWrite);
  if (!file || ReadBlocks(*file) != kTagDone) return kTagFailed;
  TFlacBlock *block = FindBlock(kFlacVorbisComment);
  if (!block) return kTagDone;
  const auto vendor = VendorBytes(block->Body);
  if (vendor && !vendor->empty()) {
    Bytes body(block->Body.begin(), block->Body.begin() + 4 + vendor->size());
    body.insert(body.end(), 4, 0);
    block->Body = std::move(body);
  } else {
    Blocks.erase(Blocks.begin() + (block - Blocks.data()));
  }
  return WriteBlocks(fs, path, *file);
}

TFlacBlock *CFlacVorbisTag::FindBlock(uint8_t type) {
  for (auto &block : Blocks)
    if (block.Type == type) return &block;
  return nullptr;
}

std::optional<Bytes> CFlacVorbisTag::PlanMetadata() {
  int64_t need = 0;
  for (const auto &block : Blocks) {
    if (block.Body.size() > kFlacMaxBlockLength) return std::nullopt;
    need += 4 + int64_t(block.Body.size());
  }
  // The padding that keeps the area's size; when it is too small (or too
  // large for one block) the area is laid out afresh.
  int64_t padding = MetadataSize - need - 4;
  Rewrite = MetadataSize < need + 5 || padding > kFlacMaxBlockLength;
  if (Rewrite) padding = kFlacNewPadding;
  Bytes out;
  out.reserve(static_cast<size_t>(need + 4 + padding));
  for (const auto &block : Blocks) {
    PutHeader(out, block.Type, static_cast<uint32_t>(block.Body.size()));
    out.insert(out.end(), block.Body.begin(), block.Body.end());
  }
  PutHeader(out, 0x80 | kFlacPadding, static_cast<uint32_t>(padding));
  out.insert(out.end(), static_cast<size_t>(padding), 0);
  return out;
}

TagResult CFlacVorbisTag::WriteBlocks(IFileSystem &fs, const WideString &path, IFile &file) {
  if (!Valid) return kTagFailed;
  const auto metadata = PlanMetadata();
  if (!metadata) return kTagFailed;
  // In place the area keeps its size, so the audio does not move.
  if (!Rewrite) return OverwriteRange(file, FirstBlockPos, *metadata) ? kTagDone : kTagFailed;
  const int64_t audioStart = FirstBlockPos + MetadataSize;
  const int64_t size = file.Size();
  if (size < audioStart) return kTagFailed;
  const bool ok = RewriteThroughTempFile(fs, path, u"flac", [&](IFile &temp) {
    return CopyRange(file, 0, FirstBlockPos, temp) &&
           temp.Write(metadata->data(), metadata->size()) &&
           CopyRange(file, audioStart, size - audioStart, temp);
  });
  return ok ? kTagDone : kTagFailed;
}

} // namespace tunbrix
