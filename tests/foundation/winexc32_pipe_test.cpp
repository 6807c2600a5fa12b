// Pipes of two programs (with the real encoders) and the ending of programs
// on abort and application exit.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <map>
#include <sstream>
#include <sys/prctl.h>
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
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Plays the window's part: counts the event rounds and runs the test's
// action on each. A run that hangs is aborted after half a minute, so a
// fault shows as a failure rather than a stuck test.
class CScriptedControl final : public IRunControl {
public:
  int AbortMode() override { return abortMode; }
  bool ApplicationTerminating() override { return terminating; }
  void ProcessPendingEvents() override {
    ++rounds;
    if (Clock::now() - created > std::chrono::seconds(30)) abortMode = kAbortAll;
    if (onEvents) onEvents();
  }
  int abortMode = kAbortNone;
  bool terminating = false;
  int rounds = 0;
  std::function<void()> onEvents;
  const Clock::time_point created = Clock::now();
};

WideString Shell(const std::string &script, const std::vector<std::string> &args = {}) {
  std::vector<std::string> line = {"/bin/sh", "-c", script};
  line.insert(line.end(), args.begin(), args.end());
  return test::QuotedLine(line);
}

bool ProcessGone(pid_t pid) { return kill(pid, 0) == -1 && errno == ESRCH; }

// The numbers a program wrote into a file, once it has written a whole line.
std::vector<pid_t> PidsIn(const fs::path &file) {
  const std::string text = ReadFileBytes(file);
  std::vector<pid_t> pids;
  if (text.empty() || text.back() != '\n') return pids;
  std::istringstream numbers(text);
  for (pid_t pid; numbers >> pid;)
    pids.push_back(pid);
  return pids;
}

class PipeTest : public ::testing::Test {
protected:
  // Orphans of our children come to us, so that the test can see that none
  // survives even where the system's init does not reap them.
  static void SetUpTestSuite() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

  TRunResult Pipe(const WideString &producer, const WideString &consumer,
                  const WideString &errorFile = {}, const WideString &consumerDirectory = {}) {
    return RunPipe(context, producer, consumer, dir.Wide(), errorFile, kNormalPriorityClass,
                   kSwHide, consumerDirectory.empty() ? dir.Wide() : consumerDirectory);
  }
  TRunResult Run(const WideString &line) {
    return RunProgram(context, line, dir.Wide(), kSwHide, kNoHandle, {}, kNormalPriorityClass);
  }
  fs::path File(const std::string &name) const { return dir.Path() / name; }

  TempDir dir;
  CScriptedControl control;
  CRecordingDesktop desktop;
  TRunContext context{{}, control, desktop, {}};
};

// ---- pipes

TEST_F(PipeTest, SoxIntoFlacMakesALosslessCopy) {
  TB_REQUIRE_TOOL("sox");
  TB_REQUIRE_TOOL("flac");
  const WideString sox = u"sox -D -n -r 44100 -c 2 -b 16 -t wav - synth 1 sine 440";
  const TRunResult result = Pipe(sox, u"flac -s - -o \"out file.flac\"");
  ASSERT_TRUE(result.started);
  EXPECT_EQ(result.code, 0u);
  const std::string flac = File("out file.flac").string();
  EXPECT_EQ(test::RunCommand({"flac", "-t", "-s", flac}).exitCode, 0);
  const std::string decoded = File("decoded.raw").string(), reference = File("ref.raw").string();
  ASSERT_EQ(test::RunCommand({"flac", "-s", "-d", "--force-raw-format", "--endian=little",
                              "--sign=signed", "-o", decoded, flac})
                .exitCode,
            0);
  ASSERT_EQ(test::RunCommand({"sox", "-D", "-n", "-r", "44100", "-c", "2", "-b", "16", "-t", "raw",
                              reference, "synth", "1", "sine", "440"})
                .exitCode,
            0);
  EXPECT_EQ(ReadFileBytes(decoded).size(), 44100u * 4);
  EXPECT_TRUE(ReadFileBytes(decoded) == ReadFileBytes(reference));
  test::ExpectNoChildren();
}

TEST_F(PipeTest, SoxIntoLameMakesAnMp3OfTheSameLength) {
  TB_REQUIRE_TOOL("sox");
  TB_REQUIRE_TOOL("lame");
  const WideString sox = u"sox -D -n -r 44100 -c 2 -b 16 -t wav - synth 1 sine 440";
  const TRunResult result = Pipe(sox, u"lame --quiet - out.mp3");
  ASSERT_TRUE(result.started);
  EXPECT_EQ(result.code, 0u);
  const std::string decoded = File("decoded.wav").string();
  ASSERT_EQ(
      test::RunCommand({"lame", "--quiet", "--decode", File("out.mp3").string(), decoded}).exitCode,
      0);
  const int samples = std::stoi(test::RunCommand({"soxi", "-s", decoded}).out);
  EXPECT_GE(samples, 44100);
  EXPECT_LE(samples, 44100 + 2 * 1152); // at most the encoder's padding more
}

