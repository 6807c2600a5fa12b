// Names of the files the program keeps beside its executable. All of them
// derive from the executable's path, so a renamed copy of the executable has
// its own independent set.
#pragma once

#include "foundation/codepages.h"

namespace tunbrix {

struct TSidecarNames {
  WideString appFileName; // P: the executable's path
  WideString exeDir;      // its folder, with the trailing "/"
  WideString base;        // B: P without its extension
  WideString baseName;    // N: B without its folder

  WideString DataPack() const;            // P with ".dat" as its extension
  WideString ScriptFile() const;          // N + "_script.ini", through the pack
  WideString ErrorCodesFile() const;      // N + "_script_errorcodes.ini", through the pack
  WideString UserOverridesRead() const;   // N + "_script_user.ini", through the pack
  WideString UserOverridesWrite() const;  // B + "_script_user.ini"
  WideString ScriptFileWrite() const;     // B + "_script.ini", from which the override name is made
  WideString ConfigRead() const;          // N + "_cfg.ini", through the pack
  WideString ConfigWrite() const;         // B + "_cfg.ini"
  WideString DefaultLanguageFile() const; // B + "_language.ini"
  WideString FileList() const;            // B + "_filelist"
  WideString FileListPlaylist() const;    // B + "_filelist.m3u"
  WideString RunLog() const;              // exeDir + "Debug - RunPrgList.txt"
};

TSidecarNames MakeSidecarNames(const WideString &appFileName);

} // namespace tunbrix
