#pragma once

namespace tunbrix {

inline constexpr const char *kProductName = "Tunbrix";
inline constexpr const char *kProductVersion = "Tunbrix v.0.92 beta2";

} // namespace tunbrix
