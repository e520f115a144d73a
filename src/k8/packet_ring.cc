#include "k8/packet_ring.h"

#include "k8/k8_wire.h"

namespace qarn {

bool PacketRing::Put(ByteView packet, const std::string& spool_file) {
  std::lock_guard lock(mutex_);
  return PutLocked(packet, spool_file);
}

bool PacketRing::PutLocked(ByteView packet, const std::string& spool_file) {
  if (full_) return false;
  RingEntry& slot = slots_[write_index_];
  slot.packet.assign(packet.begin(), packet.end());
  slot.spool_file = spool_file;
  write_index_ = (write_index_ + 1) % kPacketRingSlots;
  if (write_index_ == read_index_) full_ = true;
  return true;
}

bool PacketRing::Peek(RingEntry* out) const {
  std::lock_guard lock(mutex_);
  if (CountLocked() == 0) return false;
  *out = slots_[read_index_];
  return true;
}

void PacketRing::Drop() {
  std::lock_guard lock(mutex_);
  if (CountLocked() == 0) return;
  slots_[read_index_] = RingEntry{};
  read_index_ = (read_index_ + 1) % kPacketRingSlots;
  full_ = false;
}

bool PacketRing::QueuePacket(int32_t type, ByteView payload, const std::string& spool_file) {
  std::lock_guard lock(mutex_);
  const Bytes packet = BuildK8Packet(type, payload, sequence_++);
  return PutLocked(packet, spool_file);
}

int PacketRing::Count() const {
  std::lock_guard lock(mutex_);
  return CountLocked();
}

int PacketRing::CountLocked() const {
  if (full_) return kPacketRingSlots;
  return (write_index_ - read_index_ + kPacketRingSlots) % kPacketRingSlots;
}

int64_t PacketRing::next_sequence() const {
  std::lock_guard lock(mutex_);
  return sequence_;
}

std::vector<RingEntry> PacketRing::TakeAll() {
  std::lock_guard lock(mutex_);
  std::vector<RingEntry> entries;
  while (CountLocked() > 0) {
    entries.push_back(std::move(slots_[read_index_]));
    slots_[read_index_] = RingEntry{};
    read_index_ = (read_index_ + 1) % kPacketRingSlots;
    full_ = false;
  }
  return entries;
}

}  // namespace qarn
