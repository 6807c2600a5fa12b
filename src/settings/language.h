// Translations: the texts of the windows that a language file may replace,
// with the program's English texts as their defaults, and the list of the
// language files beside the executable.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "foundation/codepages.h"

namespace tunbrix {

class IFileSystem;

struct TLanguageTexts {
  // [MainForm.Toolbar]
  WideString ToolbarSettings = u"Settings";
  WideString ToolbarAbort = u"Abort";
  WideString ToolbarAddFiles = u"Add Files";
  WideString ToolbarAddFolder = u"Add Folder";
  WideString ToolbarRemoveFiles = u"Remove";
  WideString ToolbarClearList = u"Clear List";
  WideString ToolbarDestDir = u"Output Directory: ";
  WideString ToolbarDestDirEdit = u"<< same as source directory, click to change >>";
  WideString ToolbarProgress = u"Progress: ";
  WideString ToolbarModeHint = u"Changes script";
  WideString ToolbarSettingsHint = u"Settings";
  WideString ToolbarAbortHint = u"Abort";
  WideString ToolbarAddFilesHint = u"Add Files";
  WideString ToolbarAddFolderHint = u"Add Folder";
  WideString ToolbarRemoveFilesHint = u"Removes selected files from list (not from disk!)";
  WideString ToolbarClearListHint = u"Clear List";
  WideString ToolbarTrackbarHint;
  // [MainForm.Popup]
  WideString PopupOpen = u"Open";
  WideString PopupEnqueueWinamp = u"Enqueue in Winamp";
  WideString PopupViewEditTags = u"View / Edit Tags...";
  WideString PopupProperties = u"Properties";
  // [Settings]
  WideString SettingsFormCaption = u"Settings";
  // [Settings.Tabs]
  WideString TabGeneral = u"General";
  WideString TabTagging = u"Tagging";
  WideString TabExtProgs = u"External Programs";
  // [Settings.General]
  WideString GeneralPreserveDates = u"Preserve original filedate";
  WideString GeneralDeleteInput = u"Delete input files (caution!)";
  WideString GeneralLanguage = u"Language:";
  // [Settings.Tagging]
  WideString TaggingTagFiles = u"Tag output files";
  WideString TaggingPreserveTags = u"Use tags from source";
  WideString TaggingTaggingFormat = u"Tagging format based on filename:";
  WideString TaggingLeaveFields = u"Additional tag items:";
  // [Settings.ExtProgs]
  WideString ExtProgsStartAs = u"Start programs as:";
  WideString ExtProgsPriority = u"Priority:";
  WideString ExtProgsPrograms = u"Program paths, aliases:";
  WideString ExtProgsWarnNotFound = u"Warn if executable is not found";
  WideString ExtProgsExecutable = u"Executable";
  WideString ExtProgsPath = u"Path";
  WideString ExtProgsType = u"Type";

  bool operator==(const TLanguageTexts &) const = default;
};

// Where a text lives in a language file.
struct TLanguageKey {
  const char *section;
  const char *key;
  WideString TLanguageTexts::*text;
};

// Every key a language file may set, section by section.
const std::vector<TLanguageKey> &LanguageKeys();

// The texts of the language file at path (read from the disk, never from the
// pack); a missing or unreadable file, and every key it lacks, gives the
// built-in text.
TLanguageTexts ApplyLanguage(const WideString &path);
TLanguageTexts ApplyLanguage(IFileSystem &fs, const WideString &path);

struct TLanguageEntry {
  WideString text;     // Long + "         (" + file name + ")"
  WideString fileName; // without folder
};

struct TLanguageList {
  std::vector<TLanguageEntry> entries; // sorted by text
  int selected = -1;                   // -1: none
};

// Every "*.ini" file in exeDir that has a [Language] section. The entry whose
// file name equals the Language setting exactly is selected.
TLanguageList ListLanguages(const WideString &exeDir, const WideString &currentLanguage);

// The Language setting for a chosen entry's text: exeDir + the file name in
// its parentheses; nullopt when the text has no file name.
std::optional<WideString> LanguageSettingFromEntry(const WideString &entryText,
                                                   const WideString &exeDir);

} // namespace tunbrix
