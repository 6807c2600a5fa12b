// What the runner costs per program: 200 runs of `true` through RunProgram
// against the same 200 runs started directly with posix_spawn and waitpid.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "foundation/WinExc32.h"
#include "foundation/unicode_winapi.h"

extern char **environ;

namespace {

using namespace tunbrix;
using Clock = std::chrono::steady_clock;

constexpr int kRuns = 200;

// Counts the event rounds, as the window would process its messages.
class CCountingControl final : public IRunControl {
public:
  int AbortMode() override { return kAbortNone; }
  bool ApplicationTerminating() override { return false; }
  void ProcessPendingEvents() override { ++rounds; }
  long rounds = 0;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool SpawnDirectly(const char *path) {
  char *argv[] = {const_cast<char *>("true"), nullptr};
  pid_t pid;
  if (posix_spawn(&pid, path, nullptr, nullptr, argv, environ) != 0) return false;
  int status;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct TTotals {
  double direct = 0, runner = 0;
};

// The two ways take turns, so that the load of the machine falls on both alike.
TTotals Measure(const std::function<bool()> &direct, const std::function<bool()> &runner) {
  TTotals totals;
  for (int i = 0; i < kRuns; ++i) {
    auto start = Clock::now();
    direct();
    totals.direct += Seconds(Clock::now() - start);
    start = Clock::now();
    runner();
    totals.runner += Seconds(Clock::now() - start);
  }
  return totals;
}

void Print(const char *title, const TTotals &t) {
  std::printf("%s\n", title);
  std::printf("  posix_spawn + waitpid: %8.1f ms total, %7.1f us per run\n", t.direct * 1e3,
              t.direct * 1e6 / kRuns);
  std::printf("  RunProgram:            %8.1f ms total, %7.1f us per run\n", t.runner * 1e3,
              t.runner * 1e6 / kRuns);
  std::printf("  overhead per run:      %8.1f us\n", (t.runner - t.direct) * 1e6 / kRuns);
}

} // namespace

int main() {
  const char *truePath = "/bin/true";
  CCountingControl control;
  CRecordingDesktop desktop;
  const TRunContext context{{}, control, desktop, {}};
  const auto direct = [&] { return SpawnDirectly(truePath); };
  const auto runner = [&] {
    const TRunResult r =
        RunProgram(context, u"true", {}, kSwHide, kNoHandle, {}, kNormalPriorityClass);
    return r.started && r.code == 0;
  };
  for (int i = 0; i < 10; ++i) // warm the caches of both ways
    if (!direct() || !runner()) {
      std::fprintf(stderr, "cannot run %s\n", truePath);
      return 1;
    }
  control.rounds = 0;
  Print("200 runs of true", Measure(direct, runner));
  std::printf("  event rounds: %ld (%.2f per run)\n", control.rounds,
              static_cast<double>(control.rounds) / kRuns);

  // A desktop program with a long file list is large; starting a program
  // must not cost more for that.
  std::vector<char> ballast(256u << 20);
  std::memset(ballast.data(), 1, ballast.size());
  Print("200 runs of true, with 256 MB of memory in use", Measure(direct, runner));
  return ballast[12345] == 1 ? 0 : 1;
}
