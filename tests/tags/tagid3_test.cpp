#include <gtest/gtest.h>

#include <cstring>

#include "support/ape_bytes.h"
#include "support/bytes.h"
#include "support/fault_loop.h"
#include "support/test_support.h"
#include "support/tones.h"
#include "tags/tagid3.h"

namespace tunbrix {
namespace {

using namespace test::bytes;
using test::Ape131;
using test::ReadFileBytes;
using test::WriteFileBytes;

std::string Padded(const std::string &text, size_t size) {
  std::string s = text.substr(0, size);
  s.resize(size, '\0');
  return s;
}

// 128 bytes laid out by hand: "TAG", title, artist, album (30 bytes each),
// year (4), the 30 bytes 97..126 exactly as given (zero-padded), genre.
std::string HandTag(const std::string &title, const std::string &artist, const std::string &album,
                    const std::string &year, const std::string &bytes97to126, uint8_t genre) {
  return "TAG" + Padded(title, 30) + Padded(artist, 30) + Padded(album, 30) + Padded(year, 4) +
         Padded(bytes97to126, 30) + std::string(1, static_cast<char>(genre));
}

// Stand-in audio: no "TAG" or "APE" anywhere in it.
std::string Audio(size_t n) { return std::string(n, '\x55'); }

const std::string k30 = "abcdefghijklmnopqrstuvwxyz0123";

CID3 Fields(const std::string &title, const std::string &comment, uint8_t track,
            uint8_t genre = 17) {
  CID3 id3;
  id3.Title = title;
  id3.Artist = "Artist";
  id3.Album = "Album";
  id3.Year = "1999";
  id3.Comment = comment;
  id3.Track = track;
  id3.Genre = genre;
  return id3;
}

void ExpectSameFields(const CID3 &a, const CID3 &b) {
  EXPECT_EQ(a.Title, b.Title);
  EXPECT_EQ(a.Artist, b.Artist);
  EXPECT_EQ(a.Album, b.Album);
  EXPECT_EQ(a.Year, b.Year);
  EXPECT_EQ(a.Comment, b.Comment);
  EXPECT_EQ(a.Track, b.Track);
  EXPECT_EQ(a.Genre, b.Genre);
}

// Writes through the real file system into 200 bytes of audio: the tag is
// appended once, overwritten in place the second time, and reads back as
// readBack.
TEST(CID3, WriteLayoutAndReadBack) {
  const struct {
    const char *what;
    CID3 written;
    std::string tag; // the expected 128 bytes
    std::string comment;
    uint8_t track;
  } cases[] = {
      {"30-byte comment without track: ID3v1.0, kept whole", Fields("T", k30, 0),
       HandTag("T", "Artist", "Album", "1999", k30, 17), k30, 0},
      {"30-byte comment with track 5: cut to 28, ID3v1.1", Fields("T", k30, 5),
       HandTag("T", "Artist", "Album", "1999", k30.substr(0, 28) + '\0' + '\5', 17),
       k30.substr(0, 28), 5},
      {"29-byte comment without track: byte 125 holds its last byte",
       Fields("T", k30.substr(0, 29), 0),
       HandTag("T", "Artist", "Album", "1999", k30.substr(0, 29), 17), k30.substr(0, 29), 0},
      {"28-byte comment without track: ID3v1.1 with track 0", Fields("T", k30.substr(0, 28), 0),
       HandTag("T", "Artist", "Album", "1999", k30.substr(0, 28), 17), k30.substr(0, 28), 0},
      {"track 255, no genre", Fields("T", "c", 255, 255),
       HandTag("T", "Artist", "Album", "1999",
               std::string("c") + std::string(27, '\0') + '\0' + '\xff', 255),
       "c", 255},
  };
  test::TempDir dir;
  RealFileSystem fs;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const auto path = dir.Path() / "a.mp3";
    WriteFileBytes(path, Audio(200));
    CID3 w = c.written;
    ASSERT_EQ(w.Write(fs, dir.File("a.mp3")), kTagDone);
    EXPECT_EQ(ReadFileBytes(path), Audio(200) + c.tag);
    ASSERT_EQ(w.Write(fs, dir.File("a.mp3")), kTagDone);
    EXPECT_EQ(ReadFileBytes(path), Audio(200) + c.tag) << "a second write must overwrite";

    CID3 r;
    ASSERT_EQ(r.Read(fs, dir.File("a.mp3")), kTagDone);
    EXPECT_EQ(r.TagSize, 128);
    CID3 expected = c.written;
    expected.Comment = c.comment;
    expected.Track = c.track;
    ExpectSameFields(r, expected);
    // What was read writes back to the same bytes.
    ASSERT_EQ(r.Write(fs, dir.File("a.mp3")), kTagDone);
    EXPECT_EQ(ReadFileBytes(path), Audio(200) + c.tag);
  }
}

TEST(CID3, WriteCutsLongTexts) {
  CID3 w;
  w.Title = std::string(35, 'T');
  w.Artist = std::string(31, 'A');
  w.Album = std::string(30, 'L');
  w.Year = "19999";
  w.Comment = std::string(40, 'C');
  EXPECT_EQ(S(w.Build()), HandTag(std::string(30, 'T'), std::string(31, 'A'), std::string(30, 'L'),
                                  "1999", std::string(30, 'C'), 255));
}

TEST(CID3, ReadLayout) {
  const struct {
    const char *what;
    std::string tag;
    std::string title, comment;
    uint8_t track, genre;
  } cases[] = {
      {"ID3v1.0: 30-byte comment", HandTag("T", "", "", "", k30, 0), "T", k30, 0, 0},
      {"byte 125 = 0 and byte 126 = 0: ID3v1.1 with track 0",
       HandTag("T", "", "", "", k30.substr(0, 28), 1), "T", k30.substr(0, 28), 0, 1},
      {"ID3v1.1 with track 7",
       HandTag("T", "", "", "", "short" + std::string(23, '\0') + '\0' + '\7', 2), "T", "short", 7,
       2},
      {"ID3v1.0 whose byte 126 is 0: 29 bytes", HandTag("T", "", "", "", k30.substr(0, 29), 3), "T",
       k30.substr(0, 29), 0, 3},
      {"blank-padded fields and a blank comment byte 126 (old writers)",
       HandTag("Title" + std::string(25, ' '), "", "", "", "Hi" + std::string(28, ' '), 200),
       "Title", "Hi", 0, 200},
      {"leading blanks and control characters go",
       HandTag(" \t\x01Ti tle\r\n", "", "", "", "", 255), "Ti tle", "", 0, 255},
      {"bytes after the first zero are not text",
       HandTag(std::string("ab\0cd", 5), "", "", "", std::string("x\0yz", 4), 255), "ab", "x", 0,
       255},
      {"Windows-1252 bytes stay as they are", HandTag("Caf\xe9 \x80", "", "", "", "", 255),
       "Caf\xe9 \x80", "", 0, 255},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    MemoryFileSystem fs;
    fs.SetFile(u"/f", B(Audio(10) + c.tag));
    CID3 r;
    r.Artist = "left over from before";
    ASSERT_EQ(r.Read(fs, u"/f"), kTagDone);
    EXPECT_EQ(r.Title, c.title);
    EXPECT_EQ(r.Artist, "");
    EXPECT_EQ(r.Comment, c.comment);
    EXPECT_EQ(r.Track, c.track);
    EXPECT_EQ(r.Genre, c.genre);
  }
}

TEST(CID3, ApeTagAtEndMinus131IsNoID3v1) {
  ASSERT_EQ(Ape131().size(), 131u);
  const std::string before = Audio(300) + Ape131();
  MemoryFileSystem fs;
  fs.SetFile(u"/f", B(before));
  CID3 id3;
  EXPECT_EQ(id3.Read(fs, u"/f"), kTagNothing);
  EXPECT_EQ(id3.TagSize, 0);
  EXPECT_EQ(id3.Remove(fs, u"/f"), kTagNothing);
  EXPECT_EQ(fs.GetFile(u"/f"), B(before));

  id3 = Fields("New", "c", 1);
  ASSERT_EQ(id3.Write(fs, u"/f"), kTagDone);
  EXPECT_EQ(fs.GetFile(u"/f"), B(before + S(id3.Build())));
  CID3 r;
  EXPECT_EQ(r.Read(fs, u"/f"), kTagDone);
  EXPECT_EQ(r.Title, "New");
  EXPECT_EQ(r.Remove(fs, u"/f"), kTagDone);
  EXPECT_EQ(fs.GetFile(u"/f"), B(before));
}

// A file shorter than 131 bytes has no readable tag: Read and Remove report
// an error, Write appends.
TEST(CID3, ShortFiles) {
  const std::string tag = HandTag("Old", "", "", "", "", 1);
  const struct {
    const char *what;
    std::string file;
    int read;
    bool overwrites;
  } cases[] = {
      {"zero-length file", "", kTagFailed, false},
      {"a bare tag of 128 bytes", tag, kTagFailed, false},
      {"130 bytes ending in a tag", "xy" + tag, kTagFailed, false},
      {"131 bytes ending in a tag", "xyz" + tag, kTagDone, true},
      {"131 bytes without a tag", Audio(131), kTagNothing, false},
  };
  const CID3 w = Fields("New", "", 0);
  const std::string newTag = S(w.Build());
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    MemoryFileSystem fs;
    fs.SetFile(u"/f", B(c.file));
    CID3 r;
    EXPECT_EQ(r.Read(fs, u"/f"), c.read);
    EXPECT_EQ(r.Remove(fs, u"/f"), c.read);
    if (c.read == kTagDone)
      EXPECT_EQ(fs.GetFile(u"/f"), B("xyz"));
    else
      EXPECT_EQ(fs.GetFile(u"/f"), B(c.file));
    fs.SetFile(u"/f", B(c.file));
    CID3 copy = w;
    EXPECT_EQ(copy.Write(fs, u"/f"), kTagDone);
    const std::string kept = c.overwrites ? c.file.substr(0, c.file.size() - 128) : c.file;
    EXPECT_EQ(fs.GetFile(u"/f"), B(kept + newTag));
  }
  MemoryFileSystem fs;
  CID3 id3;
  EXPECT_EQ(id3.Read(fs, u"/missing"), kTagFailed);
  EXPECT_EQ(id3.Write(fs, u"/missing"), kTagFailed);
  EXPECT_EQ(id3.Remove(fs, u"/missing"), kTagFailed);
  EXPECT_TRUE(fs.FileNames().empty());
}