TEST_F(PipeTest, TheConsumerSeesTheEndOfInputAndGivesTheResult) {
  const struct {
    WideString producer;
    std::string consumerScript;
    uint32_t code;
    std::string received;
  } cases[] = {
      {u"/usr/bin/printf abc", "cat > \"$0\"", 0, "abc"},
      {u"/usr/bin/printf abc", "cat > \"$0\"; exit 3", 3, "abc"},
      {Shell("printf x; exit 5"), "cat > \"$0\"", 0, "x"}, // the producer's code is not judged
      {u"true", "cat > \"$0\"; exit 4", 4, ""},
      {Shell("kill -KILL $$"), "cat > \"$0\"", 0, ""},
  };
  for (const auto &c : cases) {
    const fs::path received = File("received");
    fs::remove(received);
    const TRunResult result = Pipe(c.producer, Shell(c.consumerScript, {received.string()}));
    EXPECT_TRUE(result.started) << c.consumerScript;
    EXPECT_EQ(result.code, c.code) << c.consumerScript;
    EXPECT_EQ(ReadFileBytes(received), c.received) << c.consumerScript;
  }
  EXPECT_EQ(control.abortMode, kAbortNone); // nothing hung until the watchdog
  test::ExpectNoChildren();
}

TEST_F(PipeTest, AConsumerThatStopsReadingEndsTheProducer) {
  // yes writes for ever; only the broken pipe stops it.
  const TRunResult result = Pipe(u"yes", Shell("head -c 10 > /dev/null; exit 6"));
  EXPECT_TRUE(result.started);
  EXPECT_EQ(result.code, 6u);
  EXPECT_EQ(control.abortMode, kAbortNone);
  test::ExpectNoChildren();
}

// Descriptor number -> what it is, listed by find for the shell that started it.
std::map<int, std::string> Descriptors(const std::string &listing) {
  std::map<int, std::string> fds;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    const size_t blank = line.find(' ');
    fds[std::stoi(line.substr(0, blank))] = line.substr(blank + 1);
  }
  return fds;
}

