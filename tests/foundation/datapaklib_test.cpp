#include <gtest/gtest.h>

#include <random>
#include <set>
#include <sstream>
#include <unistd.h>

#include "foundation/crc32.h"
#include "foundation/datapaklib.h"
#include "support/bytes.h"
#include "support/test_support.h"

namespace tunbrix {
namespace {

using namespace test::bytes;

namespace fs = std::filesystem;

constexpr const char *kPython = "/usr/bin/python3";
const WideString kPack = u"/pack/tunbrix.dat";

#define REQUIRE_PYTHON()                                                                           \
  do {                                                                                             \
    if (access(kPython, X_OK) != 0) GTEST_SKIP() << "missing tool: " << kPython;                   \
  } while (0)

std::optional<std::string> Text(const std::optional<Bytes> &bytes) {
  if (!bytes) return std::nullopt;
  return std::string(bytes->begin(), bytes->end());
}

// A pack held in memory at kPack.
struct MemoryPack {
  explicit MemoryPack(const std::string &bytes) {
    files.SetFile(kPack, B(bytes));
    pack = std::make_unique<CDataPak>(files, kPack);
  }
  std::optional<std::string> Read(const std::string &name) { return Text(pack->ReadFile(name)); }
  MemoryFileSystem files;
  std::unique_ptr<CDataPak> pack;
};

// ---- ZIP files made by Python's zipfile

struct ZipEntry {
  std::string name;
  std::string content;
  int method = 0;       // 0 stored, 8 deflated, 12 bzip2, 14 LZMA
  int level = -1;       // compression level, -1 for the default
  std::string extraHex; // extra field of the local header
};

struct LocalHeaderInfo {
  int64_t headerOffset = 0;
  int64_t dataOffset = 0;
  int64_t dataEnd = 0;
};

struct Zip {
  std::string bytes;
  std::vector<LocalHeaderInfo> entries;
};

constexpr const char *kZipWriter = R"(
import sys, zipfile
out = sys.argv[1]
with zipfile.ZipFile(out, 'w') as z:
    for entry in sys.argv[2:]:
        name, path, method, level, extra = entry.split('|')
        info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
        info.compress_type = int(method)
        info.extra = bytes.fromhex(extra)
        level = int(level)
        z.writestr(info, open(path, 'rb').read(), compresslevel=None if level < 0 else level)
for info in zipfile.ZipFile(out).infolist():
    data = info.header_offset + 30 + len(info.filename.encode()) + len(info.extra)
    print(info.header_offset, data, data + info.compress_size)
)";

Zip MakeZip(const std::vector<ZipEntry> &entries) {
  test::TempDir dir;
  std::vector<std::string> argv = {kPython, "-c", kZipWriter, (dir.Path() / "out.zip").string()};
  for (size_t i = 0; i < entries.size(); ++i) {
    const fs::path content = dir.Path() / ("content" + std::to_string(i));
    test::WriteFileBytes(content, entries[i].content);
    const ZipEntry &e = entries[i];
    argv.push_back(e.name + "|" + content.string() + "|" + std::to_string(e.method) + "|" +
                   std::to_string(e.level) + "|" + e.extraHex);
  }
  const test::ProcessResult result = test::RunCommand(argv);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  Zip zip;
  zip.bytes = test::ReadFileBytes(dir.Path() / "out.zip");
  std::istringstream lines(result.out);
  LocalHeaderInfo info;
  while (lines >> info.headerOffset >> info.dataOffset >> info.dataEnd)
    zip.entries.push_back(info);
  EXPECT_EQ(zip.entries.size(), entries.size());
  return zip;
}

// ---- hand-built local headers

void Put16(std::string &out, uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}
void Put32(std::string &out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}
void Patch32(std::string &bytes, int64_t at, uint32_t v) {
  std::string field;
  Put32(field, v);
  bytes.replace(static_cast<size_t>(at), 4, field);
}
void Patch16(std::string &bytes, int64_t at, uint32_t v) {
  std::string field;
  Put16(field, v);
  bytes.replace(static_cast<size_t>(at), 2, field);
}

struct Header {
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t storedSize = 0;
  uint32_t fullSize = 0;
  uint16_t nameLength = 0;
  uint16_t extraLength = 0;
};

// The 30 bytes of a ZIP local file header (CRC and time left zero).
std::string LocalHeader(const Header &h) {
  std::string out;
  Put32(out, 0x04034B50);
  Put16(out, 20); // version needed
  Put16(out, h.flags);
  Put16(out, h.method);
  Put32(out, 0); // time and date
  Put32(out, 0); // CRC-32
  Put32(out, h.storedSize);
  Put32(out, h.fullSize);
  Put16(out, h.nameLength);
  Put16(out, h.extraLength);
  return out;
}

// A well-formed stored entry.
std::string StoredEntry(const std::string &name, const std::string &data) {
  const auto size = static_cast<uint32_t>(data.size());
  return LocalHeader({0, 0, size, size, static_cast<uint16_t>(name.size()), 0}) + name + data;
}

// ---- the tests

TEST(DataPak, Crc32KnownValues) {
  const std::pair<std::string, uint32_t> cases[] = {
      {"", 0x00000000},
      {"a", 0xE8B7BE43},
      {"123456789", 0xCBF43926},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339},
      {std::string(1, '\0'), 0xD202EF8D},
  };
  for (const auto &[text, crc] : cases)
    EXPECT_EQ(Crc32(text), crc) << text;
  // Pieces continue one another.
  EXPECT_EQ(Crc32Update(Crc32("1234"), "56789", 5), 0xCBF43926u);
}

