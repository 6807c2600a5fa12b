#include "analysis/audiofmtlib.h"

#include <cmath>

#include "analysis/streamformats.h"
#include "foundation/read_cache.h"
#include "foundation/text_types.h"
#include "tags/tagcommon.h"

namespace tunbrix {

TTagFacts TagFactsOf(const CTAG &tag) {
  TTagFacts facts;
  if (tag.HasID3v2) {
    const bool atStart = tag.ID3v2.TagPosition == 0;
    (atStart ? facts.id3v2AtStart : facts.id3v2AtEnd) = true;
    (atStart ? facts.id3v2Size : facts.id3v2EndSize) = tag.ID3v2.TotalSize;
  }
  facts.hasID3v1 = tag.HasID3v1;
  facts.lyrics3Size = tag.HasLyrics3 ? tag.Lyrics3.TagSize : 0;
  facts.totalTagSize = tag.TotalTagSize;
  return facts;
}

CAudioFmt::CAudioFmt(IFileSystem &fs, const WideString &fileName, const DebugLog &log)
    : Tag(std::make_unique<CTAG>()) {
  FileName = fileName;
  if (!fileName.empty()) Analyse(fs, log);
}

CAudioFmt::CAudioFmt(const WideString &fileName) : Tag(std::make_unique<CTAG>()) {
  FileName = fileName;
  RealFileSystem fs;
  if (!fileName.empty()) Analyse(fs, {});
}

void CAudioFmt::Analyse(IFileSystem &files, const DebugLog &log) {
  // Every reader below opens the file again; they share one open file.
  CReadCacheFileSystem fs(files);
  CTAG &tag = *Tag;
  tag.ReadTags(fs, FileName, AllTagFormats);
  const TTagFacts facts = TagFactsOf(tag);
  TAudioFmtResult &out = *this;
  const WideString ext = LowerCaseW(ExtractFileExtW(FileName));
  if (ext == u".mp3" || ext == u".mp2") {
    AnalyseMpeg(fs, FileName, facts, out, LameTag, log);
    if (Recognised) DetectEncoder(fs, FileName, facts, out, log);
  } else if (ext == u".mpc" || ext == u".mp+" || ext == u".mpp") {
    AnalyseMusePack(fs, FileName, facts, out);
  } else if (ext == u".flac" || ext == u".fla") {
    AnalyseFlac(fs, FileName, facts, tag.Vorbis, out);
    if (tag.Vorbis.TotalSize > 0) tag.HasVorbis = tag.HasTag = true;
  } else if (ext == u".ogg") {
    AnalyseOggVorbis(fs, FileName, facts, tag.Vorbis, out);
    if (tag.Vorbis.TotalSize > 0) tag.HasVorbis = tag.HasTag = true;
  } else if (ext == u".wav" || ext == u".wv") {
    AnalyseRiffWave(fs, FileName, facts, out);
  } else if (ext == u".ape") {
    AnalyseMonkey(fs, FileName, facts, out);
  } else if (ext == u".cda") {
    AnalyseCdTrack(fs, FileName, out);
  } else if (ext == u".shn") {
    AnalyseShorten(fs, FileName, facts, out);
  } else if (auto file = fs.Open(FileName, FileMode::Read)) {
    FileSize = file->Size() < 0 ? 0 : file->Size();
  }
  tag.LoadItems();
  if (tag.HasVorbis) {
    TrackGainText = WideToSys(tag.Vorbis.GetComment("REPLAYGAIN_TRACK_GAIN"));
    AlbumGainText = WideToSys(tag.Vorbis.GetComment("REPLAYGAIN_ALBUM_GAIN"));
    HasGain = HasGain || !TrackGainText.empty() || !AlbumGainText.empty();
  }
  const double bytesPerSample = BitsPerSample != 0 ? BitsPerSample / 8 : 2;
  UncompressedSize = static_cast<int64_t>(
      std::nearbyint(LengthMs / 1000.0 * SampleRate * bytesPerSample * Channels));
}

} // namespace tunbrix
