#include "app/audio_info.h"

#include <charconv>
#include <functional>

#include "app/json_writer.h"

namespace tunbrix {
namespace {

// One visitor over the fields keeps the JSON and the text form in step.
struct TFieldVisitor {
  std::function<void(const char *, int64_t)> number;
  std::function<void(const char *, double)> real;
  std::function<void(const char *, bool)> flag;
  std::function<void(const char *, const std::string &)> text;
};

void VisitResults(const TAudioFmtResult &r, const TFieldVisitor &v) {
  v.number("StreamType", r.StreamType);
  v.flag("Recognised", r.Recognised);
  v.flag("IsVBR", r.IsVBR);
  v.number("Version", r.Version);
  v.number("Layer", r.Layer);
  v.number("BitrateKbps", r.BitrateKbps);
  v.real("BitrateExact", r.BitrateExact);
  v.number("SampleRate", r.SampleRate);
  v.number("Channels", r.Channels);
  v.number("BitsPerSample", r.BitsPerSample);
  v.number("FrameCount", r.FrameCount);
  v.number("LengthSec", r.LengthSec);
  v.number("LengthMs", r.LengthMs);
  v.number("ChannelMode", r.ChannelMode);
  v.number("ModeValue", r.ModeValue);
  v.number("FormatFlags", r.FormatFlags);
  v.number("MaxBand", r.MaxBand);
  v.number("FileSize", r.FileSize);
  v.number("UncompressedSize", r.UncompressedSize);
  v.text("FormatTagName", r.FormatTagName);
  v.text("ModeName", r.ModeName);
  v.text("ChannelModeName", r.ChannelModeName);
  v.text("VersionName", r.VersionName);
  v.text("LayerName", r.LayerName);
  v.flag("HasGain", r.HasGain);
  v.number("TrackPeakValue", r.TrackPeakValue);
  v.number("AlbumPeakValue", r.AlbumPeakValue);
  v.text("TrackGainText", r.TrackGainText);
  v.text("AlbumGainText", r.AlbumGainText);
  v.text("Encoder", r.Encoder);
}

void VisitLameTag(const CLameTag &t, const TFieldVisitor &v) {
  v.number("VbrQuality", t.VbrQuality);
  v.text("VersionString", t.VersionString);
  v.number("TagRevision", t.TagRevision);
  v.number("VbrMethod", t.VbrMethod);
  v.text("VbrMethodName", t.VbrMethodName);
  v.flag("IsCBR", t.IsCBR);
  v.number("Lowpass", t.Lowpass);
  v.number("AthType", t.AthType);
  v.flag("NsPsyTune", t.NsPsyTune);
  v.flag("NsSafeJoint", t.NsSafeJoint);
  v.flag("NoGapContinued", t.NoGapContinued);
  v.flag("NoGapContinuation", t.NoGapContinuation);
  v.number("MinimumBitrate", t.MinimumBitrate);
  v.number("EncoderDelay", t.EncoderDelay);
  v.number("PaddedSamples", t.PaddedSamples);
  v.number("NoiseShaping", t.NoiseShaping);
  v.number("StereoMode", t.StereoMode);
  v.text("StereoModeName", t.StereoModeName);
  v.flag("UnwiseSettings", t.UnwiseSettings);
  v.number("SourceFrequency", t.SourceFrequency);
  v.text("SourceFrequencyName", t.SourceFrequencyName);
  v.real("Mp3Gain", t.Mp3Gain);
  v.number("Surround", t.Surround);
  v.text("SurroundName", t.SurroundName);
  v.number("Preset", t.Preset);
  v.text("PresetName", t.PresetName);
  v.number("MusicLength", t.MusicLength);
}

TFieldVisitor JsonVisitor(TJsonWriter &json) {
  return {[&](const char *name, int64_t value) { json.Key(name).Int(value); },
          [&](const char *name, double value) { json.Key(name).Double(value); },
          [&](const char *name, bool value) { json.Key(name).Bool(value); },
          [&](const char *name, const std::string &value) { json.Key(name).String(value); }};
}

std::string RealText(double value) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

TFieldVisitor TextVisitor(std::string &out, const std::string &indent) {
  auto line = [&out, indent](const char *name, const std::string &value) {
    out += indent + name + ": " + value + "\n";
  };
  return {[line](const char *name, int64_t value) { line(name, std::to_string(value)); },
          [line](const char *name, double value) { line(name, RealText(value)); },
          [line](const char *name, bool value) { line(name, value ? "yes" : "no"); },
          [line](const char *name, const std::string &value) { line(name, value); }};
}

} // namespace

void WriteAudioJson(TJsonWriter &json, const CAudioFmt &fmt) {
  VisitResults(fmt, JsonVisitor(json));
  json.Key("LameTag");
  if (!fmt.LameTag) {
    json.Null();
    return;
  }
  json.BeginObject();
  VisitLameTag(*fmt.LameTag, JsonVisitor(json));
  json.EndObject();
}

std::string AudioInfoText(const CAudioFmt &fmt) {
  std::string out;
  VisitResults(fmt, TextVisitor(out, ""));
  if (fmt.LameTag) {
    out += "LameTag:\n";
    VisitLameTag(*fmt.LameTag, TextVisitor(out, "  "));
  }
  return out;
}

} // namespace tunbrix
