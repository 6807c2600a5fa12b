// ID3v2 frames: the frame record, the frame tables, the flag bytes of
// versions 2.3 and 2.4, synchsafe numbers, unsynchronisation and the decoding
// of a frame's fields.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/codepages.h"
#include "foundation/file_io.h"

namespace tunbrix {

// The fields a frame body can hold, in the order they appear in it.
enum TID3Field : int {
  kFieldEncoding,      // 1 byte: 0 ISO-8859-1, 1 UTF-16 with BOM, 2 UTF-16BE, 3 UTF-8
  kFieldLanguage,      // 3 bytes
  kFieldMimeType,      // 8-bit, zero-terminated
  kFieldFrameId,       // 4 bytes
  kFieldFileNameOrUrl, // 8-bit, zero-terminated
  kFieldPictureType,   // 1 byte
  kFieldDescription,   // in the text encoding, terminated
  kFieldText,          // in the text encoding, to the end of the frame
  kFieldTrailingByte,  // 1 byte
  kFieldBinaryData,    // to the end of the frame
  kFieldCount
};
using TID3Layout = std::bitset<kFieldCount>;

// The fields of a frame kind; none for kinds that are kept but not decoded.
TID3Layout FrameLayout(std::string_view frameId);

struct TID3FrameFlags {
  bool TagAlterPreservation = false;
  bool FileAlterPreservation = false;
  bool ReadOnly = false;
  bool Compression = false;
  bool Encryption = false;
  bool GroupingIdentity = false;
  bool Unsynchronisation = false;
  bool DataLengthIndicator = false;
  bool operator==(const TID3FrameFlags &) const = default;
};

// The status and format bytes of a version 3 or 4 frame header. Flags that
// version 3 cannot express (unsynchronisation, data length) are left out.
void EncodeFrameFlags(const TID3FrameFlags &flags, int version, uint8_t out[2]);
TID3FrameFlags DecodeFrameFlags(uint8_t status, uint8_t format, int version);

// One frame. The bytes that some flags add in front of the frame data (group
// byte, encryption method, data length) are kept in their own fields, so
// that the frame can be written for either version with the additions in
// that version's order; Data is what follows them, as stored (compressed and
// encrypted data are never decoded).
struct TID3Frame {
  std::string FrameId; // 4 characters
  int TableIndex = -1; // in the frame table, -1 when not in it
  std::string ItemName;
  Bytes Data;
  TID3FrameFlags Flags;
  uint8_t GroupId = 0;          // with GroupingIdentity
  uint8_t EncryptionMethod = 0; // with Encryption
  uint32_t DataLength = 0;      // with DataLengthIndicator: the length before compression
  TID3Layout Layout;
  size_t Size() const { return Data.size(); }
};

// A frame record for an identifier, with its table index, item name and layout.
TID3Frame MakeFrame(std::string_view frameId);

// The decoded fields of one frame.
struct TID3FrameTextW {
  int Encoding = 0;
  int PictureType = 0;
  std::string Language;
  std::string MimeType;
  std::string FileNameOrUrl;
  WideString Description;
  WideString Text;
  std::string LinkedFrameId;
  const uint8_t *BinaryData = nullptr; // into the frame's Data
  size_t BinaryLength = 0;
  bool Found = false;
};

// Empty for compressed or encrypted frames and for an encoding byte of 4 or
// more. Found is left for the caller to set.
TID3FrameTextW DecodeFrame(const TID3Frame &frame);

// ---- frame tables

// Which versions a frame identifier belongs to.
enum TID3VersionMark : int { kBothVersions = 0, kOnlyVersion3 = 3, kOnlyVersion4 = 4 };

struct TID3FrameTableEntry {
  const char *FrameId;
  int VersionMark;
  const char *ItemName; // "" for frames that give no item
};

int FrameTableSize();
const TID3FrameTableEntry &FrameTableEntry(int index);
// Index in the frame table, -1 when the identifier is not in it.
int FrameTableIndex(std::string_view frameId);
// The version 2.3 identifier of a version 2.2 one; "" when there is none.
std::string FrameIdFromID3v22(std::string_view frameId22);
int ID3v22TableSize();

// ---- numbers and unsynchronisation

constexpr uint32_t kMaxSynchsafe = (1u << 28) - 1;
// True when the top bit of each of the four bytes is clear.
bool IsSynchsafe(const uint8_t *bytes);
// The value of four synchsafe bytes (only the low 7 bits of each count).
uint32_t DecodeSynchsafe(const uint8_t *bytes);
void EncodeSynchsafe(uint32_t value, uint8_t *out);
uint32_t DecodeBigEndian32(const uint8_t *bytes);
void EncodeBigEndian32(uint32_t value, uint8_t *out);

// Drops the 0x00 after each 0xFF that is followed by 0x00 and then by 0xE0 or
// above or by 0x00; the last two bytes are copied as they are.
Bytes RemoveUnsynchronisation(const uint8_t *data, size_t size);
// Inserts 0x00 after each 0xFF that is followed by 0xE0 or above or by 0x00
// (not after a final 0xFF). False, with data unchanged, when there was none.
bool Unsynchronise(Bytes &data);

} // namespace tunbrix
