// Command-line templates: the variable record of one run and the expander
// that turns a script's command line (or the slider's label text) into the
// 8-bit text handed to the system.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/codepages.h"
#include "scripts/trackbar.h"

namespace tunbrix {

// Where tag fields of a template come from: the aggregate tag of the input's
// stream analysis, by item name ("artist", "comment", "genre", "album",
// "track", "title", "year"). An absent item reads as empty text.
class ITagFieldSource {
public:
  virtual ~ITagFieldSource() = default;
  virtual WideString GetItem(std::string_view name) const = 0;
};

// The variables of one run. The batch driver fills the file fields per file
// and the slider and free-text fields once per batch.
struct tFileFormat {
  WideString infile;                         // %i
  WideString outfile;                        // %o
  WideString tmpfile;                        // %t
  WideString infiles;                        // %I: quoted paths separated by single blanks
  WideString outfiles;                       // %O: likewise
  WideString shortinfile;                    // takes the place of %i when temporary names are used
  WideString tmpoutfile;                     // takes the place of %o when temporary names are used
  WideString trackbar;                       // %x
  WideString trackbarDesc;                   // %X
  WideString customLine;                     // %k
  std::array<WideString, 10> trackbarValues; // %y0 ... %y9
  int32_t exitCode = 0;                      // last non-zero exit code
  bool failed = false;                       // the run failed or was refused
  std::string failMessage;                   // 8-bit
  // Borrowed; null in multi-file runs and for the slider label, where no tag
  // fields exist.
  const ITagFieldSource *analysis = nullptr;
};

// Expands a template with a record. File names are converted to the system
// code page; the result grows as needed, so a long %O list of a folder run
// expands in full.
std::string get_format(std::string_view templ, const tFileFormat &record);

// The command-line rule takes the position itself as %x when the divisor is
// 1; the label always shows the computed value.
enum class SliderUse { CommandLine, Label };

// %x for a slider position, 8-bit. systemSeparator is the decimal separator
// the system had at start-up, used when the script names none.
std::string SliderValueText(int32_t position, const tScriptTrackbar &bar, char systemSeparator,
                            SliderUse use);
// Puts %x, %X and %y0 ... %y9 for the slider position into the record.
void SetSliderFields(tFileFormat &record, int32_t position, const tScriptTrackbar &bar,
                     char systemSeparator, SliderUse use);
// The caption beside the slider: TrackbarText expanded with the slider
// fields alone (no files, no tag, no free text).
std::string SliderLabel(int32_t position, const tScriptTrackbar &bar, char systemSeparator);

} // namespace tunbrix
