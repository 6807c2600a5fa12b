#include "scripts/parselib.h"

#include <algorithm>

#include "foundation/datapaklib.h"
#include "foundation/fastini.h"
#include "foundation/text_types.h"

namespace tunbrix {
namespace {

constexpr std::string_view kDefaultConverterName = "default_converter";

// True when item occurs in list as a whole entry: at the start or right
// after a separator (the item itself ends with one).
template <typename Text>
bool ContainsEntry(const Text &list, const Text &item, typename Text::value_type separator) {
  if (item.empty()) return false;
  for (size_t at = list.find(item); at != Text::npos; at = list.find(item, at + 1))
    if (at == 0 || list[at - 1] == separator) return true;
  return false;
}

std::string Trim(const std::string &text) {
  size_t first = 0, last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= ' ')
    ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ')
    --last;
  return text.substr(first, last - first);
}

// Entries are kept as they are; "" is no list at all, "a,,b" has three.
std::vector<std::string> SplitAtCommas(const std::string &text) {
  std::vector<std::string> entries;
  if (text.empty()) return entries;
  size_t start = 0;
  for (size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1)
    entries.push_back(text.substr(start, comma - start));
  entries.push_back(text.substr(start));
  return entries;
}

std::vector<std::string> SplitMenuPath(const std::string &menu) {
  std::vector<std::string> levels;
  size_t start = 0;
  for (size_t sep; (sep = menu.find('\\', start)) != std::string::npos; start = sep + 1)
    levels.push_back(menu.substr(start, sep - start));
  levels.push_back(menu.substr(start));
  return levels;
}

// Reads the keys of one section itself, so that every section of a file
// loads its own keys even when several share a name.
class TSectionReader {
public:
  explicit TSectionReader(const TIniSection &section) : section_(section) {}

