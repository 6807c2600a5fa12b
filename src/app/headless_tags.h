// The headless tag commands: "tags write", "tags remove", and the tag part
// of "info".
#pragma once

#include <string>
#include <vector>

#include "app/headless.h"
#include "settings/settings.h"
#include "tags/tagext.h"

namespace tunbrix {

class CTAG;
class IFileSystem;
class TJsonWriter;
struct TRunContext;

// What the tag commands work with: the files, the runner for the external
// Ogg comment program, and the tagging configuration.
struct TTagCommandEnvironment {
  IFileSystem &fs;
  const TRunContext *runner = nullptr;
  TTagWriteChoices choices;
  std::vector<TTagExt> rules; // in the order of the settings list
};

// The tagging choices and the rules of the settings, as the tag code takes
// them; the rules in the order of the settings list.
TTagWriteChoices TagWriteChoicesOf(const TTaggingSettings &tagging);
std::vector<TTagExt> TagRulesOf(const std::vector<TTagRuleSetting> &stored);

// "tags write [--formats F] FILE NAME=VALUE..." and
// "tags remove [--formats F] FILE...": args are the words after "tags".
// Returns the exit code: 0 done, 1 failed, 2 usage error.
int RunTagsCommand(const std::vector<std::string> &args, THeadlessStreams streams,
                   TTagCommandEnvironment &environment);

// The same with the program's own files and runner, and the tagging
// configuration of its configuration file (read, never written).
int RunTagsCommand(const std::vector<std::string> &args, THeadlessStreams streams);

// The F of --formats: a comma list of id3v1, id3v2, lyrics3, ape, vorbis,
// present or all. False for an empty list or an unknown name.
bool ParseTagFormats(const std::string &text, uint8_t &formats);

// Every tag of a file: ReadTags of all formats, the Vorbis comments of FLAC
// and Ogg streams, and the items folded from them. False when the file
// cannot be opened.
bool ReadFileTags(IFileSystem &fs, const WideString &path, CTAG &tag);

// The tag part of "info" for one file: the "Tag" object of the JSON form
// (written as the next value), and the lines of the text form.
void WriteTagJson(TJsonWriter &json, const CTAG &tag);
std::string TagInfoText(const CTAG &tag);

// "info [--json] FILE...": the stream analysis of each file with its LAME
// tag and all its tags. args are the words after "info".
int RunInfoCommand(const std::vector<std::string> &args, THeadlessStreams streams, IFileSystem &fs);
int RunInfoCommand(const std::vector<std::string> &args, THeadlessStreams streams);

} // namespace tunbrix
