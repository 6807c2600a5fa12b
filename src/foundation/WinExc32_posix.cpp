// Processes on POSIX: the program is exec'd with the arguments split from the
// command line (never a shell), each child in a process group of its own that
// holds only its three standard descriptors. Children are watched through a pidfd
// where the system has one, so an early exit is seen at once.
#include "foundation/WinExc32.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <span>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "foundation/file_io.h"

extern char **environ;

namespace tunbrix {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kPollInterval{10};
constexpr milliseconds kTerminationGrace{1000};
constexpr milliseconds kKillWait{500};

// ---- descriptors

class CFd {
public:
  CFd() = default;
  explicit CFd(int fd) : fd_(fd) {}
  ~CFd() { Reset(); }
  CFd(CFd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  CFd &operator=(CFd &&other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

private:
  int fd_ = -1;
};

CFd OpenDevNull() { return CFd(::open("/dev/null", O_RDWR | O_CLOEXEC)); }

// Appended to by every program, so several runs collect in one file.
CFd OpenErrorFile(const WideString &name) {
  if (name.empty()) return CFd();
  return CFd(::open(ToNativePath(name).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
}

// Our own standard output or error as a child's, unless the show mode hides
// it or we have none (a desktop program may be started without them).
int OwnStream(int fd, int showMode, int devNull) {
  if (showMode <= kSwHide || ::fcntl(fd, F_GETFD) < 0) return devNull;
  return fd;
}

// ---- finding the program

std::string CurrentDirectory() {
  std::string buffer(256, '\0');
  while (!::getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE) return "/";
    buffer.resize(buffer.size() * 2);
  }
  return buffer.c_str();
}

// The child changes its directory before exec, so a relative program name
// must be made absolute against ours first.
std::string Absolute(const std::string &path) {
  if (!path.empty() && path[0] == '/') return path;
  return CurrentDirectory() + "/" + path;
}

bool EndsWithExe(const std::string &name) {
  if (name.size() < 5) return false; // ".exe" alone names no program
  std::string tail = name.substr(name.size() - 4);
  for (char &c : tail)
    c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return tail == ".exe";
}

// 0 when path is a program we may run, else the reason it is not.
int Probe(const std::string &path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return errno == ENOTDIR ? ENOENT : errno;
  if (S_ISDIR(st.st_mode)) return EACCES;
  return ::access(path.c_str(), X_OK) == 0 ? 0 : errno;
}

std::vector<std::string> SearchFolders(const WideString &programFolder) {
  std::vector<std::string> folders;
  if (!programFolder.empty()) folders.push_back(ToNativePath(programFolder));
  std::string path;
  if (const char *value = std::getenv("PATH")) {
    path = value;
  } else {
    path.resize(::confstr(_CS_PATH, nullptr, 0));
    ::confstr(_CS_PATH, path.data(), path.size());
    path.resize(path.find('\0'));
  }
  size_t start = 0;
  for (;;) {
    const size_t colon = path.find(':', start);
    const std::string folder = path.substr(start, colon - start);
    folders.push_back(folder.empty() ? "." : folder); // an empty entry means "here"
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return folders;
}

struct TProgram {
  std::string path;
  int error = 0;
};

TProgram FindExactly(const std::string &name, const std::vector<std::string> &folders) {
  if (name.find('/') != std::string::npos) {
    const std::string path = Absolute(name);
    // Used as it is: exec says why it cannot run, unless there is nothing there.
    return {path, Probe(path) == ENOENT ? ENOENT : 0};
  }
  int error = ENOENT;
  for (const std::string &folder : folders) {
    std::string path = Absolute(folder);
    if (path.back() != '/') path += '/';
    path += name;
    const int found = Probe(path);
    if (found == 0) return {path, 0};
    if (found == EACCES) error = EACCES; // something is there, but we may not run it
  }
  return {{}, error};
}

// Windows-written scripts name "lame.exe" where this system has "lame".
TProgram FindProgram(std::string &name, const WideString &programFolder) {
  if (name.empty()) return {{}, ENOENT};
  const std::vector<std::string> folders = SearchFolders(programFolder);
  TProgram program = FindExactly(name, folders);
  if (program.error == ENOENT && EndsWithExe(name)) {
    TProgram bare = FindExactly(name.substr(0, name.size() - 4), folders);
    if (bare.error == 0) name.resize(name.size() - 4);
    if (bare.error != ENOENT) program = bare;
  }
  return program;
}

// ---- starting a child

enum class StartStage : int { Setup = 1, Directory = 2, Exec = 3 };

struct TChildReport {
  int stage;
  int error;
};

uint32_t StartFailureCode(StartStage stage, int error) {
  if (stage == StartStage::Directory && (error == ENOENT || error == ENOTDIR))
    return kErrorDirectory;
  switch (error) {
  case ENOENT: return kErrorFileNotFound;
  case EINVAL: return kErrorInvalidParameter;
  case EACCES: return kErrorAccessDenied;
  case ENOEXEC: return kErrorBadExeFormat;
  default: return static_cast<uint32_t>(error);
  }
}

int NiceOf(uint32_t priorityClass) {
  switch (priorityClass) {
  case kIdlePriorityClass: return 19;
  case kHighPriorityClass: return -5;
  default: return 0;
  }
}

int HighestDescriptor() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 65535;
  return static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 20)) - 1;
}

// A program to start: the storage behind the child's startup record.
struct TChildPlan {
  std::string path;
  std::vector<std::string> args;
  std::vector<char *> argv;
  std::string directory;
  std::array<int, 3> stdio = {-1, -1, -1};
  int niceValue = 0;
};

// Fills the plan from a command line; 0 or the start-failure code.
uint32_t PlanChild(TChildPlan &plan, const WideString &programFolder, const WideString &commandLine,
                   const WideString &workingDirectory, uint32_t priorityClass) {
  const std::string line = WideToSys(commandLine);
  if (line.find('\0') != std::string::npos) return kErrorInvalidParameter;
  plan.args = SplitCommandLine(line);
  if (plan.args.empty()) return kErrorInvalidParameter;
  const TProgram program = FindProgram(plan.args[0], programFolder);
  if (program.error != 0) return StartFailureCode(StartStage::Exec, program.error);
  plan.path = program.path;
  for (std::string &arg : plan.args)
    plan.argv.push_back(arg.data());
  plan.argv.push_back(nullptr);
  plan.directory = ToNativePath(workingDirectory);
  plan.niceValue = NiceOf(priorityClass);
  return 0;
}

// What the child reads between its creation and exec, where it may only make
// system calls: plain values, nothing to call or allocate.
struct TChildStartup {
  const char *path;
  char *const *argv;
  const char *directory; // nullptr: stay where we are
  int stdio[3];
  int niceValue;
  int highestFd;
  int reportFd;
};

// The child shares our memory until it execs, so nothing in it may be
// instrumented by the sanitizers, whose bookkeeping is ours.
#define TB_CHILD_CODE __attribute__((no_sanitize("address", "undefined")))

[[noreturn]] TB_CHILD_CODE void ChildFailed(int reportFd, StartStage stage, int error) {
  const TChildReport report{static_cast<int>(stage), error};
  [[maybe_unused]] const ssize_t written = ::write(reportFd, &report, sizeof report);
#if defined(SYS_exit_group)
  ::syscall(SYS_exit_group, 127); // no exit handler of ours may run
#endif
  ::_exit(127);
}

TB_CHILD_CODE void CloseOnExecAbove2(int highestFd) {
#if defined(SYS_close_range)
  constexpr unsigned kCloseRangeCloexec = 1u << 2;
  if (::syscall(SYS_close_range, 3u, ~0u, kCloseRangeCloexec) == 0) return;
#endif
  for (int fd = 3; fd <= highestFd; ++fd)
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// The report descriptor closes on exec, which tells the parent it worked.
[[noreturn]] TB_CHILD_CODE void BecomeProgram(const TChildStartup &startup) {
  ::setpgid(0, 0);
  ::setpriority(PRIO_PROCESS, 0, startup.niceValue); // when not permitted, ours stays
  // A program gets a clean signal state, whatever the host program ignores
  // or blocks; the handlers go before the signals are let in.
  struct sigaction standard = {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig)
    ::sigaction(sig, &standard, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  // Move the sources out of 0..2 first, so that one dup2 cannot overwrite another's source.
  int moved[3];
  for (int k = 0; k < 3; ++k) {
    moved[k] = ::fcntl(startup.stdio[k], F_DUPFD_CLOEXEC, 3);
    if (moved[k] < 0) ChildFailed(startup.reportFd, StartStage::Setup, errno);
  }
  for (int k = 0; k < 3; ++k)
    if (::dup2(moved[k], k) < 0) ChildFailed(startup.reportFd, StartStage::Setup, errno);
  CloseOnExecAbove2(startup.highestFd);
  if (startup.directory && ::chdir(startup.directory) != 0)
    ChildFailed(startup.reportFd, StartStage::Directory, errno);
  ::execve(startup.path, startup.argv, environ);
  ChildFailed(startup.reportFd, StartStage::Exec, errno);
}

#if defined(__linux__)
TB_CHILD_CODE int ChildMain(void *startup) {
  BecomeProgram(*static_cast<const TChildStartup *>(startup));
}

// Like posix_spawn, the child borrows our memory until it execs, on a stack
// of its own: fork would copy the page tables of the whole desktop program,
// which takes longer than starting the program itself once it is large.
pid_t CreateChild(const TChildStartup &startup) {
  constexpr size_t kStackSize = 256 * 1024;
  void *stack = ::mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED) return -1;
  // No handler of ours may run in the child while it shares our memory; it
  // puts the defaults back before it lets signals in.
  sigset_t all, previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t pid =
      ::clone(ChildMain, static_cast<char *>(stack) + kStackSize, CLONE_VM | CLONE_VFORK | SIGCHLD,
              const_cast<TChildStartup *>(&startup));
  const int error = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ::munmap(stack, kStackSize);
  errno = error;
  return pid;
}
#else
pid_t CreateChild(const TChildStartup &startup) {
  const pid_t pid = ::fork();
  if (pid == 0) BecomeProgram(startup);
  return pid;
}
#endif

uint32_t CodeOfStatus(int status) {
  if (WIFEXITED(status)) return static_cast<uint32_t>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return 128 + static_cast<uint32_t>(WTERMSIG(status));
  return kStillActive;
}

pid_t WaitPid(pid_t pid, int &status, int options) {
  pid_t result;
  do
    result = ::waitpid(pid, &status, options);
  while (result < 0 && errno == EINTR);
  return result;
}

struct TStart {
  pid_t pid = -1;
  uint32_t error = 0;
};

TStart StartChild(const TChildPlan &plan) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return {-1, StartFailureCode(StartStage::Setup, errno)};
  const TChildStartup startup = {plan.path.c_str(),
                                 plan.argv.data(),
                                 plan.directory.empty() ? nullptr : plan.directory.c_str(),
                                 {plan.stdio[0], plan.stdio[1], plan.stdio[2]},
                                 plan.niceValue,
                                 HighestDescriptor(),
                                 report[1]};
  const pid_t pid = CreateChild(startup);
  const int createError = errno;
  ::close(report[1]);
  if (pid < 0) {
    ::close(report[0]);
    return {-1, StartFailureCode(StartStage::Setup, createError)};
  }
  // Both sides set the group, so it exists whichever runs first.
  ::setpgid(pid, pid);
  TChildReport failure = {};
  ssize_t got;
  do
    got = ::read(report[0], &failure, sizeof failure);
  while (got < 0 && errno == EINTR);
  ::close(report[0]);
  if (got != static_cast<ssize_t>(sizeof failure)) return {pid, 0};
  int status;
  WaitPid(pid, status, 0);
  return {-1, StartFailureCode(static_cast<StartStage>(failure.stage), failure.error)};
}

// ---- watching and ending children

bool GroupExists(pid_t group) { return ::kill(-group, 0) == 0 || errno == EPERM; }

// A started program. Whoever owns it is sure it gets reaped: a program still
// running when its owner goes (an exception from the event handler, say) is
// terminated first.
class CChildProcess {
public:
  explicit CChildProcess(pid_t pid) : pid_(pid) {
#if defined(SYS_pidfd_open)
    pidfd_ = CFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#endif
  }
  ~CChildProcess();
  CChildProcess(const CChildProcess &) = delete;
  CChildProcess &operator=(const CChildProcess &) = delete;