// The pack the build makes from data/ holds the default bitmaps.
TEST(DataPak, BuildPackServesTheBitmapsIgnoringCase) {
  RealFileSystem files;
  CDataPak pack(files, Utf8ToWide((test::BinaryDir() / "tunbrix.dat").string()));
  ASSERT_TRUE(pack.IsOpen());
  const std::pair<std::string, std::vector<std::string>> bitmaps[] = {
      {"file16.bmp", {"file16.bmp", "FILE16.BMP", "File16.Bmp"}},
      {"folder16.bmp", {"folder16.bmp", "FOLDER16.bmp"}},
      {"file32.bmp", {"file32.bmp", "FILE32.BMP"}},
  };
  for (const auto &[file, names] : bitmaps) {
    const std::string expected = test::ReadFileBytes(test::SourceDir() / "data" / file);
    ASSERT_FALSE(expected.empty()) << file;
    for (const std::string &name : names)
      EXPECT_EQ(Text(pack.ReadFile(name)), expected) << name;
    auto stream = pack.ReadStream(names.back());
    ASSERT_NE(stream, nullptr) << file;
    EXPECT_EQ(stream->Position(), 0);
    EXPECT_EQ(stream->Data(), B(expected));
  }
  for (const char *missing : {"file16.bm", "ile16.bmp", "file16.bmp ", "", "FİLE16.BMP"}) {
    EXPECT_EQ(pack.ReadFile(missing), std::nullopt) << missing;
    EXPECT_EQ(pack.ReadStream(missing), nullptr) << missing;
  }
}

// The bitmaps are 24-bit Windows bitmaps with a fuchsia (transparent) background.
TEST(DataPak, DefaultBitmapsAreFuchsiaBackedWindowsBitmaps) {
  const std::pair<std::string, int> bitmaps[] = {
      {"file16.bmp", 16}, {"folder16.bmp", 16}, {"file32.bmp", 32}};
  for (const auto &[file, side] : bitmaps) {
    const std::string bmp = test::ReadFileBytes(test::SourceDir() / "data" / file);
    auto u16 = [&](size_t at) { return uint8_t(bmp[at]) | uint8_t(bmp[at + 1]) << 8; };
    auto u32 = [&](size_t at) { return uint32_t(u16(at)) | uint32_t(u16(at + 2)) << 16; };
    ASSERT_EQ(bmp.size(), 54u + size_t(side) * side * 3) << file;
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    EXPECT_EQ(u32(2), bmp.size());
    EXPECT_EQ(u32(10), 54u); // pixels right after the headers
    EXPECT_EQ(u32(14), 40u); // BITMAPINFOHEADER
    EXPECT_EQ(u32(18), uint32_t(side));
    EXPECT_EQ(u32(22), uint32_t(side)); // positive: bottom-up rows
    EXPECT_EQ(u16(26), 1);
    EXPECT_EQ(u16(28), 24);
    EXPECT_EQ(u32(30), 0u);                       // uncompressed
    const std::string fuchsia("\xFF\x00\xFF", 3); // blue, green, red
    const size_t row = size_t(side) * 3;
    EXPECT_EQ(bmp.substr(54, 3), fuchsia) << file << ": bottom left";
    EXPECT_EQ(bmp.substr(bmp.size() - 3), fuchsia) << file << ": top right";
    size_t drawn = 0;
    for (size_t at = 54; at < bmp.size(); at += 3)
      drawn += bmp.substr(at, 3) != fuchsia;
    EXPECT_GT(drawn, row) << file << ": no glyph";
  }
}