TEST(CID3, FailureAtAnyCallLeavesTheFileAsItWas) {
  const CID3 w = Fields("New", k30, 0);
  const std::string newTag = S(w.Build());
  const std::string old = Audio(500) + HandTag("Old", "", "", "", "", 1);
  const auto write = [&](IFileSystem &fs) {
    CID3 copy = w;
    return copy.Write(fs, u"/f");
  };
  {
    SCOPED_TRACE("append");
    test::ExpectEveryFailureLeavesTheFile(B(Audio(500)), B(Audio(500) + newTag), write, kTagDone,
                                          kTagFailed);
  }
  {
    SCOPED_TRACE("overwrite");
    test::ExpectEveryFailureLeavesTheFile(B(old), B(Audio(500) + newTag), write, kTagDone,
                                          kTagFailed);
  }
  {
    SCOPED_TRACE("remove");
    test::ExpectEveryFailureLeavesTheFile(
        B(old), B(Audio(500)), [&](IFileSystem &fs) { return CID3().Remove(fs, u"/f"); }, kTagDone,
        kTagFailed);
  }
}

TEST(CID3, AudioOfAnMp3IsNeverTouched) {
  TB_REQUIRE_TOOL("lame");
  test::TempDir dir;
  const std::string audio = test::MonoToneMp3(dir);
  ASSERT_GT(audio.size(), 1000u);
  ASSERT_NE(audio.substr(audio.size() - 128, 3), "TAG");
  RealFileSystem fs;
  const auto path = dir.Path() / "a.mp3";
  const auto check = [&](size_t tagBytes) {
    const std::string now = ReadFileBytes(path);
    ASSERT_EQ(now.size(), audio.size() + tagBytes);
    EXPECT_EQ(now.substr(0, audio.size()), audio);
  };
  CID3 w = Fields("One", "c", 3);
  ASSERT_EQ(w.Write(fs, dir.File("a.mp3")), kTagDone);
  check(128);
  w = Fields(std::string(30, 'x'), k30, 0);
  ASSERT_EQ(w.Write(fs, dir.File("a.mp3")), kTagDone);
  check(128);
  ASSERT_EQ(CID3().Remove(fs, dir.File("a.mp3")), kTagDone);
  check(0);
  EXPECT_EQ(CID3().Remove(fs, dir.File("a.mp3")), kTagNothing);
  check(0);
}

