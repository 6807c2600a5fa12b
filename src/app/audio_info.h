// The stream part of "info": every result of the analysis under its name,
// and the LAME tag's fields when the file has one.
#pragma once

#include <string>

#include "analysis/audiofmtlib.h"

namespace tunbrix {

class TJsonWriter;

// The members of the file's object: the results, then "LameTag" (an object
// or null). The caller opens the object and adds "Tag" after them.
void WriteAudioJson(TJsonWriter &json, const CAudioFmt &fmt);
// "Name: value" lines of the same, without FileName.
std::string AudioInfoText(const CAudioFmt &fmt);

} // namespace tunbrix
