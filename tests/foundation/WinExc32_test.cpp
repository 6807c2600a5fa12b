// The program runner with real programs: arguments, program search,
// descriptors, error files, priorities, exit codes, start failures and their
// messages, the run log and the end-of-session mapping.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/WinExc32.h"
#include "foundation/unicode_winapi.h"
#include "support/test_support.h"

namespace tunbrix {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::W;
using test::WriteFileBytes;
namespace fs = std::filesystem;

// The message boxes a recording desktop was asked to show.
std::vector<CRecordingDesktop::TCall> Boxes(const CRecordingDesktop &desktop) {
  std::vector<CRecordingDesktop::TCall> boxes;
  for (const auto &call : desktop.calls)
    if (call.operation == "MessageBox") boxes.push_back(call);
  return boxes;
}

void MakeScript(const fs::path &path, const std::string &body,
                fs::perms perms = fs::perms::owner_all) {
  WriteFileBytes(path, body);
  fs::permissions(path, perms);
}

// Each code unit as two bytes, low byte first.
std::string Utf16Le(const std::u16string &text) {
  std::string bytes;
  for (const char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

class RunnerTest : public ::testing::Test {
protected:
  TRunResult Run(const WideString &line, const WideString &directory = {}, int show = kSwHide,
                 int input = kNoHandle, const WideString &errorFile = {},
                 uint32_t priority = kNormalPriorityClass) {
    return RunProgram(context, line, directory, show, input, errorFile, priority);
  }
  TempDir dir;
  CUninterruptedRun control;
  CRecordingDesktop desktop;
  TRunContext context{dir.Wide() + u"bin/", control, desktop, {}};
};

// ---- the command line

TEST(SplitCommandLine, FollowsTheWindowsRules) {
  const struct {
    std::string line;
    std::vector<std::string> args;
  } cases[] = {
      {"", {}},
      {"  \t ", {}},
      {"a b\t c  ", {"a", "b", "c"}},
      {"\"a b\" c", {"a b", "c"}},
      {"a\"b c\"d e", {"ab cd", "e"}},
      {"\"\" x \"\"", {"", "x", ""}},
      {"a\\b\\\\c\\", {"a\\b\\\\c\\"}}, // literal unless before a quote
      {"a\\\"b", {"a\"b"}},             // 1 -> literal quote
      {"a\\\\\"b c\"", {"a\\b c"}},     // 2 -> one backslash, quote groups
      {"a\\\\\\\"b", {"a\\\"b"}},       // 3 -> one backslash and a quote
      {"\"dir with blank\\\\\" next", {"dir with blank\\", "next"}},
      {"\"unterminated arg", {"unterminated arg"}},
      {"\"x\"\"y\"", {"xy"}},
  };
  for (const auto &c : cases)
    EXPECT_EQ(SplitCommandLine(c.line), c.args) << c.line;
}

TEST(ProgramToken, TakesTheProgramPartLowerCased) {
  const struct {
    WideString line, token;
  } cases[] = {
      {u"  \"/Opt/My Tools/LAME.exe\" -V2 \"x.wav\"", u"/opt/my tools/lame.exe"},
      {u"FLAC.EXE -8 x", u"flac.exe"},
      {u"lame\"x\" y", u"lame"},
      {u"\"unterminated", u"unterminated"},
      {u"\"/Musik/\u00c4RGER.EXE\" x", u"/musik/\u00e4rger.exe"},
      {u"oggenc", u"oggenc"},
      {u"", u""},
  };
  for (const auto &c : cases)
    EXPECT_EQ(ProgramToken(c.line), c.token);
}

TEST(ErrorFilePath, PlacesBareNamesBesideTheOutputElseTheInput) {
  const struct {
    WideString name, output, input, path;
  } cases[] = {
      {u"err.txt", u"/out/a.mp3", u"/in/a.wav", u"/out/err.txt"},
      {u"err.txt", u"", u"/in/a.wav", u"/in/err.txt"},
      {u"/logs/err.txt", u"/out/a.mp3", u"/in/a.wav", u"/logs/err.txt"},
      {u"sub/err.txt", u"/out/a.mp3", u"/in/a.wav", u"sub/err.txt"},
      {u"err.txt", u"", u"", u"err.txt"},
      {u"", u"/out/a.mp3", u"/in/a.wav", u""},
  };
  for (const auto &c : cases)
    EXPECT_EQ(ErrorFilePath(c.name, c.output, c.input), c.path) << WideToUtf8(c.name);
}

// ---- run log and session end

TEST(AppendLogLine, AppendsUtf16LittleEndianLinesWithoutByteOrderMark) {
  TempDir dir;
  const WideString log = dir.Wide() + WideString(kRunLogName);
  const fs::path native = WideToUtf8(log);
  WriteFileBytes(native, Utf16Le(u"old\r\n"));
  ASSERT_TRUE(AppendLogLine(log, u"lame \"\u00e9\U0001D11E\""));
  ASSERT_TRUE(AppendLogLine(log, u""));
  // U+1D11E is the surrogate pair D834 DD1E.
  EXPECT_EQ(ReadFileBytes(native),
            Utf16Le(u"old\r\n") +
                std::string("l\0a\0m\0e\0 \0\"\0\xe9\0\x34\xd8\x1e\xdd\"\0\r\0\n\0", 24) +
                Utf16Le(u"\r\n"));
  EXPECT_FALSE(AppendLogLine(dir.Wide() + u"missing/log.txt", u"x"));
}

TEST(ExitWindowsWithPrivilege, MapsTheFlagsOntoTheSessionActions) {
  const struct {
    uint32_t flags;
    std::optional<EndSessionAction> action;
  } cases[] = {
      {kEwxLogoff, EndSessionAction::Logoff},
      {kEwxShutdown, EndSessionAction::Shutdown},
      {kEwxReboot, EndSessionAction::Reboot},
      {kEwxPoweroff, EndSessionAction::Shutdown},
      {kEwxReboot | kEwxForce, EndSessionAction::Reboot},
      {kEwxLogoff | kEwxForceIfHung, EndSessionAction::Logoff},
      {kEwxReboot | kEwxPoweroff, std::nullopt},
      {0x40, std::nullopt},
  };
  for (const auto &c : cases) {
    CRecordingDesktop desktop;
    EXPECT_EQ(ExitWindowsWithPrivilege(desktop, c.flags), c.action.has_value()) << c.flags;
    if (c.action) {
      ASSERT_EQ(desktop.calls.size(), 1u);
      EXPECT_EQ(desktop.calls[0].operation, "EndSession");
      EXPECT_EQ(desktop.calls[0].flags, static_cast<uint32_t>(*c.action));
    } else {
      EXPECT_TRUE(desktop.calls.empty());
    }
  }
  CRecordingDesktop refusing;
  refusing.operationResult = false;
  EXPECT_FALSE(ExitWindowsWithPrivilege(refusing, kEwxPoweroff));
}

// ---- start failures and their messages

TEST_F(RunnerTest, StartFailuresReportTheirCodeAndMessage) {
  fs::create_directories(dir.Path() / "work");
  WriteFileBytes(dir.Path() / "plain-file", "x");
  const WideString missingProgram = u"no-such-program-tb \"a b.wav\"";
  const WideString missingDir = dir.Wide() + u"gone/";
  const struct {
    WideString line, directory;
    uint32_t code;
    WideString box; // "" when none is shown
  } cases[] = {
      {missingProgram, dir.Wide(), 2,
       u"ERROR 2:\nThe file could not be found: \"" + missingProgram + u"\""},
      {u"true", missingDir, 267, u"ERROR 267:\nThe directory is invalid: \"" + missingDir + u"\""},
      {u"true", dir.Wide() + u"plain-file", 267,
       u"ERROR 267:\nThe directory is invalid: \"" + dir.Wide() + u"plain-file\""},
      {u"  ", dir.Wide(), 87, u"ERROR 87:\nWrong parameter!"},
      {u"/bin/sh -c \"exit 2\"", dir.Wide(), 2, u""}, // the program's own code: no box
      {u"true", dir.Wide() + u"work", 0, u""},
  };
  for (const auto &c : cases) {
    desktop.calls.clear();
    EXPECT_EQ(RunAndReport(context, c.line, c.directory, kSwHide, {}, kNormalPriorityClass), c.code)
        << WideToUtf8(c.line);
    const auto boxes = Boxes(desktop);
    if (c.box.empty()) {
      EXPECT_TRUE(boxes.empty()) << WideToUtf8(c.line);
    } else {
      ASSERT_EQ(boxes.size(), 1u) << WideToUtf8(c.line);
      EXPECT_EQ(boxes[0].text, c.box);
      EXPECT_EQ(boxes[0].title, u"Error");
    }
  }
  test::ExpectNoChildren();
}

TEST_F(RunnerTest, RunAndReportLogsEveryCommandLine) {
  context.runLog = dir.Wide() + WideString(kRunLogName);
  EXPECT_EQ(RunAndReport(context, u"true x", {}, kSwHide, {}, kNormalPriorityClass), 0u);
  EXPECT_EQ(
      RunAndReport(context, u"no-such-program-tb \u00e9", {}, kSwHide, {}, kNormalPriorityClass),
      2u);
  EXPECT_EQ(ReadFileBytes(WideToUtf8(context.runLog)),
            Utf16Le(u"true x\r\nno-such-program-tb \u00e9\r\n"));
}

TEST_F(RunnerTest, ProgramsThatCannotRunAreRefusedWithTheirReason) {
  const fs::path bin = dir.Path() / "bin";
  fs::create_directories(bin);
  MakeScript(bin / "not-executable", "#!/bin/sh\nexit 0\n", fs::perms::owner_read);
  MakeScript(bin / "garbage", std::string("\x01\x02garbage", 9));
  const struct {
    WideString line;
    uint32_t code;
  } cases[] = {
      {u"not-executable", kErrorAccessDenied},
      {dir.Wide() + u"bin/not-executable", kErrorAccessDenied},
      {dir.Wide() + u"bin/garbage", kErrorBadExeFormat},
      {u"garbage", kErrorBadExeFormat},
      {u"/no/such/dir/true", kErrorFileNotFound}, // a path is not searched
      {u"\"\" x", kErrorFileNotFound},
  };
  for (const auto &c : cases) {
    const TRunResult result = Run(c.line);
    EXPECT_FALSE(result.started) << WideToUtf8(c.line);
    EXPECT_EQ(result.code, c.code) << WideToUtf8(c.line);
  }
  test::ExpectNoChildren();
}

// ---- what the program gets

TEST_F(RunnerTest, ArgumentsReachTheProgramUnchangedAndNoShellRuns) {
  const fs::path folder = dir.Path() / "Mes fichiers (été) $HOME";
  fs::create_directories(folder);
  const fs::path script = folder / "écho args.sh";
  MakeScript(script, "#!/bin/sh\nout=$1\nshift\nprintf '%s\\n' \"$#\" \"$@\" > \"$out\"\n");
  const std::vector<std::string> args = {
      "two  blanks", "say \"hi\"", "$(touch pwned1)", "`touch pwned2`", "x; touch pwned3",
      "a|b&c>d<e",   "Ünïcødé ✓",  "back\\slash\\",   "\\\"",           "",
      "*",           "'single'"};
  std::vector<std::string> line = {script.string(), (dir.Path() / "args.txt").string()};
  line.insert(line.end(), args.begin(), args.end());
  const TRunResult result = Run(test::QuotedLine(line), dir.Wide());
  ASSERT_TRUE(result.started);
  EXPECT_EQ(result.code, 0u);
  std::string expected = std::to_string(args.size()) + "\n";
  for (const std::string &arg : args)
    expected += arg + "\n";
  EXPECT_EQ(ReadFileBytes(dir.Path() / "args.txt"), expected);
  for (const char *name : {"pwned1", "pwned2", "pwned3", "d"})
    EXPECT_FALSE(fs::exists(dir.Path() / name)) << name;
}

TEST_F(RunnerTest, ProgramsAreSearchedInTheProgramFolderThenInPath) {
  const fs::path bin = dir.Path() / "bin";
  fs::create_directories(bin / "true"); // a folder of that name is no program
  // Found before PATH's cat.
  MakeScript(bin / "cat", "#!/bin/sh\necho mine > \"$1\"\n");
  MakeScript(bin / "tool", "#!/bin/sh\necho \"$0\" > \"$1\"\n");
  const std::string out = (dir.Path() / "out.txt").string();
  const struct {
    WideString line;
    uint32_t code;
    std::string written; // "" when nothing is checked
  } cases[] = {
      {W("cat " + test::QuoteArg(out)), 0, "mine\n"},
      {W("tool.exe " + test::QuoteArg(out)), 0, (bin / "tool").string() + "\n"},
      {W("TOOL.EXE " + test::QuoteArg(out)), 2, ""}, // names keep their case
      {W(test::QuoteArg((bin / "tool.exe").string()) + " " + test::QuoteArg(out)), 0,
       (bin / "tool").string() + "\n"},
      // Relative to our folder, not to the program's working directory.
      {W(test::QuoteArg(fs::relative(bin / "tool").string()) + " " + test::QuoteArg(out)), 0,
       fs::current_path().string() + "/" + fs::relative(bin / "tool").string() + "\n"},
      {u"true", 0, ""},
      {u"true.exe", 0, ""},
      {u"false.exe", 1, ""},
  };
  for (const auto &c : cases) {
    fs::remove(out);
    const TRunResult result = Run(c.line, dir.Wide());
    EXPECT_EQ(result.code, c.code) << WideToUtf8(c.line);
    if (!c.written.empty()) {
      EXPECT_EQ(ReadFileBytes(out), c.written) << WideToUtf8(c.line);
    }
  }
}

// Descriptor number -> what it is, as listed by find for the shell that
// started it (the shell itself opens nothing for that, find writes the file).
std::map<int, std::string> DescriptorsOfShell(const fs::path &listing) {
  std::map<int, std::string> fds;
  std::istringstream lines(ReadFileBytes(listing));
  for (std::string line; std::getline(lines, line);) {
    const size_t blank = line.find(' ');
    fds[std::stoi(line.substr(0, blank))] = line.substr(blank + 1);
  }
  return fds;
}

std::string LinkOf(const std::string &path) {
  std::error_code ec;
  return fs::read_symlink(path, ec).string();
}

TEST_F(RunnerTest, ChildrenInheritOnlyTheirStandardDescriptors) {
  // A descriptor of ours that would be inherited, were it not closed.
  const int extra = open((dir.Path() / "extra").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(extra, 3);
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  const std::string listing = (dir.Path() / "fds.txt").string();
  const WideString line = test::QuotedLine(
      {"/bin/sh", "-c", "find /proc/$$/fd -mindepth 1 -fprintf \"$0\" '%f %l\\n'; exit $?",
       listing});
  const std::string errors = (dir.Path() / "errors.txt").string();
  const std::string own1 = LinkOf("/proc/self/fd/1"), own2 = LinkOf("/proc/self/fd/2");
  const std::string pipeName = LinkOf("/proc/self/fd/" + std::to_string(input[0]));
  const struct {
    const char *what;
    int show, input;
    std::string errorFile;
    std::map<int, std::string> fds;
  } cases[] = {
      {"hidden", kSwHide, kNoHandle, "", {{0, "/dev/null"}, {1, "/dev/null"}, {2, "/dev/null"}}},
      {"shown", kSwNormal, kNoHandle, "", {{0, "/dev/null"}, {1, own1}, {2, own2}}},
      {"error file",
       kSwNormal,
       kNoHandle,
       errors,
       {{0, "/dev/null"}, {1, "/dev/null"}, {2, errors}}},
      {"input", kSwNormal, input[0], "", {{0, pipeName}, {1, "/dev/null"}, {2, "/dev/null"}}},
      {"input and error file",
       kSwHide,
       input[0],
       errors,
       {{0, pipeName}, {1, "/dev/null"}, {2, errors}}},
  };
  for (const auto &c : cases) {
    const TRunResult result = Run(line, {}, c.show, c.input, W(c.errorFile));
    EXPECT_EQ(result.code, 0u) << c.what;
    EXPECT_EQ(DescriptorsOfShell(listing), c.fds) << c.what;
  }
  EXPECT_GE(fcntl(input[0], F_GETFD), 0); // the caller's handle stays open
  close(input[0]);
  close(input[1]);
  close(extra);
  test::ExpectNoChildren();
}

TEST_F(RunnerTest, StandardInputIsTheGivenHandle) {
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  ASSERT_EQ(write(input[1], "some data", 9), 9);
  close(input[1]);
  const fs::path out = dir.Path() / "in.txt";
  const TRunResult result =
      Run(test::QuotedLine({"/bin/sh", "-c", "cat > \"$0\"", out.string()}), {}, kSwHide, input[0]);
  close(input[0]);
  EXPECT_EQ(result.code, 0u);
  EXPECT_EQ(ReadFileBytes(out), "some data");
}

TEST_F(RunnerTest, ErrorOutputIsAppendedToTheErrorFile) {
  const fs::path in = dir.Path() / "in", outA = dir.Path() / "outA", outB = dir.Path() / "outB";
  for (const fs::path &p : {in, outA, outB})
    fs::create_directories(p);
  const WideString input = W((in / "x.wav").string());
  const auto say = [](const std::string &text) {
    return test::QuotedLine({"/bin/sh", "-c", "echo " + text + " >&2"});
  };
  // One named file collects every run, after what it held.
  const fs::path shared = dir.Path() / "all errors.txt";
  WriteFileBytes(shared, "before\n");
  for (const char *text : {"one", "two", "three"})
    EXPECT_EQ(Run(say(text), {}, kSwHide, kNoHandle, W(shared.string())).code, 0u);
  EXPECT_EQ(ReadFileBytes(shared), "before\none\ntwo\nthree\n");
  // A bare name: one file per output folder, or beside the input without an output.
  const WideString bare = u"stderr-redirection.txt";
  Run(say("a1"), {}, kSwHide, kNoHandle, ErrorFilePath(bare, W((outA / "1.mp3").string()), input));
  Run(say("b1"), {}, kSwHide, kNoHandle, ErrorFilePath(bare, W((outB / "1.mp3").string()), input));
  Run(say("a2"), {}, kSwHide, kNoHandle, ErrorFilePath(bare, W((outA / "2.mp3").string()), input));
  Run(say("i1"), {}, kSwHide, kNoHandle, ErrorFilePath(bare, u"", input));
  EXPECT_EQ(ReadFileBytes(outA / "stderr-redirection.txt"), "a1\na2\n");
  EXPECT_EQ(ReadFileBytes(outB / "stderr-redirection.txt"), "b1\n");
  EXPECT_EQ(ReadFileBytes(in / "stderr-redirection.txt"), "i1\n");
  struct stat st;
  ASSERT_EQ(stat((in / "stderr-redirection.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0022, 0u);
  // An error file that cannot be opened: the program runs all the same.
  const TRunResult result =
      Run(say("lost"), {}, kSwHide, kNoHandle, W((dir.Path() / "missing/err.txt").string()));
  EXPECT_TRUE(result.started);
  EXPECT_EQ(result.code, 0u);
}

TEST_F(RunnerTest, ExitCodesAndSignalsBecomeTheResult) {
  // A signal we ignore must not stay ignored in the program.
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  const struct {
    std::string script;
    uint32_t code;
  } cases[] = {
      {"exit 0", 0},
      {"exit 7", 7},
      {"exit 255", 255},
      {"kill -TERM $$", 128 + SIGTERM},
      {"kill -KILL $$", 128 + SIGKILL},
      {"kill -PIPE $$", 128 + SIGPIPE},
  };
  for (const auto &c : cases) {
    const TRunResult result = Run(test::QuotedLine({"/bin/sh", "-c", c.script}));
    EXPECT_TRUE(result.started) << c.script;
    EXPECT_EQ(result.code, c.code) << c.script;
  }
  std::signal(SIGPIPE, previous);
  test::ExpectNoChildren();
}

TEST_F(RunnerTest, WorkingDirectoryPriorityAndProcessGroupApply) {
  errno = 0;
  const int ours = getpriority(PRIO_PROCESS, 0);
  ASSERT_EQ(errno, 0);
  // Raising the priority needs a permission the test may lack.
  const bool mayRaise = test::RunCommand({"nice", "-n", "-5", "nice"}).out == "-5\n";
  const fs::path work = dir.Path() / "work dir";
  fs::create_directories(work);
  const fs::path report = dir.Path() / "report.txt";
  const WideString line = test::QuotedLine(
      {"/bin/sh", "-c", "pwd >&2; nice >&2; echo $$ >&2; cut -d' ' -f5 /proc/$$/stat >&2"});
  const struct {
    uint32_t priority;
    int nice;
  } cases[] = {
      {kNormalPriorityClass, ours},
      {kIdlePriorityClass, 19},
      {kHighPriorityClass, mayRaise ? -5 : ours},
      {0, ours},
  };
  // Without a working directory the program starts in ours.
  ASSERT_EQ(Run(line, {}, kSwHide, kNoHandle, W(report.string())).code, 0u);
  EXPECT_EQ(ReadFileBytes(report).substr(0, ReadFileBytes(report).find('\n')),
            fs::current_path().string());
  for (const auto &c : cases) {
    fs::remove(report);
    ASSERT_EQ(Run(line, W(work.string()), kSwHide, kNoHandle, W(report.string()), c.priority).code,
              0u);
    std::istringstream lines(ReadFileBytes(report));
    std::string pwd, nice, pid, group;
    std::getline(lines, pwd);
    std::getline(lines, nice);
    std::getline(lines, pid);
    std::getline(lines, group);
    EXPECT_EQ(pwd, work.string());
    EXPECT_EQ(nice, std::to_string(c.nice)) << c.priority;
    EXPECT_EQ(group, pid); // the leader of a group of its own
  }
}

} // namespace
} // namespace tunbrix