// mutagen's ID3 object reads a file that has only an ID3v1 tag into frames;
// it decodes the texts as Latin-1, so they are turned back into Windows-1252
// bytes and printed as UTF-8.
const char *kMutagenPrint = R"(
import sys
from mutagen.id3 import ID3
t = ID3(sys.argv[1])
def text(k):
    return str(t[k]).encode('latin1').decode('cp1252') if k in t else '-'
out = '|'.join([text('TIT2'), text('TPE1'), text('TALB'), text('TDRC'), text('TRCK'),
                t['TCON'].genres[0] if 'TCON' in t else '-',
                t.getall('COMM')[0].text[0] if t.getall('COMM') else '-'])
sys.stdout.buffer.write((out + '\n').encode('utf-8'))
)";

TEST(CID3, MutagenReadsWhatWeWrite) {
  TB_REQUIRE_MUTAGEN();
  test::TempDir dir;
  RealFileSystem fs;
  const struct {
    CID3 tag;
    std::string printed;
  } cases[] = {
      {Fields(WideToCp1252(u"Café €uro"), "a comment", 9),
       "Café €uro|Artist|Album|1999|9|Rock|a comment"},
      {Fields("T", k30.substr(0, 29), 0, 255), "T|Artist|Album|1999|-|-|" + k30.substr(0, 29)},
  };
  for (const auto &c : cases) {
    WriteFileBytes(dir.Path() / "a.mp3", Audio(400));
    CID3 w = c.tag;
    ASSERT_EQ(w.Write(fs, dir.File("a.mp3")), kTagDone);
    const auto r = test::RunCommand(
        {"/usr/bin/python3", "-c", kMutagenPrint, (dir.Path() / "a.mp3").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, c.printed + "\n");
  }
}

// Tags written by other programs, read back by us. Texts in the expectations
// are UTF-8 of what we decode from Windows-1252.
struct Expected {
  std::string title, artist, album, year, comment;
  int track, genre;
};

void ExpectRead(const test::TempDir &dir, const Expected &e) {
  RealFileSystem fs;
  CID3 r;
  ASSERT_EQ(r.Read(fs, dir.File("a.mp3")), kTagDone);
  EXPECT_EQ(WideToUtf8(Cp1252ToWide(r.Title)), e.title);
  EXPECT_EQ(WideToUtf8(Cp1252ToWide(r.Artist)), e.artist);
  EXPECT_EQ(WideToUtf8(Cp1252ToWide(r.Album)), e.album);
  EXPECT_EQ(r.Year, e.year);
  EXPECT_EQ(WideToUtf8(Cp1252ToWide(r.Comment)), e.comment);
  EXPECT_EQ(r.Track, e.track);
  EXPECT_EQ(r.Genre, e.genre);
}

TEST(CID3, ReadsTagsOfId3v2Tool) {
  TB_REQUIRE_TOOL("id3v2");
  TB_REQUIRE_TOOL("lame");
  test::TempDir dir;
  test::MonoToneMp3(dir);
  // id3v2 stores the argument bytes as they are: Windows-1252 here.
  const auto r = test::RunCommand({"id3v2", "-1", "-a", "Caf\xe9 \x80 Artist", "-t", "Title X",
                                   "-A", "Album Y", "-y", "1999", "-c", "Some comment", "-T", "7",
                                   "-g", "17", (dir.Path() / "a.mp3").string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ExpectRead(dir, {"Title X", "Café € Artist", "Album Y", "1999", "Some comment", 7, 17});
}

TEST(CID3, ReadsTagsOfEyeD3) {
  TB_REQUIRE_TOOL("eyeD3");
  TB_REQUIRE_TOOL("lame");
  test::TempDir dir;
  const std::string file = (dir.Path() / "a.mp3").string();
  const std::string comment(30, 'c');
  {
    SCOPED_TRACE("ID3v1.1 with Latin-1 texts");
    test::MonoToneMp3(dir);
    const auto r = test::RunCommand({"eyeD3", "-1", "-a", "Café Ärtist", "-t", "Tïtle", "-A", "Al",
                                     "-Y", "2001", "-n", "3", "-G", "Rock", "-c", "comm", file});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ExpectRead(dir, {"Tïtle", "Café Ärtist", "Al", "2001", "comm", 3, 17});
  }
  {
    SCOPED_TRACE("ID3v1.0: a 30-byte comment without track");
    test::MonoToneMp3(dir);
    const auto r = test::RunCommand({"eyeD3", "-1", "-t", "T", "-G", "Jazz", "-c", comment, file});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ExpectRead(dir, {"T", "", "", "", comment, 0, 8});
  }
  {
    SCOPED_TRACE("converted from ID3v2 with a track: the comment is cut to 28");
    test::MonoToneMp3(dir);
    auto r = test::RunCommand(
        {"eyeD3", "-2", "-t", "T2", "-a", "Art", "-n", "4", "-G", "Blues", "-c", comment, file});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = test::RunCommand({"eyeD3", "--to-v1.1", file});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ExpectRead(dir, {"T2", "Art", "", "", comment.substr(0, 28), 4, 0});
  }
}

TEST(CID3, ReadsTagsOfMutagen) {
  TB_REQUIRE_MUTAGEN();
  test::TempDir dir;
  const auto path = dir.Path() / "a.mp3";
  WriteFileBytes(path, Audio(400));
  // mutagen writes Latin-1 and looks for its comment under the key "COMM",
  // which no comment frame has, so its ID3v1 tags carry no comment.
  const char *code = R"(
import sys
from mutagen.id3 import ID3, TIT2, TPE1, TALB, TDRC, TRCK, TCON
t = ID3()
t.add(TIT2(encoding=3, text='Été'))
t.add(TPE1(encoding=3, text='Ärtist'))
t.add(TALB(encoding=3, text='Album'))
t.add(TDRC(encoding=3, text='2004'))
t.add(TRCK(encoding=3, text='12/15'))
t.add(TCON(encoding=3, text='Jazz'))
t.save(sys.argv[1], v1=2)
)";
  const auto r = test::RunCommand({"/usr/bin/python3", "-c", code, path.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ExpectRead(dir, {"Été", "Ärtist", "Album", "2004", "", 12, 8});
}

} // namespace
} // namespace tunbrix
