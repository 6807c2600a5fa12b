#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "app/headless_tags.h"
#include "foundation/WinExc32.h"
#include "foundation/file_io.h"
#include "foundation/unicode_winapi.h"
#include "support/test_support.h"
#include "support/tones.h"
#include "tags/taglib.h"

namespace tunbrix {
namespace {

namespace stdfs = std::filesystem;

struct TRun {
  int code = -1;
  std::string out, err;
};

// The commands as the program runs them, on real files, with vorbiscomment
// found through PATH.
class TagsCommandTest : public testing::Test {
protected:
  TRun Tags(const std::vector<std::string> &args) {
    std::ostringstream out, err;
    TRun r;
    r.code = RunTagsCommand(args, {out, err}, environment);
    r.out = out.str();
    r.err = err.str();
    return r;
  }
  TRun Info(const std::vector<std::string> &args) {
    std::ostringstream out, err;
    TRun r;
    r.code = RunInfoCommand(args, {out, err}, fs);
    r.out = out.str();
    r.err = err.str();
    return r;
  }
  std::string File(const std::string &name) const { return (dir.Path() / name).string(); }

  test::TempDir dir;
  RealFileSystem fs;
  CUninterruptedRun control;
  CRecordingDesktop desktop;
  TRunContext runner{u"", control, desktop, u""};
  TTagCommandEnvironment environment{fs, &runner, {}, {}};
};

// Half a second of a stereo tone, encoded by the tool that kind names.
std::string Encode(const test::TempDir &dir, const std::string &name) {
  const auto raw = test::WriteStereoTone(dir);
  const std::string out = (dir.Path() / name).string();
  const std::string kind = stdfs::path(name).extension().string();
  std::vector<std::string> command;
  if (kind == ".flac")
    command = {"flac",
               "--silent",
               "--force-raw-format",
               "--endian=little",
               "--sign=signed",
               "--channels=2",
               "--bps=16",
               "--sample-rate=44100",
               "-T",
               "ARTIST=Flacky",
               "-o",
               out,
               raw.string()};
  else if (kind == ".ogg")
    command = {"oggenc", "--quiet", "-r", "-C", "2", "-R",
               "44100",  "-B",      "16", "-o", out, raw.string()};
  else
    command = {"lame",     "--silent",        "-r",         "-s", "44.1", "--bitwidth", "16",
               "--signed", "--little-endian", raw.string(), out};
  const auto r = test::RunCommand(command);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return out;
}

std::string Python(const std::string &code, const std::vector<std::string> &args = {},
                   const std::string &input = {}) {
  std::vector<std::string> argv = {"/usr/bin/python3", "-c", code};
  argv.insert(argv.end(), args.begin(), args.end());
  return test::RunTool(argv, input);
}

// What mutagen sees: ID3v2 version and frames, the ID3v1 title, APE items.
const char *kMutagenView = R"(
import sys
from mutagen.id3 import ID3
from mutagen.apev2 import APEv2, APENoHeaderError
f = sys.argv[1]
try:
    i = ID3(f)
    print('ID3v2.%d' % i.version[1], sorted('%s=%s' % (k, i[k].text[0]) for k in i.keys()
          if k[:4] in ('TPE1', 'TIT2', 'TALB', 'TRCK')))
except Exception as e:
    print('no ID3v2')
raw = open(f, 'rb').read()
print('ID3v1' if raw[-128:-125] == b'TAG' else 'no ID3v1')
try:
    a = APEv2(f)
    print(sorted('%s=%s' % (k, a[k]) for k in a.keys()))
except APENoHeaderError:
    print('no APE')
)";

TEST_F(TagsCommandTest, WriteWithFormatsSetsAndClearsItems) {
  TB_REQUIRE_TOOL("lame");
  TB_REQUIRE_MUTAGEN();
  const std::string mp3 = Encode(dir, "a.mp3");
  TRun r = Tags({"write", "--formats", "id3v1,id3v2,ape", mp3, "Artist=\xC3\x84nne", "Title=T",
                 "catalog=C-1"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Python(kMutagenView, {mp3}), "ID3v2.3 ['TIT2=T', 'TPE1=\xC3\x84nne']\nID3v1\n"
                                         "['Artist=\xC3\x84nne', 'Catalog=C-1', 'Title=T']\n");

  // An empty value clears the item in every format the file has.
  r = Tags({"write", "--formats=present", mp3, "Artist="});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Python(kMutagenView, {mp3}), "ID3v2.3 ['TIT2=T']\nID3v1\n['Catalog=C-1', 'Title=T']\n");
}

TEST_F(TagsCommandTest, WriteWithoutFormatsFollowsTheRuleForTheExtension) {
  TB_REQUIRE_TOOL("lame");
  TB_REQUIRE_MUTAGEN();
  TTagExt rule;
  rule.SetExtensions(u".mp3 .mp2");
  rule.WriteID3v2 = rule.WriteAPE = true;
  rule.ID3v2Version = 4;
  rule.APEVersion = 2000;
  environment.rules = {rule};
  const std::string mp3 = Encode(dir, "b.mp3");
  TRun r = Tags({"write", mp3, "ALBUM ARTIST=Various", "Title=Song"});
  EXPECT_EQ(r.code, 0) << r.err;
  // "Capitalize" and "By size" are the default naming choices.
  EXPECT_EQ(Python(kMutagenView, {mp3}),
            "ID3v2.4 ['TIT2=Song']\nno ID3v1\n['Album Artist=Various', 'Title=Song']\n");

  const std::string wav = File("c.wav");
  test::WriteFileBytes(wav, "RIFF....WAVE");
  r = Tags({"write", wav, "Title=x"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "tunbrix: no tag rule names the extension \".wav\" of " + wav +
                       "; choose the formats with --formats.\n");
  EXPECT_EQ(test::ReadFileBytes(wav), "RIFF....WAVE");
}

TEST_F(TagsCommandTest, WriteFailuresSayWhatAndChangeNothing) {
  const std::string plain = File("plain.mp3");
  test::WriteFileBytes(plain, std::string(4000, 'a'));
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"write", "--formats", "lyrics3", plain, "Artist=x"},
       "nothing was written to " + plain + ": a Lyrics3 tag needs an ID3v1 tag after it."},
      {{"write", "--formats", "vorbis", plain, "Artist=x"},
       "Vorbis comments can only be written to FLAC and Ogg files, not to " + plain + "."},
      {{"write", File("none.mp3"), "Artist=x"}, File("none.mp3") + " does not exist."},
      {{"write", dir.Path().string(), "Artist=x"}, dir.Path().string() + " cannot be opened."},
  };
  for (const auto &c : cases) {
    const TRun r = Tags(c.args);
    EXPECT_EQ(r.code, 1) << c.err;
    EXPECT_EQ(r.err, "tunbrix: " + c.err + "\n");
    EXPECT_EQ(test::ReadFileBytes(plain), std::string(4000, 'a'));
  }
  // Ogg comments fail without the external program; what was written
  // before in the same call goes again.
  const std::string ogg = File("x.ogg");
  test::WriteFileBytes(ogg, std::string(4000, 'o'));
  environment.runner = nullptr;
  const TRun r = Tags({"write", "--formats", "ape,vorbis", ogg, "Artist=x"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "tunbrix: writing the Vorbis tag of " + ogg + " failed.\n");
  EXPECT_EQ(test::ReadFileBytes(ogg), std::string(4000, 'o'));
}

