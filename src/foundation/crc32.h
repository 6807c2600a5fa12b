// The standard CRC-32 of ZIP, PNG and Ethernet (ISO-HDLC): reflected
// polynomial 0xEDB88320, initial value 0xFFFFFFFF, final inversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tunbrix {

// Continues a CRC over more data: start with 0 and pass each result on, so
// that data in pieces gives the same value as the data in one piece.
uint32_t Crc32Update(uint32_t crc, const void *data, size_t size);

inline uint32_t Crc32(const void *data, size_t size) { return Crc32Update(0, data, size); }
inline uint32_t Crc32(std::string_view bytes) { return Crc32(bytes.data(), bytes.size()); }

} // namespace tunbrix
