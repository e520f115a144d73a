// The base name of spool files: milliseconds since the start of the month (counting from
// day 1 as one whole day), in upper-case hex without leading zeros.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/tdatetime.h"

namespace qarn {

// Empty when `t` is not a valid date and time.
std::optional<uint32_t> TimeStampValue(TDateTime t);

std::string TimeStampText(uint32_t value);

// TimeStampText of TimeStampValue, or empty when the time is not valid.
std::string MakeTimeStampText(TDateTime t);

}  // namespace qarn
