#include "tags/vorbiscomments.h"

#include <algorithm>

#include "tags/tagcommon.h"

namespace tunbrix {
namespace {

void PutLe32(Bytes &out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<uint8_t>(v >> shift));
}

void PutText(Bytes &out, std::string_view text) {
  PutLe32(out, static_cast<uint32_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

std::string CasedName(std::string name, int mode) {
  if (mode == 1 || mode == 3)
    for (char &c : name)
      c = LowerAscii(c);
  if (mode == 2)
    for (char &c : name)
      c = UpperAscii(c);
  if (mode == 3)
    for (size_t i = 0; i < name.size(); ++i)
      if (i == 0 || name[i - 1] == ' ') name[i] = UpperAscii(name[i]);
  for (char &c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 32 || byte == '=' || byte > 125) c = '_';
  }
  return name;
}

bool NameLess(const CVorbisComment &a, const CVorbisComment &b) {
  const size_t n = std::min(a.Name.size(), b.Name.size());
  for (size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(LowerAscii(a.Name[i]));
    const auto y = static_cast<unsigned char>(LowerAscii(b.Name[i]));
    if (x != y) return x < y;
  }
  return a.Name.size() < b.Name.size();
}

// Reads a 32-bit little-endian number at pos when it lies inside the block.
bool TakeLe32(const uint8_t *data, size_t size, size_t &pos, uint32_t &value) {
  if (size - pos < 4) return false;
  value = uint32_t(data[pos]) | uint32_t(data[pos + 1]) << 8 | uint32_t(data[pos + 2]) << 16 |
          uint32_t(data[pos + 3]) << 24;
  pos += 4;
  return true;
}

} // namespace

void CVorbisComments::Clear() {
  Comments.clear();
  Vendor.clear();
  TotalSize = 0;
}

CVorbisComment &CVorbisComments::AddComment() { return Comments.emplace_back(); }

CVorbisComment *CVorbisComments::FindComment(std::string_view name) {
  for (auto &c : Comments)
    if (SameTextAscii(c.Name, name)) return &c;
  return nullptr;
}

const CVorbisComment *CVorbisComments::FindComment(std::string_view name) const {
  for (const auto &c : Comments)
    if (SameTextAscii(c.Name, name)) return &c;
  return nullptr;
}

WideString CVorbisComments::GetComment(std::string_view name) const {
  const CVorbisComment *c = FindComment(name);
  return c ? c->Value : WideString();
}

void CVorbisComments::SetComment(std::string_view name, const WideString &value) {
  CVorbisComment *target = nullptr;
  for (auto &c : Comments)
    if (!c.SetMark && SameTextAscii(c.Name, name)) {
      target = &c;
      break;
    }
  if (!target) {
    target = &AddComment();
    target->Name = std::string(name);
  }
  target->Value = value;
  target->SetMark = true;
}

void CVorbisComments::ClearMarks() {
  for (auto &c : Comments)
    c.SetMark = false;
}

Bytes CVorbisComments::Serialise() {
  Bytes out;
  PutText(out, WideToUtf8(Vendor));
  const size_t countPos = out.size();
  PutLe32(out, 0);
  uint32_t count = 0;
  for (auto &c : Comments) {
    if (c.Name.empty() || c.Value.empty()) continue;
    c.Utf8 = WideToUtf8(c.Value);
    PutText(out, c.Name + "=" + c.Utf8);
    ++count;
  }
  for (int i = 0; i < 4; ++i)
    out[countPos + i] = static_cast<uint8_t>(count >> (8 * i));
  TotalSize = static_cast<int64_t>(out.size());
  return out;
}

void CVorbisComments::ApplyNameCase(int mode) {
  for (auto &c : Comments)
    c.Name = CasedName(std::move(c.Name), mode);
}

void CVorbisComments::SortComments(int mode) {
  // std::list::sort is a stable merge sort.
  if (mode == 1) Comments.sort(NameLess);
  if (mode == 2)
    Comments.sort([](const CVorbisComment &a, const CVorbisComment &b) {
      return a.Value.size() < b.Value.size();
    });
}

bool CVorbisComments::ParseBlock(const uint8_t *data, size_t size) {
  Clear();
  TotalSize = static_cast<int64_t>(size);
  size_t pos = 0;
  uint32_t length = 0, count = 0;
  if (!TakeLe32(data, size, pos, length) || size - pos < length) return false;
  Vendor = Utf8ToWide(std::string_view(reinterpret_cast<const char *>(data + pos), length));
  pos += length;
  if (!TakeLe32(data, size, pos, count)) return false;
  // Every comment takes at least its 4 length bytes, so a count that does
  // not fit ends with the block.
  for (; count > 0; --count) {
    if (!TakeLe32(data, size, pos, length) || size - pos < length) return false;
    AddCommentText(std::string_view(reinterpret_cast<const char *>(data + pos), length));
    pos += length;
  }
  return true;
}

bool CVorbisComments::AddCommentText(std::string_view text) {
  const size_t eq = text.find('=');
  if (eq == std::string_view::npos) return false;
  CVorbisComment &c = AddComment();
  c.Name = std::string(text.substr(0, eq));
  c.Value = Utf8ToWide(text.substr(eq + 1));
  return true;
}

} // namespace tunbrix
