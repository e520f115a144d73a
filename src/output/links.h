// What event output needs of the two server links.
#pragma once

#include <cstdint>
#include <string>

#include "base/bytes.h"

namespace qarn {

// How the packet of a .dd8 file ended.
enum class PacketEnd {
  kAcknowledged,  // the server's acknowledgement answered it: the file is deleted
  kRefused,       // the server answered it with something else
  kReleased,      // no answer: the connection went, or the link stopped
};

class K7Channel {
 public:
  virtual ~K7Channel() = default;
  virtual bool Connected() const = 0;
  // Sends one unit; the count of bytes the connection took.
  virtual size_t SendUnit(ByteView unit) = 0;
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
