// Running external programs: one at a time, or a producer piped into a
// consumer, with the user's show mode and priority and standard error
// appended to a file, while the caller keeps processing its events. Also the
// run log and the end-of-session actions after a batch.
//
// Programs are started directly from their command line, split into
// arguments by the Windows rules; no shell ever interprets a command line, so
// a file name can never become a command.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/codepages.h"

namespace tunbrix {

class IDesktop;

// Show modes are the Windows show-window codes 0 ... 10. Only "Hide" matters
// here: it sends output that is not redirected to /dev/null, while every other
// mode lets it through to our own standard output and error.
constexpr int kSwHide = 0;
constexpr int kSwNormal = 1;

// Creation priority classes. Normal runs at nice 0, Idle at 19, High at -5
// (kept at the inherited value when raising is not permitted); any other
// value counts as Normal.
constexpr uint32_t kNormalPriorityClass = 0x20;
constexpr uint32_t kIdlePriorityClass = 0x40;
constexpr uint32_t kHighPriorityClass = 0x80;

// The exit code of a program that still runs. A program we had to terminate
// reports it too, which the batch treats as "aborted".
constexpr uint32_t kStillActive = 259;

// System error codes of programs that could not be started.
constexpr uint32_t kErrorFileNotFound = 2;      // no such program
constexpr uint32_t kErrorAccessDenied = 5;      // found, but not executable by us
constexpr uint32_t kErrorInvalidParameter = 87; // empty command line, bad argument
constexpr uint32_t kErrorBadPathname = 161;
constexpr uint32_t kErrorBadExeFormat = 193; // not a program this system can run
constexpr uint32_t kErrorDirectory = 267;    // working directory missing or not a folder
// Any other start failure reports the errno value itself.

// Abort modes of the batch.
constexpr int kAbortNone = 0;
constexpr int kAbortAll = 1;
constexpr int kAbortSkipFile = 2;
constexpr int kAbortAfterFile = 3; // lets the running program finish

// "No standard-input handle".
constexpr int kNoHandle = -1;

// The run log's file name inside the executable's folder.
inline constexpr std::u16string_view kRunLogName = u"Debug - RunPrgList.txt";

// What the wait loops consult while programs run. AbortMode and
// ApplicationTerminating are read on every round; abort modes 1 and 2 and a
// terminating application end the programs at once: SIGTERM to each
// program's process group, SIGKILL to what is left a second later.
// ProcessPendingEvents is called at least every 10 ms while a program runs,
// so the window stays responsive; it may change the abort mode. Should it
// throw, the programs are ended the same way before the exception goes on.
class IRunControl {
public:
  virtual ~IRunControl() = default;
  virtual int AbortMode() = 0;
  virtual bool ApplicationTerminating() = 0;
  virtual void ProcessPendingEvents() = 0;
};

// For callers without events or abort commands: programs always run to their end.
class CUninterruptedRun final : public IRunControl {
public:
  int AbortMode() override { return kAbortNone; }
  bool ApplicationTerminating() override { return false; }
  void ProcessPendingEvents() override {}
};

// The surroundings every run needs.
struct TRunContext {
  // Searched for programs before PATH: the executable's own folder.
  WideString programFolder;
  IRunControl &control;
  // Shows RunAndReport's start-failure messages.
  IDesktop &desktop;
  // The run log when it is kept (see kRunLogName), else "".
  WideString runLog;
};

struct TRunResult {
  bool started = false;
  // The exit code; kStillActive when we terminated the program; the system
  // error code when it could not be started. A program killed by a signal it
  // did not get from us reports 128 + the signal number.
  uint32_t code = 0;
};

// How a program is found: a name with "/" is used as it is (relative to our
// current folder); any other is looked for in the context's program folder,
// then in PATH. A name ending in ".exe" that is not found is tried again
// without it, so that scripts written for Windows run.

// Runs one program and waits for it. The program inherits only its three
// standard handles. When a standard-input handle is given or the error file
// could be opened, the handles are redirected: standard input is the given
// handle (else /dev/null), standard output is not connected (/dev/null) and
// standard error goes to the error file (else /dev/null). Otherwise standard
// input is /dev/null and the output follows the show mode. The error file is
// appended to and created when missing; when it cannot be opened the program
// runs as if none was given. The handle is not closed; it stays the caller's.
// An empty working directory keeps ours.
TRunResult RunProgram(const TRunContext &context, const WideString &commandLine,
                      const WideString &workingDirectory, int showMode, int standardInput,
                      const WideString &errorFileName, uint32_t priorityClass);

// Runs a producer whose standard output feeds the consumer's standard input,
// and waits for both. The consumer sees the end of its input when the
// producer ends. The producer reads /dev/null; its standard error and the
// consumer's standard output are our own (under "Hide": /dev/null); the
// consumer's standard error goes to the error file when one is given and can
// be opened. The result is the consumer's; the producer's code is not judged.
// Both programs are looked up before either starts, and a consumer that
// still fails to start ends the producer.
TRunResult RunPipe(const TRunContext &context, const WideString &producerLine,
                   const WideString &consumerLine, const WideString &producerDirectory,
                   const WideString &errorFileName, uint32_t priorityClass, int showMode,
                   const WideString &consumerDirectory);

// Logs the command line (when the context keeps a run log), runs the program
// without standard input, and reports a start failure with codes 2, 87, 161
// and 267 in a message box titled "Error". Returns the code.
uint32_t RunAndReport(const TRunContext &context, const WideString &commandLine,
                      const WideString &workingDirectory, int showMode,
                      const WideString &errorFileName, uint32_t priorityClass);

// The message RunAndReport shows for a start failure, "" when none is shown.
WideString StartFailureMessage(uint32_t code, const WideString &commandLine,
                               const WideString &workingDirectory);

// Appends text and CR LF to a UTF-16 little-endian file without byte-order
// mark, creating it when missing. False when the file cannot be written.
bool AppendLogLine(const WideString &file, const WideString &text);

// The program part of a command line, lower-cased, for status texts: after
// leading blanks either the quoted text or the text up to the first blank or
// double quote.
WideString ProgramToken(const WideString &commandLine);

// Where the error-stream file of a run goes: a name with a folder is used as
// it is; a bare name lands in the folder of the output name or, when that is
// empty, of the input name.
WideString ErrorFilePath(const WideString &configuredName, const WideString &outputName,
                         const WideString &inputName);

// Splits a command line into arguments as Windows programs do: blanks (space,
// tab) separate, double quotes group and are removed, backslashes are literal
// except before a double quote, where 2n backslashes give n backslashes and
// the quote toggles grouping, and 2n+1 give n backslashes and a literal quote.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// text as one argument that SplitCommandLine gives back exactly: in double
// quotes, with a double quote inside written as \" and the backslashes
// before it (or before the closing quote) doubled.
WideString QuoteArgument(const WideString &text);

// ExitWindowsEx flags. The action is the flag value without the force bits:
//   kEwxLogoff (0)   -> EndSessionAction::Logoff
//   kEwxShutdown (1) -> EndSessionAction::Shutdown
//   kEwxReboot (2)   -> EndSessionAction::Reboot
//   kEwxPoweroff (8) -> EndSessionAction::Shutdown (here shutting down powers off)
// Any other combination asks for nothing and fails. Hibernation has no flag
// (Windows suspends through SetSuspendState instead); it is the call layer's
// own action, asked for with IDesktop::EndSession(EndSessionAction::Hibernate).
constexpr uint32_t kEwxLogoff = 0x00;
constexpr uint32_t kEwxShutdown = 0x01;
constexpr uint32_t kEwxReboot = 0x02;
constexpr uint32_t kEwxForce = 0x04;
constexpr uint32_t kEwxPoweroff = 0x08;
constexpr uint32_t kEwxForceIfHung = 0x10;

// Ends the session as the flags say, through the call layer, and returns
// whether that succeeded. No privilege needs enabling here: the session
// manager decides whether we may.
bool ExitWindowsWithPrivilege(IDesktop &desktop, uint32_t flags);

} // namespace tunbrix
