// The scripts the program ships with, run for real: every command line names
// an installed program, every encoder makes a file its decoder accepts, and
// the default converter turns each of them back into WAV, through a pipe and
// through an intermediate file.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "foundation/WinExc32.h"
#include "foundation/assertions.h"
#include "foundation/datapaklib.h"
#include "foundation/file_io.h"
#include "foundation/text_types.h"
#include "foundation/unicode_winapi.h"
#include "scripts/parselib.h"
#include "scripts/templates.h"
#include "support/test_support.h"

namespace tunbrix {
namespace {

namespace fs = std::filesystem;
using test::W;

// The programs the shipped scripts are written for.
const char *const kTools[] = {"lame",    "flac",    "metaflac", "oggenc",   "oggdec",
                              "opusenc", "opusdec", "wavpack",  "wvunpack", "wvgain",
                              "mpcenc",  "mpcdec",  "sox"};

#define REQUIRE_ALL_TOOLS()                                                                        \
  for (const char *tool : kTools)                                                                  \
  TB_REQUIRE_TOOL(tool)

class ShippedScripts : public ::testing::Test {
protected:
  void SetUp() override {
    pack_ = std::make_unique<CDataPak>(disk_, W((test::BinaryDir() / "tunbrix.dat").string()));
    scripts_ = std::make_unique<CScript>(pack_.get());
    scripts_->LoadScripts(u"tunbrix_script.ini");
    ASSERT_FALSE(scripts_->Scripts().empty());
    ASSERT_NE(scripts_->DefaultConverter(), nullptr);
  }

  const CScript &Scripts() const { return *scripts_; }
  const TScript &Script(const char *section) const {
    const TScript *script = scripts_->FindScript(section);
    TB_CHECK(script, "no such shipped script");
    return *script;
  }

  // A short stereo WAV with a blank and a non-ASCII letter in its name, so
  // that the quoting of every command line is put to the test.
  WideString MakeWav(const std::string &name) {
    const fs::path path = dir_.Path() / name;
    const auto made = test::RunCommand({"sox", "-n", "-r", "44100", "-c", "2", "-b", "16",
                                        path.string(), "synth", "0.4", "sine", "440"});
    EXPECT_EQ(made.exitCode, 0) << made.err;
    return W(path.string());
  }
  WideString PathIn(const std::string &name) const { return W((dir_.Path() / name).string()); }

  static tFileFormat Record(const TScript &script, int32_t position, const WideString &in,
                            const WideString &out) {
    tFileFormat record;
    record.infile = in;
    record.shortinfile = in;
    record.outfile = out;
    SetSliderFields(record, position, script.trackbar, '.', SliderUse::CommandLine);
    if (!script.CustomDesc.empty()) record.customLine = SysToWide(script.CustomLine);
    return record;
  }

  // Runs every command line of the step as the batch does: from the input's
  // folder, hidden, without standard input. Returns the first failing code.
  uint32_t RunStep(const TAction &step, const tFileFormat &record) {
    for (const std::string &line : step.cmd) {
      const TRunResult result =
          RunProgram(Context(), SysToWide(get_format(line, record)), ExtractFolder(record.infile),
                     kSwHide, kNoHandle, u"", kNormalPriorityClass);
      if (!result.started || result.code != 0) return result.started ? result.code : 9999;
    }
    return 0;
  }

  uint32_t RunPiped(const TAction &producer, const tFileFormat &producerRecord,
                    const TAction &consumer, const tFileFormat &consumerRecord) {
    const TRunResult result =
        RunPipe(Context(), SysToWide(get_format(producer.cmd.at(0), producerRecord)),
                SysToWide(get_format(consumer.cmd.at(0), consumerRecord)),
                ExtractFolder(consumerRecord.outfile), u"", kNormalPriorityClass, kSwHide,
                ExtractFolder(producerRecord.infile));
    return result.started ? result.code : 9999;
  }

