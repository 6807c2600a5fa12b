#include "app/headless.h"

#include <exception>
#include <ostream>

#include "app/headless_tags.h"
#include "app/json_writer.h"
#include "app/sidecar.h"
#include "app/version.h"
#include "foundation/assertions.h"
#include "foundation/datapaklib.h"
#include "foundation/file_io.h"
#include "foundation/unicode_winapi.h"
#include "scripts/parselib.h"

namespace tunbrix {
namespace {

constexpr const char *kUsage =
    "usage: tunbrix                  start the desktop program\n"
    "       tunbrix --version        print the version\n"
    "       tunbrix scripts [--json] the loaded scripts and their steps\n"
    "       tunbrix info [--json] FILE...\n"
    "                                stream analysis and all tags of each file\n"
    "       tunbrix tags write [--formats F] FILE NAME=VALUE...\n"
    "                                set items and write them\n"
    "       tunbrix tags remove [--formats F] FILE...\n"
    "                                remove tags\n"
    "       F: a comma list of id3v1, id3v2, lyrics3, ape, vorbis, present, or all\n";

int Usage(THeadlessStreams streams, const std::string &problem) {
  streams.err << "tunbrix: " << problem << "\n" << kUsage;
  return 2;
}

std::string Joined(const std::vector<std::string> &items, const char *separator) {
  std::string text;
  for (size_t i = 0; i < items.size(); ++i)
    text += (i ? separator : "") + items[i];
  return text;
}

std::string SeparatorText(char separator) { return separator ? std::string(1, separator) : ""; }

// ---- text

void PrintTrackbar(std::ostream &out, const tScriptTrackbar &trackbar) {
  if (trackbar.minimum == trackbar.maximum) {
    out << "  Slider: none\n";
    return;
  }
  out << "  Slider: " << trackbar.minimum << " to " << trackbar.maximum << ", position "
      << trackbar.current << ", divisor " << trackbar.divisor << ", multiplier "
      << trackbar.multiplier << ", decimals " << trackbar.decimals;
  if (trackbar.separator) out << ", separator \"" << trackbar.separator << "\"";
  out << "\n";
  if (!trackbar.values.empty()) out << "  Slider values: " << Joined(trackbar.values, ",") << "\n";
  for (size_t d = 0; d < trackbar.valueLists.size(); ++d)
    if (trackbar.valueLists[d])
      out << "  Slider values " << d << ": " << Joined(*trackbar.valueLists[d], ",") << "\n";
  if (!trackbar.descriptions.empty())
    out << "  Slider descriptions: " << Joined(trackbar.descriptions, ",") << "\n";
  if (!trackbar.TrackbarText.empty()) out << "  Slider label: " << trackbar.TrackbarText << "\n";
}

std::string FlagsText(const TScript &script) {
  std::string flags;
  auto add = [&](bool on, const char *name) {
    if (on) flags += std::string(flags.empty() ? "" : " ") + name;
  };
  add(script.OperatesOn == 1, "OperatesOn=1");
  add(script.DisableConvert, "DisableConvert");
  add(script.DisableTagging, "DisableTagging");
  add(script.EnableTagging, "EnableTagging");
  add(script.ModifiesInput, "ModifiesInput");
  add(script.SeparateDirs, "SeparateDirs");
  return flags;
}

void PrintStep(std::ostream &out, const TAction &step) {
  out << "    N" << step.number << ": " << WideToSys(step.inExt) << "-> "
      << (step.outExt.empty() ? "(in place)" : WideToSys(step.outExt));
  if (step.StdIn) out << ", StdIn";
  if (step.StdOut) out << ", StdOut";
  if (step.ErrorCode) out << ", rules " << step.ErrorCode->name;
  out << "\n";
  for (const std::string &line : step.cmd)
    out << "      " << line << "\n";
}

void PrintScript(std::ostream &out, const TScript &script) {
  out << "\n[" << script.sectionName << "] " << script.ShortDesc << "\n";
  out << "  Menu: " << script.Menu << "\n";
  if (!script.LongDesc.empty()) out << "  Description: " << script.LongDesc << "\n";
  out << "  Accepts: " << script.acceptedExtensions << "(" << script.acceptMask << ")\n";
  PrintTrackbar(out, script.trackbar);
  if (!script.CustomDesc.empty())
    out << "  Free text: " << script.CustomDesc << ": \"" << script.CustomLine << "\"\n";
  const std::string flags = FlagsText(script);
  if (!flags.empty()) out << "  Flags: " << flags << "\n";
  out << "  Steps:" << (script.steps.empty() ? " none" : "") << "\n";
  for (const TAction &step : script.steps)
    PrintStep(out, step);
}

void PrintScripts(std::ostream &out, const CScript &scripts, const std::string &file) {
  out << "Scripts from " << file << ": " << scripts.Scripts().size()
      << " loaded; default converter: "
      << (scripts.DefaultConverter() ? scripts.DefaultConverter()->sectionName : "none") << "\n";
  for (const auto &script : scripts.Scripts())
    PrintScript(out, *script);
}

// ---- JSON

void WriteIcon(TJsonWriter &json, const char *key, const TScriptIcon &icon) {
  json.Key(key).BeginObject();
  json.Key("Name").String(icon.name);
  json.Key("Loaded").Bool(icon.bitmap.has_value());
  json.EndObject();
}

void WriteTrackbar(TJsonWriter &json, const tScriptTrackbar &trackbar) {
  json.Key("Trackbar").BeginObject();
  json.Key("TrackbarMin").Int(trackbar.minimum);
  json.Key("TrackbarMax").Int(trackbar.maximum);
  json.Key("TrackbarDefault").Int(trackbar.current);
  json.Key("TrackbarDivisor").Int(trackbar.divisor);
  json.Key("TrackbarMultiplier").Int(trackbar.multiplier);
  json.Key("TrackbarDecimals").Int(trackbar.decimals);
  json.Key("TrackbarSeparator").String(SeparatorText(trackbar.separator));
  json.Key("TrackbarValues").StringArray(trackbar.values);
  for (size_t d = 0; d < trackbar.valueLists.size(); ++d)
    if (trackbar.valueLists[d])
      json.Key("TrackbarValues" + std::to_string(d)).StringArray(*trackbar.valueLists[d]);
  json.Key("TrackbarDesc").StringArray(trackbar.descriptions);
  json.Key("TrackbarText").String(trackbar.TrackbarText);
  json.Key("Time").Int(trackbar.Time);
  json.EndObject();
}

void WriteStep(TJsonWriter &json, const TAction &step) {
  json.BeginObject();
  json.Key("N").Int(step.number);
  json.Key("inExt").String(step.inExt);
  json.Key("outExt").String(step.outExt);
  json.Key("StdIn").Bool(step.StdIn);
  json.Key("StdOut").Bool(step.StdOut);
  json.Key("ErrorCode");
  if (step.ErrorCode)
    json.String(step.ErrorCode->name);
  else
    json.Null();
  json.Key("cmd").StringArray(step.cmd);
  json.EndObject();
}

void WriteScript(TJsonWriter &json, const TScript &script) {
  json.BeginObject();
  json.Key("SectionName").String(script.sectionName);
  json.Key("ShortDesc").String(script.ShortDesc);
  json.Key("LongDesc").String(script.LongDesc);
  json.Key("Menu").String(script.Menu);
  json.Key("AcceptedExtensions").String(script.acceptedExtensions);
  json.Key("AcceptMask").String(script.acceptMask);
  WriteTrackbar(json, script.trackbar);
  json.Key("OperatesOn").Int(script.OperatesOn);
  json.Key("DisableConvert").Bool(script.DisableConvert);
  json.Key("DisableTagging").Bool(script.DisableTagging);
  json.Key("EnableTagging").Bool(script.EnableTagging);
  json.Key("ModifiesInput").Bool(script.ModifiesInput);
  json.Key("SeparateDirs").Bool(script.SeparateDirs);
  WriteIcon(json, "IconSmall", script.IconSmall);
  WriteIcon(json, "IconLarge", script.IconLarge);
  json.Key("StatusText").String(script.StatusText);
  json.Key("CustomDesc").String(script.CustomDesc);
  json.Key("CustomLine").String(script.CustomLine);
  json.Key("CustomLineHistory");
  if (script.customHistory) {
    json.BeginArray();
    for (const WideString &entry : *script.customHistory)
      json.String(entry);
    json.EndArray();
  } else {
    json.Null();
  }
  json.Key("Steps").BeginArray();
  for (const TAction &step : script.steps)
    WriteStep(json, step);
  json.EndArray();
  json.EndObject();
}

std::string ScriptsJson(const CScript &scripts, const std::string &file) {
  TJsonWriter json;
  json.BeginObject();
  json.Key("ScriptFile").String(file);
  json.Key("default_converter");
  if (scripts.DefaultConverter())
    json.String(scripts.DefaultConverter()->sectionName);
  else
    json.Null();
  json.Key("Scripts").BeginArray();
  for (const auto &script : scripts.Scripts())
    WriteScript(json, *script);
  json.EndArray();
  json.EndObject();
  return json.Text();
}

// The scripts as the desktop program loads them: through the pack beside
// the executable, under the executable's own sidecar names.
int ScriptsCommand(const std::vector<std::string> &args, THeadlessStreams streams) {
  bool asJson = false;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] != "--json")
      return Usage(streams, "unknown option \"" + args[i] + "\" for scripts.");
    asJson = true;
  }
  const TSidecarNames names = MakeSidecarNames(GetExecutablePathW());
  RealFileSystem disk;
  CDataPak pack(disk, names.DataPack());
  CScript scripts(&pack);
  scripts.LoadScripts(names.ScriptFile());
  const std::string file = WideToSys(names.ScriptFile());
  if (asJson)
    streams.out << ScriptsJson(scripts, file);
  else
    PrintScripts(streams.out, scripts, file);
  if (streams.out.good()) return 0;
  streams.err << "tunbrix: the script list could not be written.\n";
  return 1;
}

} // namespace

int RunHeadless(const std::vector<std::string> &args, THeadlessStreams streams) {
  if (args.empty()) return Usage(streams, "no command given.");
  const std::string &command = args[0];
  try {
    if (command == "--version" || command == "version") {
      streams.out << kProductVersion << "\n";
      return 0;
    }
    if (command == "--help" || command == "help") {
      streams.out << kUsage;
      return 0;
    }
    if (command == "scripts") return ScriptsCommand(args, streams);
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "tags") return RunTagsCommand(rest, streams);
    if (command == "info") return RunInfoCommand(rest, streams);
  } catch (const TConsistencyError &e) {
    streams.err << "tunbrix: " << e.what() << "\n";
    return 1;
  }
  return Usage(streams, "unknown command \"" + command + "\".");
}

} // namespace tunbrix
