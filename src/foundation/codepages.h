// Text conversions between wide text (UTF-16) and the 8-bit encodings the
// program exchanges with the system and with tag formats.
#pragma once

#include <string>
#include <string_view>

namespace tunbrix {

using WideChar = char16_t;
using WideString = std::u16string;

// UTF-8 -> UTF-16. A byte that does not belong to a well-formed UTF-8
// sequence becomes the lone surrogate U+DC00 + byte, so any byte string
// (a file name above all) survives the round trip through wide text.
WideString Utf8ToWide(std::string_view bytes);

// UTF-16 -> UTF-8. A lone surrogate U+DC80..U+DCFF becomes its byte again;
// any other lone surrogate becomes U+FFFD.
std::string WideToUtf8(std::u16string_view text);

// Windows-1252 <-> UTF-16, as Western Windows systems convert: the five
// undefined bytes map to the C1 controls of the same value; a character
// without a Windows-1252 byte becomes "?".
WideString Cp1252ToWide(std::string_view bytes);
std::string WideToCp1252(std::u16string_view text);

// The system code page is UTF-8 on this platform.
inline WideString SysToWide(std::string_view bytes) { return Utf8ToWide(bytes); }
inline std::string WideToSys(std::u16string_view text) { return WideToUtf8(text); }

// Plain ASCII widening and narrowing for literals and protocol texts.
WideString AsciiToWide(std::string_view ascii);

// True when every byte forms well-formed UTF-8.
bool IsValidUtf8(std::string_view bytes);

} // namespace tunbrix
