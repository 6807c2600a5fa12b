#include "app/headless_tags.h"

#include <cstdio>
#include <ostream>

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

// ---- JSON text

// Wide text as a JSON string: UTF-8, with a lone surrogate (a file-name
// byte that was not UTF-8) kept as its \u escape.
std::string JsonString(std::u16string_view text) {
  std::string out = "\"";
  char escape[8];
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    const bool pair = c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                      text[i + 1] < 0xE000;
    if (pair) {
      out += WideToUtf8(text.substr(i, 2));
      ++i;
    } else if (c == u'"' || c == u'\\') {
      out += '\\';
      out += char(c);
    } else if (c == u'\n') {
      out += "\\n";
    } else if (c == u'\r') {
      out += "\\r";
    } else if (c == u'\t') {
      out += "\\t";
    } else if (c < 0x20 || (c >= 0xD800 && c < 0xE000)) {
      std::snprintf(escape, sizeof escape, "\\u%04X", unsigned(c));
      out += escape;
    } else {
      out += WideToUtf8(text.substr(i, 1));
    }
  }
  return out + "\"";
}

// 8-bit names (item names, keys) are UTF-8 where they came from us, and
// ASCII in the tag formats that store them.
std::string JsonName(std::string_view name) { return JsonString(Utf8ToWide(name)); }
std::string JsonCp1252(std::string_view text) { return JsonString(Cp1252ToWide(text)); }
std::string JsonBool(bool value) { return value ? "true" : "false"; }

// Members of one JSON object or array, joined by commas.
class TJsonList {
public:
  explicit TJsonList(bool object) : object_(object) {}
  TJsonList &Add(std::string_view key, const std::string &value) {
    Separate();
    text_ += JsonName(key) + ":" + value;
    return *this;
  }
  TJsonList &Add(const std::string &value) {
    Separate();
    text_ += value;
    return *this;
  }
  TJsonList &Add(std::string_view key, int64_t value) { return Add(key, std::to_string(value)); }
  std::string Text() const { return (object_ ? "{" : "[") + text_ + (object_ ? "}" : "]"); }

private:
  void Separate() {
    if (!text_.empty()) text_ += ",";
  }
  bool object_;
  std::string text_;
};

std::string Pair(const std::string &name, const std::string &value) {
  return TJsonList(false).Add(name).Add(value).Text();
}

std::string ID3v1Json(const CID3 &id3) {
  return TJsonList(true)
      .Add("Title", JsonCp1252(id3.Title))
      .Add("Artist", JsonCp1252(id3.Artist))
      .Add("Album", JsonCp1252(id3.Album))
      .Add("Year", JsonCp1252(id3.Year))
      .Add("Comment", JsonCp1252(id3.Comment))
      .Add("Track", id3.Track)
      .Add("Genre", id3.Genre)
      .Add("TagSize", id3.TagSize)
      .Text();
}

std::string Lyrics3FieldId(uint32_t id) {
  return {char(id >> 16 & 0xFF), char(id >> 8 & 0xFF), char(id & 0xFF)};
}

std::string Lyrics3Json(const CLyrics3 &lyrics) {
  TJsonList fields(false);
  for (const auto &field : lyrics.Fields)
    fields.Add(Pair(JsonCp1252(Lyrics3FieldId(field.ID)), JsonCp1252(field.Data)));
  return TJsonList(true)
      .Add("Artist", JsonCp1252(lyrics.Artist))
      .Add("Title", JsonCp1252(lyrics.Title))
      .Add("Album", JsonCp1252(lyrics.Album))
      .Add("TagPosition", lyrics.TagPosition)
      .Add("TagSize", lyrics.TagSize)
      .Add("Fields", fields.Text())
      .Text();
}

std::string FrameJson(const TID3Frame &frame) {
  TJsonList out(true);
  out.Add("FrameId", JsonName(frame.FrameId)).Add("Size", int64_t(frame.Size()));
  if (frame.Flags.Compression) out.Add("Compressed", JsonBool(true));
  if (frame.Flags.Encryption) out.Add("Encrypted", JsonBool(true));
  if (frame.Flags.Compression || frame.Flags.Encryption) return out.Text();
  const TID3FrameTextW fields = DecodeFrame(frame);
  const TID3Layout &layout = frame.Layout;
  if (layout[kFieldLanguage]) out.Add("Language", JsonCp1252(fields.Language));
  if (layout[kFieldMimeType]) out.Add("MimeType", JsonCp1252(fields.MimeType));
  if (layout[kFieldFrameId]) out.Add("LinkedFrameId", JsonCp1252(fields.LinkedFrameId));
  if (layout[kFieldFileNameOrUrl]) out.Add("FileNameOrUrl", JsonCp1252(fields.FileNameOrUrl));
  if (layout[kFieldPictureType]) out.Add("PictureType", fields.PictureType);
  if (layout[kFieldDescription]) out.Add("Description", JsonString(fields.Description));
  if (layout[kFieldText]) out.Add("Text", JsonString(fields.Text));
  if (layout[kFieldBinaryData]) out.Add("BinaryLength", int64_t(fields.BinaryLength));
  return out.Text();
}