  pid_t Pid() const { return pid_; }
  int PidFd() const { return pidfd_.Get(); }
  bool Running() const { return running_; }
  uint32_t Code() const { return code_; }

  // Reaps the program if it has ended; true while it runs.
  bool Poll() {
    if (running_) Reap(WNOHANG);
    return running_;
  }
  void Reap(int options) {
    int status = 0;
    const pid_t result = WaitPid(pid_, status, options);
    if (result == 0) return;
    running_ = false;
    // ECHILD: the host program lets the system reap its children, so the code is lost.
    code_ = result == pid_ ? CodeOfStatus(status) : static_cast<uint32_t>(ECHILD);
    pidfd_.Reset();
  }
  // Exited, without reaping it.
  bool HasExited() const {
    siginfo_t info = {};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
           info.si_pid == pid_;
  }
  // The whole group; the program alone should it have left its group.
  void Signal(int sig) {
    if (::kill(-pid_, sig) != 0 && running_) ::kill(pid_, sig);
  }
  // Members of the group that became our children (when we reap orphans).
  void ReapOrphans() {
    int status;
    while (WaitPid(-pid_, status, WNOHANG) > 0) {
    }
  }
  bool Gone() const { return !running_ && !GroupExists(pid_); }

  bool beingTerminated = false;

private:
  pid_t pid_;
  CFd pidfd_;
  bool running_ = true;
  uint32_t code_ = kStillActive;
};

// Waits at most timeout for one of the children to end.
void WaitForExit(std::span<CChildProcess *const> children, milliseconds timeout) {
  std::array<pollfd, 2> fds = {};
  size_t count = 0;
  bool withoutPidFd = false;
  for (CChildProcess *child : children) {
    if (!child->Running()) continue;
    if (child->PidFd() < 0 || count == fds.size())
      withoutPidFd = true;
    else
      fds[count++] = {child->PidFd(), POLLIN, 0};
  }
  if (count > 0 && !withoutPidFd) {
    ::poll(fds.data(), count, static_cast<int>(timeout.count()));
    return;
  }
  // No pidfd: look every millisecond.
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    for (CChildProcess *child : children)
      if (child->Running() && child->HasExited()) return;
    std::this_thread::sleep_for(milliseconds(1));
  }
}

// SIGTERM to each running child's group, SIGKILL to whatever is left after
// the grace time; every child is reaped and reports kStillActive.
void Terminate(std::span<CChildProcess *const> children) {
  for (CChildProcess *child : children) {
    child->beingTerminated = child->Running();
    if (child->beingTerminated) child->Signal(SIGTERM);
  }
  const auto deadline = Clock::now() + kTerminationGrace;
  for (;;) {
    bool allGone = true;
    for (CChildProcess *child : children) {
      if (!child->beingTerminated) continue;
      if (!child->Poll()) child->ReapOrphans();
      allGone = allGone && child->Gone();
    }
    const auto now = Clock::now();
    if (allGone || now >= deadline) break;
    WaitForExit(children, std::min(kPollInterval, std::chrono::ceil<milliseconds>(deadline - now)));
  }
  for (CChildProcess *child : children) {
    if (!child->beingTerminated) continue;
    if (!child->Gone()) child->Signal(SIGKILL);
    if (child->Running()) child->Reap(0);
  }
  // SIGKILL is not instant for the rest of the group either; wait for it a
  // little (bounded: dead members that no one reaps stay in the group).
  const auto killDeadline = Clock::now() + kKillWait;
  for (;;) {
    bool allGone = true;
    for (CChildProcess *child : children) {
      if (!child->beingTerminated) continue;
      child->ReapOrphans();
      allGone = allGone && child->Gone();
    }
    if (allGone || Clock::now() >= killDeadline) break;
    std::this_thread::sleep_for(milliseconds(1));
  }
}

CChildProcess::~CChildProcess() {
  if (!running_) return;
  CChildProcess *self = this;
  Terminate(std::span(&self, 1));
}

bool StopRequested(IRunControl &control) {
  const int mode = control.AbortMode();
  return control.ApplicationTerminating() || mode == kAbortAll || mode == kAbortSkipFile;
}

// Until every child has ended (true), or the control stops them (false).
bool WaitForChildren(IRunControl &control, std::span<CChildProcess *const> children) {
  for (;;) {
    bool running = false;
    for (CChildProcess *child : children)
      running = child->Poll() || running;
    if (!running) return true;
    if (StopRequested(control)) {
      Terminate(children);
      return false;
    }
    control.ProcessPendingEvents();
    WaitForExit(children, kPollInterval);
  }
}

} // namespace

