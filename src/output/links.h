// What event output needs of the two server links.
#pragma once

#include <cstdint>
#include <string>

#include "base/bytes.h"

namespace qarn {

// How the delivery of a spool file's record ended.
enum class PacketEnd {
  kAcknowledged,  // the server has it (K8: its acknowledgement; K7: its TCP's): file deleted
  kRefused,       // the K8 server answered it with something else
  kReleased,      // no answer: the connection went, or the link stopped; it goes again
};

class K7Channel {
 public:
  virtual ~K7Channel() = default;
  virtual bool Connected() const = 0;
  // Sends one unit, held by `spool_file` (empty: a unit held in memory only); the count of
  // bytes the connection took. A unit taken whole is reported later as acknowledged or
  // released.
  virtual size_t SendUnit(ByteView unit, const std::string& spool_file) = 0;
};

class K8Channel {
 public:
  virtual ~K8Channel() = default;
  virtual bool Connected() const = 0;
  // Queues a packet for the link thread. False when the queue is full; the packet is then
  // not queued. `spool_file` names the .dd8 file a replayed packet comes from.
  virtual bool QueuePacket(int32_t type, ByteView payload, const std::string& spool_file) = 0;
};

}  // namespace qarn
