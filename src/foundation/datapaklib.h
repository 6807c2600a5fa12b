// Read-only access to the program's auxiliary files by plain name: a file
// lying loose beside the pack always wins, otherwise the entry of that name in
// the data pack, a ZIP archive scanned once and kept open.
#pragma once

#include <array>
#include <cstdint>
#include <forward_list>
#include <memory>
#include <optional>
#include <string>

#include "foundation/codepages.h"
#include "foundation/file_io.h"

namespace tunbrix {

// One entry of the pack, as its local header describes it.
struct TDataPakFile {
  std::string name;  // lower-cased (ASCII letters only)
  uint32_t hash = 0; // CRC-32 of name
  int64_t dataOffset = 0;
  uint32_t storedSize = 0;
  uint32_t fullSize = 0;
  uint16_t method = 0; // 0 stored, 8 deflated; others are not readable
  bool encrypted = false;
};

class CDataPak {
public:
  // Indexes the archive at packPath. Never fails: a missing or damaged
  // archive leaves an empty or partial table. fs must outlive the pack.
  CDataPak(IFileSystem &fs, const WideString &packPath);
  CDataPak(const CDataPak &) = delete;
  CDataPak &operator=(const CDataPak &) = delete;

  // The whole content of the loose file packDirectory + name, else of the
  // entry whose name equals name ignoring ASCII case; nullopt when there is
  // neither, when the content is empty (an empty loose file hides the entry),
  // or when the entry cannot be read or decompressed.
  std::optional<Bytes> ReadFile(const std::string &name);
  // The same content in a memory stream at position 0; nullptr when nothing.
  std::unique_ptr<MemoryFile> ReadStream(const std::string &name);

  const WideString &PackPath() const { return packPath_; }
  // The pack's folder with its trailing "/" ("" for a bare file name).
  const WideString &PackDirectory() const { return packDirectory_; }
  // False when the archive is missing or an I/O failure ended the scan.
  bool IsOpen() const { return archive_ != nullptr; }
  size_t EntryCount() const { return entryCount_; }

private:
  void Index();
  // False when the scan cannot go on after the header at position.
  bool IndexEntry(int64_t &position, int64_t fileSize);
  void Add(TDataPakFile record);
  const TDataPakFile *Find(const std::string &name) const;
  std::optional<Bytes> ReadEntry(const TDataPakFile &record);

  IFileSystem &fs_;
  // Each bucket holds the records whose hash has those low 8 bits, newest
  // first, so a later entry of the same name hides an earlier one.
  std::array<std::forward_list<TDataPakFile>, 256> buckets_;
  size_t entryCount_ = 0;
  WideString packPath_;
  WideString packDirectory_;
  std::unique_ptr<IFile> archive_;
};

} // namespace tunbrix