TEST(DataPak, LooseFileBesideThePackWins) {
  test::TempDir dir;
  fs::copy_file(test::BinaryDir() / "tunbrix.dat", dir.Path() / "tunbrix.dat");
  test::WriteFileBytes(dir.Path() / "file16.bmp", "loose bitmap");
  test::WriteFileBytes(dir.Path() / "folder16.bmp", "");
  test::WriteFileBytes(dir.Path() / "tunbrix_script.ini", "[Script]\n");
  RealFileSystem files;
  CDataPak pack(files, dir.File("tunbrix.dat"));
  EXPECT_EQ(pack.PackDirectory(), dir.Wide());
  const std::string file16 = test::ReadFileBytes(test::SourceDir() / "data" / "file16.bmp");
  const std::string file32 = test::ReadFileBytes(test::SourceDir() / "data" / "file32.bmp");

  EXPECT_EQ(Text(pack.ReadFile("file16.bmp")), "loose bitmap");
  auto stream = pack.ReadStream("file16.bmp");
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->Data(), B("loose bitmap"));
  EXPECT_EQ(Text(pack.ReadFile("tunbrix_script.ini")), "[Script]\n");
  EXPECT_EQ(Text(pack.ReadFile("file32.bmp")), file32);
  // The loose name is taken as given, and file names on this system keep
  // their case; so the capitalised name falls through to the pack.
  EXPECT_EQ(Text(pack.ReadFile("FILE16.BMP")), file16);
  // An empty loose file hides the entry of its name.
  EXPECT_EQ(pack.ReadFile("folder16.bmp"), std::nullopt);
  EXPECT_EQ(pack.ReadStream("folder16.bmp"), nullptr);
  // A name with a NUL byte is no loose file name.
  EXPECT_EQ(pack.ReadFile(std::string("file32.bmp\0x", 12)), std::nullopt);
}

TEST(DataPak, MissingPackServesLooseFilesOnly) {
  test::TempDir dir;
  test::WriteFileBytes(dir.Path() / "tunbrix_cfg.ini", "[Options]\n");
  RealFileSystem files;
  CDataPak pack(files, dir.File("tunbrix.dat"));
  EXPECT_FALSE(pack.IsOpen());
  EXPECT_EQ(pack.EntryCount(), 0u);
  EXPECT_EQ(Text(pack.ReadFile("tunbrix_cfg.ini")), "[Options]\n");
  EXPECT_EQ(pack.ReadFile("file16.bmp"), std::nullopt);

  // A pack named without a folder looks for loose files in the current one.
  MemoryFileSystem memory;
  memory.SetFile(u"loose.ini", B("x=1"));
  CDataPak bare(memory, u"tunbrix.dat");
  EXPECT_EQ(bare.PackDirectory(), u"");
  EXPECT_EQ(Text(bare.ReadFile("loose.ini")), "x=1");
}

std::vector<ZipEntry> ThreeStoredEntries() {
  // The first has an extra field of an unknown kind: id 0xCAFE, 4 bytes "test".
  return {{"first.ini", "[first]\nkey=1\n", 0, -1, "feca040074657374"},
          {"second.bmp", std::string(300, 'B'), 0, -1, ""},
          {"third.txt", "third", 0, -1, ""}};
}

// Cut anywhere, the pack serves exactly the entries whose data lies wholly
// before the cut, and nothing else.
TEST(DataPak, TruncatedPackYieldsTheEntriesBeforeTheDamage) {
  REQUIRE_PYTHON();
  const std::vector<ZipEntry> entries = ThreeStoredEntries();
  const Zip zip = MakeZip(entries);
  ASSERT_EQ(zip.entries.size(), 3u);
  for (size_t cut = 0; cut <= zip.bytes.size(); ++cut) {
    MemoryPack pack(zip.bytes.substr(0, cut));
    size_t whole = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
      const bool before = zip.entries[i].dataEnd <= int64_t(cut);
      whole += before;
      EXPECT_EQ(pack.Read(entries[i].name),
                before ? std::optional(entries[i].content) : std::nullopt)
          << entries[i].name << " cut at " << cut;
    }
    EXPECT_EQ(pack.pack->EntryCount(), whole) << "cut at " << cut;
  }
}

