// Server links that record what they are given.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "output/event_record.h"
#include "output/links.h"

namespace qarn::testing {

class FakeK7 : public K7Channel {
 public:
  bool connected = false;
  size_t take = kK7FrameSize;  // bytes the connection accepts per unit
  std::vector<Bytes> units;
  std::vector<std::string> files;  // the spool file of each unit sent
  bool Connected() const override { return connected; }
  size_t SendUnit(ByteView unit, const std::string& spool_file) override {
    units.emplace_back(unit.begin(), unit.end());
    files.push_back(spool_file);
    return std::min(take, unit.size());
  }
};

class FakeK8 : public K8Channel {
 public:
  struct Packet {
    int32_t type;
    Bytes payload;
    std::string spool_file;
  };
  bool connected = false;
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
