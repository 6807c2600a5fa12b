#include "support/test_support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace tunbrix::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tunbrix-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

WideString TempDir::Wide() const { return Utf8ToWide(path_.string() + "/"); }

WideString TempDir::File(const std::string &name) const {
  return Utf8ToWide((path_ / name).string());
}

std::string FindTool(const std::string &name) {
  const char *path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

ProcessResult RunCommand(const std::vector<std::string> &argv, const std::string &input) {
  std::signal(SIGPIPE, SIG_IGN); // a child that stops reading must not kill the test
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC))
    throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  std::vector<char *> args;
  for (const auto &a : argv)
    args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  ProcessResult result;
  if (rc != 0) {
    close(inPipe[1]);
    close(outPipe[0]);
    close(errPipe[0]);
    result.err = "cannot start " + argv[0];
    return result;
  }
  size_t written = 0;
  if (input.empty()) close(inPipe[1]);
  // Partial writes, so that a child busy writing its output cannot deadlock us.
  else
    fcntl(inPipe[1], F_SETFL, fcntl(inPipe[1], F_GETFL) | O_NONBLOCK);
  pollfd fds[3] = {{outPipe[0], POLLIN, 0},
                   {errPipe[0], POLLIN, 0},
                   {input.empty() ? -1 : inPipe[1], POLLOUT, 0}};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 3, -1) < 0) break;
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP))) continue;
      char buf[65536];
      const ssize_t n = read(fds[k].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[k].fd);
        fds[k].fd = -1;
        --open;
      } else {
        (k == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      }
    }
    if (fds[2].fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n = write(fds[2].fd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      const bool retry = n < 0 && (errno == EAGAIN || errno == EINTR);
      if ((n <= 0 && !retry) || written == input.size()) {
        close(fds[2].fd);
        fds[2].fd = -1;
      }
    }
  }
  if (fds[2].fd >= 0) close(fds[2].fd);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string RunTool(const std::vector<std::string> &argv, const std::string &input) {
  const ProcessResult r = RunCommand(argv, input);
  EXPECT_EQ(r.exitCode, 0) << argv[0] << ": " << r.err;
  return r.out;
}

bool HaveMutagen() {
  return RunCommand({"/usr/bin/python3", "-c", "import mutagen"}).exitCode == 0;
}

std::string MutagenOnBytes(const std::string &code, const std::string &name,
                           const std::string &bytes) {
  if (!HaveMutagen()) return "";
  TempDir dir;
  const std::filesystem::path file = dir.Path() / name;
  WriteFileBytes(file, bytes);
  return RunTool({"/usr/bin/python3", "-c", code, file.string()});
}

std::map<std::string, std::string> KeyValueLines(const std::string &text) {
  std::map<std::string, std::string> fields;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return fields;
}

std::string QuoteArg(const std::string &arg) {
  std::string out = "\"";
  size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    out += c;
    backslashes = 0;
  }
  out.append(2 * backslashes, '\\');
  return out + "\"";
}

WideString QuotedLine(const std::vector<std::string> &args) {
  std::string line;
  for (const std::string &arg : args)
    line += (line.empty() ? "" : " ") + QuoteArg(arg);
  return W(line);
}

void ExpectNoChildren() {
  int status;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

std::string ReadFileBytes(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFileBytes(const std::filesystem::path &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::filesystem::path SourceDir() { return TUNBRIX_SOURCE_DIR; }
std::filesystem::path BinaryDir() { return TUNBRIX_BINARY_DIR; }
std::filesystem::path Executable() { return TUNBRIX_EXECUTABLE; }

} // namespace tunbrix::test
