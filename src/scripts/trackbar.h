// The slider of a script: its range, how a position becomes the value that
// command lines and the label see, and the lists it may pick from instead.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tunbrix {

struct tScriptTrackbar {
  int32_t minimum = 0;
  int32_t maximum = 0;
  int32_t divisor = 1;
  int32_t multiplier = 1;
  int32_t decimals = 0;
  char separator = 0; // decimal separator of the value; 0 means the system's
  int32_t current = 0;
  std::vector<std::string> values;       // TrackbarValues split at commas
  std::vector<std::string> descriptions; // TrackbarDesc split at commas
  // TrackbarValues0 ... TrackbarValues9, absent when not given
  std::array<std::optional<std::vector<std::string>>, 10> valueLists;
  int64_t Time = 0; // measured speed: bytes of input per second
  std::string TrackbarText;
};

} // namespace tunbrix
