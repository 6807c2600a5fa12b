// Converter scripts: INI sections that say which programs turn which inputs
// into what, how their slider and free-text box are used, and where they sit
// in the script menu. The set is loaded once from the script file, the user's
// per-script choices from the override file, both through the data pack.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/codepages.h"
#include "foundation/file_io.h"
#include "scripts/errorcodes.h"
#include "scripts/trackbar.h"

namespace tunbrix {

class CDataPak;

// One step of a script. Steps are alternatives chosen by the input's
// extension; exactly one runs for a file (two through the default converter).
struct TAction {
  WideString inExt;  // ".mp3 .mp2 ": each extension with its dot and a blank after it
  WideString outExt; // ".ogg"; empty when the step rewrites its input in place
  bool StdIn = false;
  bool StdOut = false;
  std::vector<std::string> cmd;          // command-line templates, run one after the other
  const CErrorCode *ErrorCode = nullptr; // owned by the script set; nullptr: no rules
  int32_t number = 0;                    // n of the N<n>... keys it was read from
};

// A bitmap named by the script, as the pack delivered it.
struct TScriptIcon {
  std::string name;            // "" when the script names none
  std::optional<Bytes> bitmap; // absent when unnamed, missing or no bitmap file
};

struct TScript {
  std::string ShortDesc;
  std::string LongDesc;
  std::string Menu;
  std::string sectionName;
  std::string acceptedExtensions; // every step's extension list, joined
  std::string acceptMask;         // file-dialog form, "*.mp3;*.wav"
  tScriptTrackbar trackbar;
  int32_t OperatesOn = 0; // 1: one run per folder with all its files
  bool DisableConvert = false;
  bool DisableTagging = false;
  bool EnableTagging = false;
  bool ModifiesInput = false;
  bool SeparateDirs = false;
  std::vector<TAction> steps; // newest first: a search meets the highest number first
  TScriptIcon IconSmall;
  TScriptIcon IconLarge;
  std::string StatusText = "Working";
  std::string CustomDesc; // "" means the script has no free-text box
  std::string CustomLine;
  std::optional<std::vector<WideString>> customHistory; // absent until first needed
};

// The extension test: true when the list holds "." (any extension) or the
// file's extension, compared without letter case. A file without extension
// matches only "any". Entries count only as whole blank-separated words.
bool IsExtensionAccepted(const WideString &fileName, const WideString &extensions);
bool IsExtensionAccepted(const std::string &fileName, const std::string &extensions);

// A step's extension list as a file-dialog mask: ".mp3 .wav " gives
// "*.mp3;*.wav;" and ". " gives "*.*;" (the caller drops the last ";").
std::string ExtensionsToMask(const std::string &extensions);

class CScript {
public:
  // The pack is borrowed; without one nothing can be loaded.
  explicit CScript(CDataPak *pack) : pack_(pack) {}
  CScript(const CScript &) = delete;
  CScript &operator=(const CScript &) = delete;

  // Replaces every script by those of the script file (a plain name looked
  // up through the pack), with the rule file and the override file whose
  // names derive from it. Missing files and broken sections are skipped.
  void LoadScripts(const WideString &scriptFileName);

  // Writes the user's state of every script into the override file that
  // belongs to the script file at this full path, keeping the sections of
  // scripts that are gone. False when the file could not be written.
  bool SaveUserOverrides(IFileSystem &fs, const WideString &scriptFilePath);
  bool SaveUserOverrides(const WideString &scriptFilePath);

  const std::vector<std::unique_ptr<TScript>> &Scripts() const { return scripts_; }
  TScript *DefaultConverter() const { return defaultConverter_; }
  const CErrorCodes &ErrorCodes() const { return errorCodes_; }
  // The first script of exactly that section name, nullptr if none.
  TScript *FindScript(std::string_view sectionName) const;

private:
  std::vector<std::unique_ptr<TScript>> scripts_; // file order
  TScript *defaultConverter_ = nullptr;
  CErrorCodes errorCodes_;
  CDataPak *pack_;
};

// The script menu as data: submenus with captions, and one entry per script.
struct TScriptMenuItem {
  std::string caption;
  bool separatorBefore = false;    // a separator line goes before the item
  const TScript *script = nullptr; // the script's entry; nullptr for a submenu
  std::string hint;                // entries: ShortDesc + " accepts: " + mask
  bool enabled = true;             // entries: only when the script has steps
  std::vector<TScriptMenuItem> children;
};

// The root item, whose children are the menu's top level.
TScriptMenuItem BuildScriptMenu(const CScript &scripts);

// What the main window shows for the current script.
struct TScriptView {
  std::string modeCaption = "(empty)"; // the mode button's text
  std::string description;             // the label beside the slider: LongDesc
  bool sliderVisible = false;          // shown and enabled
  int32_t sliderMin = 0;
  int32_t sliderMax = 0;
  int32_t sliderPosition = 0;
  bool customVisible = false; // the free-text caption and box
  std::string customCaption;
  std::vector<WideString> customItems; // the box's drop-down
  WideString customText;
};

// The current script of the main window and the state that moves between
// the window's controls and the scripts when the selection changes.
class CScriptSelection {
public:
  // Makes the script current (nullptr: none). The slider position and box
  // text the window holds now belong to the script that was current so far
  // and are stored into it first.
  TScriptView ClickScript(TScript *script, int32_t sliderPosition, const WideString &customText);
  // Stores the window's slider position and box text into the current
  // script, so that they reach the overrides (closing, batch start).
  void StoreControls(int32_t sliderPosition, const WideString &customText);
  TScript *Current() const { return current_; }
  // What the window shows for the current script.
  TScriptView View() const;

private:
  TScript *current_ = nullptr;
};

} // namespace tunbrix