  // The checks of the formats' own tools; decoders must give a WAV of about
  // the length that went in.
  void ExpectDecodable(const WideString &file) {
    const std::string path = WideToSys(file);
    const std::string extension = WideToSys(ExtractFileExtW(file));
    const std::string decoded = (dir_.Path() / "check.wav").string();
    fs::remove(decoded);
    std::vector<std::string> check;
    if (extension == ".flac") check = {"flac", "-t", "-s", path};
    if (extension == ".wv") check = {"wvunpack", "-q", "-v", path};
    if (extension == ".mp3") check = {"lame", "--silent", "--decode", path, decoded};
    if (extension == ".ogg") check = {"oggdec", "-Q", "-o", decoded, path};
    if (extension == ".opus") check = {"opusdec", "--quiet", path, decoded};
    if (extension == ".mpc") check = {"mpcdec", path, decoded};
    if (extension == ".wav") {
      ExpectWav(path);
      return;
    }
    ASSERT_FALSE(check.empty()) << "no check for " << path;
    const auto result = test::RunCommand(check);
    EXPECT_EQ(result.exitCode, 0) << path << ": " << result.err;
    if (fs::exists(decoded)) ExpectWav(decoded);
  }

  static void ExpectWav(const std::string &path) {
    const auto type = test::RunCommand({"sox", "--i", "-t", path});
    EXPECT_EQ(type.out, "wav\n") << path << ": " << type.err;
    const auto length = test::RunCommand({"sox", "--i", "-D", path});
    const double seconds = std::atof(length.out.c_str());
    EXPECT_GT(seconds, 0.3) << path;
    EXPECT_LT(seconds, 0.6) << path;
  }

  // The step the batch runs directly for the file: the first that accepts it
  // and uses no pipe.
  static const TAction *DirectStep(const TScript &script, const WideString &file) {
    for (const TAction &step : script.steps)
      if (!step.StdIn && !step.StdOut && IsExtensionAccepted(file, step.inExt)) return &step;
    return nullptr;
  }
  static const TAction *PipeConsumer(const TScript &script) {
    for (const TAction &step : script.steps)
      if (step.StdIn && IsExtensionAccepted(u"x.wav", step.inExt)) return &step;
    return nullptr;
  }
  const TAction *PipeProducer(const WideString &file) const {
    for (const TAction &step : Scripts().DefaultConverter()->steps)
      if (step.StdOut && IsExtensionAccepted(file, step.inExt) && step.outExt == u".wav")
        return &step;
    return nullptr;
  }

  // The encoders: every script whose direct step turns a WAV into a file.
  std::vector<const TScript *> WavEncoders() const {
    std::vector<const TScript *> encoders;
    for (const auto &script : Scripts().Scripts()) {
      const TAction *step = DirectStep(*script, u"x.wav");
      if (step && !step->outExt.empty() && script.get() != Scripts().DefaultConverter())
        encoders.push_back(script.get());
    }
    return encoders;
  }

  test::TempDir dir_;

private:
  static WideString ExtractFolder(const WideString &path) {
    const size_t slash = path.rfind(u'/');
    return slash == WideString::npos ? WideString() : path.substr(0, slash + 1);
  }
  const TRunContext &Context() {
    context_ = std::make_unique<TRunContext>(TRunContext{u"", control_, desktop_, u""});
    return *context_;
  }