TEST_F(TagsCommandTest, OggCommentsGoThroughVorbiscomment) {
  for (const char *tool : {"oggenc", "vorbiscomment"})
    TB_REQUIRE_TOOL(tool);
  const std::string ogg = Encode(dir, "d.ogg");
  TRun r = Tags({"write", "--formats", "vorbis", ogg, "Artist=Oggy", "Track=3", "Year=2020"});
  EXPECT_EQ(r.code, 0) << r.err;
  const auto listed = test::RunCommand({"vorbiscomment", "-l", ogg});
  // Named and sorted by the default choices: "Capitalize", "By size".
  EXPECT_EQ(listed.out, "Tracknumber=3\nArtist=Oggy\nDate=2020\n");
  r = Tags({"remove", "--formats", "vorbis", ogg});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(test::RunCommand({"vorbiscomment", "-l", ogg}).out, "");
}

TEST_F(TagsCommandTest, RemoveReportsEveryFileOnItsOwn) {
  const std::string a = File("a.mp3"), b = File("b.mp3"), missing = File("missing.mp3");
  test::WriteFileBytes(a, std::string(3000, 'x'));
  test::WriteFileBytes(b, std::string(3000, 'y'));
  ASSERT_EQ(Tags({"write", "--formats", "id3v2,ape", a, "Title=t"}).code, 0);

  TRun r = Tags({"remove", "--formats", "ape", a});
  EXPECT_EQ(r.code, 0) << r.err;
  CTAG left;
  left.ReadTags(fs, FromNativePath(a), AllTagFormats);
  EXPECT_TRUE(left.HasID3v2);
  EXPECT_FALSE(left.HasAPE);

  const std::string folder = File("folder.mp3");
  stdfs::create_directory(folder);
  r = Tags({"remove", a, b, missing, folder});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "tunbrix: " + b + " has no tag of the chosen formats.\ntunbrix: " + missing +
                       " does not exist.\ntunbrix: " + folder + " cannot be opened.\n");
  EXPECT_EQ(test::ReadFileBytes(a), std::string(3000, 'x'));
}

