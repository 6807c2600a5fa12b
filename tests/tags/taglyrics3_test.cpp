#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "support/ape_bytes.h"
#include "support/bytes.h"
#include "support/fault_loop.h"
#include "support/test_support.h"
#include "support/tones.h"
#include "tags/tagid3.h"
#include "tags/taglyrics3.h"

namespace tunbrix {
namespace {

using namespace test::bytes;
using test::Ape131;
using test::ReadFileBytes;
using test::WriteFileBytes;

// Stand-in audio: no marker of any tag in it.
std::string Audio(size_t n) { return std::string(n, '\x55'); }

// An ID3v1 tag: "TAG", a title, zero bytes, genre 17. The Lyrics3 code never
// looks inside it, it only has to come back unchanged.
std::string ID3v1() {
  std::string tag = "TAGA title that ID3v1 holds";
  tag.resize(127, '\0');
  return tag + '\x11';
}

// One field: identifier, five-digit length, data.
std::string Field(const std::string &id, const std::string &data) {
  char length[8];
  std::snprintf(length, sizeof length, "%05zu", data.size());
  return id + length + data;
}

// "LYRICSBEGIN", the fields, the six-digit size of those two, "LYRICS200".
std::string Block(const std::vector<std::string> &fields) {
  std::string block = "LYRICSBEGIN";
  for (const auto &f : fields)
    block += f;
  char size[8];
  std::snprintf(size, sizeof size, "%06zu", block.size());
  return block + size + "LYRICS200";
}

CLyrics3 Texts(size_t artist, size_t title, size_t album) {
  CLyrics3 l;
  l.Artist = std::string(artist, 'a');
  l.Title = std::string(title, 't');
  l.Album = std::string(album, 'l');
  return l;
}

TEST(CLyrics3, ReadsFieldsInFileOrder) {
  const std::string block =
      Block({Field("IND", "110"), Field("LYR", "[00:01]la la"), Field("EAR", std::string(40, 'a')),
             Field("ETT", std::string("Short\0junk", 10)), Field("EAL", std::string(251, 'b'))});
  MemoryFileSystem fs;
  fs.SetFile(u"/f", B(Audio(100) + block + ID3v1()));
  CLyrics3 l;
  ASSERT_EQ(l.Read(fs, u"/f"), kTagDone);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"IND", "110"},
      {"LYR", "[00:01]la la"},
      {"EAR", std::string(40, 'a')},
      {"ETT", std::string("Short\0junk", 10)},
      {"EAL", std::string(251, 'b')}};
  ASSERT_EQ(l.FieldCount(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(l.Fields[i].ID, Lyrics3ID(expected[i].first)) << i;
    EXPECT_EQ(l.Fields[i].Data, expected[i].second) << i;
  }
  EXPECT_EQ(l.FieldsLength(), 3 + 12 + 40 + 10 + 251);
  EXPECT_EQ(l.Artist, std::string(40, 'a'));
  EXPECT_EQ(l.Title, "Short");                 // up to the first zero byte
  EXPECT_EQ(l.Album, "");                      // longer than 250 bytes: not taken
  EXPECT_EQ(l.TagSize, int64_t(block.size())); // size digits + 15
  EXPECT_EQ(l.TagPosition, -int64_t(block.size() + 128));
}

// The size field counts "LYRICSBEGIN" and the fields, not itself and not
// "LYRICS200": 11 + 8 + 31 = 50.
TEST(CLyrics3, SizeFieldCountsBeginMarkerAndFields) {
  MemoryFileSystem fs;
  fs.SetFile(u"/f", B(Audio(10) + ID3v1()));
  CLyrics3 l = Texts(31, 0, 0);
  ASSERT_EQ(l.Write(fs, u"/f"), kTagDone);
  EXPECT_EQ(fs.GetFile(u"/f"), B(Audio(10) + "LYRICSBEGINEAR00031" + std::string(31, 'a') +
                                 "000050LYRICS200" + ID3v1()));
  EXPECT_EQ(l.TagSize, 65);
  EXPECT_EQ(l.TagPosition, -193);
  EXPECT_EQ(Block({Field("EAR", std::string(31, 'a'))}),
            "LYRICSBEGINEAR00031" + std::string(31, 'a') + "000050LYRICS200");
}

// A text of up to 30 bytes fits ID3v1 and needs no extended field; longer
// ones are kept up to 250 bytes.
TEST(CLyrics3, ExtendedFieldsOnlyForTextsLongerThanID3v1Holds) {
  const struct {
    size_t artist, title, album;
    std::string block;
  } cases[] = {
      {30, 30, 30, ""},
      {0, 0, 0, ""},
      {31, 0, 0, Block({Field("EAR", std::string(31, 'a'))})},
      {0, 5, 31, Block({Field("EAL", std::string(31, 'l'))})},
      {250, 251, 40,
       Block({Field("EAR", std::string(250, 'a')), Field("ETT", std::string(250, 't')),
              Field("EAL", std::string(40, 'l'))})},
  };
  const std::string oldBlock = Block({Field("EAR", std::string(99, 'o'))});
  for (const auto &c : cases) {
    for (const std::string &before : {std::string(), oldBlock}) {
      SCOPED_TRACE(testing::Message() << c.artist << "/" << c.title << "/" << c.album
                                      << (before.empty() ? " onto ID3v1" : " over a block"));
      MemoryFileSystem fs;
      fs.SetFile(u"/f", B(Audio(50) + before + ID3v1()));
      CLyrics3 l = Texts(c.artist, c.title, c.album);
      ASSERT_EQ(l.Write(fs, u"/f"), kTagDone);
      const Bytes once = B(Audio(50) + c.block + ID3v1());
      EXPECT_EQ(fs.GetFile(u"/f"), once);
      ASSERT_EQ(l.Write(fs, u"/f"), kTagDone);
      EXPECT_EQ(fs.GetFile(u"/f"), once) << "writing twice gives what writing once gave";

      CLyrics3 r;
      ASSERT_EQ(r.Read(fs, u"/f"), c.block.empty() ? kTagNothing : kTagDone);
      EXPECT_EQ(r.Artist, c.artist > 30 ? std::string(std::min<size_t>(c.artist, 250), 'a') : "");
      EXPECT_EQ(r.Title, c.title > 30 ? std::string(std::min<size_t>(c.title, 250), 't') : "");
      EXPECT_EQ(r.Album, c.album > 30 ? std::string(std::min<size_t>(c.album, 250), 'l') : "");
    }
  }
}

TEST(CLyrics3, OtherFieldsAreWrittenBackUnchangedInTheirOrder) {
  const std::string lyrics = "[00:01]first line\r\n[00:05]second line";
  const std::string before = Audio(64) +
                             Block({Field("IND", "110"), Field("EAR", std::string(40, 'o')),
                                    Field("LYR", lyrics), Field("INF", "info")}) +
                             ID3v1();
  const struct {
    const char *what;
    size_t artist, album;
    std::vector<std::string> fields;
  } cases[] = {
      {"nothing changed",
       40,
       0,
       {Field("IND", "110"), Field("EAR", std::string(40, 'o')), Field("LYR", lyrics),
        Field("INF", "info")}},
      {"the artist is updated in its place",
       50,
       0,
       {Field("IND", "110"), Field("EAR", std::string(50, 'a')), Field("LYR", lyrics),
        Field("INF", "info")}},
      {"a short artist drops EAR, a new album comes last",
       30,
       35,
       {Field("IND", "110"), Field("LYR", lyrics), Field("INF", "info"),
        Field("EAL", std::string(35, 'l'))}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    MemoryFileSystem fs;
    fs.SetFile(u"/f", B(before));
    CLyrics3 l;
    ASSERT_EQ(l.Read(fs, u"/f"), kTagDone);
    if (c.artist != 40) l.Artist = std::string(c.artist, 'a');
    l.Album = std::string(c.album, 'l');
    ASSERT_EQ(l.Write(fs, u"/f"), kTagDone);
    const Bytes after = B(Audio(64) + Block(c.fields) + ID3v1());
    EXPECT_EQ(fs.GetFile(u"/f"), after);
    // Read again, write again: the same file.
    CLyrics3 again;
    ASSERT_EQ(again.Read(fs, u"/f"), kTagDone);
    ASSERT_EQ(again.Write(fs, u"/f"), kTagDone);
    EXPECT_EQ(fs.GetFile(u"/f"), after);
  }
}

// Without an ID3v1 tag to attach to, nothing is written, read or removed.
TEST(CLyrics3, NoID3v1TagMeansNothingToDo) {
  ASSERT_EQ(Ape131().size(), 131u);
  const struct {
    const char *what;
    std::string file;
  } cases[] = {
      {"audio only", Audio(300)},
      {"an APE tag at end -131", Audio(300) + Ape131()},
      {"zero-length file", ""},
      {"100 bytes", Audio(100)},
      {"130 bytes ending in ID3v1, too short to tell", "xy" + ID3v1()},
      {"a Lyrics3 block whose ID3v1 tag is gone",
       Audio(300) + Block({Field("EAR", std::string(40, 'a'))}) + Audio(128)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    MemoryFileSystem fs;
    fs.SetFile(u"/f", B(c.file));
    CLyrics3 l = Texts(40, 40, 40);
    EXPECT_EQ(l.Write(fs, u"/f"), kTagNothing);
    EXPECT_EQ(l.Remove(fs, u"/f", true), kTagNothing);
    EXPECT_EQ(l.Remove(fs, u"/f", false), kTagNothing);
    EXPECT_EQ(l.Read(fs, u"/f"), kTagNothing);
    EXPECT_EQ(fs.GetFile(u"/f"), B(c.file));
  }
}

TEST(CLyrics3, Remove) {
  const std::string block = Block({Field("LYR", "words"), Field("EAR", std::string(40, 'a'))});
  const struct {
    const char *what;
    std::string before;
    bool withID3v1;
    int result;
    std::string after;
  } cases[] = {
      {"with the ID3v1 tag", Audio(90) + block + ID3v1(), true, kTagDone, Audio(90)},
      {"keeping the ID3v1 tag", Audio(90) + block + ID3v1(), false, kTagDone, Audio(90) + ID3v1()},
      {"ID3v1 alone is not ours to remove", Audio(90) + ID3v1(), true, kTagNothing,
       Audio(90) + ID3v1()},
      {"ID3v1 alone, keeping it", Audio(90) + ID3v1(), false, kTagNothing, Audio(90) + ID3v1()},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    MemoryFileSystem fs;
    fs.SetFile(u"/f", B(c.before));
    CLyrics3 l;
    EXPECT_EQ(l.Remove(fs, u"/f", c.withID3v1), c.result);
    EXPECT_EQ(fs.GetFile(u"/f"), B(c.after));
  }
  MemoryFileSystem fs;
  CLyrics3 l;
  EXPECT_EQ(l.Read(fs, u"/missing"), kTagFailed);
  EXPECT_EQ(l.Write(fs, u"/missing"), kTagFailed);
  EXPECT_EQ(l.Remove(fs, u"/missing", true), kTagFailed);
  EXPECT_TRUE(fs.FileNames().empty());
}

// Damaged blocks. Size digits that are no number mean no tag (a write puts a
// new block in front of the ID3v1 tag and leaves the old bytes as they are);
// a size that does not lead to "LYRICSBEGIN" is an error everywhere; fields
// that do not fit the block fail reading and writing, which would lose them,
// but the block can still be removed.
TEST(CLyrics3, DamagedBlocks) {
  const std::string ear = Field("EAR", std::string(31, 'a'));
  const std::string newBlock = Block({Field("EAR", std::string(33, 'n'))});
  const struct {
    const char *what;
    std::string beforeID3v1; // the file is this followed by ID3v1()
    int read, write, remove;
    std::string afterRemove; // likewise; when remove gives 0
  } cases[] = {
      {"size digits that are no number", Audio(20) + "LYRICSBEGIN" + ear + "00x050LYRICS200",
       kTagNothing, kTagDone, kTagNothing, ""},
      {"size 000000", Audio(20) + "LYRICSBEGIN" + ear + "000000LYRICS200", kTagNothing, kTagDone,
       kTagNothing, ""},
      {"a size reaching before the start of the file", Audio(20) + "999999LYRICS200", kTagFailed,
       kTagFailed, kTagFailed, ""},
      {"a size one too large", Audio(20) + "LYRICSBEGIN" + ear + "000051LYRICS200", kTagFailed,
       kTagFailed, kTagFailed, ""},
      {"a size too small for LYRICSBEGIN", Audio(20) + "LYRICSBEGIN000005LYRICS200", kTagFailed,
       kTagFailed, kTagFailed, ""},
      {"a field length running past the block", Audio(20) + "LYRICSBEGINEAR00099abc000022LYRICS200",
       kTagFailed, kTagFailed, kTagDone, Audio(20)},
      {"a field header cut short", Audio(20) + "LYRICSBEGINEAR00003abcEA000024LYRICS200",
       kTagFailed, kTagFailed, kTagDone, Audio(20)},
      {"a field length that is no number", Audio(20) + "LYRICSBEGINEAR0x003abc000022LYRICS200",
       kTagFailed, kTagFailed, kTagDone, Audio(20)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes before = B(c.beforeID3v1 + ID3v1());
    MemoryFileSystem fs;
    fs.SetFile(u"/f", before);
    CLyrics3 l;
    l.Artist = "left over";
    EXPECT_EQ(l.Read(fs, u"/f"), c.read);
    if (c.read != kTagDone) {
      EXPECT_EQ(l.FieldCount(), 0u);
      EXPECT_EQ(l.Artist, "");
      EXPECT_EQ(l.TagSize, 0);
    }
    EXPECT_EQ(fs.GetFile(u"/f"), before);

    l.Artist = std::string(33, 'n');
    EXPECT_EQ(l.Write(fs, u"/f"), c.write);
    if (c.write == kTagDone)
      EXPECT_EQ(fs.GetFile(u"/f"), B(c.beforeID3v1 + newBlock + ID3v1()));
    else
      EXPECT_EQ(fs.GetFile(u"/f"), before);

    fs.SetFile(u"/f", before);
    EXPECT_EQ(l.Remove(fs, u"/f", false), c.remove);
    EXPECT_EQ(fs.GetFile(u"/f"), c.remove == kTagDone ? B(c.afterRemove + ID3v1()) : before);
  }
}

TEST(CLyrics3, FailureAtAnyCallLeavesTheFileAsItWas) {
  const std::string oldBlock = Block({Field("LYR", "words"), Field("EAR", std::string(99, 'o'))});
  const std::string plain = Audio(700) + ID3v1(), tagged = Audio(700) + oldBlock + ID3v1();
  const auto write = [](size_t artist) {
    return [artist](IFileSystem &fs) {
      CLyrics3 l = Texts(artist, 0, 0);
      return l.Write(fs, u"/f");
    };
  };
  const auto remove = [](bool withID3v1) {
    return [withID3v1](IFileSystem &fs) { return CLyrics3().Remove(fs, u"/f", withID3v1); };
  };
  const std::string newBlock = Block({Field("EAR", std::string(40, 'a'))});
  const struct {
    const char *what;
    std::string before, after;
    std::function<int(IFileSystem &)> change;
  } cases[] = {
      {"write a new block", plain, Audio(700) + newBlock + ID3v1(), write(40)},
      {"replace a block", tagged, Audio(700) + newBlock + ID3v1(), write(40)},
      {"write no block over one", tagged, plain, write(5)},
      {"remove with ID3v1", tagged, Audio(700), remove(true)},
      {"remove keeping ID3v1", tagged, plain, remove(false)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    test::ExpectEveryFailureLeavesTheFile(B(c.before), B(c.after), c.change, kTagDone, kTagFailed);
  }
}

TEST(CLyrics3, AudioOfAnMp3IsNeverTouched) {
  TB_REQUIRE_TOOL("lame");
  test::TempDir dir;
  const std::string audio = test::MonoToneMp3(dir);
  ASSERT_GT(audio.size(), 1000u);
  RealFileSystem fs;
  const WideString path = dir.File("a.mp3");
  const auto check = [&](const std::string &tail) {
    const std::string now = ReadFileBytes(dir.Path() / "a.mp3");
    ASSERT_EQ(now.size(), audio.size() + tail.size());
    EXPECT_EQ(now.substr(0, audio.size()), audio);
    EXPECT_EQ(now.substr(audio.size()), tail);
  };
  CID3 id3;
  id3.Title = "Title";
  ASSERT_EQ(id3.Write(fs, path), kTagDone);
  const std::string v1(reinterpret_cast<const char *>(id3.Build().data()), 128);
  check(v1);

  CLyrics3 l = Texts(45, 0, 0);
  ASSERT_EQ(l.Write(fs, path), kTagDone);
  check(Block({Field("EAR", std::string(45, 'a'))}) + v1);
  l = Texts(45, 200, 31);
  ASSERT_EQ(l.Write(fs, path), kTagDone);
  check(Block({Field("EAR", std::string(45, 'a')), Field("ETT", std::string(200, 't')),
               Field("EAL", std::string(31, 'l'))}) +
        v1);
  CLyrics3 r;
  ASSERT_EQ(r.Read(fs, path), kTagDone);
  EXPECT_EQ(r.Title, std::string(200, 't'));
  ASSERT_EQ(r.Remove(fs, path, false), kTagDone);
  check(v1);
  ASSERT_EQ(l.Write(fs, path), kTagDone);
  ASSERT_EQ(r.Remove(fs, path, true), kTagDone);
  check("");
}

} // namespace
} // namespace tunbrix
