// Running one stream reader over bytes held in memory.
#pragma once

#include <string>

#include "analysis/streamformats.h"
#include "support/test_support.h"

namespace tunbrix::test {

using TStreamReader = void (*)(IFileSystem &, const WideString &, const TTagFacts &,
                               TAudioFmtResult &);

// What `read` makes of `bytes` as the file "/name" (readers go by the name's
// extension too).
inline TAudioFmtResult AnalyseBytes(TStreamReader read, const std::string &name, const Bytes &bytes,
                                    const TTagFacts &tags = {}) {
  MemoryFileSystem mem;
  const WideString path = u"/" + W(name);
  mem.SetFile(path, bytes);
  TAudioFmtResult r;
  read(mem, path, tags, r);
  return r;
}

} // namespace tunbrix::test
