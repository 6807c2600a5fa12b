#include "settings/settings.h"

#include <algorithm>
#include <exception>

#include "foundation/datapaklib.h"
#include "foundation/fastini.h"
#include "foundation/file_io.h"
#include "foundation/text_types.h"

namespace tunbrix {

namespace {

// Key of one field of an indexed record: n0Name, n12TypeID ...
std::string RecordKey(size_t index, const char *field) {
  return "n" + std::to_string(index) + field;
}

bool InRange(int32_t value, int32_t low, int32_t high) { return value >= low && value <= high; }

// Drop-down choices without a range check: a value that names no entry
// selects none, which the consumers see as -1.
int32_t ChoiceOrNone(int32_t value, int32_t count) {
  return InRange(value, 0, count - 1) ? value : -1;
}

int32_t ChoiceOrDefault(int32_t value, int32_t count, int32_t fallback) {
  return InRange(value, 0, count - 1) ? value : fallback;
}

WideString TrimW(const WideString &text) {
  size_t first = 0, last = text.size();
  while (first < last && text[first] <= u' ')
    ++first;
  while (last > first && text[last - 1] <= u' ')
    --last;
  return text.substr(first, last - first);
}

bool HasKey(const TIniSection *section, std::string_view name) {
  if (!section) return false;
  return std::any_of(section->keys.begin(), section->keys.end(),
                     [&](const auto &key) { return CompareIniNames(key->name, name) == 0; });
}

// An indexed record list is rewritten as a whole; a hand-edited file may hold
// its section twice, and every copy would otherwise come back on reading.
void ClearSection(TFastini &store, std::string_view name) {
  while (store.FindSection(name))
    store.EraseSection(name);
  store.SelectSection(name);
}

// ---- reading

void ReadGui(TFastini &store, TSettings &settings) {
  settings.guiLoaded = store.FindSection("GUI");
  if (!settings.guiLoaded) return;
  TGuiSettings &gui = settings.GUI;
  gui.FontName = store.ReadString("Font.Name", gui.FontName);
  gui.FontSize = store.ReadInteger("Font.Size", gui.FontSize);
  gui.MainFormState = ChoiceOrDefault(store.ReadInteger("MainForm.State", 0), 3, 0);
  gui.MainFormTop = store.ReadInteger("MainForm.Top", gui.MainFormTop);
  gui.MainFormLeft = store.ReadInteger("MainForm.Left", gui.MainFormLeft);
  gui.MainFormWidth = store.ReadInteger("MainForm.Width", gui.MainFormWidth);
  gui.MainFormHeight = store.ReadInteger("MainForm.Height", gui.MainFormHeight);
  gui.SettingsFormTop = store.ReadInteger("SettingsForm.Top", gui.SettingsFormTop);
  gui.SettingsFormLeft = store.ReadInteger("SettingsForm.Left", gui.SettingsFormLeft);
  gui.SettingsFormWidth = store.ReadInteger("SettingsForm.Width", gui.SettingsFormWidth);
  gui.SettingsFormHeight = store.ReadInteger("SettingsForm.Height", gui.SettingsFormHeight);
  gui.SettingsFormActivePage =
      ChoiceOrDefault(store.ReadInteger("SettingsForm.ActivePage", 0), kSettingsPageCount, 0);
  gui.ToolbarFlat = store.ReadBool("Toolbar.Flat", gui.ToolbarFlat);
  gui.ToolbarShowCaptions = store.ReadBool("Toolbar.ShowCaptions", gui.ToolbarShowCaptions);
  gui.ToolbarList = store.ReadBool("Toolbar.List", gui.ToolbarList);
  gui.ToolbarWrapable = store.ReadBool("Toolbar.Wrapable", gui.ToolbarWrapable);
  gui.ToolbarLargeIcons = store.ReadBool("Toolbar.LargeIcons", gui.ToolbarLargeIcons);
  gui.TrackbarWidth = store.ReadInteger("Trackbar.Width", gui.TrackbarWidth);
  gui.DescWidth = store.ReadInteger("Desc.Width", gui.DescWidth);
}

void ReadColumns(TFastini &store, TSettings &settings) {
  settings.Columns.clear();
  store.FindSection("GUI.Columns");
  for (size_t i = 0; i < static_cast<size_t>(kMaxColumns); ++i) {
    TColumnSetting column;
    column.Name = store.ReadWideString(RecordKey(i, "Name"), u"");
    column.TypeID = store.ReadInteger(RecordKey(i, "TypeID"), -1);
    if (column.Name.empty() || column.TypeID < 0) break;
    column.Alignment = store.ReadInteger(RecordKey(i, "Alignment"), column.Alignment);
    column.AutoSize = store.ReadBool(RecordKey(i, "AutoSize"), column.AutoSize);
    column.FixedSize = store.ReadInteger(RecordKey(i, "FixedSize"), column.FixedSize);
    column.Format = store.ReadWideString(RecordKey(i, "Format"), u"");
    settings.Columns.push_back(std::move(column));
  }
}

void ReadGeneral(TFastini &store, const TSettingsPaths &paths, TSettings &settings) {
  TGeneralSettings &general = settings.General;
  store.FindSection("General");
  general.PreserveDirStructure =
      store.ReadBool("PreserveDirStructure", general.PreserveDirStructure);
  general.LoadFileInfo = store.ReadBool("LoadFileInfo", general.LoadFileInfo);
  general.KeepFileList = store.ReadBool("KeepFileList", general.KeepFileList);
  general.SaveListEveryFile = store.ReadBool("SaveListEveryFile", general.SaveListEveryFile);
  general.SaveDebugRunPrgList = store.ReadBool("SaveDebugRunPrgList", general.SaveDebugRunPrgList);
  general.SkipAlreadyProcessed =
      store.ReadBool("SkipAlreadyProcessed", general.SkipAlreadyProcessed);
  general.ShowHintABR = store.ReadBool("ShowHintABR", general.ShowHintABR);
  general.ShowHintABRSize = store.ReadString("ShowHintABRSize", general.ShowHintABRSize);
  general.DeleteInput = store.ReadBool("DeleteInput", general.DeleteInput);
  general.PreserveDates = store.ReadBool("PreserveDates", general.PreserveDates);
  general.WarnNotFound = store.ReadBool("WarnNotFound", general.WarnNotFound);
  general.Language = store.ReadWideString("Language", paths.base + u"_language.ini");
  general.Recursive = store.ReadBool("Recursive", general.Recursive);
  general.OutExists = ChoiceOrNone(store.ReadInteger("OutExists", 0), 4);
  settings.crashMarker = store.ReadInteger("CleanExit", 0);
  general.RedirectStdErr = store.ReadBool("RedirectStdErr", general.RedirectStdErr);
  general.RedirectStdErrFile =
      store.ReadWideString("RedirectStdErrFile", general.RedirectStdErrFile);
  general.WebLinksFile = store.ReadWideString("WebLinksFile", u"");
  general.PlaySound = store.ReadBool("PlaySound", general.PlaySound);
  general.PlaySoundFile = store.ReadWideString("PlaySoundFile", u"");
  general.DoWhenCompleted = ChoiceOrNone(store.ReadInteger("DoWhenCompleted", 0), 6);
  store.ReadWideStringList("LastUsedDirs", settings.LastUsedDirs);
  store.ReadWideStringList("RecentFolders", settings.RecentFolders);
}

void ReadFilenames(TFastini &store, TSettings &settings) {
  TFilenameTagSettings &tags = settings.FilenamesTags;
  store.FindSection("Filenames.Tags");
  tags.UnderscoreToSpace = store.ReadBool("UnderscoreToSpace", tags.UnderscoreToSpace);
  tags.Lowercase = store.ReadBool("Lowercase", tags.Lowercase);
  tags.Capitalize = store.ReadBool("Capitalize", tags.Capitalize);
  tags.KeepLowercaseEnable = store.ReadBool("KeepLowercaseEnable", tags.KeepLowercaseEnable);
  tags.WordReplaceEnable = store.ReadBool("WordReplaceEnable", tags.WordReplaceEnable);
  tags.IgnoreCase = store.ReadBool("IgnoreCase", tags.IgnoreCase);
  tags.KeepLowercase = store.ReadWideString("KeepLowercase", tags.KeepLowercase);

  TFilenameSavingSettings &saving = settings.FilenamesSaving;
  store.FindSection("Filenames.Saving");
  saving.TagToFilename = store.ReadBool("TagToFilename", saving.TagToFilename);
  saving.MaxLengthEnable = store.ReadBool("MaxLengthEnable", saving.MaxLengthEnable);
  saving.Lowercase = store.ReadBool("Lowercase", saving.Lowercase);
  saving.SpaceToUnderscore = store.ReadBool("SpaceToUnderscore", saving.SpaceToUnderscore);
  saving.ConvertAAO = store.ReadBool("ConvertAAO", saving.ConvertAAO);
  saving.AllowedCharsEnable = store.ReadBool("AllowedCharsEnable", saving.AllowedCharsEnable);
  saving.MaxLength = store.ReadString("MaxLength", saving.MaxLength);
  saving.AllowedChars = store.ReadWideString("AllowedChars", saving.AllowedChars);
  saving.TagFormat = store.ReadWideString("TagFormat", saving.TagFormat);
  saving.UseTempFileName = store.ReadBool("UseTempFileName", saving.UseTempFileName);
}

void ReadWordReplace(TFastini &store, TSettings &settings) {
  settings.WordReplace.clear();
  store.FindSection("WordReplace");
  for (size_t i = 0;; ++i) {
    TWordReplacement pair;
    pair.Old = store.ReadWideString(RecordKey(i, "Old"), u"");
    if (pair.Old.empty()) break;
    pair.New = store.ReadWideString(RecordKey(i, "New"), u"");
    settings.WordReplace.push_back(std::move(pair));
  }
}

void ReadTagging(TFastini &store, TSettings &settings) {
  settings.TaggingAdv.clear();
  store.FindSection("Tagging.Adv");
  for (size_t i = 0;; ++i) {
    TTagRuleSetting rule;
    rule.Ext = store.ReadWideString(RecordKey(i, "Ext"), u"");
    if (rule.Ext.empty()) break;
    rule.Tags = store.ReadInt64(RecordKey(i, "Tags"), 0);
    settings.TaggingAdv.push_back(std::move(rule));
  }

  TTaggingSettings &tagging = settings.Tagging;
  store.FindSection("Tagging");
  tagging.OtherTagFormat = ChoiceOrDefault(store.ReadInteger("OtherTagFormat", 0), 4, 0);
  tagging.DiffTagVersion = ChoiceOrDefault(store.ReadInteger("DiffTagVersion", 1), 2, 1);
  tagging.FixTagNames = ChoiceOrDefault(store.ReadInteger("FixTagNames", 3), 4, 3);
  tagging.SortTagNames = ChoiceOrDefault(store.ReadInteger("SortTagNames", 2), 3, 2);
  tagging.TagOutput = store.ReadBool("TagOutput", tagging.TagOutput);
  tagging.PreserveTags = store.ReadBool("PreserveTags", tagging.PreserveTags);

  settings.TaggingItems.clear();
  store.FindSection("Tagging.Items");
  for (size_t i = 0;; ++i) {
    const std::string name = store.ReadString(RecordKey(i, "Name"), "");
    if (name.empty()) break;
    TTagItemSetting item;
    item.Name = UnescapeValue(name);
    item.Value = Utf8ToWide(UnescapeValue(store.ReadString(RecordKey(i, "Value"), "")));
    settings.TaggingItems.push_back(std::move(item));
  }

  store.ReadWideStringList("Tagging.Format", settings.TaggingFormat);
  settings.TaggingFormatCurrent =
      settings.TaggingFormat.empty() ? WideString() : settings.TaggingFormat.front();
}

void ReadExternalAndScript(TFastini &store, TSettings &settings) {
  store.FindSection("External");
  settings.External.StartProgAs = ChoiceOrNone(store.ReadInteger("StartProgAs", 0), 11);
  settings.External.Priority = ChoiceOrNone(store.ReadInteger("Priority", 1), 3);

  settings.ScriptLastUsed.reset();
  if (store.FindSection("Script") && HasKey(store.CurrentSection(), "LastUsed"))
    settings.ScriptLastUsed = store.ReadString("LastUsed", "");
}

// ---- writing

void WriteGui(const TGuiSettings &gui, TFastini &store) {
  store.SelectSection("GUI");
  const int32_t state = InRange(gui.MainFormState, 1, 2) ? gui.MainFormState : 0;
  store.WriteInteger("MainForm.State", state);
  // A minimised or maximised window keeps the stored normal geometry.
  if (state == 0) {
    store.WriteInteger("MainForm.Top", gui.MainFormTop);
    store.WriteInteger("MainForm.Left", gui.MainFormLeft);
    store.WriteInteger("MainForm.Width", gui.MainFormWidth);
    store.WriteInteger("MainForm.Height", gui.MainFormHeight);
  }
  store.WriteInteger("SettingsForm.Top", gui.SettingsFormTop);
  store.WriteInteger("SettingsForm.Left", gui.SettingsFormLeft);
  store.WriteInteger("SettingsForm.Width", gui.SettingsFormWidth);
  store.WriteInteger("SettingsForm.Height", gui.SettingsFormHeight);
  // The page is counted among the pages with a visible tab, and the settings
  // window shows none: the window always opens on its first page.
  store.WriteInteger("SettingsForm.ActivePage", -1);
  store.WriteBool("Toolbar.Flat", gui.ToolbarFlat);
  store.WriteBool("Toolbar.ShowCaptions", gui.ToolbarShowCaptions);
  store.WriteBool("Toolbar.List", gui.ToolbarList);
  store.WriteBool("Toolbar.Wrapable", gui.ToolbarWrapable);
  store.WriteBool("Toolbar.LargeIcons", gui.ToolbarLargeIcons);
  store.WriteString("Font.Name", gui.FontName);
  store.WriteInteger("Font.Size", gui.FontSize);
  store.WriteInteger("Trackbar.Width", gui.TrackbarWidth);
  store.WriteInteger("Desc.Width", gui.DescWidth);
}

// Records that would end the list on reading are left out, so that the
// records behind them are not lost.
void WriteColumns(const std::vector<TColumnSetting> &columns, TFastini &store) {
  ClearSection(store, "GUI.Columns");
  size_t index = 0;
  for (const TColumnSetting &column : columns) {
    if (column.Name.empty() || column.TypeID < 0) continue;
    if (index == static_cast<size_t>(kMaxColumns)) break;
    store.WriteWideString(RecordKey(index, "Name"), column.Name);
    store.WriteInteger(RecordKey(index, "TypeID"), column.TypeID);
    store.WriteInteger(RecordKey(index, "Alignment"), column.Alignment);
    store.WriteBool(RecordKey(index, "AutoSize"), column.AutoSize);
    store.WriteInteger(RecordKey(index, "FixedSize"), column.FixedSize);
    store.WriteWideString(RecordKey(index, "Format"), column.Format);
    ++index;
  }
}

void WriteGeneral(const TSettings &settings, const TSettingsPaths &paths, TFastini &store) {
  const TGeneralSettings &general = settings.General;
  store.SelectSection("General");
  store.WriteBool("PreserveDirStructure", general.PreserveDirStructure);
  store.WriteBool("LoadFileInfo", general.LoadFileInfo);
  store.WriteBool("KeepFileList", general.KeepFileList);
  store.WriteBool("SaveListEveryFile", general.SaveListEveryFile);
  store.WriteBool("SaveDebugRunPrgList", general.SaveDebugRunPrgList);
  store.WriteBool("SkipAlreadyProcessed", general.SkipAlreadyProcessed);
  store.WriteBool("ShowHintABR", general.ShowHintABR);
  store.WriteString("ShowHintABRSize", general.ShowHintABRSize);
  store.WriteBool("DeleteInput", general.DeleteInput);
  store.WriteBool("PreserveDates", general.PreserveDates);
  store.WriteBool("WarnNotFound", general.WarnNotFound);
  store.WriteWideString("Language", StoredLanguagePath(general.Language, paths.exeDir));
  store.WriteBool("Recursive", general.Recursive);
  store.WriteInteger("OutExists", general.OutExists);
  store.WriteBool("CleanExit", settings.crashMarker == kCleanExitMarker);
  store.WriteBool("RedirectStdErr", general.RedirectStdErr);
  store.WriteWideString("RedirectStdErrFile", general.RedirectStdErrFile);
  // The web-links file is the user's to set by hand. It is written only when
  // the file lacks the key, as when the configuration came from the pack and
  // this is the first loose copy: otherwise that first save would lose it.
  if (!general.WebLinksFile.empty() && !HasKey(store.CurrentSection(), "WebLinksFile"))
    store.WriteWideString("WebLinksFile", general.WebLinksFile);
  store.WriteBool("PlaySound", general.PlaySound);
  store.WriteWideString("PlaySoundFile", general.PlaySoundFile);
  store.WriteInteger("DoWhenCompleted", general.DoWhenCompleted);

  store.WriteWideStringList("LastUsedDirs", settings.LastUsedDirs);
  const size_t recent = std::min(settings.RecentFolders.size(), size_t(kMaxRecentFolders));
  store.WriteWideStringList("RecentFolders",
                            std::vector<WideString>(settings.RecentFolders.begin(),
                                                    settings.RecentFolders.begin() + recent));
}

void WriteFilenames(const TSettings &settings, TFastini &store) {
  const TFilenameTagSettings &tags = settings.FilenamesTags;
  store.SelectSection("Filenames.Tags");
  store.WriteBool("UnderscoreToSpace", tags.UnderscoreToSpace);
  store.WriteBool("Lowercase", tags.Lowercase);
  store.WriteBool("Capitalize", tags.Capitalize);
  store.WriteBool("KeepLowercaseEnable", tags.KeepLowercaseEnable);
  store.WriteBool("WordReplaceEnable", tags.WordReplaceEnable);
  store.WriteBool("IgnoreCase", tags.IgnoreCase);
  store.WriteWideString("KeepLowercase", tags.KeepLowercase);

  const TFilenameSavingSettings &saving = settings.FilenamesSaving;
  store.SelectSection("Filenames.Saving");
  store.WriteBool("TagToFilename", saving.TagToFilename);
  store.WriteBool("MaxLengthEnable", saving.MaxLengthEnable);
  store.WriteBool("Lowercase", saving.Lowercase);
  store.WriteBool("SpaceToUnderscore", saving.SpaceToUnderscore);
  store.WriteBool("ConvertAAO", saving.ConvertAAO);
  store.WriteBool("AllowedCharsEnable", saving.AllowedCharsEnable);
  store.WriteString("MaxLength", saving.MaxLength);
  store.WriteWideString("AllowedChars", saving.AllowedChars);
  store.WriteWideString("TagFormat", saving.TagFormat);
  store.WriteBool("UseTempFileName", saving.UseTempFileName);
}

// In the order of the settings window's list: by the Old text, ignoring case.
void WriteWordReplace(std::vector<TWordReplacement> pairs, TFastini &store) {
  std::stable_sort(pairs.begin(), pairs.end(), [](const auto &a, const auto &b) {
    const WideString la = LowerCaseW(a.Old), lb = LowerCaseW(b.Old);
    return la != lb ? la < lb : a.Old < b.Old;
  });
  ClearSection(store, "WordReplace");
  size_t index = 0;
  for (const TWordReplacement &pair : pairs) {
    if (pair.Old.empty()) continue;
    store.WriteWideString(RecordKey(index, "Old"), pair.Old);
    store.WriteWideString(RecordKey(index, "New"), pair.New);
    ++index;
  }
}

void WriteTagging(const TSettings &settings, TFastini &store) {
  ClearSection(store, "Tagging.Adv");
  size_t index = 0;
  for (const TTagRuleSetting &rule : settings.TaggingAdv) {
    const WideString ext = TrimW(rule.Ext);
    if (ext.empty()) continue;
    store.WriteWideString(RecordKey(index, "Ext"), ext);
    store.WriteInt64(RecordKey(index, "Tags"), rule.Tags & 0xFFFFFFFFLL);
    ++index;
  }

  const TTaggingSettings &tagging = settings.Tagging;
  store.SelectSection("Tagging");
  store.WriteInteger("OtherTagFormat", tagging.OtherTagFormat);
  store.WriteInteger("DiffTagVersion", tagging.DiffTagVersion);
  store.WriteInteger("FixTagNames", tagging.FixTagNames);
  store.WriteInteger("SortTagNames", tagging.SortTagNames);
  store.WriteBool("PreserveTags", tagging.PreserveTags);
  store.WriteBool("TagOutput", tagging.TagOutput);

  ClearSection(store, "Tagging.Items");
  index = 0;
  for (const TTagItemSetting &item : settings.TaggingItems) {
    if (item.Removed || item.Value.empty() || item.Name.empty()) continue;
    store.WriteString(RecordKey(index, "Name"), EscapeValue(item.Name));
    store.WriteString(RecordKey(index, "Value"), EscapeValue(WideToUtf8(item.Value)));
    ++index;
  }

  store.WriteWideStringList("Tagging.Format", settings.TaggingFormat);
}

void WriteExternalAndScript(const TSettings &settings, TFastini &store) {
  store.SelectSection("External");
  store.WriteInteger("StartProgAs", settings.External.StartProgAs);
  store.WriteInteger("Priority", settings.External.Priority);
  if (settings.ScriptLastUsed) {
    store.SelectSection("Script");
    store.WriteString("LastUsed", *settings.ScriptLastUsed);
  }
}

// The existing file's contents. False when the file exists but cannot be
// read: writing over it would drop every key that this program does not write.
bool LoadExisting(IFileSystem &fs, const WideString &path, TFastini &store) {
  const auto bytes = ReadWholeFile(fs, path);
  if (!bytes) return !fs.Exists(path);
  if (!bytes->empty()) store.LoadFromBuffer(bytes->data(), bytes->size());
  return true;
}

} // namespace

TSettings MakeDefaultSettings(const TSettingsPaths &paths) {
  TSettings settings;
  settings.General.Language = paths.base + u"_language.ini";
  return settings;
}

WideString ResolveLanguagePath(const WideString &language, const WideString &exeDir) {
  if (!language.empty() && language.front() == u'/') return language;
  return IncludeTrailingBackslashW(exeDir) + language;
}

WideString StoredLanguagePath(const WideString &language, const WideString &exeDir) {
  const WideString full = ResolveLanguagePath(language, exeDir);
  const WideString dir = IncludeTrailingBackslashW(exeDir);
  if (!dir.empty() && full.size() > dir.size() && full.compare(0, dir.size(), dir) == 0)
    return full.substr(dir.size());
  return full;
}

void ReadSettings(TFastini &store, const TSettingsPaths &paths, TSettings &settings) {
  ReadGui(store, settings);
  ReadColumns(store, settings);
  ReadGeneral(store, paths, settings);
  ReadFilenames(store, settings);
  ReadWordReplace(store, settings);
  ReadTagging(store, settings);
  ReadExternalAndScript(store, settings);
}

void WriteSettings(const TSettings &settings, const TSettingsPaths &paths, TFastini &store) {
  WriteGui(settings.GUI, store);
  WriteColumns(settings.Columns, store);
  WriteGeneral(settings, paths, store);
  WriteFilenames(settings, store);
  WriteWordReplace(settings.WordReplace, store);
  WriteTagging(settings, store);
  WriteExternalAndScript(settings, store);
}

TSettings LoadSettings(CDataPak &pak, const std::string &fileName, const TSettingsPaths &paths) {
  TSettings settings = MakeDefaultSettings(paths);
  try {
    TFastini store;
    if (const auto bytes = pak.ReadFile(fileName))
      store.LoadFromBuffer(bytes->data(), bytes->size());
    ReadSettings(store, paths, settings);
  } catch (const std::exception &) {
    // What was read so far stays; the rest keeps its defaults.
  }
  return settings;
}

// Saving never raises: a failure keeps the old file and the run goes on with
// the record.
bool SaveSettings(const TSettings &settings, const TSettingsPaths &paths, IFileSystem &fs,
                  const WideString &path) {
  try {
    TFastini store; // a missing or empty file: the store starts empty
    if (!LoadExisting(fs, path, store)) return false;
    WriteSettings(settings, paths, store);
    return store.SaveToFile(fs, path);
  } catch (const std::exception &) {
    return false;
  }
}

bool SaveSettings(const TSettings &settings, const TSettingsPaths &paths, const WideString &path) {
  try {
    RealFileSystem fs;
    TFastini store;
    if (!LoadExisting(fs, path, store)) return false;
    WriteSettings(settings, paths, store);
    return store.SaveToFile(path);
  } catch (const std::exception &) {
    return false;
  }
}

namespace {

template <class Save>
TSettings StartUpWith(CDataPak &pak, const std::string &fileName, const TSettingsPaths &paths,
                      Save save) {
  TSettings settings = LoadSettings(pak, fileName, paths);
  // The file says "not clean" until the end of this run proves otherwise.
  const int32_t loaded = settings.crashMarker;
  settings.crashMarker = 0;
  save(settings);
  settings.crashMarker = loaded;
  return settings;
}

} // namespace

TSettings StartUpSettings(CDataPak &pak, const std::string &fileName, const TSettingsPaths &paths,
                          IFileSystem &fs, const WideString &savePath) {
  return StartUpWith(pak, fileName, paths, [&](const TSettings &settings) {
    SaveSettings(settings, paths, fs, savePath);
  });
}

TSettings StartUpSettings(CDataPak &pak, const std::string &fileName, const TSettingsPaths &paths,
                          const WideString &savePath) {
  return StartUpWith(pak, fileName, paths,
                     [&](const TSettings &settings) { SaveSettings(settings, paths, savePath); });
}

} // namespace tunbrix
