#include "tags/tagape.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "tags/file_patch.h"

namespace tunbrix {
namespace {

constexpr int64_t kBlockSize = 32; // header or footer
constexpr int64_t kSearchSize = 1024;
constexpr uint32_t kHasHeader = 1u << 31;
constexpr uint32_t kNoFooter = 1u << 30;
constexpr uint32_t kIsHeader = 1u << 29;
constexpr uint32_t kWrittenHeaderFlags = kHasHeader | kIsHeader;
constexpr uint32_t kWrittenFooterFlags = kHasHeader;

struct TApeBlock {
  uint32_t version = 0;
  uint32_t size = 0; // items and footer
  uint32_t count = 0;
  uint32_t flags = 0;
};

uint32_t Le32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutLe32(Bytes &out, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    out.push_back(uint8_t(v >> (8 * i)));
}

bool IsPreamble(const uint8_t *p) { return std::memcmp(p, "APETAGEX", 8) == 0; }

TApeBlock ParseBlock(const uint8_t *p) {
  return {Le32(p + 8), Le32(p + 12), Le32(p + 16), Le32(p + 20)};
}

void PutBlock(Bytes &out, const TApeBlock &b) {
  out.insert(out.end(), {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X'});
  PutLe32(out, b.version);
  PutLe32(out, b.size);
  PutLe32(out, b.count);
  PutLe32(out, b.flags);
  out.insert(out.end(), 8, 0);
}

TApeTagFlags DecodeTagFlags(uint32_t f) {
  return {(f & kHasHeader) != 0, (f & kNoFooter) != 0, (f & kIsHeader) != 0,
          (f & 2) != 0,          (f & 4) != 0,         (f & 1) != 0};
}

uint32_t EncodeItemFlags(const TApeItemFlags &f) {
  return (f.ReadOnly ? 1u : 0u) | (f.Binary ? 2u : 0u) | (f.Locator ? 4u : 0u);
}

// A footer that can stand where it lies: not a header, and its items fit
// between the start of the file and it. Anything else is not cut on trust.
bool PlausibleFooter(const TApeBlock &b, int64_t position) {
  return (b.flags & kIsHeader) == 0 && b.size >= kBlockSize &&
         int64_t(b.size) - kBlockSize <= position;
}

// Position of the last plausible footer in tail, the last bytes of a file of
// fileSize bytes; -1 when there is none.
int64_t FindFooter(const Bytes &tail, int64_t fileSize) {
  if (tail.size() <= size_t(kBlockSize)) return -1;
  const int64_t tailStart = fileSize - int64_t(tail.size());
  for (size_t i = tail.size() - kBlockSize + 1; i-- > 0;) {
    if (IsPreamble(&tail[i]) && PlausibleFooter(ParseBlock(&tail[i]), tailStart + int64_t(i)))
      return tailStart + int64_t(i);
  }
  return -1;
}

std::optional<Bytes> ReadLast(IFile &file, int64_t fileSize, int64_t count) {
  count = std::min(count, fileSize);
  auto bytes = ReadUpTo(file, fileSize - count, size_t(count));
  if (!bytes || int64_t(bytes->size()) != count) return std::nullopt;
  return bytes;
}

// Start of the tag whose footer lies at footerPos: its items, or the header
// before them when the footer announces one and it is really there.
std::optional<int64_t> TagStart(IFile &file, const TApeBlock &footer, int64_t footerPos) {
  int64_t start = footerPos - (int64_t(footer.size) - kBlockSize);
  if (footer.version >= 2000 && (footer.flags & kHasHeader) && start >= kBlockSize) {
    uint8_t preamble[8];
    if (!ReadAt(file, start - kBlockSize, preamble, sizeof preamble)) return std::nullopt;
    if (IsPreamble(preamble)) start -= kBlockSize;
  }
  return start;
}

// Size of the ID3v1 tag, with a Lyrics3 v2 tag before it, at the end of a
// file without an APE footer near its end.
std::optional<int64_t> TrailingTagsSize(IFile &file, int64_t fileSize) {
  if (fileSize < 128) return 0;
  auto last = ReadLast(file, fileSize, 143);
  if (!last) return std::nullopt;
  const uint8_t *end = last->data() + last->size();
  if (std::memcmp(end - 128, "TAG", 3) != 0) return 0;
  if (last->size() < 143 || std::memcmp(end - 137, "LYRICS200", 9) != 0) return 128;
  int64_t lyrics = 0;
  for (const uint8_t *p = end - 143; p < end - 137; ++p) {
    if (*p < '0' || *p > '9') return 128;
    lyrics = lyrics * 10 + (*p - '0');
  }
  if (lyrics < 11 || lyrics + 143 > fileSize) return 128;
  uint8_t begin[11];
  if (!ReadAt(file, fileSize - lyrics - 143, begin, sizeof begin)) return std::nullopt;
  return std::memcmp(begin, "LYRICSBEGIN", 11) == 0 ? lyrics + 143 : 128;
}

// The end of a file as a writer sees it: where the old tag starts (or where
// a new one goes) and the bytes that stay behind it.
struct TApeTail {
  int64_t tagStart = 0;
  bool hasTag = false;
  Bytes kept;
};

// nullopt on an I/O error and for a damaged tag whose extent is unknown.
std::optional<TApeTail> LocateTail(IFile &file) {
  const int64_t size = file.Size();
  if (size < 0) return std::nullopt;
  auto last = ReadLast(file, size, kSearchSize);
  if (!last) return std::nullopt;
  int64_t keptStart;
  if (const int64_t footer = FindFooter(*last, size); footer >= 0) {
    keptStart = footer + kBlockSize;
  } else {
    auto trailing = TrailingTagsSize(file, size);
    if (!trailing) return std::nullopt;
    keptStart = size - *trailing;
  }
  TApeTail tail;
  auto kept = ReadUpTo(file, keptStart, size_t(size - keptStart));
  if (!kept || int64_t(kept->size()) != size - keptStart) return std::nullopt;
  tail.kept = std::move(*kept);
  tail.tagStart = keptStart;
  if (keptStart < kBlockSize) return tail;
  uint8_t block[kBlockSize];
  if (!ReadAt(file, keptStart - kBlockSize, block, sizeof block)) return std::nullopt;
  if (!IsPreamble(block)) return tail;
  const TApeBlock footer = ParseBlock(block);
  if (!PlausibleFooter(footer, keptStart - kBlockSize)) return std::nullopt;
  auto start = TagStart(file, footer, keptStart - kBlockSize);
  if (!start) return std::nullopt;
  tail.tagStart = *start;
  tail.hasTag = true;
  return tail;
}

std::string_view UpToZero(const uint8_t *p, size_t n) {
  if (n == 0) return {};
  const auto *zero = static_cast<const uint8_t *>(std::memchr(p, 0, n));
  return {reinterpret_cast<const char *>(p), zero ? size_t(zero - p) : n};
}

// Items stop at the first one that does not fit the block whole: a key
// without its zero byte or a value running past the end is damage, not data.
std::vector<CApeTagItem> ParseItems(const Bytes &block, uint32_t count, bool v2) {
  std::vector<CApeTagItem> items;
  size_t pos = 0;
  for (uint32_t k = 0; k < count && block.size() - pos > 8; ++k) {
    const uint32_t valueSize = Le32(&block[pos]);
    const uint8_t flags = block[pos + 4];
    const size_t keyStart = pos + 8;
    const auto *zero =
        static_cast<const uint8_t *>(std::memchr(&block[keyStart], 0, block.size() - keyStart));
    if (!zero) break;
    const size_t valueStart = size_t(zero - block.data()) + 1;
    if (valueSize > block.size() - valueStart) break;
    CApeTagItem item;
    item.Flags = {(flags & 1) != 0, (flags & 2) != 0, (flags & 4) != 0};
    item.Key.assign(reinterpret_cast<const char *>(&block[keyStart]), zero - &block[keyStart]);
    item.RawValue.assign(block.begin() + valueStart, block.begin() + valueStart + valueSize);
    const std::string_view text = UpToZero(item.RawValue.data(), item.RawValue.size());
    if (!v2)
      item.Value = Cp1252ToWide(text);
    else if (!item.Flags.Binary)
      item.Value = Utf8ToWide(text);
    items.push_back(std::move(item));
    pos = valueStart + valueSize;
  }
  return items;
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; }
char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; }

std::string CasedKey(std::string key, int nameCase) {
  switch (nameCase) {
  case 1: std::transform(key.begin(), key.end(), key.begin(), LowerAscii); break;
  case 2: std::transform(key.begin(), key.end(), key.begin(), UpperAscii); break;
  case 3:
    for (size_t i = 0; i < key.size(); ++i)
      key[i] = i == 0 || key[i - 1] == ' ' ? UpperAscii(key[i]) : LowerAscii(key[i]);
    break;
  default: break;
  }
  // Keys that other readers take for the start of another tag.
  if (key == "ID3" || key == "TAG" || key == "OggS" || key == "MP+") key[0] = '_';
  for (char &c : key)
    if (uint8_t(c) < 32 || uint8_t(c) > 126) c = '_';
  return key;
}

bool KeyLess(const CApeTagItem &a, const CApeTagItem &b) {
  return std::lexicographical_compare(
      a.Key.begin(), a.Key.end(), b.Key.begin(), b.Key.end(),
      [](char x, char y) { return uint8_t(UpperAscii(x)) < uint8_t(UpperAscii(y)); });
}

void RebuildRawValue(CApeTagItem &item, bool v2) {
  if (!item.IsText()) return;
  if (!v2) {
    const std::string text = WideToCp1252(item.Value);
    item.RawValue.assign(text.begin(), text.end());
    item.RawValue.push_back(0);
    return;
  }
  const std::string text = WideToUtf8(item.Value);
  // Further values after a zero byte stay as long as the first is unchanged.
  const Bytes &raw = item.RawValue;
  const bool furtherValues = raw.size() > text.size() + 1 && raw[text.size()] == 0 &&
                             std::equal(text.begin(), text.end(), raw.begin(),
                                        [](char c, uint8_t b) { return uint8_t(c) == b; });
  if (!furtherValues) item.RawValue.assign(text.begin(), text.end());
}

} // namespace

int64_t CAPETag::ItemsSize() const {
  int64_t sum = 0;
  for (const auto &item : Items)
    sum += int64_t(item.Key.size() + item.RawValue.size()) + 9;
  return sum;
}

const CApeTagItem *CAPETag::FindItem(std::string_view key) const {
  for (const auto &item : Items)
    if (SameTextAscii(item.Key, key)) return &item;
  return nullptr;
}

void CAPETag::SetItem(std::string_view key, const WideString &value) {
  auto found = std::find_if(Items.begin(), Items.end(),
                            [key](const CApeTagItem &i) { return SameTextAscii(i.Key, key); });
  CApeTagItem *item = found == Items.end() ? nullptr : &*found;
  if (!item) {
    Items.push_back({});
    item = &Items.back();
    item->Key = key;
    item->Value = value;
  } else if (!item->SetMark && !item->Flags.Binary && item->Value == value) {
    // The same text again: the item stays as read, with its flags and any
    // further values.
  } else {
    item->Flags = {};
    item->RawValue.clear();
    if (!item->SetMark || item->Value.empty())
      item->Value = value;
    else if (!value.empty())
      item->Value += u", " + value;
  }
  item->SetMark = true;
}

void CAPETag::FixUp() {
  if (Version != 2000) Version = 1000;
  const bool v2 = Version == 2000;
  if (!v2)
    for (auto &item : Items)
      item.Flags.Locator = false; // version 1 knows text items only
  std::erase_if(Items, [v2](const CApeTagItem &item) {
    if (item.Flags.Binary && !v2) return true;
    return item.IsText() ? item.Value.empty() : item.RawValue.empty();
  });
  for (auto &item : Items) {
    RebuildRawValue(item, v2);
    item.Key = CasedKey(std::move(item.Key), NameCase);
  }
  if (NameSort == 1) std::stable_sort(Items.begin(), Items.end(), KeyLess);
  if (NameSort == 2)
    std::stable_sort(Items.begin(), Items.end(), [](const auto &a, const auto &b) {
      return a.RawValue.size() < b.RawValue.size();
    });
}

Bytes CAPETag::BuildTag() const {
  const bool v2 = Version == 2000;
  const auto size = uint32_t(ItemsSize() + kBlockSize);
  const auto count = uint32_t(Items.size());
  Bytes out;
  if (v2) PutBlock(out, {2000, size, count, kWrittenHeaderFlags});
  for (const auto &item : Items) {
    PutLe32(out, uint32_t(item.RawValue.size()));
    PutLe32(out, EncodeItemFlags(item.Flags));
    out.insert(out.end(), item.Key.begin(), item.Key.end());
    out.push_back(0);
    out.insert(out.end(), item.RawValue.begin(), item.RawValue.end());
  }
  PutBlock(out, {v2 ? 2000u : 1000u, size, count, v2 ? kWrittenFooterFlags : 0});
  return out;
}

TagResult CAPETag::Read(IFileSystem &fs, const WideString &path) {
  Items.clear();
  TagFlags = {};
  TagSize = 0;
  auto file = fs.Open(path, FileMode::Read);
  if (!file) return kTagFailed;
  const int64_t size = file->Size();
  if (size < 0) return kTagFailed;
  auto last = ReadLast(*file, size, kSearchSize);
  if (!last) return kTagFailed;
  const int64_t footerPos = FindFooter(*last, size);
  if (footerPos < 0) return kTagFailed;
  const TApeBlock footer = ParseBlock(&(*last)[size_t(footerPos - (size - int64_t(last->size())))]);
  if (footer.count == 0) return kTagFailed;
  const int64_t itemsSize = int64_t(footer.size) - kBlockSize;
  auto block = ReadUpTo(*file, footerPos - itemsSize, size_t(itemsSize));
  if (!block || int64_t(block->size()) != itemsSize) return kTagFailed;
  auto start = TagStart(*file, footer, footerPos);
  if (!start) return kTagFailed;
  Version = int(footer.version);
  TagFlags = DecodeTagFlags(footer.flags);
  TagSize = footerPos + kBlockSize - *start;
  Items = ParseItems(*block, footer.count, footer.version == 2000);
  return kTagDone;
}

TagResult CAPETag::Write(IFileSystem &fs, const WideString &path, bool id3v1Follows) {
  FixUp();
  for (auto &item : Items)
    item.SetMark = false; // the next round of SetItem starts afresh
  if (ItemsSize() + 2 * kBlockSize > int64_t(UINT32_MAX)) return kTagFailed;
  auto file = fs.Open(path, FileMode::ReadWrite);
  if (!file) return kTagFailed;
  auto tail = LocateTail(*file);
  if (!tail) return kTagFailed;
  Bytes replacement = Items.empty() ? Bytes{} : BuildTag();
  if (id3v1Follows) replacement.insert(replacement.end(), tail->kept.begin(), tail->kept.end());
  if (!ReplaceTail(*file, tail->tagStart, replacement)) return kTagFailed;
  if (Items.empty()) {
    TagSize = 0;
    TagFlags = {};
    return kTagFailed;
  }
  const bool v2 = Version == 2000;
  TagSize = ItemsSize() + kBlockSize * (v2 ? 2 : 1);
  TagFlags = DecodeTagFlags(v2 ? kWrittenFooterFlags : 0);
  return kTagDone;
}

TagResult CAPETag::Remove(IFileSystem &fs, const WideString &path) {
  auto file = fs.Open(path, FileMode::ReadWrite);
  if (!file) return kTagFailed;
  auto tail = LocateTail(*file);
  if (!tail) return kTagFailed;
  if (!tail->hasTag) return kTagNothing;
  if (!ReplaceTail(*file, tail->tagStart, tail->kept)) return kTagFailed;
  TagSize = 0;
  TagFlags = {};
  return kTagDone;
}

} // namespace tunbrix
