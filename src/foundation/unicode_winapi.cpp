#include "foundation/unicode_winapi.h"

#include <limits>

namespace tunbrix {
namespace {

constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kNanosPerSecond = 1000000000;
constexpr int64_t kNanosPerTick = 100;

} // namespace

FileTime UnixToFileTime(int64_t seconds, int64_t nanoseconds) {
  constexpr int64_t kMaxSeconds = std::numeric_limits<int64_t>::max();
  constexpr FileTime kMaxTime = std::numeric_limits<FileTime>::max();
  int64_t carry = nanoseconds / kNanosPerSecond;
  nanoseconds %= kNanosPerSecond;
  if (nanoseconds < 0) {
    nanoseconds += kNanosPerSecond;
    --carry;
  }
  if (carry > 0 && seconds > kMaxSeconds - carry) return kMaxTime;
  if (carry < 0 && seconds < std::numeric_limits<int64_t>::min() - carry) return 0;
  seconds += carry;
  if (seconds < -kSecondsFrom1601To1970) return 0;
  if (seconds > kMaxSeconds - kSecondsFrom1601To1970) return kMaxTime;
  const auto since1601 = static_cast<uint64_t>(seconds + kSecondsFrom1601To1970);
  const uint64_t ticks = static_cast<uint64_t>(nanoseconds / kNanosPerTick);
  if (since1601 > (kMaxTime - ticks) / kTicksPerSecond) return kMaxTime;
  return since1601 * kTicksPerSecond + ticks;
}

void FileTimeToUnix(FileTime time, int64_t &seconds, int64_t &nanoseconds) {
  seconds = static_cast<int64_t>(time / kTicksPerSecond) - kSecondsFrom1601To1970;
  nanoseconds = static_cast<int64_t>(time % kTicksPerSecond) * kNanosPerTick;
}

int CRecordingDesktop::MessageBox(const WideString &text, const WideString &title, uint32_t flags) {
  calls.push_back({"MessageBox", text, title, {}, {}, flags});
  return messageBoxAnswer;
}

std::optional<WideString> CRecordingDesktop::BrowseForFolder(const WideString &title,
                                                             const WideString &start) {
  calls.push_back({"BrowseForFolder", {}, title, {}, start, 0});
  return folderAnswer;
}

std::optional<std::vector<WideString>>
CRecordingDesktop::OpenFileDialog(const TOpenFileRequest &request) {
  WideString filters;
  for (const auto &[description, patterns] : request.filters) {
    if (!filters.empty()) filters += u'|';
    filters += description + u'|' + patterns;
  }
  uint32_t flags = static_cast<uint32_t>(request.filterIndex);
  if (request.multiSelect) flags |= kOfnAllowMultiSelect;
  calls.push_back({"OpenFileDialog", {}, request.title, filters, request.initialDirectory, flags});
  return filesAnswer;
}

bool CRecordingDesktop::ShellExecute(const WideString &verb, const WideString &file,
                                     const WideString &parameters, const WideString &directory,
                                     int showMode) {
  calls.push_back(
      {"ShellExecute", file, verb, parameters, directory, static_cast<uint32_t>(showMode)});
  return operationResult;
}

bool CRecordingDesktop::TrayIcon(TrayAction action, const WideString &tip) {
  calls.push_back({"TrayIcon", tip, {}, {}, {}, static_cast<uint32_t>(action)});
  return operationResult;
}

bool CRecordingDesktop::PlaySound(const WideString &file) {
  calls.push_back({"PlaySound", file, {}, {}, {}, 0});
  return operationResult;
}

bool CRecordingDesktop::EndSession(EndSessionAction action) {
  calls.push_back({"EndSession", {}, {}, {}, {}, static_cast<uint32_t>(action)});
  return operationResult;
}

} // namespace tunbrix