TEST_F(TagsCommandTest, UsageErrorsExitWith2AndTouchNothing) {
  const std::string a = File("a.mp3");
  test::WriteFileBytes(a, std::string(3000, 'x'));
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frob"},
      {"write"},
      {"write", "--formats"},
      {"write", "--formats", "id3v1,,ape", a, "Title=x"},
      {"write", "--formats", "mp4", a, "Title=x"},
      {"write", "--verbose", a, "Title=x"},
      {"write", a, "Title"},
      {"write", a, "=x"},
      {"remove"},
      {"remove", "--json", a},
  };
  for (const auto &args : cases) {
    const TRun r = Tags(args);
    EXPECT_EQ(r.code, 2) << testing::PrintToString(args);
    EXPECT_NE(r.err.find("usage: tunbrix tags write"), std::string::npos);
    EXPECT_EQ(r.out, "");
  }
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{}, std::vector<std::string>{"--formats", "all", a}}) {
    const TRun r = Info(args);
    EXPECT_EQ(r.code, 2);
  }
  EXPECT_EQ(test::ReadFileBytes(a), std::string(3000, 'x'));
}

TEST(TagFormatList, Names) {
  struct Case {
    const char *text;
    bool ok;
    uint8_t formats;
  } cases[] = {
      {"id3v1", true, kTagID3v1},
      {"ID3v2,APE", true, kTagID3v2 | kTagAPE},
      {"lyrics3,vorbis,present", true, kTagLyrics3 | kTagVorbis | kTagPresentOnly},
      {"all", true, AllTagFormats},
      {"", false, 0},
      {"ape,", false, 0},
      {"id3", false, 0},
  };
  for (const auto &c : cases) {
    uint8_t formats = 0;
    EXPECT_EQ(ParseTagFormats(c.text, formats), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(formats, c.formats) << c.text;
    }
  }
}

TEST(TagConfiguration, RulesAndChoicesFromTheSettings) {
  const auto rules = TagRulesOf({{u".mp3 .mp2", 0x0303}, {u" .flac ", 0x0010}});
  ASSERT_EQ(rules.size(), 2u); // sorted as the settings list shows them
  EXPECT_EQ(rules[0].Extensions, u".flac");
  EXPECT_TRUE(rules[0].WriteVorbis);
  EXPECT_EQ(rules[1].MatchKey, u".mp3|.mp2|");
  EXPECT_EQ(rules[1].ID3v2Version, 3);
  TTaggingSettings tagging;
  tagging.OtherTagFormat = 2;
  tagging.DiffTagVersion = 0;
  tagging.FixTagNames = 1;
  tagging.SortTagNames = 0;
  const TTagWriteChoices choices = TagWriteChoicesOf(tagging);
  EXPECT_EQ(choices.OtherTagFormat, kUpdateOldTagsOnly);
  EXPECT_EQ(choices.DiffTagVersion, kUseOldVersion);
  EXPECT_EQ(choices.FixTagNames, 1);
  EXPECT_EQ(choices.SortTagNames, 0);
}