// Header fields that point past the end of the file end the scan there.
TEST(DataPak, SizesPastTheEndEndTheScan) {
  REQUIRE_PYTHON();
  const std::vector<ZipEntry> entries = ThreeStoredEntries();
  const Zip zip = MakeZip(entries);
  ASSERT_EQ(zip.entries.size(), 3u);
  const int64_t second = zip.entries[1].headerOffset;
  const struct {
    const char *what;
    int64_t at;
    int width;
    uint32_t value;
  } cases[] = {
      {"stored size", second + 18, 32, 0xFFFFFF00},
      {"stored and full size (ZIP64 marker)", second + 18, 64, 0xFFFFFFFF},
      {"name length", second + 26, 16, 0xFFFF},
      {"extra length", second + 28, 16, 0xFFFF},
      {"stored size one byte past the end", second + 18, 32,
       uint32_t(int64_t(zip.bytes.size()) - zip.entries[1].dataOffset + 1)},
  };
  for (const auto &c : cases) {
    std::string bytes = zip.bytes;
    if (c.width == 16)
      Patch16(bytes, c.at, c.value);
    else
      Patch32(bytes, c.at, c.value);
    if (c.width == 64) Patch32(bytes, c.at + 4, c.value);
    MemoryPack pack(bytes);
    EXPECT_EQ(pack.Read("first.ini"), entries[0].content) << c.what;
    EXPECT_EQ(pack.Read("second.bmp"), std::nullopt) << c.what;
    EXPECT_EQ(pack.Read("third.txt"), std::nullopt) << c.what;
    EXPECT_EQ(pack.pack->EntryCount(), 1u) << c.what;
  }
}

TEST(DataPak, DeflatedEntriesAreInflated) {
  REQUIRE_PYTHON();
  std::string ini;
  for (int i = 0; i < 200; ++i)
    ini += "[Script" + std::to_string(i) + "]\nName=Lame " + std::to_string(i % 7) + "\n";
  std::mt19937 random(7);
  std::string noise(70000, '\0'); // incompressible and longer than one stored block
  for (char &c : noise)
    c = static_cast<char>(random());
  std::string runs;
  for (int i = 0; i < 3000; ++i)
    runs += std::string(size_t(i % 300), char('a' + i % 26));
  const std::vector<ZipEntry> entries = {
      {"script.ini", ini, 8, -1, ""}, // dynamic Huffman codes
      {"tiny.txt", "a", 8, -1, ""},   // fixed codes
      {"noise.bin", noise, 8, 9, ""}, // stored blocks inside the stream
      {"level0.ini", ini, 8, 0, ""},  // stored blocks only
      {"runs.txt", runs, 8, 1, ""},   // long matches over many blocks
      {"empty.txt", "", 8, -1, ""},   // empty: nothing
      {"bzip2.txt", ini, 12, -1, ""}, // other methods: nothing
      {"lzma.txt", ini, 14, -1, ""},
      {"after.txt", "still found", 0, -1, ""}, // the scan goes on past them all
  };
  MemoryPack pack(MakeZip(entries).bytes);
  EXPECT_EQ(pack.pack->EntryCount(), entries.size());
  for (const ZipEntry &e : entries) {
    const bool readable = (e.method == 0 || e.method == 8) && !e.content.empty();
    EXPECT_EQ(pack.Read(e.name), readable ? std::optional(e.content) : std::nullopt) << e.name;
  }
}

