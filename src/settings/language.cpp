#include "settings/language.h"

#include <algorithm>
#include <exception>

#include "foundation/fastini.h"
#include "foundation/file_io.h"
#include "foundation/text_types.h"
#include "foundation/unicode_winapi.h"

namespace tunbrix {

namespace {

using T = TLanguageTexts;

// Between the display name and the file name of a list entry.
constexpr std::u16string_view kEntrySeparator = u"         (";

// Alphabetical, as the settings window's sorted list shows them.
bool EntryLess(const TLanguageEntry &a, const TLanguageEntry &b) {
  const WideString la = LowerCaseW(a.text), lb = LowerCaseW(b.text);
  return la != lb ? la < lb : a.text < b.text;
}

// The display name of a language file, or nullopt when the file is none.
std::optional<WideString> LanguageName(const WideString &path) {
  try {
    TFastini store;
    if (!store.LoadFromFile(path) || !store.FindSection("Language")) return std::nullopt;
    return SysToWide(store.ReadString("Long", ""));
  } catch (const std::exception &) {
    return std::nullopt;
  }
}

} // namespace

const std::vector<TLanguageKey> &LanguageKeys() {
  static const std::vector<TLanguageKey> keys = {
      {"MainForm.Toolbar", "Settings", &T::ToolbarSettings},
      {"MainForm.Toolbar", "Abort", &T::ToolbarAbort},
      {"MainForm.Toolbar", "AddFiles", &T::ToolbarAddFiles},
      {"MainForm.Toolbar", "AddFolder", &T::ToolbarAddFolder},
      {"MainForm.Toolbar", "RemoveFiles", &T::ToolbarRemoveFiles},
      {"MainForm.Toolbar", "ClearList", &T::ToolbarClearList},
      {"MainForm.Toolbar", "DestDir", &T::ToolbarDestDir},
      {"MainForm.Toolbar", "DestDirEdit", &T::ToolbarDestDirEdit},
      {"MainForm.Toolbar", "Progress", &T::ToolbarProgress},
      {"MainForm.Toolbar", "Mode.Hint", &T::ToolbarModeHint},
      {"MainForm.Toolbar", "Settings.Hint", &T::ToolbarSettingsHint},
      {"MainForm.Toolbar", "Abort.Hint", &T::ToolbarAbortHint},
      {"MainForm.Toolbar", "AddFiles.Hint", &T::ToolbarAddFilesHint},
      {"MainForm.Toolbar", "AddFolder.Hint", &T::ToolbarAddFolderHint},
      {"MainForm.Toolbar", "RemoveFiles.Hint", &T::ToolbarRemoveFilesHint},
      {"MainForm.Toolbar", "ClearList.Hint", &T::ToolbarClearListHint},
      {"MainForm.Toolbar", "Trackbar.Hint", &T::ToolbarTrackbarHint},
      {"MainForm.Popup", "Open", &T::PopupOpen},
      {"MainForm.Popup", "EnqueueWinamp", &T::PopupEnqueueWinamp},
      {"MainForm.Popup", "ViewEditTags", &T::PopupViewEditTags},
      {"MainForm.Popup", "Properties", &T::PopupProperties},
      {"Settings", "FormCaption", &T::SettingsFormCaption},
      {"Settings.Tabs", "General", &T::TabGeneral},
      {"Settings.Tabs", "Tagging", &T::TabTagging},
      {"Settings.Tabs", "ExtProgs", &T::TabExtProgs},
      {"Settings.General", "PreserveDates", &T::GeneralPreserveDates},
      {"Settings.General", "DeleteInput", &T::GeneralDeleteInput},
      {"Settings.General", "Language", &T::GeneralLanguage},
      {"Settings.Tagging", "TagFiles", &T::TaggingTagFiles},
      {"Settings.Tagging", "PreserveTags", &T::TaggingPreserveTags},
      {"Settings.Tagging", "TaggingFormat", &T::TaggingTaggingFormat},
      {"Settings.Tagging", "LeaveFields", &T::TaggingLeaveFields},
      {"Settings.ExtProgs", "StartAs", &T::ExtProgsStartAs},
      {"Settings.ExtProgs", "Priority", &T::ExtProgsPriority},
      {"Settings.ExtProgs", "Programs", &T::ExtProgsPrograms},
      {"Settings.ExtProgs", "WarnNotFound", &T::ExtProgsWarnNotFound},
      {"Settings.ExtProgs", "Executable", &T::ExtProgsExecutable},
      {"Settings.ExtProgs", "Path", &T::ExtProgsPath},
      {"Settings.ExtProgs", "Type", &T::ExtProgsType},
  };
  return keys;
}

TLanguageTexts ApplyLanguage(IFileSystem &fs, const WideString &path) {
  TLanguageTexts texts;
  try {
    TFastini store;
    if (!store.LoadFromFile(fs, path)) return texts;
    for (const TLanguageKey &entry : LanguageKeys()) {
      store.FindSection(entry.section); // a missing section reads every default
      WideString &text = texts.*entry.text;
      text = SysToWide(store.ReadString(entry.key, WideToSys(text)));
    }
  } catch (const std::exception &) {
    return TLanguageTexts(); // a file that cannot be read leaves the built-in texts
  }
  return texts;
}

TLanguageTexts ApplyLanguage(const WideString &path) {
  RealFileSystem fs;
  return ApplyLanguage(fs, path);
}

TLanguageList ListLanguages(const WideString &exeDir, const WideString &currentLanguage) {
  TLanguageList list;
  const WideString dir = IncludeTrailingBackslashW(exeDir);
  TWin32FindDataW found;
  auto search = FindFirstFileW(dir + u"*.ini", found);
  for (bool more = search != nullptr; more; more = FindNextFileW(*search, found)) {
    if (found.dwFileAttributes & kAttrDirectory) continue;
    const auto name = LanguageName(dir + found.cFileName);
    if (!name) continue;
    list.entries.push_back(
        {*name + WideString(kEntrySeparator) + found.cFileName + u")", found.cFileName});
  }
  std::sort(list.entries.begin(), list.entries.end(), EntryLess);
  for (size_t i = 0; i < list.entries.size(); ++i)
    if (list.entries[i].fileName == currentLanguage) list.selected = static_cast<int>(i);
  return list;
}

std::optional<WideString> LanguageSettingFromEntry(const WideString &entryText,
                                                   const WideString &exeDir) {
  // The file name follows the last separator, so that a display name with
  // its own parentheses, such as "English (UK)", still gives the file.
  size_t start = entryText.rfind(kEntrySeparator);
  if (start != WideString::npos) {
    start += kEntrySeparator.size();
  } else {
    start = entryText.find(u'(');
    if (start == WideString::npos) return std::nullopt;
    ++start;
  }
  if (entryText.size() < start + 2 || entryText.back() != u')') return std::nullopt;
  return IncludeTrailingBackslashW(exeDir) + entryText.substr(start, entryText.size() - start - 1);
}

} // namespace tunbrix