TEST_F(PipeTest, OnlyThePipeAndTheStandardHandlesAreInherited) {
  const int extra = open(File("extra").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(extra, 3);
  const fs::path consumerFds = File("consumer fds"), producerFds = File("producer fds");
  const fs::path errors = File("errors.txt");
  // The producer lists its descriptors into the pipe; the consumer saves
  // that, then lists its own.
  const TRunResult result =
      Pipe(Shell("find /proc/$$/fd -mindepth 1 -printf '%f %l\\n'; echo producer >&2"),
           Shell("cat > \"$0\"; find /proc/$$/fd -mindepth 1 -fprintf \"$1\" '%f %l\\n'; "
                 "echo consumer >&2",
                 {producerFds.string(), consumerFds.string()}),
           W(errors.string()));
  close(extra);
  ASSERT_EQ(result.code, 0u);
  const auto producer = Descriptors(ReadFileBytes(producerFds));
  const auto consumer = Descriptors(ReadFileBytes(consumerFds));
  ASSERT_EQ(producer.size(), 3u);
  EXPECT_EQ(producer.at(0), "/dev/null");
  EXPECT_EQ(producer.at(1).rfind("pipe:", 0), 0u);
  EXPECT_EQ(producer.at(2), "/dev/null"); // hidden: our error output is not passed on
  EXPECT_EQ(consumer, (std::map<int, std::string>{
                          {0, producer.at(1)}, {1, "/dev/null"}, {2, errors.string()}}));
  // Only the consumer's error output goes to the file.
  EXPECT_EQ(ReadFileBytes(errors), "consumer\n");
}

TEST_F(PipeTest, StartFailuresStartNothingOrEndTheProducer) {
  const fs::path started = File("producer started");
  const WideString producer = Shell("touch \"$0\"; exec sleep 100", {started.string()});
  const struct {
    const char *what;
    WideString producer, consumer, consumerDirectory;
    uint32_t code;
    bool producerStarts;
  } cases[] = {
      {"producer missing", u"no-such-program-tb", u"cat", {}, kErrorFileNotFound, false},
      // Known before anything starts.
      {"consumer missing", producer, u"no-such-program-tb", {}, kErrorFileNotFound, false},
      // Known only when the consumer starts: the producer has to go.
      {"consumer directory missing", producer, u"cat", dir.Wide() + u"gone/", kErrorDirectory,
       true},
  };
  for (const auto &c : cases) {
    fs::remove(started);
    const auto start = Clock::now();
    const TRunResult result = Pipe(c.producer, c.consumer, {}, c.consumerDirectory);
    EXPECT_FALSE(result.started) << c.what;
    EXPECT_EQ(result.code, c.code) << c.what;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << c.what;
    if (!c.producerStarts) {
      EXPECT_FALSE(fs::exists(started)) << c.what;
    }
    test::ExpectNoChildren();
  }
}

// ---- ending programs

TEST_F(PipeTest, AbortEndsTheProgramAndEveryProcessOfItsGroup) {
  const struct {
    const char *what;
    int abortMode;
    bool terminating;
    std::string script;
  } cases[] = {
      {"abort all", kAbortAll, false, "sleep 100 & echo $$ $! > \"$0\"; sleep 100"},
      {"abort file", kAbortSkipFile, false, "sleep 100 & echo $$ $! > \"$0\"; sleep 100"},
      {"application exit", kAbortNone, true, "sleep 100 & echo $$ $! > \"$0\"; sleep 100"},
      // Deaf to SIGTERM: it takes the SIGKILL a second later.
      {"ignoring SIGTERM", kAbortAll, false,
       "trap '' TERM; sleep 100 & echo $$ $! > \"$0\"; sleep 100"},
  };
  for (const auto &c : cases) {
    const fs::path pidFile = File("pids");
    fs::remove(pidFile);
    Clock::time_point stopAt{};
    control.abortMode = kAbortNone;
    control.terminating = false;
    control.onEvents = [&] {
      if (stopAt == Clock::time_point{} && PidsIn(pidFile).size() == 2) {
        stopAt = Clock::now();
        control.abortMode = c.abortMode;
        control.terminating = c.terminating;
      }
    };
    const TRunResult result = Run(Shell(c.script, {pidFile.string()}));
    const auto took = Clock::now() - stopAt;
    EXPECT_TRUE(result.started) << c.what;
    EXPECT_EQ(result.code, kStillActive) << c.what;
    ASSERT_NE(stopAt, Clock::time_point{}) << c.what;
    EXPECT_LT(took, milliseconds(2500)) << c.what;
    const std::vector<pid_t> pids = PidsIn(pidFile);
    ASSERT_EQ(pids.size(), 2u);
    EXPECT_TRUE(kill(-pids[0], 0) == -1 && errno == ESRCH) << c.what;
    EXPECT_TRUE(ProcessGone(pids[1])) << c.what;
    test::ExpectNoChildren();
  }
}

TEST_F(PipeTest, AbortEndsBothProgramsOfAPipe) {
  const fs::path a = File("producer"), b = File("consumer");
  control.onEvents = [&] {
    if (PidsIn(a).size() == 1 && PidsIn(b).size() == 1) control.abortMode = kAbortAll;
  };
  const TRunResult result = Pipe(Shell("echo $$ > \"$0\"; exec sleep 100", {a.string()}),
                                 Shell("echo $$ > \"$0\"; exec sleep 100", {b.string()}));
  EXPECT_TRUE(result.started);
  EXPECT_EQ(result.code, kStillActive);
  ASSERT_EQ(PidsIn(a).size(), 1u);
  ASSERT_EQ(PidsIn(b).size(), 1u);
  EXPECT_TRUE(ProcessGone(PidsIn(a)[0]));
  EXPECT_TRUE(ProcessGone(PidsIn(b)[0]));
  test::ExpectNoChildren();
}

TEST_F(PipeTest, StopAfterTheFileLetsTheProgramFinish) {
  control.abortMode = kAbortAfterFile;
  const TRunResult result = Run(Shell("sleep 0.2; exit 4"));
  EXPECT_EQ(result.code, 4u);
  // Events keep being processed while it runs (a round every 10 ms or so).
  EXPECT_GE(control.rounds, 5);
}

TEST_F(PipeTest, AFailingEventHandlerLeavesNoProgramBehind) {
  const fs::path pidFile = File("pids");
  control.onEvents = [&] {
    if (PidsIn(pidFile).size() == 2) throw std::runtime_error("handler failed");
  };
  EXPECT_THROW(Run(Shell("sleep 100 & echo $$ $! > \"$0\"; sleep 100", {pidFile.string()})),
               std::runtime_error);
  const std::vector<pid_t> pids = PidsIn(pidFile);
  ASSERT_EQ(pids.size(), 2u);
  EXPECT_TRUE(kill(-pids[0], 0) == -1 && errno == ESRCH);
  EXPECT_TRUE(ProcessGone(pids[1]));
  test::ExpectNoChildren();
}

} // namespace
} // namespace tunbrix