TEST(DataPak, DamagedDeflateStreamYieldsNothing) {
  REQUIRE_PYTHON();
  const std::string ini = "[Options]\nLanguage=English\nKeepFileList=1\n";
  const Zip zip = MakeZip({{"a.ini", ini, 8, -1, ""}, {"b.txt", "after", 0, -1, ""}});
  ASSERT_EQ(zip.entries.size(), 2u);
  const LocalHeaderInfo a = zip.entries[0];
  const struct {
    const char *what;
    void (*damage)(std::string &, const LocalHeaderInfo &, size_t);
  } cases[] = {
      {"full size one more", [](std::string &b, const LocalHeaderInfo &e,
                                size_t n) { Patch32(b, e.headerOffset + 22, uint32_t(n + 1)); }},
      {"full size one less", [](std::string &b, const LocalHeaderInfo &e,
                                size_t n) { Patch32(b, e.headerOffset + 22, uint32_t(n - 1)); }},
      {"reserved block type",
       [](std::string &b, const LocalHeaderInfo &e, size_t) { b[size_t(e.dataOffset)] = '\xFF'; }},
      {"stored block with a bad length check",
       [](std::string &b, const LocalHeaderInfo &e, size_t) {
         for (int64_t at = e.dataOffset; at < e.dataEnd; ++at)
           b[size_t(at)] = 0;
       }},
      {"stream cut short",
       [](std::string &b, const LocalHeaderInfo &e, size_t) {
         Patch32(b, e.headerOffset + 18, uint32_t(e.dataEnd - e.dataOffset - 4));
         b.erase(size_t(e.dataEnd) - 4, 4);
       }},
  };
  for (const auto &c : cases) {
    std::string bytes = zip.bytes;
    c.damage(bytes, a, ini.size());
    MemoryPack pack(bytes);
    EXPECT_EQ(pack.Read("a.ini"), std::nullopt) << c.what;
    EXPECT_EQ(pack.Read("b.txt"), "after") << c.what;
  }
}

TEST(DataPak, HostileArchivesAreHandled) {
  std::mt19937 random(1);
  std::string noise(65536, '\0');
  for (char &c : noise)
    c = static_cast<char>(random());
  std::string zeroSized;
  for (int i = 0; i < 10000; ++i)
    zeroSized += LocalHeader({0, 0, 0, 0, 1, 0}) + "x";
  const std::string ok = StoredEntry("ok.txt", "fine");
  const std::string longName(5000, 'n');
  using Lookups = std::vector<std::pair<std::string, std::optional<std::string>>>;
  const struct {
    const char *what;
    std::string bytes;
    size_t entries;
    Lookups lookups;
  } cases[] = {
      {"empty file", "", 0, {{"x", std::nullopt}}},
      {"random bytes", noise, 0, {{"x", std::nullopt}}},
      {"signature only", "PK\x03\x04", 0, {{"x", std::nullopt}}},
      {"10000 zero-sized entries",
       zeroSized + ok,
       10001,
       {{"x", std::nullopt}, {"ok.txt", "fine"}}},
      {"name past the end",
       LocalHeader({0, 0, 0, 0, 0xFFFF, 0}) + "short",
       0,
       {{"short", std::nullopt}}},
      // Its length is unknown, so nothing after it can be found.
      {"sizes in a data descriptor",
       LocalHeader({8, 8, 0, 0, 6, 0}) + "dd.txt" + "\x4b\x04\x00" + ok,
       0,
       {{"dd.txt", std::nullopt}, {"ok.txt", std::nullopt}}},
      {"encrypted entry",
       LocalHeader({1, 0, 5, 5, 7, 0}) + "enc.txt" + "abcde" + ok,
       2,
       {{"enc.txt", std::nullopt}, {"ok.txt", "fine"}}},
      {"stored entry whose sizes differ",
       LocalHeader({0, 0, 5, 9, 7, 0}) + "bad.txt" + "abcde" + ok,
       2,
       {{"bad.txt", std::nullopt}, {"ok.txt", "fine"}}},
      {"absurdly long name",
       LocalHeader({0, 0, 4, 4, uint16_t(longName.size()), 0}) + longName + "long" + ok,
       1,
       {{longName, std::nullopt}, {"ok.txt", "fine"}}},
      {"empty name",
       LocalHeader({0, 0, 3, 3, 0, 0}) + "abc" + ok,
       1,
       {{"", std::nullopt}, {"ok.txt", "fine"}}},
      {"deflated entry of random bytes",
       LocalHeader({0, 8, 4096, 10000, 8, 0}) + "rand.bin" + noise.substr(0, 4096) + ok,
       2,
       {{"rand.bin", std::nullopt}, {"ok.txt", "fine"}}},
      // The later of two entries of one name hides the earlier.
      {"same name twice",
       StoredEntry("dup.txt", "one") + StoredEntry("DUP.TXT", "two"),
       2,
       {{"dup.txt", "two"}, {"Dup.Txt", "two"}}},
      {"central directory after the entries",
       ok + "PK\x01\x02" + std::string(42, '\0') + "ok.txt",
       1,
       {{"ok.txt", "fine"}}},
  };
  for (const auto &c : cases) {
    MemoryPack pack(c.bytes);
    EXPECT_TRUE(pack.pack->IsOpen()) << c.what;
    EXPECT_EQ(pack.pack->EntryCount(), c.entries) << c.what;
    for (const auto &[name, expected] : c.lookups)
      EXPECT_EQ(pack.Read(name), expected) << c.what << ": " << name.substr(0, 20);
  }
}