// The program's own surroundings: beside this test there is no
// configuration file, so there are no rules and the default choices hold.
TEST(TagConfiguration, WithoutAConfigurationFileTheDefaultsHold) {
  test::TempDir dir;
  const std::string mp3 = (dir.Path() / "a.mp3").string();
  test::WriteFileBytes(mp3, std::string(3000, 'x'));
  std::ostringstream out, err;
  EXPECT_EQ(RunTagsCommand({"write", mp3, "Title=t"}, {out, err}), 1);
  EXPECT_NE(err.str().find("no tag rule names the extension \".mp3\""), std::string::npos);
  EXPECT_EQ(RunTagsCommand({"write", "--formats", "ape", mp3, "title=t"}, {out, err}), 0);
  CTAG tag;
  RealFileSystem fs;
  tag.ReadTags(fs, FromNativePath(mp3), AllTagFormats);
  ASSERT_TRUE(tag.HasAPE);
  EXPECT_EQ(tag.APE.Items.front().Key, "Title"); // "Capitalize"
}

// ---- info ------------------------------------------------------------------

TEST_F(TagsCommandTest, InfoJsonHoldsEveryFormatAndEveryFile) {
  TB_REQUIRE_TOOL("flac");
  const std::string mp3 = File("e.mp3");
  test::WriteFileBytes(mp3, std::string(5000, 'x'));
  ASSERT_EQ(Tags({"write", "--formats", "id3v1,lyrics3,id3v2,ape", mp3,
                  "Artist=An Artist Whose Name Needs Forty Letters", "Title=Caf\xC3\xA9",
                  "Comment=line1\nline2", "Catalog=C-1"})
                .code,
            0);
  const std::string flac = Encode(dir, "f.flac");
  const std::string missing = File("missing.mp3");
  const TRun r = Info({"--json", mp3, flac, missing});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "tunbrix: " + missing + " cannot be read.\n");
  const std::string seen = Python(R"(
import json, os, sys
files = json.loads(sys.stdin.read())
m, f, x = files
t = m['Tag']
print(m['FileName'] == sys.argv[1], m['FileSize'] == os.path.getsize(sys.argv[1]))
print(t['HasTag'], t['HasID3v1'], t['HasLyrics3'], t['HasID3v2'], t['HasAPE'], t['HasVorbis'])
print(t['TotalTagSize'] == m['FileSize'] - 5000)
print(t['Items'])
print(t['ID3v1']['Artist'], t['ID3v1']['Title'], t['ID3v1']['Genre'])
print(t['Lyrics3']['Fields'])
print(t['ID3v2']['Version'], t['ID3v2']['TagPosition'], [fr['FrameId'] for fr in t['ID3v2']['Frames']])
print([fr for fr in t['ID3v2']['Frames'] if fr['FrameId'] == 'COMM'])
print(t['APE']['Version'], t['APE']['Items'][0])
v = f['Tag']
print(v['HasVorbis'], v['Vorbis']['Vendor'].startswith('reference libFLAC'), v['Vorbis']['Comments'], v['Items'])
print(x)
)",
                                  {mp3}, r.out);
  EXPECT_EQ(seen, "True True\n"
                  "True True True True True False\n"
                  "True\n"
                  "[['Artist', 'An Artist Whose Name Needs Forty Letters'], ['Title', 'Café'], "
                  "['Comment', 'line1\\nline2'], ['Catalog', 'C-1']]\n"
                  "An Artist Whose Name Needs For Café 255\n"
                  "[['EAR', 'An Artist Whose Name Needs Forty Letters']]\n"
                  "3 0 ['TPE1', 'TIT2', 'COMM']\n"
                  "[{'FrameId': 'COMM', 'Size': 16, 'Language': 'XXX', 'Description': '', "
                  "'Text': 'line1\\nline2'}]\n"
                  "2000 {'Key': 'Catalog', 'Value': 'C-1'}\n"
                  "True True [['ARTIST', 'Flacky']] [['ARTIST', 'Flacky']]\n"
                  "{'FileName': '" +
                      missing + "', 'Error': 'cannot be read'}\n");
}