  std::string String(std::string_view key, std::string_view defaultValue = {}) const {
    const std::string *value = Find(key);
    return value ? *value : std::string(defaultValue);
  }
  bool Bool(std::string_view key) const {
    const std::string *value = Find(key);
    return value && (*value == "1" || *value == "Y" || *value == "TRUE");
  }
  int32_t Integer(std::string_view key, int32_t defaultValue) const {
    const std::string *value = Find(key);
    return value ? IniStrToInt(*value).value_or(defaultValue) : defaultValue;
  }

private:
  const std::string *Find(std::string_view key) const {
    for (const auto &entry : section_.keys)
      if (CompareIniNames(entry->name, key) == 0) return &entry->value;
    return nullptr;
  }
  const TIniSection &section_;
};

void LoadStore(CDataPak *pack, TFastini &store, const WideString &name) {
  if (!pack) return;
  const std::optional<Bytes> bytes = pack->ReadFile(WideToSys(name));
  if (bytes) store.LoadFromBuffer(bytes->data(), bytes->size());
}

// A Windows bitmap file begins with "BM" and a 14-byte header, followed by
// an info header of at least 12 bytes.
bool LooksLikeBitmap(const Bytes &bytes) {
  return bytes.size() >= 26 && bytes[0] == 'B' && bytes[1] == 'M';
}

void LoadIcon(CDataPak *pack, TScriptIcon &icon) {
  if (icon.name.empty() || !pack) return;
  std::optional<Bytes> bytes = pack->ReadFile(icon.name);
  if (bytes && LooksLikeBitmap(*bytes)) icon.bitmap = std::move(*bytes);
}

void ReadTrackbar(const TSectionReader &keys, tScriptTrackbar &trackbar) {
  trackbar.minimum = keys.Integer("TrackbarMin", 0);
  trackbar.maximum = keys.Integer("TrackbarMax", 0);
  trackbar.current = keys.Integer("TrackbarDefault", 0);
  trackbar.divisor = keys.Integer("TrackbarDivisor", 1);
  trackbar.multiplier = keys.Integer("TrackbarMultiplier", 1);
  trackbar.decimals = keys.Integer("TrackbarDecimals", 0);
  const std::string separator = keys.String("TrackbarSeparator");
  trackbar.separator = separator.empty() ? 0 : separator[0];
  trackbar.TrackbarText = keys.String("TrackbarText");
}

void ApplyOverrides(TFastini &overrides, const std::string &section, TScript &script) {
  if (!overrides.FindSection(section)) return;
  script.trackbar.Time = overrides.ReadInt64("Time", 0);
  script.trackbar.current = overrides.ReadInteger("TrackbarDefault", 0);
  if (script.CustomDesc.empty()) return;
  script.CustomLine = overrides.ReadString("CustomLine", script.CustomLine);
  std::vector<WideString> history;
  for (int i = 0;; ++i) {
    const std::string entry = overrides.ReadString("CustomLine" + std::to_string(i), "");
    if (entry.empty()) break;
    history.push_back(SysToWide(entry));
  }
  if (!history.empty()) script.customHistory = std::move(history);
}

// A list of two or more entries makes the slider pick an entry; its range
// then follows the list, whatever TrackbarMax says.
void ReadTrackbarLists(const TSectionReader &keys, tScriptTrackbar &trackbar) {
  trackbar.values = SplitAtCommas(keys.String("TrackbarValues"));
  if (trackbar.values.size() >= 2) {
    trackbar.maximum = static_cast<int32_t>(trackbar.values.size()) - 1;
    for (size_t d = 0; d < trackbar.valueLists.size(); ++d) {
      const std::string list = keys.String("TrackbarValues" + std::to_string(d));
      if (list.empty()) break;
      trackbar.valueLists[d] = SplitAtCommas(list);
    }
  }
  if (trackbar.minimum < trackbar.maximum)
    trackbar.current = std::clamp(trackbar.current, trackbar.minimum, trackbar.maximum);
  trackbar.descriptions = SplitAtCommas(keys.String("TrackbarDesc"));
}

std::unique_ptr<TScript> ReadScript(const TIniSection &section, TFastini &overrides) {
  const TSectionReader keys(section);
  if (keys.Bool("Disable")) return nullptr;
  auto script = std::make_unique<TScript>();
  script->sectionName = section.name;
  script->ShortDesc = keys.String("ShortDesc");
  script->LongDesc = keys.String("LongDesc");
  script->Menu = keys.String("Menu");
  script->OperatesOn = keys.Integer("OperatesOn", 0);
  script->DisableConvert = keys.Bool("DisableConvert");
  script->DisableTagging = keys.Bool("DisableTagging");
  script->EnableTagging = keys.Bool("EnableTagging");
  script->ModifiesInput = keys.Bool("ModifiesInput");
  script->SeparateDirs = keys.Bool("SeparateDirs");
  script->StatusText = keys.String("StatusText", "Working");
  script->CustomDesc = keys.String("CustomDesc");
  script->CustomLine = keys.String("CustomLine");
  script->IconSmall.name = keys.String("IconSmall");
  script->IconLarge.name = keys.String("IconLarge");
  ReadTrackbar(keys, script->trackbar);
  ApplyOverrides(overrides, section.name, *script);
  ReadTrackbarLists(keys, script->trackbar);
  if (script->ShortDesc.empty() || script->Menu.empty()) return nullptr;
  return script;
}

// Steps from N0 up to the first without input extensions. The INI syntax
// cannot carry double quotes in a value, so command lines write single ones.
std::vector<TAction> ReadSteps(const TIniSection &section, const CErrorCodes &rules) {
  const TSectionReader keys(section);
  std::vector<TAction> steps;
  for (int32_t n = 0;; ++n) {
    const std::string prefix = "N" + std::to_string(n);
    const std::string inExt = Trim(keys.String(prefix + "inExt")) + " ";
    if (inExt == " ") break;
    if (keys.Bool(prefix + "Disable")) continue;
    TAction step;
    step.number = n;
    step.inExt = SysToWide(inExt);
    step.outExt = SysToWide(Trim(keys.String(prefix + "outExt")));
    step.StdIn = keys.Bool(prefix + "StdIn");
    step.StdOut = keys.Bool(prefix + "StdOut");
    const std::string ruleSet = keys.String(prefix + "ErrorCode");
    if (!ruleSet.empty()) step.ErrorCode = rules.FindRuleSet(ruleSet);
    for (int m = 0;; ++m) {
      const std::string line = keys.String(prefix + "cmd" + std::to_string(m));
      if (line.empty()) break;
      step.cmd.push_back(ReplaceCharA(line, '\'', '"'));
    }
    steps.insert(steps.begin(), std::move(step));
  }
  return steps;
}

void ComputeAcceptData(TScript &script) {
  for (const TAction &step : script.steps) {
    const std::string extensions = WideToSys(step.inExt);
    if (!ContainsEntry(script.acceptedExtensions, extensions, ' '))
      script.acceptedExtensions += extensions;
    const std::string mask = ExtensionsToMask(extensions);
    if (!ContainsEntry(script.acceptMask, mask, ';')) script.acceptMask += mask;
  }
  if (!script.acceptMask.empty() && script.acceptMask.back() == ';') script.acceptMask.pop_back();
}

WideString OverrideFileName(const WideString &scriptFile) {
  return RemoveFileExtW(scriptFile) + u"_user.ini";
}

// An override file that exists but cannot be read must not be replaced by
// one that has lost the sections it held.
bool MissingOrEmpty(IFileSystem &fs, const WideString &path) {
  std::unique_ptr<IFile> file = fs.Open(path, FileMode::Read);
  if (!file) return !fs.Exists(path);
  return file->Size() == 0;
}

void WriteOverrides(const std::vector<std::unique_ptr<TScript>> &scripts, TFastini &store) {
  for (const auto &script : scripts) {
    store.SelectSection(script->sectionName);
    const tScriptTrackbar &trackbar = script->trackbar;
    if (trackbar.minimum < trackbar.maximum)
      store.WriteInteger("TrackbarDefault", trackbar.current);
    if (trackbar.Time != 0) store.WriteInt64("Time", trackbar.Time);
    if (!script->CustomDesc.empty()) store.WriteString("CustomLine", script->CustomLine);
  }
}

} // namespace

