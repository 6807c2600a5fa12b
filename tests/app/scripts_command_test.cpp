#include <gtest/gtest.h>

#include <filesystem>

#include "app/json_writer.h"
#include "foundation/assertions.h"
#include "support/test_support.h"

namespace tunbrix {
namespace {

namespace fs = std::filesystem;

// Parses the text with Python's json module and runs the checks on the
// document d; "ok" on standard output means every assertion held.
test::ProcessResult CheckWithPython(const std::string &json, const std::string &checks) {
  return test::RunCommand({"/usr/bin/python3", "-c",
                           "import json,sys\nd=json.load(sys.stdin)\n" + checks + "\nprint('ok')"},
                          json);
}

TEST(JsonWriter, QuotingEscapesAndRepairsUtf8) {
  struct Case {
    std::string text;
    std::string quoted;
  } cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c/d", "\"a\\\"b\\\\c/d\""},
      {"\n\r\t\b\f", "\"\\n\\r\\t\\b\\f\""},
      {std::string("\x00\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\\u007f\""},
      {"\xC3\xA9\xE2\x99\xAA\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x99\xAA\xF0\x9F\x98\x80\""},
      {"x\xFFy", "\"x\xEF\xBF\xBDy\""},
      {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                                 // overlong "/"
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},                 // a surrogate
      {"\xE2\x82", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                                 // cut short
      {"\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""}, // > U+10FFFF
  };
  for (const Case &c : cases)
    EXPECT_EQ(JsonQuote(c.text), c.quoted) << c.text;
}

TEST(JsonWriter, DocumentShapeAndMisuse) {
  TJsonWriter json;
  json.BeginObject();
  json.Key("a").Int(-5);
  json.Key("b").BeginArray().String(u"w\u00e9").Bool(true).Null().EndArray();
  json.Key("empty").BeginObject().EndObject();
  json.Key("none").StringArray({});
  json.EndObject();
  EXPECT_EQ(json.Text(),
            "{\n  \"a\": -5,\n  \"b\": [\n    \"w\xC3\xA9\",\n    true,\n    null\n  ],\n"
            "  \"empty\": {},\n  \"none\": []\n}\n");

  TJsonWriter open;
  open.BeginArray();
  EXPECT_THROW(open.Key("k"), TConsistencyError);
  EXPECT_THROW(open.Text(), TConsistencyError);
  TJsonWriter object;
  object.BeginObject();
  EXPECT_THROW(object.Int(1), TConsistencyError);
  object.Key("k");
  EXPECT_THROW(object.EndObject(), TConsistencyError);
  EXPECT_THROW(object.EndArray(), TConsistencyError);
}

// A copy of the executable under its own name, with loose sidecar files
// beside it and no pack.
class CopiedProgram {
public:
  CopiedProgram() {
    program_ = dir_.Path() / "prog";
    fs::copy_file(test::Executable(), program_);
    fs::permissions(program_, fs::perms::owner_all);
  }
  void Put(const std::string &name, const std::string &text) {
    test::WriteFileBytes(dir_.Path() / name, text);
  }
  test::ProcessResult Run(const std::vector<std::string> &args) {
    std::vector<std::string> argv{program_.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::RunCommand(argv);
  }

private:
  test::TempDir dir_;
  fs::path program_;
};

const char *kScripts = "[enc]\n"
                       "ShortDesc=Enc \xE2\x99\xAA\n"
                       "LongDesc=back\\slash\ttab \x01 ctl \xFF bad\n"
                       "Menu=Encode\\-Enc\n"
                       "TrackbarValues=96,128,192\n"
                       "TrackbarDefault=1\n"
                       "TrackbarDesc=low,mid,high\n"
                       "CustomDesc=Options\n"
                       "CustomLine=-x\n"
                       "N0inExt=.wav\n"
                       "N0outExt=.mp3\n"
                       "N0ErrorCode=enc\n"
                       "N0cmd0=enc '%i' '%o'\n"
                       "N1inExt=.wav\n"
                       "N1outExt=.mp3\n"
                       "N1StdIn=1\n"
                       "N1cmd0=enc - '%o'\n"
                       "[hidden]\n"
                       "Disable=1\n"
                       "ShortDesc=x\n"
                       "Menu=x\n"
                       "[default_converter]\n"
                       "ShortDesc=Decode\n"
                       "Menu=Decode\n"
                       "N0inExt=.mp3\n"
                       "N0outExt=.wav\n"
                       "N0StdOut=1\n"
                       "N0cmd0=dec '%i'\n";

TEST(ScriptsCommand, TextListsEveryLoadedScript) {
  CopiedProgram program;
  program.Put("prog_script.ini", kScripts);
  program.Put("prog_script_user.ini", "[enc]\nTrackbarDefault=2\nTime=1000\nCustomLine=-y\n");
  program.Put("prog_script_errorcodes.ini", "[Enc]\n1=bad input\n");
  const test::ProcessResult result = program.Run({"scripts"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, "Scripts from prog_script.ini: 2 loaded; default converter: "
                        "default_converter\n"
                        "\n"
                        "[enc] Enc \xE2\x99\xAA\n"
                        "  Menu: Encode\\-Enc\n"
                        "  Description: back\\slash\ttab \x01 ctl \xFF bad\n"
                        "  Accepts: .wav (*.wav)\n"
                        "  Slider: 0 to 2, position 2, divisor 1, multiplier 1, decimals 0\n"
                        "  Slider values: 96,128,192\n"
                        "  Slider descriptions: low,mid,high\n"
                        "  Free text: Options: \"-y\"\n"
                        "  Steps:\n"
                        "    N1: .wav -> .mp3, StdIn\n"
                        "      enc - \"%o\"\n"
                        "    N0: .wav -> .mp3, rules Enc\n"
                        "      enc \"%i\" \"%o\"\n"
                        "\n"
                        "[default_converter] Decode\n"
                        "  Menu: Decode\n"
                        "  Accepts: .mp3 (*.mp3)\n"
                        "  Slider: none\n"
                        "  Steps:\n"
                        "    N0: .mp3 -> .wav, StdOut\n"
                        "      dec \"%i\"\n");
}

TEST(ScriptsCommand, JsonUsesTheFieldNames) {
  CopiedProgram program;
  program.Put("prog_script.ini", kScripts);
  program.Put("prog_script_user.ini",
              "[enc]\nTime=1000\nCustomLine=-y\nCustomLine0=-y\nCustomLine1=-z\n");
  program.Put("prog_script_errorcodes.ini", "[Enc]\n1=bad input\n");
  const test::ProcessResult result = program.Run({"scripts", "--json"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const test::ProcessResult check = CheckWithPython(
      result.out,
      "assert d['ScriptFile'] == 'prog_script.ini'\n"
      "assert d['default_converter'] == 'default_converter'\n"
      "assert [s['SectionName'] for s in d['Scripts']] == ['enc', 'default_converter']\n"
      "s = d['Scripts'][0]\n"
      "assert s['ShortDesc'] == 'Enc \\u266a'\n"
      "assert s['LongDesc'] == 'back\\\\slash\\ttab \\x01 ctl \\ufffd bad', s['LongDesc']\n"
      "assert s['Menu'] == 'Encode\\\\-Enc'\n"
      "assert s['AcceptedExtensions'] == '.wav ' and s['AcceptMask'] == '*.wav'\n"
      "t = s['Trackbar']\n"
      "assert (t['TrackbarMin'], t['TrackbarMax'], t['TrackbarDefault']) == (0, 2, 0)\n"
      "assert t['TrackbarValues'] == ['96', '128', '192'] and t['Time'] == 1000\n"
      "assert t['TrackbarDesc'] == ['low', 'mid', 'high'] and t['TrackbarSeparator'] == ''\n"
      "assert s['CustomDesc'] == 'Options' and s['CustomLine'] == '-y'\n"
      "assert s['CustomLineHistory'] == ['-y', '-z']\n"
      "assert s['OperatesOn'] == 0 and s['DisableConvert'] is False\n"
      "assert s['IconSmall'] == {'Name': '', 'Loaded': False}\n"
      "assert [x['N'] for x in s['Steps']] == [1, 0]\n"
      "n1, n0 = s['Steps']\n"
      "assert n1['StdIn'] is True and n1['StdOut'] is False and n1['ErrorCode'] is None\n"
      "assert n0['inExt'] == '.wav ' and n0['outExt'] == '.mp3' and n0['ErrorCode'] == 'Enc'\n"
      "assert n0['cmd'] == ['enc \"%i\" \"%o\"']\n"
      "assert d['Scripts'][1]['CustomLineHistory'] is None\n"
      "assert d['Scripts'][1]['Steps'][0]['StdOut'] is True");
  EXPECT_EQ(check.out, "ok\n") << check.err;
}

TEST(ScriptsCommand, NoScriptFileIsNoFailure) {
  CopiedProgram program;
  const test::ProcessResult text = program.Run({"scripts"});
  EXPECT_EQ(text.exitCode, 0);
  EXPECT_EQ(text.out, "Scripts from prog_script.ini: 0 loaded; default converter: none\n");
  const test::ProcessResult json = program.Run({"scripts", "--json"});
  EXPECT_EQ(json.exitCode, 0);
  EXPECT_EQ(json.out, "{\n  \"ScriptFile\": \"prog_script.ini\",\n  \"default_converter\": null,\n"
                      "  \"Scripts\": []\n}\n");
}

TEST(ScriptsCommand, UsageErrors) {
  const test::ProcessResult result =
      test::RunCommand({test::Executable().string(), "scripts", "-x"});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find("unknown option \"-x\" for scripts."), std::string::npos);
}

// The shipped scripts, read from the pack the build made beside the program.
TEST(ScriptsCommand, ShippedScriptsThroughThePack) {
  const test::ProcessResult result =
      test::RunCommand({test::Executable().string(), "scripts", "--json"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const test::ProcessResult check = CheckWithPython(
      result.out,
      "assert d['ScriptFile'] == 'tunbrix_script.ini'\n"
      "assert d['default_converter'] == 'default_converter'\n"
      "names = [s['SectionName'] for s in d['Scripts']]\n"
      "for n in ['mp3_lame_vbr', 'flac', 'ogg_vorbis', 'opus', 'wavpack', 'musepack']:\n"
      "  assert n in names, n\n"
      "for s in d['Scripts']:\n"
      "  assert s['Steps'], s['SectionName']\n"
      "  for step in s['Steps']:\n"
      "    assert step['cmd'] and all(\"'\" not in c for c in step['cmd'])\n"
      "sox = [st for s in d['Scripts'] for st in s['Steps'] if st['ErrorCode']]\n"
      "assert sox and all(st['ErrorCode'] == 'sox' for st in sox)");
  EXPECT_EQ(check.out, "ok\n") << check.err;
}

} // namespace
} // namespace tunbrix
