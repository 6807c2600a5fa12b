#include "foundation/codepages.h"

#include <array>
#include <cstdint>

namespace tunbrix {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Length of the well-formed UTF-8 sequence at bytes[i], and its scalar; 0 when
// the bytes there do not start one (overlongs, surrogates and values above
// U+10FFFF are not well-formed).
size_t DecodeUtf8At(std::string_view bytes, size_t i, char32_t &out) {
  const auto b = [&](size_t k) { return static_cast<uint8_t>(bytes[i + k]); };
  const uint8_t lead = b(0);
  if (lead < 0x80) {
    out = lead;
    return 1;
  }
  size_t len;
  char32_t cp;
  uint8_t lo = 0x80, hi = 0xBF; // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + len > bytes.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const uint8_t c = b(k);
    const uint8_t min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
    if (c < min || c > max) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  out = cp;
  return len;
}

void AppendUtf16(WideString &out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<WideChar>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<WideChar>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<WideChar>(0xDC00 + (cp & 0x3FF)));
  }
}

void AppendUtf8(std::string &out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Windows-1252 bytes 0x80..0x9F; the undefined ones keep their C1 value.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

} // namespace

WideString Utf8ToWide(std::string_view bytes) {
  WideString out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    char32_t cp;
    const size_t len = DecodeUtf8At(bytes, i, cp);
    if (len == 0) {
      out.push_back(static_cast<WideChar>(0xDC00 + static_cast<uint8_t>(bytes[i])));
      ++i;
    } else {
      AppendUtf16(out, cp);
      i += len;
    }
  }
  return out;
}

std::string WideToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((char32_t(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (c >= 0xDC80 && c <= 0xDCFF) {
      out.push_back(static_cast<char>(c - 0xDC00));
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

WideString Cp1252ToWide(std::string_view bytes) {
  WideString out;
  out.reserve(bytes.size());
  for (char ch : bytes) {
    const uint8_t b = static_cast<uint8_t>(ch);
    out.push_back(b >= 0x80 && b <= 0x9F ? kCp1252High[b - 0x80] : char16_t(b));
  }
  return out;
}

std::string WideToCp1252(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    char byte = '?';
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      byte = static_cast<char>(c);
    } else {
      for (size_t k = 0; k < kCp1252High.size(); ++k)
        if (kCp1252High[k] == c) byte = static_cast<char>(0x80 + k);
    }
    // A surrogate pair is one character and so one "?".
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF)
      ++i;
    out.push_back(byte);
  }
  return out;
}

WideString AsciiToWide(std::string_view ascii) {
  WideString out;
  out.reserve(ascii.size());
  for (char c : ascii)
    out.push_back(static_cast<uint8_t>(c));
  return out;
}

bool IsValidUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    char32_t cp;
    const size_t len = DecodeUtf8At(bytes, i, cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

} // namespace tunbrix
