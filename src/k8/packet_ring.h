// The K8 link's outgoing queue: a fixed ring of 100 whole packets, numbered as they are
// queued. Any thread may queue; only the link thread peeks and drops.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "base/bytes.h"

namespace qarn {

inline constexpr int kPacketRingSlots = 100;

struct RingEntry {
  Bytes packet;            // a whole K8 packet: header and payload
  std::string spool_file;  // the .dd8 file a replayed packet comes from; empty for live ones
};

class PacketRing {
 public:
  // False, changing nothing, when the ring is full.
  bool Put(ByteView packet, const std::string& spool_file = std::string());
  // A copy of the head entry; false, leaving `out` alone, when the ring is empty.
  bool Peek(RingEntry* out) const;
  // Removes the head entry, if any.
  void Drop();

  // Numbers the packet with the next sequence number and puts it, as one step. The number is
  // used up even when the ring is full. Whether the ring took the packet.
  bool QueuePacket(int32_t type, ByteView payload, const std::string& spool_file = std::string());

  int Count() const;
  bool Empty() const { return Count() == 0; }
  int64_t next_sequence() const;

  // Empties the ring, oldest entry first.
  std::vector<RingEntry> TakeAll();

 private:
  bool PutLocked(ByteView packet, const std::string& spool_file);
  int CountLocked() const;

  mutable std::mutex mutex_;
  std::array<RingEntry, kPacketRingSlots> slots_;
  int read_index_ = 0;
  int write_index_ = 0;
  bool full_ = false;
  int64_t sequence_ = 0;
};

}  // namespace qarn
