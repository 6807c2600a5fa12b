// The settings record and the configuration file. Every setting of the
// program has one field here, with its default; the windows edit the record,
// the consumers read it when they need a value, and the configuration file is
// its stored form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "foundation/codepages.h"

namespace tunbrix {

class CDataPak;
class IFileSystem;
class TFastini;

// Where the program's own files lie. Passed in, so that nothing here depends
// on how the executable was found.
struct TSettingsPaths {
  WideString exeDir; // the executable's folder, with its trailing "/"
  WideString base;   // the executable's path without its extension
};

constexpr int32_t kMaxColumns = 256;
constexpr int32_t kMaxRecentFolders = 10;
constexpr int32_t kSettingsPageCount = 8;
// The crash marker's value for "this save ends a clean run".
constexpr int32_t kCleanExitMarker = 5;

// [GUI]: window geometry, font and tool bar, applied by the windows.
struct TGuiSettings {
  std::string FontName = "Tahoma";
  int32_t FontSize = 8;
  int32_t MainFormState = 0; // 0 normal, 1 minimised, 2 maximised
  int32_t MainFormTop = 50;
  int32_t MainFormLeft = 50;
  int32_t MainFormWidth = 150;
  int32_t MainFormHeight = 150;
  int32_t SettingsFormTop = 50;
  int32_t SettingsFormLeft = 50;
  int32_t SettingsFormWidth = 150;
  int32_t SettingsFormHeight = 150;
  int32_t SettingsFormActivePage = 0; // the page shown first, 0 .. kSettingsPageCount - 1
  bool ToolbarFlat = true;
  bool ToolbarShowCaptions = true;
  bool ToolbarList = true;
  bool ToolbarWrapable = true;
  bool ToolbarLargeIcons = true;
  int32_t TrackbarWidth = 200;
  int32_t DescWidth = 250;

  bool operator==(const TGuiSettings &) const = default;
};

// [GUI.Columns]: one list-view column.
struct TColumnSetting {
  WideString Name; // the caption
  int32_t TypeID = -1;
  int32_t Alignment = 0; // 0 left, 1 right, 2 centred
  bool AutoSize = true;
  int32_t FixedSize = 0; // pixels; 0 means none
  WideString Format;

  bool operator==(const TColumnSetting &) const = default;
};

// [General]
struct TGeneralSettings {
  bool PreserveDirStructure = true;
  bool LoadFileInfo = true;
  bool KeepFileList = true;
  bool SaveListEveryFile = false;
  bool SaveDebugRunPrgList = true;
  bool SkipAlreadyProcessed = false;
  bool ShowHintABR = false;
  std::string ShowHintABRSize = "64";
  bool DeleteInput = false;
  bool PreserveDates = true;
  bool WarnNotFound = true;
  // The setting as stored: a path relative to the executable's folder or an
  // absolute one (ResolveLanguagePath gives the file). Empty in a record that
  // was not made by MakeDefaultSettings or LoadSettings.
  WideString Language;
  bool Recursive = true;
  int32_t OutExists = 0; // -1: a stored value that names no choice
  bool RedirectStdErr = true;
  WideString RedirectStdErrFile = u"stderr-redirection.txt";
  WideString WebLinksFile; // read only: written only into a file that lacks the key
  bool PlaySound = false;
  WideString PlaySoundFile;
  int32_t DoWhenCompleted = 0; // -1 as OutExists

  bool operator==(const TGeneralSettings &) const = default;
};

// [Filenames.Tags]: how tags are guessed from file names.
struct TFilenameTagSettings {
  bool UnderscoreToSpace = true;
  bool Lowercase = false;
  bool Capitalize = true;
  bool KeepLowercaseEnable = true;
  bool WordReplaceEnable = true;
  bool IgnoreCase = true;
  WideString KeepLowercase = u"a an and as at feat featuring for in is of on the to vs e";

  bool operator==(const TFilenameTagSettings &) const = default;
};

// [WordReplace]: replace the word Old by New.
struct TWordReplacement {
  WideString Old;
  WideString New;

  bool operator==(const TWordReplacement &) const = default;
};

// [Filenames.Saving]: how output file names are built.
struct TFilenameSavingSettings {
  bool TagToFilename = false;
  bool MaxLengthEnable = false;
  bool Lowercase = false;
  bool SpaceToUnderscore = false;
  bool ConvertAAO = false;
  bool AllowedCharsEnable = false;
  std::string MaxLength = "64";
  WideString AllowedChars = u"_()+-0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  WideString TagFormat = u"%Track%. %Artist% - %Title%";
  bool UseTempFileName = true;

