// Names that survive a command line. External programs get every file name
// in double quotes; a name that holds a double quote or a control character
// (or ends in a backslash, which would escape the closing quote) cannot be
// written that way, so such a file is handed over through an alias: a
// symbolic link with a plain ASCII name in a private folder of the run.
#pragma once

#include <map>
#include <random>

#include "foundation/codepages.h"

namespace tunbrix {

// True when path cannot stand inside double quotes on a command line.
bool NeedsShortPathAlias(const WideString &path);

// Owns the private alias folder: created on first need, removed with its
// links when the object goes.
class CShortPathAliases {
public:
  // Aliases go into a fresh folder under parentFolder, by default the user's
  // temporary folder.
  explicit CShortPathAliases(WideString parentFolder = {});
  ~CShortPathAliases();
  CShortPathAliases(const CShortPathAliases &) = delete;
  CShortPathAliases &operator=(const CShortPathAliases &) = delete;

  // path itself when it can be quoted; otherwise the alias of the file it
  // names (the same alias each time for the same path). The alias keeps a
  // plain extension, since many programs choose a format by it, and a
  // trailing "/". path itself when no alias can be made.
  WideString ShortPathW(const WideString &path);

  // The private folder with its trailing "/"; empty until the first alias.
  const WideString &AliasFolder() const { return folder_; }

private:
  bool EnsureFolder();
  WideString NewAliasName(const WideString &path);
  // Creates a link named alias in the private folder to target; false when
  // the name is taken or the link cannot be made.
  bool MakeLink(const WideString &target, const WideString &alias);

  WideString parent_;
  WideString folder_;
  std::map<WideString, WideString> aliases_; // path -> alias
  std::mt19937 random_;
};

// True when both paths name the same file: their resolved real paths are
// equal. A path that does not exist resolves through its folder, or stays as
// written when that is missing too.
bool IsSameFileW(const WideString &a, const WideString &b);

} // namespace tunbrix
