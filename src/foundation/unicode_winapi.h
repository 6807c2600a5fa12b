// The call layer: every file-system, process-start and desktop operation that
// takes names goes through here, with wide names. The file-system operations
// are stateless functions over the platform; the desktop operations form an
// interface whose real implementation is the Qt front end and whose recording
// implementation serves headless commands and tests.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/codepages.h"

namespace tunbrix {

// Attribute bits of a directory entry, as Windows numbers them.
constexpr uint32_t kAttrReadOnly = 0x01; // the owner may not write
constexpr uint32_t kAttrHidden = 0x02;   // the name begins with "."
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;  // a regular file
constexpr uint32_t kAttrReparse = 0x400; // a symbolic link

// Windows file time: 100 ns units since 1601-01-01 UTC.
using FileTime = uint64_t;
// Times before 1601 become 0, times beyond the range the largest value;
// nanoseconds below 100 are dropped.
FileTime UnixToFileTime(int64_t seconds, int64_t nanoseconds);
// nanoseconds comes back in 0..999999999.
void FileTimeToUnix(FileTime time, int64_t &seconds, int64_t &nanoseconds);

struct TWin32FindDataW {
  uint32_t dwFileAttributes = 0;
  FileTime ftCreationTime = 0;
  FileTime ftLastAccessTime = 0;
  FileTime ftLastWriteTime = 0;
  uint64_t nFileSize = 0;
  WideString cFileName;          // the entry's name, without folder
  WideString cAlternateFileName; // 8.3 names do not exist here: always empty
};

// A directory search. Destroying it ends the search.
class TFindHandle {
public:
  virtual ~TFindHandle() = default;
};

// First entry of a folder that matches the last component of pattern
// ("*" any run of characters, "?" one character, ASCII letters compared
// without case; a final ".*" also matches the end of a name, so "*.*" matches
// every name and "song.*" also "song"); a pattern without wildcards finds
// exactly that entry. "." and ".." are never returned. Entries come sorted by
// name. A symbolic link reports its target's type, size and times with
// kAttrReparse added (and no type bit when the target is missing); a folder's
// size is 0. nullptr when nothing matches or the folder cannot be read.
std::unique_ptr<TFindHandle> FindFirstFileW(const WideString &pattern, TWin32FindDataW &data);
// The next matching entry; false at the end.
bool FindNextFileW(TFindHandle &search, TWin32FindDataW &data);

// Renames or moves a file or folder; a file (or symbolic link) also to
// another file system, by a copy that keeps mode and times and replaces the
// source only once it is complete. Fails when the target exists; a failure
// leaves the source as it was.
bool MoveFileW(const WideString &from, const WideString &to);
// Deletes a file (not a folder).
bool DeleteFileW(const WideString &path);
// One folder level; fails when it exists or its parent is missing.
bool CreateDirectoryW(const WideString &path);
// Symbolic links are followed by both.
bool DirectoryExistsW(const WideString &path);
// True for anything that exists and is not a folder.
bool FileExistsW(const WideString &path);
// The entry's attributes as a directory search reports them, or nullopt when
// there is no such entry.
std::optional<uint32_t> GetFileAttributesW(const WideString &path);
// Last-access and last-write times; false when the file is missing.
bool GetFileTimesW(const WideString &path, FileTime &lastAccess, FileTime &lastWrite);
// A time of 0 leaves that time unchanged.
bool SetFileTimesW(const WideString &path, FileTime lastAccess, FileTime lastWrite);
// The program's command line as one wide text, arguments joined by blanks and
// quoted by the Windows rules where they hold blanks, control characters or
// quotes (the program name without backslash escapes, as Windows reads it),
// so that splitting it by those rules gives the arguments back.
WideString GetCommandLineW();
// The resolved path of the running executable.
WideString GetExecutablePathW();
// The user's temporary folder, with its trailing "/".
WideString GetTempDirectoryW();

// Message box flags and answers, with the Windows values the Parts use.
constexpr uint32_t kMbOk = 0x00;
constexpr uint32_t kMbOkCancel = 0x01;
constexpr uint32_t kMbYesNoCancel = 0x03;
constexpr uint32_t kMbYesNo = 0x04;
constexpr uint32_t kMbIconError = 0x10;
constexpr uint32_t kMbIconQuestion = 0x20;
constexpr uint32_t kMbIconWarning = 0x30;
constexpr uint32_t kMbIconInformation = 0x40;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

enum class EndSessionAction { Logoff, Reboot, Hibernate, Shutdown };

enum class TrayAction { Add, Modify, Delete };

struct TOpenFileRequest {
  WideString title;
  // Pairs of description and pattern list, such as {"Audio", "*.mp3;*.wav"}.
  std::vector<std::pair<WideString, WideString>> filters;
  int filterIndex = 1; // 1-based, as the dialog counts
  WideString initialDirectory;
  bool multiSelect = false;
};

class IDesktop {
public:
  virtual ~IDesktop() = default;
  virtual int MessageBox(const WideString &text, const WideString &title, uint32_t flags) = 0;
  // The chosen folder, or nullopt when the user cancelled.
  virtual std::optional<WideString> BrowseForFolder(const WideString &title,
                                                    const WideString &start) = 0;
  // The chosen files, or nullopt when the user cancelled.
  virtual std::optional<std::vector<WideString>>
  OpenFileDialog(const TOpenFileRequest &request) = 0;
  // Opens a document, folder or address with the desktop's handler.
  virtual bool ShellExecute(const WideString &verb, const WideString &file,
                            const WideString &parameters, const WideString &directory,
                            int showMode) = 0;
  virtual bool TrayIcon(TrayAction action, const WideString &tip) = 0;
  virtual bool PlaySound(const WideString &file) = 0;
  virtual bool EndSession(EndSessionAction action) = 0;
};

// Does nothing visible and records every call; answers are preset.
// What each call records besides its operation name:
//   MessageBox      text, title, flags
//   BrowseForFolder title, directory = start
//   OpenFileDialog  title, directory = initial folder, parameters = the filters
//                   as "description|patterns|...", flags = filter index, plus
//                   kOfnAllowMultiSelect when several files may be chosen
//   ShellExecute    title = verb, text = file, parameters, directory, flags = show mode
//   TrayIcon        text = tip, flags = the TrayAction
//   PlaySound       text = file
//   EndSession      flags = the EndSessionAction
constexpr uint32_t kOfnAllowMultiSelect = 0x200;

class CRecordingDesktop final : public IDesktop {
public:
  struct TCall {
    std::string operation; // "MessageBox", "EndSession", ...
    WideString text;       // message text, file, tip ...
    WideString title;      // title, verb ...
    WideString parameters;
    WideString directory;
    uint32_t flags = 0;
  };
  int MessageBox(const WideString &text, const WideString &title, uint32_t flags) override;
  std::optional<WideString> BrowseForFolder(const WideString &title,
                                            const WideString &start) override;
  std::optional<std::vector<WideString>> OpenFileDialog(const TOpenFileRequest &request) override;
  bool ShellExecute(const WideString &verb, const WideString &file, const WideString &parameters,
                    const WideString &directory, int showMode) override;
  bool TrayIcon(TrayAction action, const WideString &tip) override;
  bool PlaySound(const WideString &file) override;
  bool EndSession(EndSessionAction action) override;

  std::vector<TCall> calls;
  int messageBoxAnswer = kIdOk;
  std::optional<WideString> folderAnswer;
  std::optional<std::vector<WideString>> filesAnswer;
  bool operationResult = true;
};

// The system's own sound player, opener and session commands, for the front
// end's desktop implementation. Each starts the program detached, never
// through a shell, and returns whether it started. Tests never call these.
bool SystemPlaySound(const WideString &file);
bool SystemOpen(const WideString &fileOrAddress);
bool SystemEndSession(EndSessionAction action);
// The program and arguments SystemEndSession runs; sessionId names the
// session to end for Logoff. Runs nothing.
std::vector<std::string> EndSessionCommand(EndSessionAction action, const std::string &sessionId);

} // namespace tunbrix
