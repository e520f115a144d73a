#pragma once

namespace qarn {

// The driver's file version, as the K8 greeting reports it.
inline constexpr const char* kVersionText = "8.1.3.171";

}  // namespace qarn
