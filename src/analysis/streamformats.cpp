// The readers that lean on the tag layer (FLAC, Ogg Vorbis), the Shorten
// signature and the Vorbis quality estimate.
#include "analysis/streamformats.h"

#include <algorithm>
#include <exception>
#include <limits>

#include "analysis/streamread.h"
#include "tags/oggpacketlib.h"
#include "tags/tagflacvorbis.h"

namespace tunbrix {

using namespace streamread;

namespace {

// Length from seconds, both roundings to even, and the bitrate of the audio
// bytes over them.
void SetLengthAndBitrate(double seconds, int64_t audioBytes, TAudioFmtResult &r) {
  if (!RoundToU32(seconds, r.LengthSec) || !RoundToU32(seconds * 1000, r.LengthMs)) return;
  if (seconds > 0) r.BitrateExact = double(std::max<int64_t>(audioBytes, 0)) / 125 / seconds;
  RoundToU32(r.BitrateExact, r.BitrateKbps);
}

} // namespace

void AnalyseFlac(IFileSystem &fs, const WideString &path, const TTagFacts &tags,
                 CVorbisComments &comments, TAudioFmtResult &result) {
  try {
    comments.Clear();
    auto file = OpenStream(fs, path, result);
    if (!file) return;
    CFlacVorbisTag flac;
    // Without the whole metadata the audio's size is unknown, and without a
    // sound STREAMINFO there is nothing to tell.
    if (flac.ReadInfoAndComments(*file, comments) != 0 || !flac.Valid) return;
    const TFlacStreamInfo &info = flac.StreamInfo;
    result.Recognised = true;
    result.StreamType = kStreamFlac;
    result.SampleRate = info.SampleRate;
    result.Channels = info.Channels;
    result.BitsPerSample = info.BitsPerSample;
    const double seconds = double(info.TotalSamples) / info.SampleRate;
    SetLengthAndBitrate(seconds, AudioBytes(result, tags) - flac.MetadataSize, result);
  } catch (const std::exception &) {
    // What was found before the fault stays.
  }
}

void AnalyseOggVorbis(IFileSystem &fs, const WideString &path, const TTagFacts &tags,
                      CVorbisComments &comments, TAudioFmtResult &result) {
  try {
    COggVorbis ogg;
    ogg.UseComments(&comments);
    ogg.Read(fs, path);
    if (ogg.FileSize >= 0) result.FileSize = ogg.FileSize;
    if (!ogg.Valid) return;
    result.Recognised = true;
    result.StreamType = kStreamOggVorbis;
    result.IsVBR = true;
    result.Channels = uint32_t(ogg.Channels);
    result.SampleRate = ogg.SampleRate;
    result.ModeValue = uint32_t(std::max<int32_t>(ogg.BitrateNominal, 0));
    const double seconds = ogg.LastGranule > 0 ? double(ogg.LastGranule) / ogg.SampleRate : 0;
    SetLengthAndBitrate(seconds, AudioBytes(result, tags) - comments.TotalSize, result);
  } catch (const std::exception &) {
  }
}

void AnalyseShorten(IFileSystem &fs, const WideString &path, const TTagFacts &tags,
                    TAudioFmtResult &result) {
  try {
    auto file = OpenStream(fs, path, result);
    uint8_t h[64];
    if (!file || !ReadAt(*file, tags.StartPosition(), h, sizeof h) || !SameBytes(h, "ajkg", 4))
      return;
    result.Version = h[4];
    if (result.Version < 4) {
      result.Recognised = true;
      result.StreamType = kStreamShorten;
    }
  } catch (const std::exception &) {
  }
}

int EstimateVorbisQuality(int64_t nominalBitrate, uint32_t sampleRate, uint32_t channels) {
  double e = double(nominalBitrate);
  // The encoder spends fewer bits on lower rates and on fewer channels.
  if (sampleRate != 0 && sampleRate < 44100) {
    if (sampleRate >= 22051)
      e *= 1.0666816663;
    else if (sampleRate < 11026)
      e *= 2.5197834646;
    else
      e *= 1.6552227998;
  }
  switch (channels) {
  case 1: e *= 1.4884302326; break;
  case 4: e /= 2.6874262724; break;
  case 6: e /= 4.0311394086; break;
  case 8: e /= 5.3748525448; break;
  default: break;
  }
  double quality;
  if (e >= 320000)
    quality = RoundEven((e - 320000) / 1800) + 900;
  else if (e >= 256000)
    quality = RoundEven(e / 640) + 400;
  else if (e >= 128000)
    quality = RoundEven(e / 320);
  else if (e >= 64000)
    quality = RoundEven(e / 160) - 400;
  else if (e >= 45000)
    quality = RoundEven((e - 45000) / 190) - 100;
  else
    return kVorbisQualityTooLow;
  return int(std::min(quality, double(std::numeric_limits<int>::max())));
}

} // namespace tunbrix
