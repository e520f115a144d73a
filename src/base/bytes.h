// Byte buffers as every layer passes them: owned, and viewed without a copy.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace qarn {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

}  // namespace qarn
