#include "tags/tagvorbis_fix.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "foundation/file_io.h"
#include "foundation/text_types.h"
#include "foundation/unicode_winapi.h"

namespace tunbrix {
namespace {

constexpr std::u16string_view kProgram = u"vorbiscomment.exe";

// The program's standard input: an unlinked temporary file that holds the
// whole text before the program starts. A pipe would hold only what fits
// into its buffer (64 KiB here) and long lyrics would block for ever, so we
// never make the program and ourselves wait for each other.
class CInputFile {
public:
  ~CInputFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  // False when the file cannot be made or written.
  bool Fill(const std::string &text) {
    std::string name = ToNativePath(IncludeTrailingBackslashW(GetTempDirectoryW()));
    name += "tunbrix-vc-XXXXXX";
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0) return false;
    ::unlink(name.c_str()); // nothing is left behind, whatever happens later
    for (size_t done = 0; done < text.size();) {
      const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return ::lseek(fd_, 0, SEEK_SET) == 0;
  }
  int Fd() const { return fd_; }

private:
  int fd_ = -1;
};

std::string OneLine(std::string text) {
  for (char &c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

} // namespace

std::string OggCommentInput(const CVorbisComments &comments) {
  // One LF per line and no end-of-input byte: vorbiscomment reads its input
  // as bytes, keeps a CR in the value and takes a 0x1A byte for a comment.
  std::string text;
  for (const auto &c : comments.Comments) {
    if (c.Name.empty() || c.Value.empty()) continue;
    text += OneLine(c.Name) + "=" + OneLine(WideToUtf8(c.Value)) + "\n";
  }
  return text;
}

uint32_t WriteOggComments(const TRunContext &context, const WideString &file,
                          CVorbisComments &comments) {
  const std::string input = OggCommentInput(comments);
  comments.ClearMarks(); // the next round of SetComment starts afresh
  CInputFile stdinFile;
  if (!stdinFile.Fill(input)) return 1;
  const WideString line = WideString(kProgram) + u" -w -R " + QuoteArgument(file);
  return RunProgram(context, line, ExtractFilePathW(file), kSwHide, stdinFile.Fd(), {},
                    kNormalPriorityClass)
      .code;
}

int ClearOggComments(const TRunContext &context, const WideString &file) {
  const WideString line = WideString(kProgram) + u" -w " + QuoteArgument(file) + u" -t \"\"";
  const TRunResult result = RunProgram(context, line, ExtractFilePathW(file), kSwHide, kNoHandle,
                                       {}, kNormalPriorityClass);
  return result.started && result.code == 0 ? 0 : 2;
}

} // namespace tunbrix