TRunResult RunProgram(const TRunContext &context, const WideString &commandLine,
                      const WideString &workingDirectory, int showMode, int standardInput,
                      const WideString &errorFileName, uint32_t priorityClass) {
  TChildPlan plan;
  if (const uint32_t error =
          PlanChild(plan, context.programFolder, commandLine, workingDirectory, priorityClass))
    return {false, error};
  const CFd devNull = OpenDevNull();
  if (!devNull) return {false, StartFailureCode(StartStage::Setup, errno)};
  const CFd errorFile = OpenErrorFile(errorFileName);
  if (standardInput != kNoHandle || errorFile) {
    plan.stdio = {standardInput != kNoHandle ? standardInput : devNull.Get(), devNull.Get(),
                  errorFile ? errorFile.Get() : devNull.Get()};
  } else {
    plan.stdio = {devNull.Get(), OwnStream(1, showMode, devNull.Get()),
                  OwnStream(2, showMode, devNull.Get())};
  }
  const TStart start = StartChild(plan);
  if (start.pid < 0) return {false, start.error};
  CChildProcess child(start.pid);
  CChildProcess *const children[] = {&child};
  const bool ended = WaitForChildren(context.control, children);
  return {true, ended ? child.Code() : kStillActive};
}

TRunResult RunPipe(const TRunContext &context, const WideString &producerLine,
                   const WideString &consumerLine, const WideString &producerDirectory,
                   const WideString &errorFileName, uint32_t priorityClass, int showMode,
                   const WideString &consumerDirectory) {
  // Both programs are looked up first: a consumer that cannot be found
  // leaves the producer unstarted.
  TChildPlan producerPlan, consumerPlan;
  if (const uint32_t error = PlanChild(producerPlan, context.programFolder, producerLine,
                                       producerDirectory, priorityClass))
    return {false, error};
  if (const uint32_t error = PlanChild(consumerPlan, context.programFolder, consumerLine,
                                       consumerDirectory, priorityClass))
    return {false, error};
  const CFd devNull = OpenDevNull();
  int ends[2];
  if (!devNull || ::pipe2(ends, O_CLOEXEC) != 0)
    return {false, StartFailureCode(StartStage::Setup, errno)};
  CFd readEnd(ends[0]), writeEnd(ends[1]);

  producerPlan.stdio = {devNull.Get(), writeEnd.Get(), OwnStream(2, showMode, devNull.Get())};
  const TStart producerStart = StartChild(producerPlan);
  if (producerStart.pid < 0) return {false, producerStart.error};
  CChildProcess producer(producerStart.pid);
  // Only the producer may hold the write end, or the consumer never sees its input end.
  writeEnd.Reset();

  const CFd errorFile = OpenErrorFile(errorFileName);
  consumerPlan.stdio = {readEnd.Get(), OwnStream(1, showMode, devNull.Get()),
                        errorFile ? errorFile.Get() : OwnStream(2, showMode, devNull.Get())};
  const TStart consumerStart = StartChild(consumerPlan);
  readEnd.Reset();
  if (consumerStart.pid < 0) {
    CChildProcess *const alone[] = {&producer};
    Terminate(alone);
    return {false, consumerStart.error};
  }
  CChildProcess consumer(consumerStart.pid);
  CChildProcess *const both[] = {&producer, &consumer};
  const bool ended = WaitForChildren(context.control, both);
  return {true, ended ? consumer.Code() : kStillActive};
}

} // namespace tunbrix
