// A K8 link that keeps every queued packet, and can refuse them like a full queue.
#pragma once

#include <string>
#include <vector>

#include "output/links.h"

namespace qarn::testing {

class RecordingK8Channel final : public K8Channel {
 public:
  struct Packet {
    int32_t type;
    Bytes payload;
    std::string spool_file;
  };
  bool connected = true;
  bool full = false;
  std::vector<Packet> packets;

  bool Connected() const override { return connected; }
  bool QueuePacket(int32_t type, ByteView payload, const std::string& spool_file) override {
    if (full) return false;
    packets.push_back({type, Bytes(payload.begin(), payload.end()), spool_file});
    return true;
  }
};

}  // namespace qarn::testing
