// Build tool: packs files into a ZIP archive of stored (uncompressed) entries,
// named by their file names, with a fixed time so the pack is reproducible.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

uint32_t Crc32(const std::vector<uint8_t> &data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t byte : data) {
    crc ^= byte;
    for (int k = 0; k < 8; ++k)
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void Put16(std::vector<uint8_t> &out, uint32_t v) {
  out.push_back(v & 0xFF);
  out.push_back((v >> 8) & 0xFF);
}
void Put32(std::vector<uint8_t> &out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

struct Entry {
  std::string name;
  std::vector<uint8_t> data;
  uint32_t crc = 0;
  uint32_t offset = 0;
};

constexpr uint32_t kDosTime = 0, kDosDate = (0 << 9) | (1 << 5) | 1; // 1980-01-01

void PutCommon(std::vector<uint8_t> &out, const Entry &e) {
  Put16(out, 0); // flags
  Put16(out, 0); // method: stored
  Put16(out, kDosTime);
  Put16(out, kDosDate);
  Put32(out, e.crc);
  Put32(out, static_cast<uint32_t>(e.data.size()));
  Put32(out, static_cast<uint32_t>(e.data.size()));
  Put16(out, static_cast<uint32_t>(e.name.size()));
  Put16(out, 0); // extra length
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::cerr << "usage: mkpak OUTPUT [FILE...]\n";
    return 2;
  }
  std::vector<Entry> entries;
  for (int i = 2; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    if (!in) {
      std::cerr << "mkpak: cannot read " << argv[i] << "\n";
      return 1;
    }
    Entry e;
    const std::string path = argv[i];
    e.name = path.substr(path.find_last_of('/') + 1);
    e.data.assign(std::istreambuf_iterator<char>(in), {});
    e.crc = Crc32(e.data);
    entries.push_back(std::move(e));
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry &a, const Entry &b) { return a.name < b.name; });

  std::vector<uint8_t> out;
  for (Entry &e : entries) {
    e.offset = static_cast<uint32_t>(out.size());
    Put32(out, 0x04034B50);
    Put16(out, 10); // version needed
    PutCommon(out, e);
    out.insert(out.end(), e.name.begin(), e.name.end());
    out.insert(out.end(), e.data.begin(), e.data.end());
  }
  const uint32_t directoryStart = static_cast<uint32_t>(out.size());
  for (const Entry &e : entries) {
    Put32(out, 0x02014B50);
    Put16(out, 10); // made by
    Put16(out, 10); // version needed
    PutCommon(out, e);
    Put16(out, 0); // comment length
    Put16(out, 0); // disk
    Put16(out, 0); // internal attributes
    Put32(out, 0); // external attributes
    Put32(out, e.offset);
    out.insert(out.end(), e.name.begin(), e.name.end());
  }
  const uint32_t directorySize = static_cast<uint32_t>(out.size()) - directoryStart;
  Put32(out, 0x06054B50);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, static_cast<uint32_t>(entries.size()));
  Put16(out, static_cast<uint32_t>(entries.size()));
  Put32(out, directorySize);
  Put32(out, directoryStart);
  Put16(out, 0);

  const std::string temp = std::string(argv[1]) + ".part";
  {
    std::ofstream file(temp, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char *>(out.data()),
               static_cast<std::streamsize>(out.size()));
    if (!file) {
      std::cerr << "mkpak: cannot write " << temp << "\n";
      return 1;
    }
  }
  if (std::rename(temp.c_str(), argv[1]) != 0) {
    std::cerr << "mkpak: cannot replace " << argv[1] << "\n";
    return 1;
  }
  return 0;
}