  bool operator==(const TFilenameSavingSettings &) const = default;
};

// [Tagging.Adv]: one tag rule per extension list, in its stored encoding.
struct TTagRuleSetting {
  WideString Ext;
  int64_t Tags = 0; // only the low 32 bits are stored

  bool operator==(const TTagRuleSetting &) const = default;
};

// [Tagging]
struct TTaggingSettings {
  int32_t OtherTagFormat = 0; // 0 .. 3
  int32_t DiffTagVersion = 1; // 0 .. 1
  int32_t FixTagNames = 3;    // 0 .. 3
  int32_t SortTagNames = 2;   // 0 .. 2
  bool TagOutput = false;
  bool PreserveTags = true;

  bool operator==(const TTaggingSettings &) const = default;
};

// [Tagging.Items]: an additional tag item.
struct TTagItemSetting {
  std::string Name; // 8-bit item name
  WideString Value;
  bool Removed = false; // removed in the settings window; never saved

  bool operator==(const TTagItemSetting &) const = default;
};

// [External]: how external programs are started.
struct TExternalSettings {
  int32_t StartProgAs = 0; // the show-window code, 0 .. 10; -1 as OutExists
  int32_t Priority = 1;    // 0 normal, 1 idle, 2 high; -1 as OutExists

  bool operator==(const TExternalSettings &) const = default;
};

struct TSettings {
  bool guiLoaded = false; // the configuration had a [GUI] section
  TGuiSettings GUI;
  std::vector<TColumnSetting> Columns;
  TGeneralSettings General;
  std::vector<WideString> LastUsedDirs;  // most recent first
  std::vector<WideString> RecentFolders; // most recent first
  TFilenameTagSettings FilenamesTags;
  std::vector<TWordReplacement> WordReplace;
  TFilenameSavingSettings FilenamesSaving;
  std::vector<TTagRuleSetting> TaggingAdv;
  TTaggingSettings Tagging;
  std::vector<TTagItemSetting> TaggingItems;
  std::vector<WideString> TaggingFormat; // pattern history, most recent first
  WideString TaggingFormatCurrent;       // the current tags-from-file-name pattern
  TExternalSettings External;
  // The selected script's name (bytes); nullopt while none is selected.
  std::optional<std::string> ScriptLastUsed;
  // The crash marker: the loaded CleanExit, 0 once checked, 5 before a clean save.
  int32_t crashMarker = 0;

  bool operator==(const TSettings &) const = default;
};

// Every setting at its default.
TSettings MakeDefaultSettings(const TSettingsPaths &paths);

// The file a Language setting names: a relative value lies in the
// executable's folder, whatever the working folder is.
WideString ResolveLanguagePath(const WideString &language, const WideString &exeDir);
// How a language file's path is stored: relative to the executable's folder
// when it lies inside it (the bare name directly in it), else absolute.
WideString StoredLanguagePath(const WideString &language, const WideString &exeDir);

// Fills settings from the store, section by section. A setting whose key is
// missing or does not convert gets its default; the lists are replaced.
void ReadSettings(TFastini &store, const TSettingsPaths &paths, TSettings &settings);
// Writes every setting into the store, keeping what it does not write.
void WriteSettings(const TSettings &settings, const TSettingsPaths &paths, TFastini &store);

// Reads the configuration fileName (a plain name, looked up beside the
// executable and then in the pack). Without one every setting has its
// default; a failure part-way keeps what was read and the defaults for the
// rest.
TSettings LoadSettings(CDataPak &pak, const std::string &fileName, const TSettingsPaths &paths);

// Writes the settings into the configuration file at path, keeping every
// section and key they do not cover. False, with the old file left as it
// was, when it could not be written, or when it exists but could not be read
// (writing over it would lose the keys kept from it). The path-only form writes to the disk
// and through a symbolic link.
bool SaveSettings(const TSettings &settings, const TSettingsPaths &paths, IFileSystem &fs,
                  const WideString &path);
bool SaveSettings(const TSettings &settings, const TSettingsPaths &paths, const WideString &path);

// Start-up: loads the configuration and writes it straight back with
// CleanExit 0, so that only a clean end of this run turns it into 1 again.
// The returned record keeps the loaded crash marker.
TSettings StartUpSettings(CDataPak &pak, const std::string &fileName, const TSettingsPaths &paths,
                          IFileSystem &fs, const WideString &savePath);
TSettings StartUpSettings(CDataPak &pak, const std::string &fileName, const TSettingsPaths &paths,
                          const WideString &savePath);

} // namespace tunbrix