std::string ID3v2Json(const CID3v2 &id3) {
  TJsonList frames(false);
  for (const auto &frame : id3.Frames)
    frames.Add(FrameJson(frame));
  return TJsonList(true)
      .Add("Version", id3.Version)
      .Add("Revision", id3.Revision)
      .Add("TagPosition", id3.TagPosition)
      .Add("TagSize", id3.TagSize)
      .Add("TotalSize", id3.TotalSize)
      .Add("Frames", frames.Text())
      .Text();
}

std::string APEJson(const CAPETag &ape) {
  TJsonList items(false);
  for (const auto &item : ape.Items) {
    TJsonList out(true);
    out.Add("Key", JsonName(item.Key));
    if (item.Flags.Binary)
      out.Add("Binary", JsonBool(true)).Add("Size", int64_t(item.RawValue.size()));
    else
      out.Add("Value", JsonString(item.Value));
    if (item.Flags.Locator) out.Add("Locator", JsonBool(true));
    if (item.Flags.ReadOnly) out.Add("ReadOnly", JsonBool(true));
    items.Add(out.Text());
  }
  return TJsonList(true)
      .Add("Version", ape.Version)
      .Add("TagSize", ape.TagSize)
      .Add("Items", items.Text())
      .Text();
}

std::string VorbisJson(const CVorbisComments &vorbis) {
  TJsonList comments(false);
  for (const auto &c : vorbis.Comments)
    comments.Add(Pair(JsonName(c.Name), JsonString(c.Value)));
  return TJsonList(true)
      .Add("Vendor", JsonString(vorbis.Vendor))
      .Add("TotalSize", vorbis.TotalSize)
      .Add("Comments", comments.Text())
      .Text();
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
  return Fail(streams, "writing the " + FormatNames(tag.FailedFormats) + " of " + fileArg +
                           " failed; the file is as it was.");
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
                                   " failed; the file is as it was.");
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

std::string TagInfoJson(const CTAG &tag) {
  TJsonList items(false);
  for (const auto &item : tag.Items)
    items.Add(Pair(JsonName(item.Name), JsonString(item.Value)));
  TJsonList out(true);
  out.Add("HasTag", JsonBool(tag.HasTag))
      .Add("HasID3v1", JsonBool(tag.HasID3v1))
      .Add("HasID3v2", JsonBool(tag.HasID3v2))
      .Add("HasLyrics3", JsonBool(tag.HasLyrics3))
      .Add("HasAPE", JsonBool(tag.HasAPE))
      .Add("HasVorbis", JsonBool(tag.HasVorbis))
      .Add("TotalTagSize", tag.TotalTagSize)
      .Add("Items", items.Text());
  if (tag.HasID3v1) out.Add("ID3v1", ID3v1Json(tag.ID3v1));
  if (tag.HasLyrics3) out.Add("Lyrics3", Lyrics3Json(tag.Lyrics3));
  if (tag.HasID3v2) out.Add("ID3v2", ID3v2Json(tag.ID3v2));
  if (tag.HasAPE) out.Add("APE", APEJson(tag.APE));
  if (tag.HasVorbis) out.Add("Vorbis", VorbisJson(tag.Vorbis));
  return out.Text();
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
  TJsonList files(false);
  std::string textOut;
  for (const std::string &fileArg : parsed.rest) {
    const WideString path = PathOf(fileArg);
    auto file = fs.Open(path, FileMode::Read);
    const int64_t size = file ? file->Size() : -1;
    file.reset();
    CTAG tag;
    if (size < 0 || !ReadFileTags(fs, path, tag)) {
      exitCode = Fail(streams, fileArg + " cannot be read.");
      files.Add(TJsonList(true)
                    .Add("FileName", JsonString(path))
                    .Add("Error", JsonString(u"cannot be read"))
                    .Text());
      continue;
    }
    files.Add(TJsonList(true)
                  .Add("FileName", JsonString(path))
                  .Add("FileSize", size)
                  .Add("Tag", TagInfoJson(tag))
                  .Text());
    if (!textOut.empty()) textOut += "\n";
    textOut +=
        "FileName: " + fileArg + "\nFileSize: " + std::to_string(size) + "\n" + TagInfoText(tag);
  }
  streams.out << (parsed.json ? files.Text() + "\n" : textOut);
  return exitCode;
}

int RunInfoCommand(const std::vector<std::string> &args, THeadlessStreams streams) {
  RealFileSystem fs;
  return RunInfoCommand(args, streams, fs);
}

} // namespace tunbrix