bool IsExtensionAccepted(const WideString &fileName, const WideString &extensions) {
  const WideString list = LowerCaseW(extensions);
  if (ContainsEntry(list, WideString(u". "), u' ')) return true;
  const WideString extension = ExtractFileExtW(fileName);
  if (extension.empty()) return false;
  return ContainsEntry(list, LowerCaseW(extension) + u" ", u' ');
}

bool IsExtensionAccepted(const std::string &fileName, const std::string &extensions) {
  return IsExtensionAccepted(SysToWide(fileName), SysToWide(extensions));
}

std::string ExtensionsToMask(const std::string &extensions) {
  std::string mask;
  for (size_t i = 0; i < extensions.size(); ++i) {
    const char c = extensions[i];
    if (c == '.')
      mask += i + 1 < extensions.size() && extensions[i + 1] == ' ' ? "*.*" : "*.";
    else
      mask += c == ' ' ? ';' : c;
  }
  return mask;
}

void CScript::LoadScripts(const WideString &scriptFileName) {
  scripts_.clear();
  defaultConverter_ = nullptr;
  const WideString stem = RemoveFileExtW(scriptFileName);
  TFastini rules, definitions, overrides;
  LoadStore(pack_, rules, stem + u"_errorcodes.ini");
  errorCodes_.LoadRules(rules);
  LoadStore(pack_, definitions, scriptFileName);
  LoadStore(pack_, overrides, OverrideFileName(scriptFileName));

  for (const auto &section : definitions.Sections()) {
    std::unique_ptr<TScript> script = ReadScript(*section, overrides);
    if (!script) continue;
    LoadIcon(pack_, script->IconSmall);
    LoadIcon(pack_, script->IconLarge);
    script->steps = ReadSteps(*section, errorCodes_);
    ComputeAcceptData(*script);
    if (script->sectionName == kDefaultConverterName && !defaultConverter_)
      defaultConverter_ = script.get();
    scripts_.push_back(std::move(script));
  }
}

