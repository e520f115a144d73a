// Cuts a stream of station frames by their length byte, for a peer that reads frames that
// may come back to back (the driver's clock frame and query, say) rather than apart by
// silence. Bytes that cannot start a frame are skipped one at a time and reported.
#pragma once

#include <functional>

#include "base/bytes.h"

namespace qarn {

class StationFrameReader {
 public:
  enum class Item {
    kFrame,        // a well-formed frame
    kStrayByte,    // a length byte too small for any frame, skipped
    kBadChecksum,  // a frame whose checksum is wrong: its first byte is skipped
  };
  using Sink = std::function<void(Item, ByteView)>;

  // Adds bytes and reports every complete frame or skipped byte, in order.
  void Feed(ByteView bytes, const Sink& sink);

  // Bytes of a frame not yet complete; never more than the longest frame.
  size_t pending() const { return rx_.size(); }

 private:
  Bytes rx_;
};

}  // namespace qarn
