// The analysis of one audio file: its stream and its tags, computed once
// when the object is made. The extension decides the format, not sniffing.
#pragma once

#include <memory>

#include "analysis/audioresult.h"
#include "analysis/lametag.h"
#include "analysis/mpegaudio.h"
#include "foundation/file_io.h"
#include "tags/taglib.h"

namespace tunbrix {

class CAudioFmt : public TAudioFmtResult {
public:
  // Runs the whole analysis; never fails (what cannot be read stays unset).
  CAudioFmt(IFileSystem &fs, const WideString &fileName, const DebugLog &log = {});
  explicit CAudioFmt(const WideString &fileName);

  std::unique_ptr<CTAG> Tag;
  std::unique_ptr<CLameTag> LameTag;

private:
  void Analyse(IFileSystem &fs, const DebugLog &log);
};

// What the stream readers need of a file's tags.
TTagFacts TagFactsOf(const CTAG &tag);

} // namespace tunbrix
