#include "app/headless_tags.h"

#include <cstdio>
#include <ostream>
#include <string_view>

#include "app/audio_info.h"
#include "app/json_writer.h"
#include "app/sidecar.h"
#include "foundation/WinExc32.h"
#include "foundation/datapaklib.h"
#include "foundation/file_io.h"
#include "foundation/text_types.h"
#include "foundation/unicode_winapi.h"
#include "tags/id3v2frames.h"
#include "tags/taglib.h"

namespace tunbrix {
namespace {

// ---- JSON

// 8-bit texts of the formats that store Windows-1252.
std::string Cp1252(std::string_view text) { return WideToUtf8(Cp1252ToWide(text)); }

void WritePair(TJsonWriter &json, std::string_view name, const std::string &value) {
  json.BeginArray().String(name).String(value).EndArray();
}

void WriteID3v1(TJsonWriter &json, const CID3 &id3) {
  json.BeginObject();
  json.Key("Title").String(Cp1252(id3.Title));
  json.Key("Artist").String(Cp1252(id3.Artist));
  json.Key("Album").String(Cp1252(id3.Album));
  json.Key("Year").String(Cp1252(id3.Year));
  json.Key("Comment").String(Cp1252(id3.Comment));
  json.Key("Track").Int(id3.Track);
  json.Key("Genre").Int(id3.Genre);
  json.Key("TagSize").Int(id3.TagSize);
  json.EndObject();
}

std::string Lyrics3FieldId(uint32_t id) {
  return {char(id >> 16 & 0xFF), char(id >> 8 & 0xFF), char(id & 0xFF)};
}

void WriteLyrics3(TJsonWriter &json, const CLyrics3 &lyrics) {
  json.BeginObject();
  json.Key("Artist").String(Cp1252(lyrics.Artist));
  json.Key("Title").String(Cp1252(lyrics.Title));
  json.Key("Album").String(Cp1252(lyrics.Album));
  json.Key("TagPosition").Int(lyrics.TagPosition);
  json.Key("TagSize").Int(lyrics.TagSize);
  json.Key("Fields").BeginArray();
  for (const auto &field : lyrics.Fields)
    WritePair(json, Cp1252(Lyrics3FieldId(field.ID)), Cp1252(field.Data));
  json.EndArray();
  json.EndObject();
}

void WriteFrame(TJsonWriter &json, const TID3Frame &frame) {
  json.BeginObject();
  json.Key("FrameId").String(frame.FrameId);
  json.Key("Size").Int(int64_t(frame.Size()));
  if (frame.Flags.Compression) json.Key("Compressed").Bool(true);
  if (frame.Flags.Encryption) json.Key("Encrypted").Bool(true);
  if (!frame.Flags.Compression && !frame.Flags.Encryption) {
    const TID3FrameTextW fields = DecodeFrame(frame);
    const TID3Layout &layout = frame.Layout;
    if (layout[kFieldLanguage]) json.Key("Language").String(Cp1252(fields.Language));
    if (layout[kFieldMimeType]) json.Key("MimeType").String(Cp1252(fields.MimeType));
    if (layout[kFieldFrameId]) json.Key("LinkedFrameId").String(Cp1252(fields.LinkedFrameId));
    if (layout[kFieldFileNameOrUrl]) json.Key("FileNameOrUrl").String(Cp1252(fields.FileNameOrUrl));
    if (layout[kFieldPictureType]) json.Key("PictureType").Int(fields.PictureType);
    if (layout[kFieldDescription]) json.Key("Description").String(fields.Description);
    if (layout[kFieldText]) json.Key("Text").String(fields.Text);
    if (layout[kFieldBinaryData]) json.Key("BinaryLength").Int(int64_t(fields.BinaryLength));
  }
  json.EndObject();
}

void WriteID3v2(TJsonWriter &json, const CID3v2 &id3) {
  json.BeginObject();
  json.Key("Version").Int(id3.Version);
  json.Key("Revision").Int(id3.Revision);
  json.Key("TagPosition").Int(id3.TagPosition);
  json.Key("TagSize").Int(id3.TagSize);
  json.Key("TotalSize").Int(id3.TotalSize);
  json.Key("Frames").BeginArray();
  for (const auto &frame : id3.Frames)
    WriteFrame(json, frame);
  json.EndArray();
  json.EndObject();
}

void WriteAPE(TJsonWriter &json, const CAPETag &ape) {
  json.BeginObject();
  json.Key("Version").Int(ape.Version);
  json.Key("TagSize").Int(ape.TagSize);
  json.Key("Items").BeginArray();
  for (const auto &item : ape.Items) {
    json.BeginObject();
    json.Key("Key").String(Cp1252(item.Key));
    if (item.Flags.Binary)
      json.Key("Binary").Bool(true).Key("Size").Int(int64_t(item.RawValue.size()));
    else
      json.Key("Value").String(item.Value);
    if (item.Flags.Locator) json.Key("Locator").Bool(true);
    if (item.Flags.ReadOnly) json.Key("ReadOnly").Bool(true);
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
}

void WriteVorbis(TJsonWriter &json, const CVorbisComments &vorbis) {
  json.BeginObject();
  json.Key("Vendor").String(vorbis.Vendor);
  json.Key("TotalSize").Int(vorbis.TotalSize);
  json.Key("Comments").BeginArray();
  for (const auto &c : vorbis.Comments)
    WritePair(json, Cp1252(c.Name), WideToUtf8(c.Value));
  json.EndArray();
  json.EndObject();
}

// ---- arguments

struct TFormatName {
  const char *name;
  uint8_t bits;
};
constexpr TFormatName kFormatNames[] = {
    {"id3v1", kTagID3v1},   {"id3v2", kTagID3v2},   {"lyrics3", kTagLyrics3},
    {"ape", kTagAPE},       {"vorbis", kTagVorbis}, {"present", kTagPresentOnly},
    {"all", AllTagFormats},
};

// The formats in bits, for messages: "ID3v2 tag", "ID3v1 and APE tags".
std::string FormatNames(uint8_t bits) {
  static constexpr TFormatName kShown[] = {{"ID3v1", kTagID3v1},
                                           {"Lyrics3", kTagLyrics3},
                                           {"ID3v2", kTagID3v2},
                                           {"APE", kTagAPE},
                                           {"Vorbis", kTagVorbis}};
  std::vector<std::string> names;
  for (const auto &f : kShown)
    if (bits & f.bits) names.push_back(f.name);
  std::string out;
  for (size_t i = 0; i < names.size(); ++i)
    out += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  return out + (names.size() > 1 ? " tags" : " tag");
}

int Usage(THeadlessStreams streams, const std::string &problem) {
  streams.err << "tunbrix: " << problem << "\n"
              << "usage: tunbrix tags write [--formats F] FILE NAME=VALUE...\n"
                 "       tunbrix tags remove [--formats F] FILE...\n"
                 "       tunbrix info [--json] FILE...\n"
                 "F is a comma list of id3v1, id3v2, lyrics3, ape, vorbis, present or all.\n";
  return 2;
}

int Fail(THeadlessStreams streams, const std::string &sentence) {
  streams.err << "tunbrix: " << sentence << "\n";
  return 1;
}

// The options before the first file; "--" ends them.
struct TTagArguments {
  bool formatsGiven = false;
  uint8_t formats = 0;
  bool json = false;
  std::vector<std::string> rest;
};

// "" when the arguments are fine, else the usage problem.
std::string ParseArguments(const std::vector<std::string> &args, size_t from, bool takesFormats,
                           bool takesJson, TTagArguments &parsed) {
  size_t i = from;
  for (; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (a == "--") {
      ++i;
      break;
    }
    if (a.size() < 2 || a.compare(0, 2, "--") != 0) break;
    if (takesJson && a == "--json") {
      parsed.json = true;
      continue;
    }
    if (takesFormats && (a == "--formats" || a.rfind("--formats=", 0) == 0)) {
      std::string value;
      if (a == "--formats") {
        if (++i == args.size()) return "--formats needs a list of tag formats.";
        value = args[i];
      } else {
        value = a.substr(10);
      }
      if (!ParseTagFormats(value, parsed.formats))
        return "unknown tag formats \"" + value + "\" in --formats.";
      parsed.formatsGiven = true;
      continue;
    }
    return "unknown option \"" + a + "\".";
  }
  parsed.rest.assign(args.begin() + std::ptrdiff_t(i), args.end());
  return {};
}

WideString PathOf(const std::string &arg) { return FromNativePath(arg); }

// ---- tags write

int WriteCommand(const std::vector<std::string> &args, THeadlessStreams streams,
                 TTagCommandEnvironment &env) {
  TTagArguments parsed;
  if (auto problem = ParseArguments(args, 1, true, false, parsed); !problem.empty())
    return Usage(streams, problem);
  if (parsed.rest.empty()) return Usage(streams, "tags write needs a file.");
  const std::string &fileArg = parsed.rest[0];
  std::vector<std::pair<std::string, WideString>> assignments;
  for (size_t i = 1; i < parsed.rest.size(); ++i) {
    const std::string &a = parsed.rest[i];
    const size_t eq = a.find('=');
    if (eq == std::string::npos || eq == 0)
      return Usage(streams, "\"" + a + "\" is not of the form NAME=VALUE.");
    assignments.emplace_back(a.substr(0, eq), Utf8ToWide(a.substr(eq + 1)));
  }

  const WideString path = PathOf(fileArg);
  if (!env.fs.Exists(path)) return Fail(streams, fileArg + " does not exist.");
  CTAG tag;
  if (!ReadFileTags(env.fs, path, tag)) return Fail(streams, fileArg + " cannot be opened.");
  for (const auto &[name, value] : assignments)
    tag.SetItem(name, value);

  uint8_t formats = parsed.formats;
  if (parsed.formatsGiven) {
    tag.NameCase = env.choices.FixTagNames;
    tag.NameSort = env.choices.SortTagNames;
    // A tag read as 2.2 is written as 2.3; the writer makes only 2.3 and 2.4.
    if (tag.ID3v2.Version != 3 && tag.ID3v2.Version != 4) tag.ID3v2.Version = 3;
    tag.ID3v2.Revision = 0;
  } else {
    const TTagWritePlan plan = PlanTagWrite(path, tag, tag, env.choices, env.rules);
    const std::string ext = WideToUtf8(LowerCaseW(ExtractFileExtW(path)));
    if (!plan.HasRule)
      return Fail(streams, "no tag rule names the extension \"" + ext + "\" of " + fileArg +
                               "; choose the formats with --formats.");
    if (plan.WriteSet == 0)
      return Fail(streams,
                  "the tag rule for \"" + ext + "\" writes no tag format to " + fileArg + ".");
    formats = plan.WriteSet;
  }
  const bool vorbisOnly = (formats & ~kTagPresentOnly) == kTagVorbis;
  if (vorbisOnly && VorbisContainerOf(path) == TVorbisContainer::None)
    return Fail(streams, "Vorbis comments can only be written to FLAC and Ogg files, not to " +
                             fileArg + ".");

  const TagResult result = tag.WriteTags(env.fs, path, formats, env.runner);
  if (result == kTagDone) return 0;
  if (result == kTagNothing)
    return Fail(streams, "nothing was written to " + fileArg +
                             ": a Lyrics3 tag needs an ID3v1 tag after it.");
  if (tag.FailedFormats == 0)
    return Fail(streams, "no tag of the chosen formats can be written to " + fileArg + ".");
  return Fail(streams,
              "writing the " + FormatNames(tag.FailedFormats) + " of " + fileArg + " failed.");
}

// ---- tags remove

int RemoveCommand(const std::vector<std::string> &args, THeadlessStreams streams,
                  TTagCommandEnvironment &env) {
  TTagArguments parsed;
  if (auto problem = ParseArguments(args, 1, true, false, parsed); !problem.empty())
    return Usage(streams, problem);
  if (parsed.rest.empty()) return Usage(streams, "tags remove needs at least one file.");
  uint8_t formats = parsed.formatsGiven ? parsed.formats : AllTagFormats;
  // Removing the formats present is removing whatever is there.
  if (formats & kTagPresentOnly) formats = AllTagFormats;
  int exitCode = 0;
  for (const std::string &fileArg : parsed.rest) {
    const WideString path = PathOf(fileArg);
    if (!env.fs.Exists(path)) {
      exitCode = Fail(streams, fileArg + " does not exist.");
      continue;
    }
    if (!env.fs.Open(path, FileMode::Read)) {
      exitCode = Fail(streams, fileArg + " cannot be opened.");
      continue;
    }
    CTAG tag;
    const TagResult result = tag.RemoveTags(env.fs, path, formats, env.runner);
    if (result == kTagNothing)
      exitCode = Fail(streams, fileArg + " has no tag of the chosen formats.");
    else if (result == kTagFailed)
      exitCode = Fail(streams, "removing the " + FormatNames(tag.FailedFormats) + " of " + fileArg +
                                   " failed.");
  }
  return exitCode;
}

// ---- the program's own surroundings

// The real files, a runner for the external programs, and the
// configuration file beside the executable.
struct TProgramSurroundings {
  TProgramSurroundings() : names(MakeSidecarNames(GetExecutablePathW())) {
    CDataPak pak(fs, names.DataPack());
    settings = LoadSettings(pak, WideToUtf8(names.ConfigRead()), {names.exeDir, names.base});
  }
  TSidecarNames names;
  RealFileSystem fs;
  TSettings settings;
  CUninterruptedRun control;
  CRecordingDesktop desktop;
  TRunContext Runner() {
    return {names.exeDir, control, desktop,
            settings.General.SaveDebugRunPrgList ? names.RunLog() : WideString()};
  }
};

} // namespace

TTagWriteChoices TagWriteChoicesOf(const TTaggingSettings &tagging) {
  return {tagging.OtherTagFormat, tagging.DiffTagVersion, tagging.FixTagNames,
          tagging.SortTagNames};
}

std::vector<TTagExt> TagRulesOf(const std::vector<TTagRuleSetting> &stored) {
  std::vector<TTagExt> rules;
  for (const auto &rule : stored)
    rules.push_back(RuleFromStored(rule.Ext, rule.Tags));
  SortTagExts(rules);
  return rules;
}

bool ParseTagFormats(const std::string &text, uint8_t &formats) {
  uint8_t bits = 0;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    const std::string word =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const TFormatName *found = nullptr;
    for (const auto &f : kFormatNames)
      if (SameTextAscii(word, f.name)) found = &f;
    if (!found) return false;
    bits |= found->bits;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  formats = bits;
  return true;
}

bool ReadFileTags(IFileSystem &fs, const WideString &path, CTAG &tag) {
  if (!fs.Open(path, FileMode::Read)) return false;
  tag.ReadTags(fs, path, AllTagFormats);
  ReadVorbisComments(fs, path, tag);
  tag.LoadItems();
  return true;
}

void WriteTagJson(TJsonWriter &json, const CTAG &tag) {
  json.BeginObject();
  json.Key("HasTag").Bool(tag.HasTag);
  json.Key("HasID3v1").Bool(tag.HasID3v1);
  json.Key("HasID3v2").Bool(tag.HasID3v2);
  json.Key("HasLyrics3").Bool(tag.HasLyrics3);
  json.Key("HasAPE").Bool(tag.HasAPE);
  json.Key("HasVorbis").Bool(tag.HasVorbis);
  json.Key("TotalTagSize").Int(tag.TotalTagSize);
  json.Key("Items").BeginArray();
  for (const auto &item : tag.Items)
    WritePair(json, item.Name, WideToUtf8(item.Value));
  json.EndArray();
  if (tag.HasID3v1) WriteID3v1(json.Key("ID3v1"), tag.ID3v1);
  if (tag.HasLyrics3) WriteLyrics3(json.Key("Lyrics3"), tag.Lyrics3);
  if (tag.HasID3v2) WriteID3v2(json.Key("ID3v2"), tag.ID3v2);
  if (tag.HasAPE) WriteAPE(json.Key("APE"), tag.APE);
  if (tag.HasVorbis) WriteVorbis(json.Key("Vorbis"), tag.Vorbis);
  json.EndObject();
}

std::string TagInfoText(const CTAG &tag) {
  std::string found;
  const auto add = [&found](bool has, const std::string &what) {
    if (has) found += (found.empty() ? "" : ", ") + what;
  };
  char text[96];
  add(tag.HasID3v1, "ID3v1");
  add(tag.HasLyrics3, "Lyrics3");
  std::snprintf(text, sizeof text, "ID3v2.%d.%d", tag.ID3v2.Version, tag.ID3v2.Revision);
  add(tag.HasID3v2, text);
  std::snprintf(text, sizeof text, "APE v%g", tag.APE.Version / 1000.0);
  add(tag.HasAPE, text);
  add(tag.HasVorbis, "Vorbis");
  std::string out = "Tag: " + (found.empty() ? std::string("none") : found) + "\n";
  out += "TotalTagSize: " + std::to_string(tag.TotalTagSize) + "\n";
  for (const auto &item : tag.Items)
    out += "  " + item.Name + ": " + WideToUtf8(item.Value) + "\n";
  return out;
}

int RunTagsCommand(const std::vector<std::string> &args, THeadlessStreams streams,
                   TTagCommandEnvironment &environment) {
  if (args.empty()) return Usage(streams, "tags needs \"write\" or \"remove\".");
  if (args[0] == "write") return WriteCommand(args, streams, environment);
  if (args[0] == "remove") return RemoveCommand(args, streams, environment);
  return Usage(streams, "unknown tags command \"" + args[0] + "\".");
}

int RunTagsCommand(const std::vector<std::string> &args, THeadlessStreams streams) {
  TProgramSurroundings surroundings;
  const TRunContext runner = surroundings.Runner();
  TTagCommandEnvironment environment{surroundings.fs, &runner,
                                     TagWriteChoicesOf(surroundings.settings.Tagging),
                                     TagRulesOf(surroundings.settings.TaggingAdv)};
  return RunTagsCommand(args, streams, environment);
}

int RunInfoCommand(const std::vector<std::string> &args, THeadlessStreams streams,
                   IFileSystem &fs) {
  TTagArguments parsed;
  if (auto problem = ParseArguments(args, 0, false, true, parsed); !problem.empty())
    return Usage(streams, problem);
  if (parsed.rest.empty()) return Usage(streams, "info needs at least one file.");
  int exitCode = 0;
  TJsonWriter json;
  json.BeginArray();
  std::string textOut;
  for (const std::string &fileArg : parsed.rest) {
    const WideString path = PathOf(fileArg);
    auto file = fs.Open(path, FileMode::Read);
    const int64_t size = file ? file->Size() : -1;
    file.reset();
    json.BeginObject().Key("FileName").String(fileArg);
    if (size < 0) {
      exitCode = Fail(streams, fileArg + " cannot be read.");
      json.Key("Error").String("cannot be read").EndObject();
      continue;
    }
    const CAudioFmt fmt(fs, path);
    WriteAudioJson(json, fmt);
    WriteTagJson(json.Key("Tag"), *fmt.Tag);
    json.EndObject();
    if (!textOut.empty()) textOut += "\n";
    textOut += "FileName: " + fileArg + "\n" + AudioInfoText(fmt) + TagInfoText(*fmt.Tag);
  }
  json.EndArray();
  streams.out << (parsed.json ? json.Text() : textOut);
  return exitCode;
}

int RunInfoCommand(const std::vector<std::string> &args, THeadlessStreams streams) {
  RealFileSystem fs;
  return RunInfoCommand(args, streams, fs);
}

} // namespace tunbrix
