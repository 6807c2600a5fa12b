// The parts of the program runner that do not depend on the platform.
#include "foundation/WinExc32.h"

#include <optional>

#include "foundation/file_io.h"
#include "foundation/text_types.h"
#include "foundation/unicode_winapi.h"

namespace tunbrix {
namespace {

bool IsBlank(WideChar c) { return c == u' ' || c == u'\t'; }

WideString Quoted(const WideString &text) { return u"\"" + text + u"\""; }

std::optional<EndSessionAction> EndSessionActionOfFlags(uint32_t flags) {
  switch (flags & ~(kEwxForce | kEwxForceIfHung)) {
  case kEwxLogoff: return EndSessionAction::Logoff;
  case kEwxShutdown: return EndSessionAction::Shutdown;
  case kEwxReboot: return EndSessionAction::Reboot;
  case kEwxPoweroff: return EndSessionAction::Shutdown;
  default: return std::nullopt;
  }
}

} // namespace

WideString ProgramToken(const WideString &commandLine) {
  size_t start = 0;
  while (start < commandLine.size() && IsBlank(commandLine[start]))
    ++start;
  size_t end;
  if (start < commandLine.size() && commandLine[start] == u'"') {
    ++start;
    end = commandLine.find(u'"', start);
  } else {
    end = commandLine.find_first_of(u" \t\"", start);
  }
  if (end == WideString::npos) end = commandLine.size();
  return LowerCaseW(commandLine.substr(start, end - start));
}

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> args;
  std::string current;
  bool inArgument = false, quoted = false;
  size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (!quoted && (c == ' ' || c == '\t')) {
      if (inArgument) args.push_back(std::move(current));
      current.clear();
      inArgument = false;
      ++i;
      continue;
    }
    inArgument = true; // even "" makes an (empty) argument
    if (c == '\\') {
      size_t count = 0;
      while (i < line.size() && line[i] == '\\')
        ++count, ++i;
      if (i < line.size() && line[i] == '"') {
        current.append(count / 2, '\\');
        if (count % 2 == 1)
          current += '"';
        else
          quoted = !quoted;
        ++i;
      } else {
        current.append(count, '\\');
      }
    } else if (c == '"') {
      quoted = !quoted;
      ++i;
    } else {
      current += c;
      ++i;
    }
  }
  if (inArgument) args.push_back(std::move(current));
  return args;
}

WideString ErrorFilePath(const WideString &configuredName, const WideString &outputName,
                         const WideString &inputName) {
  if (configuredName.empty() || !ExtractFilePathW(configuredName).empty()) return configuredName;
  return ExtractFilePathW(outputName.empty() ? inputName : outputName) + configuredName;
}

bool AppendLogLine(const WideString &file, const WideString &text) {
  const WideString line = text + u"\r\n";
  std::string bytes;
  bytes.reserve(line.size() * 2);
  for (const WideChar c : line) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  RealFileSystem fs;
  const std::unique_ptr<IFile> log = fs.Open(file, FileMode::OpenAlways);
  if (!log) return false;
  const int64_t end = log->Size();
  return end >= 0 && log->Seek(end) && log->Write(bytes.data(), bytes.size());
}

WideString StartFailureMessage(uint32_t code, const WideString &commandLine,
                               const WideString &workingDirectory) {
  switch (code) {
  case kErrorFileNotFound: return u"The file could not be found: " + Quoted(commandLine);
  case kErrorInvalidParameter: return u"Wrong parameter!";
  case kErrorBadPathname: return u"The path is invalid: " + Quoted(commandLine);
  case kErrorDirectory: return u"The directory is invalid: " + Quoted(workingDirectory);
  default: return {};
  }
}

uint32_t RunAndReport(const TRunContext &context, const WideString &commandLine,
                      const WideString &workingDirectory, int showMode,
                      const WideString &errorFileName, uint32_t priorityClass) {
  if (!context.runLog.empty()) AppendLogLine(context.runLog, commandLine);
  const TRunResult result = RunProgram(context, commandLine, workingDirectory, showMode, kNoHandle,
                                       errorFileName, priorityClass);
  if (result.code == 0 || result.started) return result.code;
  const WideString message = StartFailureMessage(result.code, commandLine, workingDirectory);
  if (!message.empty()) {
    const WideString text = u"ERROR " + AsciiToWide(std::to_string(result.code)) + u":\n" + message;
    context.desktop.MessageBox(text, u"Error", kMbOk | kMbIconError);
  }
  return result.code;
}

bool ExitWindowsWithPrivilege(IDesktop &desktop, uint32_t flags) {
  const std::optional<EndSessionAction> action = EndSessionActionOfFlags(flags);
  return action && desktop.EndSession(*action);
}

WideString QuoteArgument(const WideString &text) {
  WideString out = u"\"";
  size_t backslashes = 0;
  for (const WideChar c : text) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    if (c == u'"') backslashes = backslashes * 2 + 1;
    out.append(backslashes, u'\\');
    out.push_back(c);
    backslashes = 0;
  }
  out.append(backslashes * 2, u'\\');
  out.push_back(u'"');
  return out;
}

} // namespace tunbrix
