// The K7 link has no acknowledgement of its own, so a unit the socket took is only delivered
// once the peer's TCP has acknowledged it. The window keeps the last units sent, each with its
// end in the connection's byte stream and the spool file that holds it; given the count of
// bytes the peer has not acknowledged, it tells which files are delivered (to be deleted) and,
// when the connection fails, which units the peer never had (to be sent again).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "output/event_record.h"

namespace qarn {

class K7SendWindow {
 public:
  // Units kept at most. Nothing more is sent while this many wait for their acknowledgement,
  // so every unacknowledged byte of a record always belongs to a unit kept here.
  static constexpr size_t kCapacity = 512;

  struct Sent {
    K7Frame unit;
    std::string file;  // the .ddk that holds it; empty for a unit held in memory only
  };

  // A record the socket took whole.
  void Took(const K7Frame& unit, std::string file = {});
  // Bytes that need no second delivery (a greeting, or the part of a unit the socket took
  // short, which the sender keeps itself).
  void TookBytes(size_t count) { sent_ += count; }

  // Forgets the units the peer has acknowledged, `unacknowledged` being the bytes it has not;
  // the files of those units, oldest first.
  std::vector<std::string> Acknowledged(long unacknowledged);
  // The units not wholly acknowledged, oldest first, and a fresh window for the next
  // connection. A negative count (not known) gives back every unit kept. Call Acknowledged
  // first to learn which units were delivered.
  std::vector<Sent> TakeUnacknowledged(long unacknowledged);

  // Bytes the peer has acknowledged, given those it has not.
  uint64_t AcknowledgedBytes(long unacknowledged) const;
  uint64_t sent() const { return sent_; }
  size_t size() const { return units_.size(); }
  bool empty() const { return units_.empty(); }
  bool full() const { return units_.size() >= kCapacity; }

 private:
  struct Entry {
    uint64_t end;  // the stream offset just past the unit
    Sent sent;
  };
  std::deque<Entry> units_;
  uint64_t sent_ = 0;
};

}  // namespace qarn
