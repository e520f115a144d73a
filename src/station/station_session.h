// A recorded station session: the frames a station sent, each with the milliseconds since
// the session began. The station simulator writes one with --record and plays one with
// --play; the tests play them through the driver. One frame a line, "<ms> <hex bytes>":
//
//   # comment lines and empty lines are skipped
//   0 02 08 F6
//   1250 07 04 00 05 30 00 2A C6
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"

namespace qarn {

struct SessionFrame {
  int64_t at_ms = 0;
  Bytes bytes;
  bool operator==(const SessionFrame&) const = default;
};

// "1250 07 04 00 05 30 00 2A C6\n"
std::string FormatSessionLine(const SessionFrame& frame);

// The frames of a recording, in order. Empty, with `*error` naming the line and the fault,
// when a line is not "<ms> <hex bytes>", holds no byte, or goes back in time.
std::optional<std::vector<SessionFrame>> ParseSession(std::string_view text, std::string* error);

}  // namespace qarn