// Damaged anywhere, a pack never crashes or hangs (the sanitizers watch the
// reads). Its CRCs are not checked, so a damaged byte of stored data may
// still be served; only the structure is guarded.
TEST(DataPak, RandomDamageNeverCrashes) {
  REQUIRE_PYTHON();
  std::string ini;
  for (int i = 0; i < 40; ++i)
    ini += "[Step" + std::to_string(i) + "]\nExt=mp3 ogg\n";
  const std::vector<ZipEntry> entries = {{"a.ini", ini, 8, -1, ""},
                                         {"b.bmp", std::string(200, 'b'), 0, -1, ""},
                                         {"c.ini", ini, 8, 1, ""}};
  const Zip zip = MakeZip(entries);
  std::mt19937 random(42);
  int intact = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string bytes = zip.bytes;
    for (int k = 1 + int(random() % 4); k > 0; --k)
      bytes[random() % bytes.size()] = char(random());
    MemoryPack pack(bytes);
    bool all = true;
    for (const ZipEntry &e : entries)
      all &= pack.Read(e.name) == e.content;
    intact += all;
  }
  // Damage that misses the local headers and the deflated data leaves every entry intact.
  EXPECT_GT(intact, 0);
}

// An I/O failure during the scan closes the archive: the records found
// before stay in the table, but their data can no longer be read.
TEST(DataPak, ScanFailureKeepsRecordsThatCanNoLongerBeRead) {
  REQUIRE_PYTHON();
  const std::vector<ZipEntry> entries = ThreeStoredEntries();
  MemoryFileSystem memory;
  memory.SetFile(kPack, B(MakeZip(entries).bytes));
  FaultInjector counting;
  {
    FaultInjectingFileSystem files(memory, counting);
    CDataPak pack(files, kPack);
    ASSERT_EQ(pack.EntryCount(), 3u);
  }
  const int64_t scanCalls = counting.stats.calls;
  std::set<size_t> kept;
  for (int64_t n = 1; n <= scanCalls; ++n) {
    FaultInjector faults;
    faults.FailAt(n);
    FaultInjectingFileSystem files(memory, faults);
    CDataPak pack(files, kPack);
    EXPECT_FALSE(pack.IsOpen()) << "failure at call " << n;
    kept.insert(pack.EntryCount());
    for (const ZipEntry &e : entries)
      EXPECT_EQ(pack.ReadFile(e.name), std::nullopt) << e.name << ", failure at call " << n;
  }
  EXPECT_EQ(kept, (std::set<size_t>{0, 1, 2, 3}));
}

// A failed read after the scan gives nothing once; the pack stays usable.
TEST(DataPak, ReadFailureAfterTheScanIsNotLasting) {
  REQUIRE_PYTHON();
  const std::vector<ZipEntry> entries = {{"a.ini", "[a]\nx=1\n", 8, -1, ""}};
  MemoryFileSystem memory;
  memory.SetFile(kPack, B(MakeZip(entries).bytes));
  int missed = 0;
  for (int64_t n = 1; n <= 4; ++n) {
    FaultInjector faults;
    FaultInjectingFileSystem files(memory, faults);
    CDataPak pack(files, kPack);
    faults.FailAt(faults.stats.calls + n);
    const std::optional<std::string> first = Text(pack.ReadFile("a.ini"));
    EXPECT_TRUE(!first || *first == entries[0].content) << "failure at read call " << n;
    missed += !first;
    EXPECT_TRUE(pack.IsOpen());
    EXPECT_EQ(Text(pack.ReadFile("a.ini")), entries[0].content) << "failure at read call " << n;
  }
  EXPECT_GT(missed, 0);
}

} // namespace
} // namespace tunbrix
