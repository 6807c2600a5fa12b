#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "foundation/WinExc32.h"
#include "foundation/unicode_winapi.h"
#include "support/tag_text.h"
#include "support/test_support.h"
#include "tags/tagvorbis_fix.h"

namespace tunbrix {
namespace {

namespace stdfs = std::filesystem;
using test::PairList;
using test::RunTool;
using test::W;

CVorbisComments List(const PairList &pairs) {
  CVorbisComments list;
  for (const auto &[name, value] : pairs)
    list.SetComment(name, W(value));
  return list;
}

// Shows nothing; the runner needs one.
class CSilentDesktop final : public IDesktop {
public:
  int MessageBox(const WideString &, const WideString &, uint32_t) override { return 0; }
  std::optional<WideString> BrowseForFolder(const WideString &, const WideString &) override {
    return std::nullopt;
  }
  std::optional<std::vector<WideString>> OpenFileDialog(const TOpenFileRequest &) override {
    return std::nullopt;
  }
  bool ShellExecute(const WideString &, const WideString &, const WideString &, const WideString &,
                    int) override {
    return false;
  }
  bool TrayIcon(TrayAction, const WideString &) override { return false; }
  bool PlaySound(const WideString &) override { return false; }
  bool EndSession(EndSessionAction) override { return false; }
};

struct Runner {
  explicit Runner(WideString folder = {}) : context{std::move(folder), control, desktop, {}} {}
  CUninterruptedRun control;
  CSilentDesktop desktop;
  TRunContext context;
};

TEST(OggComments, InputHasOneLinePerCommentWithAValue) {
  const CVorbisComments list = List({{"ARTIST", "Die Ärzte"},
                                     {"EMPTY", ""},
                                     {"COMMENT", "line one\r\nline two\nthree\r"},
                                     {"", "no name"},
                                     {"NAME\nINJECTED", "x"}});
  EXPECT_EQ(OggCommentInput(list),
            "ARTIST=Die Ärzte\nCOMMENT=line one  line two three \nNAME INJECTED=x\n");
  EXPECT_EQ(OggCommentInput(CVorbisComments()), "");
}

// Every name must reach the program as it is, once the runner has split
// the command line.
TEST(OggComments, QuotedArgumentsSurviveTheCommandLineSplit) {
  for (const std::string name : {"/music/a b.ogg", "/m/say \"hi\".ogg", "/m/trailing\\",
                                 "/m/back\\\"slash", "/m/two\\\\\"x", "\"", "", "/m/ü\tß"}) {
    SCOPED_TRACE(name);
    const auto args = SplitCommandLine(WideToSys(u"prog " + QuoteArgument(W(name)) + u" -t \"\""));
    EXPECT_EQ(args, (std::vector<std::string>{"prog", name, "-t", ""}));
  }
  EXPECT_EQ(QuoteArgument(u"/m/a b.ogg"), u"\"/m/a b.ogg\"");
}

// A stand-in for the program that records its arguments, working folder and
// input, and exits with a chosen code.
class FakeProgram {
public:
  explicit FakeProgram(int exitCode) {
    const stdfs::path script = dir_.Path() / "vorbiscomment.exe";
    test::WriteFileBytes(script, "#!/bin/sh\n"
                                 "out=\"$(dirname \"$0\")\"\n"
                                 "printf '%s\\n' \"$@\" > \"$out/args\"\n"
                                 "pwd > \"$out/cwd\"\n"
                                 "cat > \"$out/stdin\"\n"
                                 "exit " +
                                     std::to_string(exitCode) + "\n");
    stdfs::permissions(script, stdfs::perms::owner_all);
  }
  WideString Folder() const { return dir_.Wide(); }
  std::string Read(const char *what) const { return test::ReadFileBytes(dir_.Path() / what); }

private:
  test::TempDir dir_;
};

TEST(OggComments, WriteRunsTheProgramWithTheFileAndTheTextOnItsInput) {
  TB_REQUIRE_TOOL("sh");
  FakeProgram fake(0);
  Runner runner(fake.Folder());
  test::TempDir music;
  const WideString file = music.File("my \"best\" song.ogg");
  CVorbisComments list = List({{"TITLE", "one\ntwo"}, {"EMPTY", ""}, {"ARTIST", "a"}});
  EXPECT_EQ(WriteOggComments(runner.context, file, list), 0u);
  EXPECT_EQ(fake.Read("args"), "-w\n-R\n" + WideToUtf8(file) + "\n");
  EXPECT_EQ(fake.Read("stdin"), "TITLE=one two\nARTIST=a\n");
  EXPECT_EQ(fake.Read("cwd"), stdfs::canonical(music.Path()).string() + "\n");
  EXPECT_FALSE(list.Comments.front().SetMark);
}

// Far more than a pipe holds: the program gets it all, and nobody waits.
TEST(OggComments, LongInputArrivesWhole) {
  TB_REQUIRE_TOOL("sh");
  FakeProgram fake(0);
  Runner runner(fake.Folder());
  test::TempDir music;
  CVorbisComments list = List({{"LYRICS", std::string(1 << 20, 'x')}});
  EXPECT_EQ(WriteOggComments(runner.context, music.File("a.ogg"), list), 0u);
  EXPECT_EQ(fake.Read("stdin").size(), (1u << 20) + 8);
}

TEST(OggComments, ExitCodesAreReported) {
  TB_REQUIRE_TOOL("sh");
  FakeProgram failing(3), fine(0);
  Runner failingRunner(failing.Folder()), fineRunner(fine.Folder());
  test::TempDir music;
  CVorbisComments list = List({{"A", "1"}});
  EXPECT_EQ(WriteOggComments(failingRunner.context, music.File("a.ogg"), list), 3u);
  EXPECT_EQ(ClearOggComments(failingRunner.context, music.File("a.ogg")), 2);
  EXPECT_EQ(ClearOggComments(fineRunner.context, music.File("a b.ogg")), 0);
  EXPECT_EQ(fine.Read("args"), "-w\n" + WideToUtf8(music.File("a b.ogg")) + "\n-t\n\n");
  EXPECT_EQ(fine.Read("stdin"), "");
}

TEST(OggComments, MissingProgramGivesTheStartFailure) {
  test::TempDir empty;
  const char *old = std::getenv("PATH");
  const std::string saved = old ? old : "";
  setenv("PATH", empty.Path().c_str(), 1);
  Runner runner(empty.Wide());
  CVorbisComments list = List({{"A", "1"}});
  const uint32_t written = WriteOggComments(runner.context, empty.File("a.ogg"), list);
  const int cleared = ClearOggComments(runner.context, empty.File("a.ogg"));
  setenv("PATH", saved.c_str(), 1);
  EXPECT_EQ(written, kErrorFileNotFound);
  EXPECT_EQ(cleared, 2);
}

// ---- The real program ----------------------------------------------------

std::string MakeOgg(const test::TempDir &dir, const std::string &name) {
  const std::string wav = (dir.Path() / "src.wav").string();
  const std::string ogg = (dir.Path() / name).string();
  RunTool({"sox", "-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth", "2", "pinknoise"});
  RunTool({"oggenc", "-Q", "-t", "Old title", "-c", "OLD=comment", "-o", ogg, wav});
  stdfs::remove(wav);
  return ogg;
}

// mutagen's view: the vendor, then the comments as name=value lines.
std::string MutagenView(const std::string &ogg) {
  const char *code = R"(import sys
from mutagen.oggvorbis import OggVorbis
f = OggVorbis(sys.argv[1])
out = [f.tags.vendor] + [k + "=" + v for k, v in f.tags]
sys.stdout.buffer.write(("\n".join(out) + "\n").encode("utf-8")))";
  return RunTool({"/usr/bin/python3", "-c", code, ogg});
}

std::string Decoded(const std::string &ogg) {
  return RunTool({"oggdec", "-Q", "-R", "-o", "-", ogg});
}

TEST(OggComments, RealProgramWritesWhatTheReadersSee) {
  TB_REQUIRE_TOOL("vorbiscomment");
  TB_REQUIRE_TOOL("oggenc");
  TB_REQUIRE_TOOL("oggdec");
  TB_REQUIRE_TOOL("sox");
  test::TempDir dir;
  // A name that needs every escape the command line has.
  const std::string ogg = MakeOgg(dir, "it's \"quoted\" \\ ü.ogg");
  const std::string before = MutagenView(ogg);
  ASSERT_EQ(before.substr(before.find('\n')), "\nOLD=comment\ntitle=Old title\n");
  const std::string vendor = before.substr(0, before.find('\n'));
  const std::string decodedBefore = Decoded(ogg);
  std::string lyrics;
  while (lyrics.size() < 150 * 1024)
    lyrics += "Grüße, ☃ and a long line of lyrics. ";

  Runner runner; // the program comes from PATH
  CVorbisComments list = List(
      {{"ARTIST", "Die Ärzte"}, {"TITLE", "first\nsecond"}, {"EMPTY", ""}, {"LYRICS", lyrics}});
  ASSERT_EQ(WriteOggComments(runner.context, FromNativePath(ogg), list), 0u);

  const std::string expected = "ARTIST=Die Ärzte\nTITLE=first second\nLYRICS=" + lyrics + "\n";
  EXPECT_TRUE(MutagenView(ogg) == vendor + "\n" + expected) << "mutagen sees something else";
  EXPECT_TRUE(RunTool({"vorbiscomment", "-l", "-R", ogg}) == expected)
      << "vorbiscomment sees something else";
  EXPECT_TRUE(Decoded(ogg) == decodedBefore) << "the audio changed";

  EXPECT_EQ(ClearOggComments(runner.context, FromNativePath(ogg)), 0);
  EXPECT_EQ(MutagenView(ogg), vendor + "\n");
  EXPECT_TRUE(Decoded(ogg) == decodedBefore) << "the audio changed";
  size_t files = 0;
  for ([[maybe_unused]] const auto &entry : stdfs::directory_iterator(dir.Path()))
    ++files;
  EXPECT_EQ(files, 1u);
}

TEST(OggComments, RealProgramFailsOnFilesThatAreNotOgg) {
  TB_REQUIRE_TOOL("vorbiscomment");
  test::TempDir dir;
  const std::string bytes = "this is not an Ogg file at all";
  test::WriteFileBytes(dir.Path() / "a.ogg", bytes);
  Runner runner;
  CVorbisComments list = List({{"A", "1"}});
  EXPECT_NE(WriteOggComments(runner.context, dir.File("a.ogg"), list), 0u);
  EXPECT_EQ(ClearOggComments(runner.context, dir.File("a.ogg")), 2);
  EXPECT_EQ(ClearOggComments(runner.context, dir.File("missing.ogg")), 2);
  EXPECT_EQ(test::ReadFileBytes(dir.Path() / "a.ogg"), bytes);
}

} // namespace
} // namespace tunbrix