TEST_F(TagsCommandTest, InfoTextForm) {
  const std::string mp3 = File("g.mp3");
  test::WriteFileBytes(mp3, std::string(2000, 'x'));
  ASSERT_EQ(Tags({"write", "--formats", "id3v2,ape", mp3, "Title=T", "Artist=A"}).code, 0);
  const std::string untagged = File("h.mp3");
  test::WriteFileBytes(untagged, std::string(300, 'x'));
  TRun r = Info({mp3, untagged});
  EXPECT_EQ(r.code, 0) << r.err;
  const std::string size = std::to_string(stdfs::file_size(mp3));
  const std::string tagSize = std::to_string(stdfs::file_size(mp3) - 2000);
  // Each file: its name, every stream result under its name, then the tags.
  const std::string first = "FileName: " + mp3 + "\nStreamType: 0\nRecognised: no\n";
  EXPECT_EQ(r.out.rfind(first, 0), 0u) << r.out;
  EXPECT_NE(r.out.find("\nFileSize: " + size + "\n"), std::string::npos);
  EXPECT_NE(r.out.find("\nEncoder: \nTag: ID3v2.3.0, APE v2\nTotalTagSize: " + tagSize +
                       "\n  Title: T\n  Artist: A\n\nFileName: " + untagged + "\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("\nFileSize: 300\n"), std::string::npos);
  EXPECT_TRUE(r.out.ends_with("\nTag: none\nTotalTagSize: 0\n"));
  r = Info({dir.Path().string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "tunbrix: " + dir.Path().string() + " cannot be read.\n");
}

} // namespace
} // namespace tunbrix

namespace tunbrix {
namespace {

// The commands as a user types them: through the built executable.
TEST(TagsExecutable, WriteInfoRemoveRoundTrip) {
  TB_REQUIRE_TOOL("lame");
  test::TempDir dir;
  const std::string mp3 = Encode(dir, "Björk – Jóga.mp3");
  const std::string original = test::ReadFileBytes(mp3);
  const std::string exe = test::Executable().string();

  auto write = test::RunCommand({exe, "tags", "write", "--formats", "id3v1,id3v2,ape", mp3,
                                 "Artist=Björk", "Title=Jóga", "Track=3/12", "Mood=calm"});
  ASSERT_EQ(write.exitCode, 0) << write.err;

  auto info = test::RunCommand({exe, "info", "--json", mp3});
  ASSERT_EQ(info.exitCode, 0) << info.err;
  const std::string items = Python("import json,sys; d=json.load(sys.stdin)[0]['Tag'];"
                                   "print(d['HasID3v1'], d['HasID3v2'], d['HasAPE']);"
                                   "print(';'.join('%s=%s' % (n, v) for n, v in d['Items']))",
                                   {}, info.out);
  EXPECT_EQ(items, "True True True\nArtist=Björk;Title=Jóga;Track=3/12;Mood=calm\n");

  auto remove = test::RunCommand({exe, "tags", "remove", "--formats", "all", mp3});
  ASSERT_EQ(remove.exitCode, 0) << remove.err;
  EXPECT_EQ(test::ReadFileBytes(mp3), original);

  auto missing =
      test::RunCommand({exe, "tags", "write", (dir.Path() / "none.mp3").string(), "Artist=x"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_FALSE(missing.err.empty());
}

} // namespace
} // namespace tunbrix