  RealFileSystem disk_;
  std::unique_ptr<CDataPak> pack_;
  std::unique_ptr<CScript> scripts_;
  CUninterruptedRun control_;
  CRecordingDesktop desktop_;
  std::unique_ptr<TRunContext> context_;
};

TEST_F(ShippedScripts, EveryCommandLineNamesAnInstalledProgramAndQuotesItsFiles) {
  REQUIRE_ALL_TOOLS();
  const std::set<std::string> known(std::begin(kTools), std::end(kTools));
  const WideString in = u"/music/my song é.wav", out = u"/out/my song é.out";
  for (const auto &script : Scripts().Scripts()) {
    const tScriptTrackbar &bar = script->trackbar;
    for (const int32_t position : {bar.minimum, bar.current, bar.maximum}) {
      tFileFormat record = Record(*script, position, in, out);
      record.infiles = u"\"/music/a 1.flac\" \"/music/b 2.flac\"";
      for (const TAction &step : script->steps) {
        ASSERT_FALSE(step.cmd.empty()) << script->sectionName;
        for (const std::string &line : step.cmd) {
          const std::string expanded = get_format(line, record);
          const std::string program = WideToSys(ProgramToken(SysToWide(expanded)));
          EXPECT_TRUE(known.count(program)) << script->sectionName << ": " << expanded;
          EXPECT_FALSE(test::FindTool(program).empty()) << expanded;
          EXPECT_EQ(expanded.find('\''), std::string::npos) << expanded;
          const std::vector<std::string> args = SplitCommandLine(expanded);
          auto has = [&](const std::string &arg) {
            return std::find(args.begin(), args.end(), arg) != args.end();
          };
          auto expectIf = [&](const char *variable, bool holds) {
            if (line.find(variable) != std::string::npos) {
              EXPECT_TRUE(holds) << variable << " in " << expanded;
            }
          };
          expectIf("%i", has(WideToSys(in)));
          expectIf("%o", has(WideToSys(out)));
          expectIf("%I", has("/music/a 1.flac") && has("/music/b 2.flac"));
          // The slider value reaches the line, alone or glued to an option.
          expectIf("%x", expanded.find(WideToSys(record.trackbar)) != std::string::npos);
        }
      }
    }
  }
}

TEST_F(ShippedScripts, EncodersAtEverySliderEndAndTheConverterDecodesBack) {
  REQUIRE_ALL_TOOLS();
  const WideString wav = MakeWav("my song é.wav");
  const std::vector<const TScript *> encoders = WavEncoders();
  std::set<WideString> formats;
  for (const TScript *script : encoders) {
    const TAction &step = *DirectStep(*script, wav);
    formats.insert(step.outExt);
    const tScriptTrackbar &bar = script->trackbar;
    for (const int32_t position : std::set<int32_t>{bar.minimum, bar.current, bar.maximum}) {
      SCOPED_TRACE(script->sectionName + " at " + std::to_string(position));
      const WideString out =
          PathIn(script->sectionName + " " + std::to_string(position) + WideToSys(step.outExt));
      ASSERT_EQ(RunStep(step, Record(*script, position, wav, out)), 0u);
      ExpectDecodable(out);

      // Back to WAV in two passes: the converter's step that writes a file.
      const TAction *decoder = DirectStep(*Scripts().DefaultConverter(), out);
      ASSERT_NE(decoder, nullptr);
      const WideString back = out + u".wav";
      ASSERT_EQ(RunStep(*decoder, Record(*Scripts().DefaultConverter(), 0, out, back)), 0u);
      ExpectWav(WideToSys(back));
    }
  }
  for (const char16_t *format : {u".mp3", u".flac", u".ogg", u".opus", u".wv", u".mpc"})
    EXPECT_TRUE(formats.count(format)) << WideToSys(format);
}

TEST_F(ShippedScripts, PipesFromEveryDecoderAndIntoEveryEncoder) {
  REQUIRE_ALL_TOOLS();
  const WideString wav = MakeWav("pipe é.wav");
  const TScript &converter = *Scripts().DefaultConverter();
  const WideString aiff = PathIn("pipe é.aiff");
  ASSERT_EQ(test::RunCommand({"sox", WideToSys(wav), WideToSys(aiff)}).exitCode, 0);

  // One file of every format the converter reads.
  std::vector<WideString> sources{aiff};
  for (const TScript *script : WavEncoders()) {
    const TAction &step = *DirectStep(*script, wav);
    const WideString out = PathIn("source " + script->sectionName + WideToSys(step.outExt));
    ASSERT_EQ(RunStep(step, Record(*script, script->trackbar.current, wav, out)), 0u);
    sources.push_back(out);
  }
  const TScript &flac = Script("flac");
  for (const WideString &source : sources) {
    SCOPED_TRACE(WideToSys(source));
    const TAction *producer = PipeProducer(source);
    ASSERT_NE(producer, nullptr);
    tFileFormat producerRecord = Record(converter, 0, source, u"");
    const WideString out = source + u".piped.flac";
    tFileFormat consumerRecord = Record(flac, flac.trackbar.current, u"", out);
    ASSERT_EQ(RunPiped(*producer, producerRecord, *PipeConsumer(flac), consumerRecord), 0u);
    ExpectDecodable(out);
  }

  // Every encoder reads WAV from a decoder.
  const TAction *flacDecoder = PipeProducer(u"x.flac");
  ASSERT_NE(flacDecoder, nullptr);
  const WideString flacSource = PathIn("source flac.flac");
  for (const TScript *script : WavEncoders()) {
    const TAction *consumer = PipeConsumer(*script);
    if (!consumer) continue; // a script that only reads files: the converter's two passes
    SCOPED_TRACE(script->sectionName);
    const WideString out = PathIn("piped " + script->sectionName + WideToSys(consumer->outExt));
    ASSERT_EQ(RunPiped(*flacDecoder, Record(converter, 0, flacSource, u""), *consumer,
                       Record(*script, script->trackbar.current, u"", out)),
              0u);
    ExpectDecodable(out);
  }
}

TEST_F(ShippedScripts, ReplayGainInPlaceAndPerFolder) {
  REQUIRE_ALL_TOOLS();
  const WideString wav = MakeWav("gain é.wav");
  std::vector<WideString> flacs, wvs;
  for (const char *name : {"one é", "two é"}) {
    flacs.push_back(PathIn(std::string(name) + ".flac"));
    wvs.push_back(PathIn(std::string(name) + ".wv"));
    ASSERT_EQ(
        RunStep(*DirectStep(Script("flac"), wav), Record(Script("flac"), 5, wav, flacs.back())),
        0u);
    ASSERT_EQ(
        RunStep(*DirectStep(Script("wavpack"), wav), Record(Script("wavpack"), 2, wav, wvs.back())),
        0u);
  }
  auto tagsOf = [](const WideString &file) {
    const std::string path = WideToSys(file);
    return path.ends_with(".wv") ? test::RunCommand({"wvunpack", "-ss", path}).out
                                 : test::RunCommand({"metaflac", "--export-tags-to=-", path}).out;
  };

  // In place: no output extension, the input itself changes.
  const TScript &track = Script("wavpack_replaygain");
  ASSERT_TRUE(track.steps.at(0).outExt.empty());
  ASSERT_EQ(RunStep(track.steps.at(0), Record(track, 0, wvs[0], wvs[0])), 0u);
  EXPECT_NE(tagsOf(wvs[0]).find("replaygain_track_gain"), std::string::npos);
  ExpectDecodable(wvs[0]);

  // One run per folder, with every file of it in %I.
  struct Case {
    const char *section;
    const std::vector<WideString> &files;
    const char *albumTag;
  } cases[] = {{"flac_replaygain_album", flacs, "REPLAYGAIN_ALBUM_GAIN"},
               {"wavpack_replaygain_album", wvs, "replaygain_album_gain"}};
  for (const Case &c : cases) {
    const TScript &script = Script(c.section);
    EXPECT_EQ(script.OperatesOn, 1);
    tFileFormat record = Record(script, 0, c.files[0], u"");
    record.infiles = u"\"" + c.files[0] + u"\" \"" + c.files[1] + u"\"";
    ASSERT_EQ(RunStep(script.steps.at(0), record), 0u) << c.section;
    for (const WideString &file : c.files) {
      EXPECT_NE(tagsOf(file).find(c.albumTag), std::string::npos) << WideToSys(file);
      ExpectDecodable(file);
    }
  }
}

TEST_F(ShippedScripts, SoxFailuresGetReadableReasons) {
  REQUIRE_ALL_TOOLS();
  const TScript &script = Script("flac_cd");
  const TAction &step = script.steps.at(0);
  ASSERT_NE(step.ErrorCode, nullptr);
  const uint32_t code =
      RunStep(step, Record(script, 0, PathIn("missing.wav"), PathIn("missing.flac")));
  EXPECT_EQ(code, 2u);
  const auto message = ExitCodeMessage(step.ErrorCode, static_cast<int32_t>(code));
  ASSERT_TRUE(message);
  EXPECT_EQ(*message, u"ERROR: SoX: an error occurred while processing the file");
}

} // namespace
} // namespace tunbrix
