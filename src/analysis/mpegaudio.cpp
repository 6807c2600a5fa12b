#include "analysis/mpegaudio.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "foundation/assertions.h"

namespace tunbrix {

namespace {

// Bitrates in kbit/s by bitrate index; index 15 is invalid.
constexpr std::array<uint32_t, 15> kMpeg1Layer1 = {0,   32,  64,  96,  128, 160, 192, 224,
                                                   256, 288, 320, 352, 384, 416, 448};
constexpr std::array<uint32_t, 15> kMpeg1Layer2 = {0,   32,  48,  56,  64,  80,  96, 112,
                                                   128, 160, 192, 224, 256, 320, 384};
constexpr std::array<uint32_t, 15> kMpeg1Layer3 = {0,   32,  40,  48,  56,  64,  80, 96,
                                                   112, 128, 160, 192, 224, 256, 320};
constexpr std::array<uint32_t, 15> kMpeg2Layer1 = {0,   32,  48,  56,  64,  80,  96, 112,
                                                   128, 144, 160, 176, 192, 224, 256};
constexpr std::array<uint32_t, 15> kMpeg2Layer23 = {0,  8,  16, 24,  32,  40,  48, 56,
                                                    64, 80, 96, 112, 128, 144, 160};

// Sample rates by version code, then sample-rate index.
constexpr std::array<std::array<uint32_t, 3>, 4> kSampleRates = {{
    {11025, 12000, 8000},  // MPEG 2.5
    {0, 0, 0},             // reserved
    {22050, 24000, 16000}, // MPEG 2
    {44100, 48000, 32000}, // MPEG 1
}};

constexpr std::array<const char *, 4> kVersionNames = {"MPEG 2.5", "", "MPEG 2.0", "MPEG 1.0"};
constexpr std::array<const char *, 4> kLayerNames = {"", "Layer 3", "Layer 2", "Layer 1"};
constexpr std::array<const char *, 4> kChannelModeNames = {"Stereo", "Joint Stereo", "Dual Channel",
                                                           "Mono"};

uint32_t BitrateOf(uint32_t version, uint32_t layer, uint32_t index) {
  if (version == kMpegReserved || layer == kLayerReserved || index > 14) return 0;
  if (version == kMpeg1) {
    if (layer == kLayer1) return kMpeg1Layer1[index];
    return layer == kLayer2 ? kMpeg1Layer2[index] : kMpeg1Layer3[index];
  }
  return layer == kLayer1 ? kMpeg2Layer1[index] : kMpeg2Layer23[index];
}

uint32_t BigEndian32(const uint8_t *b) {
  return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

bool HasText(const uint8_t *b, const char (&text)[5]) { return std::memcmp(b, text, 4) == 0; }

// Reads up to count bytes; the number read, or -1 on a read error.
int64_t ReadFully(IFile &file, uint8_t *buf, size_t count) {
  size_t have = 0;
  while (have < count) {
    const int64_t got = file.Read(buf + have, count - have);
    if (got < 0) return -1;
    if (got == 0) break;
    have += size_t(got);
  }
  return int64_t(have);
}

template <typename T> bool FitsIn(double value) {
  return value >= 0 && value <= double(std::numeric_limits<T>::max());
}

// The search window: 2048 bytes of the file, moved on in halves. Bytes that
// the file did not fill read as 1, which never starts a valid header; three
// such bytes behind the window let a header be tested at its last position.
class CMpegWindow {
public:
  static constexpr int kSize = 2048;
  static constexpr int kHalf = 1024;

  explicit CMpegWindow(IFile &file) : file_(file) {}

  // False on a read error.
  bool Load(int64_t position) {
    buf_.fill(1);
    if (!file_.Seek(position)) return false;
    const int64_t got = ReadFully(file_, buf_.data(), kSize);
    if (got < 0) return false;
    base_ = position;
    size_ = int(got);
    return true;
  }

  // Moves the window on by half its size. False on a read error.
  bool Slide() {
    std::memmove(buf_.data(), buf_.data() + kHalf, kHalf);
    std::fill(buf_.begin() + kHalf, buf_.end(), uint8_t(1));
    const int64_t got = ReadFully(file_, buf_.data() + kHalf, kHalf);
    if (got < 0) return false;
    base_ += kHalf;
    size_ = size_ - kHalf + int(got);
    return true;
  }

  int Size() const { return size_; } // bytes of the file in the window
  int64_t Base() const { return base_; }
  const uint8_t *At(int p) const { return buf_.data() + p; }

private:
  IFile &file_;
  std::array<uint8_t, kSize + 3> buf_{};
  int64_t base_ = 0;
  int size_ = 0;
};

struct TFrameSearch {
  std::array<TMpegHeader, 2> H;
  int n = 0;               // confirmed headers
  int64_t FirstFrame = -1; // file offset of the first header that passed the test
};

void CheckPosition(int p, const CMpegWindow &w, int tries, const WideString &path) {
  TB_CHECK(p >= 0 && p < CMpegWindow::kSize,
           "BytePos: " + std::to_string(p) + " bufsize:" + std::to_string(w.Size()) +
               " tries:" + std::to_string(tries) + "\r file:" + WideToUtf8(path));
}

// Scans from p for a byte 0xFF that begins a valid header, into h; p ends
// one past that byte. At least one position is tested. h starts empty, so a
// header of an earlier scan that was not confirmed never stands in for one
// this scan did not find.
void ScanForHeader(const CMpegWindow &w, int &p, TMpegHeader &h, int tries,
                   const WideString &path) {
  h = TMpegHeader();
  do {
    CheckPosition(p, w, tries, path);
    if (*w.At(p) == 0xFF) {
      h = DecodeMpegHeader(w.At(p));
      if (h.Valid) {
        ++p;
        return;
      }
    }
    ++p;
  } while (p < w.Size() / 2);
}

// A header counts as confirmed when another valid header follows it at its
// computed length, or when that length leads out of the window. Free-format
// headers have no computed length and are never confirmed.
void TryToConfirm(const CMpegWindow &w, int &p, TFrameSearch &s) {
  const TMpegHeader &h = s.H[s.n];
  const uint32_t length = MpegFrameLength(h);
  if (h.SampleRate == 0 || h.Bitrate == 0 || length < 1) return;
  const int header = p - 1;
  p = header + int(length);
  if (p + 4 < w.Size()) {
    if (DecodeMpegHeader(w.At(p)).Valid) {
      ++s.n;
    } else {
      p = header + 2;
    }
  } else {
    ++s.n;
  }
}

// Looks for three frames in a row among the first 65 windows of 1024 bytes.
// False on a read error.
bool SearchFrames(CMpegWindow &w, TFrameSearch &s, const WideString &path) {
  int p = 0;
  int tries = 64;
  for (;;) {
    ScanForHeader(w, p, s.H[s.n], tries, path);
    if (p >= CMpegWindow::kHalf) {
      if (!w.Slide()) return false;
      p -= CMpegWindow::kHalf;
      --tries;
      // The last, partial window of the file is still searched, but never
      // more than the 65 windows.
      if (w.Size() < CMpegWindow::kHalf && tries > 0) tries = 0;
    } else if (p >= w.Size()) {
      tries = -1;
    }
    if (!s.H[s.n].Valid && tries >= 0 && p < w.Size()) continue;
    if (s.FirstFrame == -1) s.FirstFrame = w.Base() + p - 1;
    if (s.H[s.n].Valid) TryToConfirm(w, p, s);
    if (s.n >= 2 || tries < 0 || p >= w.Size()) return true;
  }
}

void SetStreamValues(const TMpegHeader &h, TAudioFmtResult &out) {
  out.Layer = h.Layer;
  out.LayerName = MpegLayerName(h.Layer);
  out.Version = h.Version;
  out.VersionName = MpegVersionName(h.Version);
  out.SampleRate = h.SampleRate;
  out.ChannelMode = h.ChannelMode;
  out.ChannelModeName = MpegChannelModeName(h.ChannelMode);
  out.Channels = h.ChannelMode == kChannelModeMono ? 1 : 2;
}

// Steps p over the Layer III side information that precedes a VBR header.
void SkipSideInfo(const CMpegWindow &w, const TMpegHeader &h, int &p) {
  if (p >= w.Size() - 42) return;
  const bool mono = h.ChannelMode == kChannelModeMono;
  if (h.Version == kMpeg1)
    p += mono ? 17 : 32;
  else
    p += mono ? 9 : 17;
}

// Versions are compared as numbers: 3.100 is later than 3.90.
bool IsLame390OrLater(const uint8_t *version) {
  const auto v = ParseLameVersion(std::string_view(reinterpret_cast<const char *>(version), 5));
  return v && *v >= TLameVersion{3, 90};
}

// Decodes the LAME tag behind a Xing or Info header at p. Returns whether an
// "Info" header may be taken for a VBR header: not when LAME says the stream
// is constant bitrate.
bool ReadLameTag(const CMpegWindow &w, int p, std::unique_ptr<CLameTag> &lameTag) {
  if (p >= w.Size() - 156) return true;
  const uint8_t *b = w.At(p);
  if (!HasText(b, "Xing") && !HasText(b, "Info")) return true;
  if (!HasText(b + 120, "LAME") || !IsLame390OrLater(b + 124)) return true;
  lameTag = std::make_unique<CLameTag>();
  lameTag->Decode({b + 119, CLameTag::kDecodedBytes});
  return lameTag->VbrMethod != 1;
}

// The Xing or Info header at p, else a VBRI header, which always lies 32
// bytes behind the frame header whatever the size of the side information.
// False when a value overflows.
bool ReadVbrHeader(const CMpegWindow &w, int p, int vbriPos, const TMpegHeader &h, bool acceptInfo,
                   int64_t audioBytes, TAudioFmtResult &out) {
  if (p < w.Size() - 12 && (HasText(w.At(p), "Xing") || (HasText(w.At(p), "Info") && acceptInfo))) {
    out.IsVBR = true;
    out.FrameCount = BigEndian32(w.At(p + 8));
  } else if (vbriPos < w.Size() - 18 && HasText(w.At(vbriPos), "VBRI")) {
    out.IsVBR = true;
    out.FrameCount = BigEndian32(w.At(vbriPos + 14));
  }
  const uint32_t c = MpegCoefficient(h);
  if (!out.IsVBR || out.FrameCount == 0 || c < 1) return true;
  const int64_t meanFrame = audioBytes / out.FrameCount;
  out.BitrateExact = double(out.SampleRate) * double(meanFrame) / c;
  if (!FitsIn<uint32_t>(out.BitrateExact)) return false;
  out.BitrateKbps = uint32_t(out.BitrateExact);
  return true;
}

// Bitrate and frame count from the confirmed headers. False when a value
// overflows.
bool ConstantBitrate(const TFrameSearch &s, int64_t audioBytes, TAudioFmtResult &out) {
  double sum = 0;
  for (int i = 0; i < s.n; ++i)
    sum += s.H[i].Bitrate;
  out.BitrateExact = sum / s.n;
  out.BitrateKbps = uint32_t(out.BitrateExact);
  if (out.SampleRate == 0) return true;
  const uint64_t length =
      uint64_t(out.BitrateKbps) * MpegCoefficient(s.H[0]) / out.SampleRate + MpegPadding(s.H[0]);
  if (length < 1) return true;
  const uint64_t frames = uint64_t(audioBytes) / length;
  if (frames > std::numeric_limits<uint32_t>::max()) return false;
  out.FrameCount = uint32_t(frames);
  return true;
}

// False when a length does not fit.
bool SetLength(int64_t audioBytes, TAudioFmtResult &out) {
  if (out.BitrateExact <= 0) return true;
  const double sec = double(audioBytes) * 8 / 1000 / out.BitrateExact;
  if (!FitsIn<uint32_t>(sec)) return false;
  out.LengthSec = uint32_t(sec);
  const double ms = double(audioBytes) * 8 / out.BitrateExact;
  if (!FitsIn<uint32_t>(ms)) return false;
  out.LengthMs = uint32_t(ms);
  return true;
}

// Returns whether the encoder search should run.
bool AnalyseStream(IFile &file, const WideString &path, const TTagFacts &tags, TAudioFmtResult &out,
                   std::unique_ptr<CLameTag> &lameTag) {
  const int64_t fileSize = file.Size();
  if (fileSize < 0) return false;
  out.FileSize = fileSize;
  CMpegWindow w(file);
  if (!w.Load(tags.StartPosition()) || w.Size() < 4) return false;
  TFrameSearch s;
  if (!SearchFrames(w, s, path)) return false;
  // A free-format header cannot be confirmed, so it never makes a stream.
  if (!s.H[0].Valid || s.H[0].Bitrate == 0) return false;
  out.Recognised = true;
  out.StreamType = kStreamMpeg;

  int64_t p = s.FirstFrame + 4 - w.Base();
  if (p < 0 || p >= w.Size()) {
    if (!w.Load(s.FirstFrame + 4)) return false;
    p = 0;
  }
  int pos = int(p);
  const int vbriPos = pos + 32;
  SetStreamValues(s.H[0], out);
  const int64_t otherTags = tags.totalTagSize - (tags.id3v2AtStart ? tags.id3v2Size : 0);
  const int64_t audioBytes = std::max<int64_t>(0, fileSize - s.FirstFrame - otherTags);
  SkipSideInfo(w, s.H[0], pos);
  const bool acceptInfo = ReadLameTag(w, pos, lameTag);
  if (!ReadVbrHeader(w, pos, vbriPos, s.H[0], acceptInfo, audioBytes, out)) return false;
  if (!out.IsVBR) {
    if (s.n == 0) return false;
    if (!ConstantBitrate(s, audioBytes, out)) return false;
  }
  return SetLength(audioBytes, out);
}

// Reads up to 1024 bytes at position and looks for a LAME version in them.
// False on a read error.
bool EncoderTextAt(IFile &file, int64_t position, std::string &text) {
  std::array<uint8_t, 1024> block{};
  if (!file.Seek(position)) return false;
  const int64_t got = ReadFully(file, block.data(), block.size());
  if (got < 0) return false;
  text = FindLameEncoder(block.data(), size_t(got));
  return true;
}

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

bool IsLameVersionAt(const uint8_t *b) {
  return HasText(b, "LAME") && IsDigit(b[4]) && b[5] == '.' && IsDigit(b[6]) && IsDigit(b[7]);
}

bool EndsVersionText(uint8_t c) { return c == 'U' || c == 0xAA || c < 0x20 || c >= 0x80; }

std::string Trimmed(const std::string &text) {
  auto blank = [](unsigned char c) { return c <= 0x20 || c == 0x7F; };
  size_t begin = 0, end = text.size();
  while (begin < end && blank(text[begin]))
    ++begin;
  while (end > begin && blank(text[end - 1]))
    --end;
  return text.substr(begin, end - begin);
}

// "3.90b" -> "Lame 3.90 (beta)". The version's minor digits are taken
// whole, so "3.100" is not read as 3.10 with a suffix "0".
std::string EncoderText(const std::string &v) {
  size_t k = 2;
  while (k < v.size() && IsDigit(uint8_t(v[k])))
    ++k;
  std::string text = "Lame " + v.substr(0, k);
  if (k < v.size()) {
    switch (v[k]) {
    case 'a': text += " (alpha)"; break;
    case 'b': text += " (beta)"; break;
    case '.': text += v.substr(k, 2); break;
    default: text += v.substr(k); break;
    }
  }
  return Trimmed(text);
}

std::optional<TLameVersion> VersionOfEncoderText(std::string_view text) {
  constexpr std::string_view kPrefix = "Lame ";
  if (text.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  return ParseLameVersion(text.substr(kPrefix.size()));
}

// The encoder search on an open file.
void DetectEncoderIn(IFile &file, const TTagFacts &tags, TAudioFmtResult &out,
                     const DebugLog &log) {
  auto fail = [&] {
    if (log) log("!!!EXCEPTION!!!");
  };
  std::string text;
  if (!EncoderTextAt(file, tags.StartPosition(), text)) return fail();
  if (!text.empty()) out.Encoder = text;
  const int64_t size = file.Size();
  if (size < 0) return fail();
  const int64_t tail = size - 1025 - (tags.hasID3v1 ? 128 : 0) - tags.lyrics3Size -
                       (tags.id3v2AtEnd ? tags.id3v2EndSize : 0);
  if (tail <= 0) return;
  if (!EncoderTextAt(file, tail, text)) return fail();
  if (!text.empty() && CompareEncoderTexts(text, out.Encoder) > 0) out.Encoder = text;
}

} // namespace

TMpegHeader DecodeMpegHeader(const uint8_t *b) {
  TMpegHeader h;
  h.Version = (b[1] >> 3) & 3;
  h.Layer = (b[1] >> 1) & 3;
  h.Protection = b[1] & 1;
  h.BitrateIndex = b[2] >> 4;
  h.SampleRateIndex = (b[2] >> 2) & 3;
  h.Padding = (b[2] >> 1) & 1;
  h.Private = b[2] & 1;
  h.ChannelMode = b[3] >> 6;
  h.ModeExtension = (b[3] >> 4) & 3;
  h.Copyright = (b[3] >> 3) & 1;
  h.Original = (b[3] >> 2) & 1;
  h.Emphasis = b[3] & 3;
  h.Valid = b[0] == 0xFF && (b[1] & 0xE0) == 0xE0 && h.Layer != kLayerReserved &&
            h.BitrateIndex != 15 && h.SampleRateIndex != 3 && h.Emphasis != 2;
  if (h.Valid) {
    h.Bitrate = BitrateOf(h.Version, h.Layer, h.BitrateIndex);
    h.SampleRate = kSampleRates[h.Version][h.SampleRateIndex];
  }
  return h;
}

uint32_t MpegCoefficient(const TMpegHeader &h) {
  if (h.Version == kMpegReserved || h.Layer == kLayerReserved) return 0;
  if (h.Layer == kLayer1) return 48000;
  if (h.Layer == kLayer2) return 144000;
  return h.Version == kMpeg1 ? 144000 : 72000;
}

uint32_t MpegPadding(const TMpegHeader &h) {
  if (!h.Padding) return 0;
  return h.Layer == kLayer1 ? 4 : 1;
}

uint32_t MpegFrameLength(const TMpegHeader &h) {
  if (h.SampleRate == 0) return 0;
  return h.Bitrate * MpegCoefficient(h) / h.SampleRate + MpegPadding(h);
}

std::string MpegVersionName(uint32_t version) { return kVersionNames[version & 3]; }
std::string MpegLayerName(uint32_t layer) { return kLayerNames[layer & 3]; }
std::string MpegChannelModeName(uint32_t mode) { return kChannelModeNames[mode & 3]; }

void AnalyseMpeg(IFileSystem &fs, const WideString &path, const TTagFacts &tags,
                 TAudioFmtResult &out, std::unique_ptr<CLameTag> &lameTag, const DebugLog &log) {
  lameTag.reset();
  auto file = fs.Open(path, FileMode::Read);
  if (!file) return;
  bool detect = false;
  try {
    detect = AnalyseStream(*file, path, tags, out, lameTag);
  } catch (const TConsistencyError &e) {
    out.Recognised = false;
    if (log) log(e.what());
  }
  if (detect) DetectEncoderIn(*file, tags, out, log);
}

void DetectEncoder(IFileSystem &fs, const WideString &path, const TTagFacts &tags,
                   TAudioFmtResult &out, const DebugLog &log) {
  auto file = fs.Open(path, FileMode::Read);
  if (!file) {
    if (log) log("!!!EXCEPTION!!!");
    return;
  }
  DetectEncoderIn(*file, tags, out, log);
}

std::string FindLameEncoder(const uint8_t *block, size_t size) {
  if (size < 8) return {};
  for (size_t i = size - 8 + 1; i-- > 0;) {
    if (!IsLameVersionAt(block + i)) continue;
    std::string v;
    for (size_t j = i + 4; j < size && !EndsVersionText(block[j]); ++j)
      v += char(block[j]);
    return EncoderText(v);
  }
  return {};
}

int CompareEncoderTexts(std::string_view a, std::string_view b) {
  const auto va = VersionOfEncoderText(a), vb = VersionOfEncoderText(b);
  if (va && vb && *va != *vb) return *va > *vb ? 1 : -1;
  const int c = a.compare(b);
  return c > 0 ? 1 : c < 0 ? -1 : 0;
}

} // namespace tunbrix