bool CScript::SaveUserOverrides(IFileSystem &fs, const WideString &scriptFilePath) {
  const WideString path = OverrideFileName(scriptFilePath);
  TFastini store;
  if (!store.LoadFromFile(fs, path) && !MissingOrEmpty(fs, path)) return false;
  WriteOverrides(scripts_, store);
  return store.SaveToFile(fs, path);
}

bool CScript::SaveUserOverrides(const WideString &scriptFilePath) {
  const WideString path = OverrideFileName(scriptFilePath);
  RealFileSystem disk;
  TFastini store;
  if (!store.LoadFromFile(path) && !MissingOrEmpty(disk, path)) return false;
  WriteOverrides(scripts_, store);
  return store.SaveToFile(path);
}

TScript *CScript::FindScript(std::string_view sectionName) const {
  for (const auto &script : scripts_)
    if (script->sectionName == sectionName) return script.get();
  return nullptr;
}

TScriptMenuItem BuildScriptMenu(const CScript &scripts) {
  TScriptMenuItem root;
  for (const auto &script : scripts.Scripts()) {
    const std::vector<std::string> levels = SplitMenuPath(script->Menu);
    TScriptMenuItem *menu = &root;
    for (size_t i = 0; i < levels.size(); ++i) {
      const bool separator = !levels[i].empty() && levels[i][0] == '-';
      const std::string caption = separator ? levels[i].substr(1) : levels[i];
      const bool entry = i + 1 == levels.size();
      // Submenus are shared by caption; every script gets an entry of its
      // own, so two scripts with one path both stay reachable.
      if (!entry) {
        auto found = std::find_if(
            menu->children.begin(), menu->children.end(),
            [&](const TScriptMenuItem &item) { return !item.script && item.caption == caption; });
        if (found != menu->children.end()) {
          menu = &*found;
          continue;
        }
      }
      TScriptMenuItem item;
      item.caption = caption;
      item.separatorBefore = separator;
      if (entry) {
        item.script = script.get();
        item.hint = script->ShortDesc + " accepts: " + script->acceptMask;
        item.enabled = !script->steps.empty();
      }
      menu->children.push_back(std::move(item));
      menu = &menu->children.back();
    }
  }
  return root;
}

TScriptView CScriptSelection::ClickScript(TScript *script, int32_t sliderPosition,
                                          const WideString &customText) {
  StoreControls(sliderPosition, customText);
  current_ = script;
  if (script && !script->CustomDesc.empty() && !script->customHistory)
    script->customHistory = std::vector<WideString>{SysToWide(script->CustomLine)};
  return View();
}

void CScriptSelection::StoreControls(int32_t sliderPosition, const WideString &customText) {
  if (!current_) return;
  current_->trackbar.current = sliderPosition;
  // A hidden box holds whatever the last script left in it.
  if (!current_->CustomDesc.empty()) current_->CustomLine = WideToSys(customText);
}

TScriptView CScriptSelection::View() const {
  TScriptView view;
  if (!current_) return view;
  const TScript &script = *current_;
  view.modeCaption = script.ShortDesc;
  view.description = script.LongDesc;
  view.sliderMin = script.trackbar.minimum;
  view.sliderMax = script.trackbar.maximum;
  view.sliderPosition = script.trackbar.current;
  view.sliderVisible = view.sliderMin != view.sliderMax;
  if (!script.CustomDesc.empty()) {
    view.customVisible = true;
    view.customCaption = script.CustomDesc;
    view.customText = SysToWide(script.CustomLine);
    view.customItems = script.customHistory.value_or(std::vector<WideString>{view.customText});
  }
  return view;
}

} // namespace tunbrix
