// An APE tag that other tag formats must step around.
#pragma once

#include <string>

namespace tunbrix::test {

// An APE tag of exactly 131 bytes, header, one item and footer: its header
// "APETAGEX" starts at end -131, which puts "TAG" at end -128.
inline std::string Ape131() {
  std::string item = std::string("\x35\0\0\0\0\0\0\0", 8) + "Title" + '\0' + std::string(53, 'v');
  std::string header = "APETAGEX" + std::string("\xd0\x07\0\0\x63\0\0\0\x01\0\0\0\0\0\0\xa0", 16) +
                       std::string(8, '\0');
  std::string footer = header;
  footer[23] = '\x80';
  return header + item + footer;
}

} // namespace tunbrix::test
