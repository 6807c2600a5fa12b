// ID3v2 tags checked against other programs: what we write, mutagen reads;
// what mid3v2, eyeD3, id3v2 (id3lib) and mutagen write, we read. The audio
// of a lame-made MP3 survives every write and remove.
#include <gtest/gtest.h>

#include <map>

#include "support/test_support.h"
#include "support/tones.h"
#include "tags/tagid3v2.h"

namespace tunbrix {
namespace {

using Dump = std::map<std::string, std::string>;

// Prints the frames mutagen finds in the tag that starts at the given offset
// (mutagen looks for a tag only at the start of a file, so an appended tag is
// handed to it as a stream that starts there). ID3v1 is not merged in.
constexpr const char *kMutagenDump = R"(
import io, sys
from mutagen.id3 import ID3
sys.stdout.reconfigure(encoding='utf-8')
data = open(sys.argv[1], 'rb').read()
tag = ID3(io.BytesIO(data[int(sys.argv[2]):]), translate=False, load_v1=False)
print('version=%d' % tag.version[1])
for key in sorted(tag.keys()):
    f = tag[key]
    if hasattr(f, 'text'): value = '|'.join(str(x) for x in f.text)
    elif hasattr(f, 'url'): value = f.url
    elif hasattr(f, 'data'): value = f.data.hex()
    else: value = repr(f)
    print(key + '=' + value)
)";

Dump MutagenDump(const std::filesystem::path &file, int64_t offset = 0) {
  const auto r = test::RunCommand(
      {"/usr/bin/python3", "-c", kMutagenDump, file.string(), std::to_string(offset)});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return test::KeyValueLines(r.out);
}

// Half a second of a stereo tone through lame.
std::string MakeMp3(const test::TempDir &dir) {
  const auto r = test::RunCommand(
      {"lame", "--silent", "-r", "-s", "44.1", "--bitwidth", "16", "--signed", "--little-endian",
       test::WriteStereoTone(dir).string(), (dir.Path() / "tone.mp3").string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return test::ReadFileBytes(dir.Path() / "tone.mp3");
}

std::string ID3v1Bytes() {
  std::string t = "TAG" + std::string(125, '\0');
  t.replace(3, 5, "title");
  return t;
}

WideString Path(const std::filesystem::path &p) { return FromNativePath(p.string()); }

// ---- what we write, mutagen reads

TEST(ID3v2Peers, MutagenReadsOurTags) {
  TB_REQUIRE_TOOL("lame");
  TB_REQUIRE_MUTAGEN();
  test::TempDir dir;
  const std::string mp3 = MakeMp3(dir);
  const std::vector<std::pair<std::string, std::u16string>> latin = {
      {"Title", u"Caf\u00E9"}, {"Year", u"2004"}, {"Track", u"3/12"}, {"Comment", u"note"}};
  const std::vector<std::pair<std::string, std::u16string>> wide = {
      {"Title", u"\u00FF\u00E0 sync"},       // FF E0 in Latin-1: a false sync
      {"Artist", u"Zo\u00EB \u20AC \u03A9"}, // UTF-16
      {"Comment", u"\u00FF\u00FF\u00E0"},
      {"URL", u"http://x.example/"},
      {"Year", u"2004-05-06"}};
  const struct {
    const char *name;
    int version;
    bool unsync, atEnd;
    int padding;
    const std::vector<std::pair<std::string, std::u16string>> &items;
    Dump expected;
    uint8_t headerFlags;
  } cases[] = {
      {"2.3 Latin-1",
       3,
       false,
       false,
       0,
       latin,
       {{"version", "3"},
        {"TIT2", "Café"},
        {"TYER", "2004"},
        {"TRCK", "3/12"},
        {"COMM::XXX", "note"}},
       0},
      {"2.3 UTF-16, unsynchronised",
       3,
       true,
       false,
       1024,
       wide,
       {{"version", "3"},
        {"TIT2", "ÿà sync"},
        {"TPE1", "Zoë € Ω"},
        {"COMM::XXX", "ÿÿà"},
        {"WXXX:", "http://x.example/"},
        {"TYER", "2004"}},
       0x80},
      {"2.4 Latin-1",
       4,
       false,
       false,
       512,
       latin,
       {{"version", "4"},
        {"TIT2", "Café"},
        {"TDRC", "2004"},
        {"TRCK", "3/12"},
        {"COMM::XXX", "note"}},
       0},
      {"2.4 UTF-16, unsynchronised",
       4,
       true,
       false,
       0,
       wide,
       {{"version", "4"},
        {"TIT2", "ÿà sync"},
        {"TPE1", "Zoë € Ω"},
        {"COMM::XXX", "ÿÿà"},
        {"WXXX:", "http://x.example/"},
        {"TDRC", "2004-05-06"}},
       0},
      {"2.4 at the end with a footer",
       4,
       false,
       true,
       0,
       wide,
       {{"version", "4"},
        {"TIT2", "ÿà sync"},
        {"TPE1", "Zoë € Ω"},
        {"COMM::XXX", "ÿÿà"},
        {"WXXX:", "http://x.example/"},
        {"TDRC", "2004-05-06"}},
       0x10},
  };
  RealFileSystem fs;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const auto file = dir.Path() / "out.mp3";
    test::WriteFileBytes(file, c.atEnd ? mp3 + ID3v1Bytes() : mp3);
    CID3v2 tag;
    for (const auto &[name, value] : c.items)
      tag.SetItem(name, value);
    tag.Version = c.version;
    tag.Unsync = c.unsync;
    tag.AtEnd = c.atEnd;
    tag.PaddingUnit = c.padding;
    ASSERT_EQ(tag.Write(fs, Path(file)), kTagDone);
    const std::string bytes = test::ReadFileBytes(file);
    const size_t at = size_t(tag.TagPosition);
    ASSERT_EQ(bytes.substr(at, 3), "ID3");
    EXPECT_EQ(uint8_t(bytes[at + 5]), c.headerFlags);

    const Dump dump = MutagenDump(file, tag.TagPosition);
    EXPECT_EQ(dump.size(), c.expected.size());
    for (const auto &[key, value] : c.expected)
      EXPECT_EQ(dump.count(key) ? dump.at(key) : "(missing)", value) << key;

    if (c.atEnd) {
      // By hand: the footer repeats the header with "3DI", right after the
      // body, and the ID3v1 tag follows untouched.
      const size_t footer = at + 10 + tag.TagSize;
      EXPECT_EQ(at, mp3.size());
      EXPECT_EQ(bytes.substr(footer, 3), "3DI");
      EXPECT_EQ(bytes.substr(footer + 3, 7), bytes.substr(at + 3, 7));
      EXPECT_EQ(bytes.substr(footer + 10), ID3v1Bytes());
    }
  }
}

// ---- what others write, we read

struct TPeerCase {
  const char *name;
  std::vector<std::string> command; // the file name is appended
  int version;
  std::map<std::string, std::u16string> texts; // frame id -> text (empty description)
};

void ExpectWeRead(const std::filesystem::path &file, const TPeerCase &c) {
  RealFileSystem fs;
  CID3v2 tag;
  ASSERT_EQ(tag.Read(fs, Path(file)), 0);
  EXPECT_EQ(tag.Version, c.version);
  EXPECT_EQ(tag.TagPosition, 0);
  for (const auto &[id, text] : c.texts)
    EXPECT_EQ(tag.GetFrameText(id, u""), text) << id;
}

// Reads a peer's tag, writes it back in the same version and asks mutagen
// whether anything changed.
void ExpectRewriteKeepsEverything(const std::filesystem::path &file) {
  const Dump before = MutagenDump(file);
  RealFileSystem fs;
  CID3v2 tag;
  ASSERT_EQ(tag.Read(fs, Path(file)), 0);
  tag.PaddingUnit = 512;
  ASSERT_EQ(tag.Write(fs, Path(file)), kTagDone);
  EXPECT_EQ(MutagenDump(file), before);
}

TEST(ID3v2Peers, WeReadWhatOthersWrite) {
  TB_REQUIRE_TOOL("lame");
  const TPeerCase cases[] = {
      {"mid3v2 (2.4, UTF-8)",
       {"mid3v2", "-a", "Zoë", "-t", "Titlé Ω", "-A", "Album", "-y", "2004", "-T", "3/12", "-c",
        ":comm:eng", "-g", "Rock", "--TXXX", "key:value"},
       4,
       {{"TPE1", u"Zo\u00EB"},
        {"TIT2", u"Titl\u00E9 \u03A9"},
        {"TALB", u"Album"},
        {"TDRC", u"2004"},
        {"TRCK", u"3/12"},
        {"COMM", u"comm"},
        {"TCON", u"Rock"}}},
      {"eyeD3 (2.4)",
       {"eyeD3", "-Q", "--no-color", "-a", "Zoë", "-t", "Titlé Ω", "-A", "Album", "-n", "3", "-c",
        "comm", "--recording-date", "2004"},
       4,
       {{"TPE1", u"Zo\u00EB"},
        {"TIT2", u"Titl\u00E9 \u03A9"},
        {"TALB", u"Album"},
        {"TDRC", u"2004"},
        {"TRCK", u"03"},
        {"COMM", u"comm"}}},
      {"eyeD3 (2.3, UTF-16)",
       {"eyeD3", "-Q", "--no-color", "--to-v2.3", "-a", "Zoë", "-t", "Titlé Ω", "-c", "comm"},
       3,
       {{"TPE1", u"Zo\u00EB"}, {"TIT2", u"Titl\u00E9 \u03A9"}, {"COMM", u"comm"}}},
      {"id3v2 (id3lib, 2.3)",
       {"id3v2", "-a", "Zoë", "-t", "Title", "-A", "Album", "-y", "2004", "-T", "3/12", "-c",
        "comm"},
       3,
       {{"TPE1", u"Zo\u00EB"},
        {"TIT2", u"Title"},
        {"TALB", u"Album"},
        {"TYER", u"2004"},
        {"TRCK", u"3/12"},
        {"COMM", u"comm"}}},
  };
  test::TempDir dir;
  const std::string mp3 = MakeMp3(dir);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    if (test::FindTool(c.command[0]).empty()) {
      ADD_FAILURE() << "missing tool: " << c.command[0]; // installed with the project's tools
      continue;
    }
    const auto file = dir.Path() / "peer.mp3";
    test::WriteFileBytes(file, mp3);
    auto command = c.command;
    command.push_back(file.string());
    const auto r = test::RunCommand(command);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ExpectWeRead(file, c);
    if (test::HaveMutagen()) ExpectRewriteKeepsEverything(file);
  }
}

TEST(ID3v2Peers, WeReadMutagen23WithPictureAndUserFrames) {
  TB_REQUIRE_TOOL("lame");
  TB_REQUIRE_MUTAGEN();
  test::TempDir dir;
  const auto file = dir.Path() / "m.mp3";
  test::WriteFileBytes(file, MakeMp3(dir));
  constexpr const char *kWrite = R"(
import sys
from mutagen.id3 import ID3, TIT2, TPE1, COMM, TXXX, APIC, TYER
t = ID3()
t.add(TIT2(encoding=1, text=['Ω title']))
t.add(TPE1(encoding=0, text=['Zoë']))
t.add(TYER(encoding=0, text=['1999']))
t.add(COMM(encoding=1, lang='eng', desc='d', text=['described']))
t.add(COMM(encoding=1, lang='eng', desc='', text=['plain']))
t.add(TXXX(encoding=1, desc='key', text=['value']))
t.add(APIC(encoding=0, mime='image/png', type=3, desc='front', data=b'\x89PNG\xff\xe0\x00data'))
t.save(sys.argv[1], v2_version=3)
)";
  const auto r = test::RunCommand({"/usr/bin/python3", "-c", kWrite, file.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  RealFileSystem fs;
  CID3v2 tag;
  ASSERT_EQ(tag.Read(fs, Path(file)), 0);
  EXPECT_EQ(tag.Version, 3);
  EXPECT_EQ(tag.GetFrameText("TIT2", u""), u"\u03A9 title");
  EXPECT_EQ(tag.GetFrameText("TPE1", u""), u"Zo\u00EB");
  EXPECT_EQ(tag.GetFrameText("TYER", u""), u"1999");
  EXPECT_EQ(tag.GetFrameText("COMM", u""), u"plain");
  EXPECT_EQ(tag.GetFrameText("COMM", u"d"), u"described");
  EXPECT_EQ(tag.GetFrameText("TXXX", u"key"), u"value");
  const auto pic = tag.FindFrame("APIC", u"front");
  ASSERT_TRUE(pic.Found);
  EXPECT_EQ(pic.MimeType, "image/png");
  EXPECT_EQ(pic.PictureType, 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(pic.BinaryData), pic.BinaryLength),
            "\x89PNG\xff\xe0" + std::string(1, '\0') + "data");
  ExpectRewriteKeepsEverything(file);
  // Items changed by us and written as 2.4 read right in mutagen.
  ASSERT_EQ(tag.Read(fs, Path(file)), 0);
  tag.SetItem("Comment", u"new");
  tag.SetItem("Year", u"2010");
  tag.Version = 4;
  tag.Unsync = true;
  ASSERT_EQ(tag.Write(fs, Path(file)), kTagDone);
  const Dump dump = MutagenDump(file);
  EXPECT_EQ(dump.at("version"), "4");
  EXPECT_EQ(dump.at("COMM::XXX"), "new");
  EXPECT_EQ(dump.at("COMM:d:eng"), "described");
  EXPECT_EQ(dump.at("TDRC"), "2010");
  EXPECT_EQ(dump.count("TYER"), 0u);
  EXPECT_EQ(dump.at("APIC:front"), "89504e47ffe00064617461");
}

// ---- the audio survives

TEST(ID3v2Peers, EveryWriteAndRemoveKeepsTheAudio) {
  TB_REQUIRE_TOOL("lame");
  test::TempDir dir;
  const std::string mp3 = MakeMp3(dir);
  const auto file = dir.Path() / "a.mp3";
  test::WriteFileBytes(file, mp3);
  RealFileSystem fs;
  // The file without the ID3v2 tag that a fresh read finds.
  const auto withoutTag = [&]() {
    std::string bytes = test::ReadFileBytes(file);
    CID3v2 tag;
    if (tag.Read(fs, Path(file)) == 0) bytes.erase(size_t(tag.TagPosition), size_t(tag.TotalSize));
    return bytes;
  };
  const auto write = [&](const WideString &title, int version, bool atEnd) {
    CID3v2 tag;
    tag.Read(fs, Path(file));
    tag.SetItem("Title", title);
    tag.Version = version;
    tag.AtEnd = atEnd;
    return tag.Write(fs, Path(file));
  };
  const auto remove = [&]() {
    CID3v2 tag;
    return tag.Remove(fs, Path(file));
  };

  ASSERT_EQ(write(u"new tag", 3, false), kTagDone); // through a temporary file
  EXPECT_EQ(withoutTag(), mp3);
  ASSERT_EQ(write(u"in place", 3, false), kTagDone);
  EXPECT_EQ(withoutTag(), mp3);
  ASSERT_EQ(write(WideString(2000, u'x'), 4, false), kTagDone); // too large: rewritten
  EXPECT_EQ(withoutTag(), mp3);
  ASSERT_EQ(remove(), kTagDone);
  EXPECT_EQ(test::ReadFileBytes(file), mp3);
  EXPECT_EQ(remove(), kTagNothing);

  test::WriteFileBytes(file, mp3 + ID3v1Bytes());
  ASSERT_EQ(write(u"at the end", 4, true), kTagDone);
  EXPECT_EQ(withoutTag(), mp3 + ID3v1Bytes());
  ASSERT_EQ(write(WideString(700, u'y'), 4, false), kTagDone); // replaced at the end
  EXPECT_EQ(withoutTag(), mp3 + ID3v1Bytes());
  ASSERT_EQ(remove(), kTagDone);
  EXPECT_EQ(test::ReadFileBytes(file), mp3 + ID3v1Bytes());
}

} // namespace
} // namespace tunbrix
