#include "station/station_frame_reader.h"

#include "station/station_frames.h"

namespace qarn {

void StationFrameReader::Feed(ByteView bytes, const Sink& sink) {
  rx_.insert(rx_.end(), bytes.begin(), bytes.end());
  size_t at = 0;
  while (at < rx_.size()) {
    const ByteView rest(rx_.data() + at, rx_.size() - at);
    const size_t length = static_cast<size_t>(rest[0]) + 1;
    if (length < 3) {
      sink(Item::kStrayByte, rest.first(1));
      ++at;
      continue;
    }
    if (rest.size() < length) break;
    const ByteView frame = rest.first(length);
    if (!IsWellFormedFrame(frame)) {
      sink(Item::kBadChecksum, rest.first(1));
      ++at;
      continue;
    }
    sink(Item::kFrame, frame);
    at += length;
  }
  rx_.erase(rx_.begin(), rx_.begin() + static_cast<long>(at));
}

}  // namespace qarn
