#include "scripts/templates.h"

#include <charconv>
#include <optional>
#include <vector>

#include "tags/tagcommon.h"

namespace tunbrix {

namespace {

// ---- 8-bit path parts; "/" is the only separator

size_t ExtensionDot(std::string_view path) {
  const size_t dot = path.rfind('.');
  const size_t slash = path.rfind('/');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
    return std::string_view::npos;
  return dot;
}

std::string ChangeExt(std::string_view path, std::string_view extension) {
  const size_t dot = ExtensionDot(path);
  std::string out(dot == std::string_view::npos ? path : path.substr(0, dot));
  out += extension;
  return out;
}

std::string DirectoryOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

std::string FileNameOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string ExtensionOf(std::string_view path) {
  const size_t dot = ExtensionDot(path);
  return dot == std::string_view::npos ? std::string() : std::string(path.substr(dot));
}

// ---- tag fields

const char *TagItemName(char letter) {
  switch (letter) {
  case 'A': return "artist";
  case 'C': return "comment";
  case 'G': return "genre";
  case 'L': return "album";
  case 'N': return "track";
  case 'T': return "title";
  case 'Y': return "year";
  default: return nullptr;
  }
}

// UTF-8 proper: the surrogate escape would turn U+DC80..U+DCFF back into raw
// bytes, so every unpaired surrogate becomes U+FFFD first.
std::string WideToStrictUtf8(std::u16string_view text) {
  WideString clean(text);
  for (size_t i = 0; i < clean.size(); ++i) {
    const char16_t c = clean[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
    if (high && i + 1 < clean.size() && clean[i + 1] >= 0xDC00 && clean[i + 1] <= 0xDFFF) {
      ++i;
      continue;
    }
    if (high || low) clean[i] = 0xFFFD;
  }
  return WideToUtf8(clean);
}

std::string TagField(const ITagFieldSource &tags, std::string_view name) {
  const char *item = TagItemName(name[0]);
  if (item == nullptr) return {};
  const WideString value = tags.GetItem(item);
  if (name[0] == 'N') {
    const int track = ParseTrack(value).first;
    return track == 0 ? std::string() : std::to_string(track);
  }
  if (name.size() > 1 && name[1] == '8') return WideToStrictUtf8(value);
  // The system code page is UTF-8 on this platform as well; this form keeps
  // escaped raw bytes as they were read.
  return WideToSys(value);
}

// ---- the expander

class Expander {
public:
  Expander(std::string_view templ, const tFileFormat &record) : t_(templ), r_(record) {}

  std::string Run() {
    while (pos_ < t_.size()) {
      const char c = t_[pos_++];
      if (c == '%')
        Percent();
      else if (c != '$') // "$" only separates a variable from the text after it
        out_ += c;
    }
    return std::move(out_);
  }

private:
  void Put(const WideString &field) { out_ += WideToSys(field); }

  // pos_ stands behind the "%".
  void Percent() {
    if (pos_ >= t_.size()) return;
    const char c = t_[pos_++];
    switch (c) {
    case '%': out_ += '%'; break;
    case 'i': Put(r_.infile); break;
    case 'o': Put(r_.outfile); break;
    case 't': Put(r_.tmpfile); break;
    case 'I': Put(r_.infiles); break;
    case 'O': Put(r_.outfiles); break;
    case 'x': Put(r_.trackbar); break;
    case 'X': Put(r_.trackbarDesc); break;
    case 'k': Put(r_.customLine); break;
    case 'y':
      // The byte after %y is consumed whether it is a digit or not.
      if (pos_ < t_.size()) {
        const char d = t_[pos_++];
        if (d >= '0' && d <= '9') Put(r_.trackbarValues[d - '0']);
      }
      break;
    case '[': Bracket(); break;
    case '<': Conditional(); break;
    case '|': pos_ = SkipPast(pos_, false); break;
    default: break; // %> and unknown variables expand to nothing
    }
  }

  // The text up to the next "]" from pos_, which moves behind it; a missing
  // "]" takes the rest of the template and gives nothing.
  std::optional<std::string_view> TakeBracketed() {
    const size_t close = t_.find(']', pos_);
    if (close == std::string_view::npos) {
      pos_ = t_.size();
      return std::nullopt;
    }
    const std::string_view inner = t_.substr(pos_, close - pos_);
    pos_ = close + 1;
    return inner;
  }

  void Bracket() {
    const std::optional<std::string_view> inner = TakeBracketed();
    if (!inner) return;
    std::vector<std::string_view> parts;
    for (size_t start = 0;;) {
      const size_t comma = inner->find(',', start);
      parts.push_back(
          inner->substr(start, comma == std::string_view::npos ? comma : comma - start));
      if (comma == std::string_view::npos || parts.size() == 3) break;
      start = comma + 1;
    }
    const std::string_view name = parts[0];
    if (name.empty()) return;
    const auto arg = [&](size_t i) {
      return i < parts.size() ? get_format(parts[i], r_) : std::string();
    };
    if (name == "cext") {
      out_ += ChangeExt(arg(1), arg(2));
    } else if (name == "path") {
      out_ += DirectoryOf(arg(1));
    } else if (name == "drv") {
      // Local paths have no drive, and every path is local here.
    } else if (name == "fn") {
      out_ += FileNameOf(arg(1));
    } else if (name == "ext") {
      out_ += ExtensionOf(arg(1));
    } else if (r_.analysis != nullptr) {
      out_ += TagField(*r_.analysis, name);
    }
  }

  void Conditional() {
    if (pos_ >= t_.size()) return;
    char letter = 0;
    if (t_[pos_] == '[') {
      ++pos_;
      const std::optional<std::string_view> name = TakeBracketed();
      if (!name) return;
      if (!name->empty() && (*name)[0] != ',') letter = (*name)[0];
    } else {
      letter = t_[pos_++];
    }
    const char *item = TagItemName(letter);
    if (r_.analysis != nullptr && item != nullptr && r_.analysis->GetItem(item).empty())
      pos_ = SkipPast(pos_, true);
  }

  // The position behind the next %> (or %| when elseToo), or the end. The
  // text is read in the expander's own units, so "%%|" is no marker and a
  // %[...] is passed over whole.
  size_t SkipPast(size_t i, bool elseToo) const {
    while (i < t_.size()) {
      if (t_[i] != '%' || i + 1 >= t_.size()) {
        ++i;
        continue;
      }
      const char c = t_[i + 1];
      if (c == '>' || (elseToo && c == '|')) return i + 2;
      if (c == '[') {
        const size_t close = t_.find(']', i + 2);
        if (close == std::string_view::npos) return t_.size();
        i = close + 1;
      } else {
        i += 2;
      }
    }
    return t_.size();
  }

  std::string_view t_;
  const tFileFormat &r_;
  size_t pos_ = 0;
  std::string out_;
};

// ---- slider

const std::string *EntryAt(const std::vector<std::string> &list, int32_t position) {
  if (position < 0 || static_cast<size_t>(position) >= list.size()) return nullptr;
  return &list[static_cast<size_t>(position)];
}

// More decimals than this say nothing about a slider value and would only
// make a script with a wild number allocate without end.
constexpr int32_t kMaxDecimals = 100;

std::string ComputedValue(int32_t position, const tScriptTrackbar &bar, char systemSeparator) {
  if (bar.divisor == 0) return {};
  // 64 bits hold every product of two 32-bit values exactly, so a large
  // position or multiplier never wraps.
  const int64_t product = int64_t{position} * bar.multiplier;
  if (bar.decimals <= 0) return std::to_string(product / bar.divisor);
  const int32_t decimals = bar.decimals < kMaxDecimals ? bar.decimals : kMaxDecimals;
  const double value = static_cast<double>(product) / bar.divisor;
  // to_chars always writes "."; the locale never decides the separator.
  std::string text(32 + decimals, '\0');
  const auto result = std::to_chars(text.data(), text.data() + text.size(), value,
                                    std::chars_format::fixed, decimals);
  text.resize(result.ec == std::errc() ? result.ptr - text.data() : 0);
  const char separator = bar.separator != 0 ? bar.separator : systemSeparator;
  if (separator != 0)
    for (char &c : text)
      if (c == '.') c = separator;
  return text;
}

bool PicksFromList(const tScriptTrackbar &bar) { return bar.values.size() >= 2; }

} // namespace

std::string get_format(std::string_view templ, const tFileFormat &record) {
  return Expander(templ, record).Run();
}

std::string SliderValueText(int32_t position, const tScriptTrackbar &bar, char systemSeparator,
                            SliderUse use) {
  if (PicksFromList(bar)) {
    const std::string *entry = EntryAt(bar.values, position);
    return entry != nullptr ? *entry : std::string();
  }
  if (use == SliderUse::CommandLine && bar.divisor == 1) return std::to_string(position);
  return ComputedValue(position, bar, systemSeparator);
}

void SetSliderFields(tFileFormat &record, int32_t position, const tScriptTrackbar &bar,
                     char systemSeparator, SliderUse use) {
  record.trackbar = SysToWide(SliderValueText(position, bar, systemSeparator, use));
  const std::string *desc = EntryAt(bar.descriptions, position);
  record.trackbarDesc = desc != nullptr ? SysToWide(*desc) : WideString();
  for (size_t d = 0; d < record.trackbarValues.size(); ++d) {
    const auto &list = bar.valueLists[d];
    const std::string *entry = list ? EntryAt(*list, position) : nullptr;
    record.trackbarValues[d] = entry != nullptr ? SysToWide(*entry) : WideString();
  }
}

std::string SliderLabel(int32_t position, const tScriptTrackbar &bar, char systemSeparator) {
  tFileFormat record;
  SetSliderFields(record, position, bar, systemSeparator, SliderUse::Label);
  return get_format(bar.TrackbarText, record);
}

} // namespace tunbrix
