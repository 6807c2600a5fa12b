// The stream readers of every format but MPEG audio. Each fills a result
// record from the file's headers and never raises: a read error, a short read
// or an arithmetic overflow ends the analysis with what was set so far, and a
// file whose signature does not match keeps Recognised false with only
// FileSize (and for RIFF files what the chunks before the fault gave).
#pragma once

#include <cstdint>

#include "analysis/audioresult.h"
#include "foundation/file_io.h"
#include "tags/vorbiscomments.h"

namespace tunbrix {

// ".mpc", ".mp+", ".mpp": stream versions 4 to 7 ("MP+" header or the old
// packed header) and version 8 ("MPCK" with its packets).
void AnalyseMusePack(IFileSystem &fs, const WideString &path, const TTagFacts &tags,
                     TAudioFmtResult &result);

// ".flac", ".fla": the metadata through CFlacVorbisTag; the comment block goes
// into comments (cleared first), whose TotalSize tells whether the file has one.
void AnalyseFlac(IFileSystem &fs, const WideString &path, const TTagFacts &tags,
                 CVorbisComments &comments, TAudioFmtResult &result);

// ".ogg": the Vorbis headers through COggVorbis, the comments into comments.
void AnalyseOggVorbis(IFileSystem &fs, const WideString &path, const TTagFacts &tags,
                      CVorbisComments &comments, TAudioFmtResult &result);

// ".wav", ".wv": RIFF WAVE; in a ".wv" file (any case) the data chunk holds an
// old WavPack stream, and a ".wv" file that starts with a "wvpk" block is
// WavPack 4 or later (AnalyseWavPack).
void AnalyseRiffWave(IFileSystem &fs, const WideString &path, const TTagFacts &tags,
                     TAudioFmtResult &result);

// WavPack 4 and later: the first block header gives version, channels,
// sample rate and total samples.
void AnalyseWavPack(IFileSystem &fs, const WideString &path, const TTagFacts &tags,
                    TAudioFmtResult &result);

// ".ape": the old header (before version 3.98) and the descriptor form.
void AnalyseMonkey(IFileSystem &fs, const WideString &path, const TTagFacts &tags,
                   TAudioFmtResult &result);

// ".shn": only the signature and the format version.
void AnalyseShorten(IFileSystem &fs, const WideString &path, const TTagFacts &tags,
                    TAudioFmtResult &result);

// ".cda": the small RIFF file that stands for a track of an audio CD; its
// sector count gives the length, the rest is the fixed CD format.
void AnalyseCdTrack(IFileSystem &fs, const WideString &path, TAudioFmtResult &result);

// The Ogg Vorbis encoder quality × 100 that gives this nominal bitrate
// (bits/s) at this sample rate and channel count; kVorbisQualityTooLow when
// the bitrate lies below every quality.
constexpr int kVorbisQualityTooLow = -999999;
int EstimateVorbisQuality(int64_t nominalBitrate, uint32_t sampleRate, uint32_t channels);

} // namespace tunbrix
