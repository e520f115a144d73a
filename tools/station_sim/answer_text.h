// The station simulator's words for the driver's answers.
#pragma once

#include <algorithm>
#include <array>
#include <string>

#include "base/bytes.h"

namespace qarn {

template <size_t N>
bool IsFrame(ByteView frame, const std::array<uint8_t, N>& fixed) {
  return frame.size() == N && std::equal(fixed.begin(), fixed.end(), frame.begin());
}

// "acknowledgement", "clock 15.09.10 14:05, retranslators 1,2", ...
std::string DescribeAnswer(ByteView frame);

}  // namespace qarn
