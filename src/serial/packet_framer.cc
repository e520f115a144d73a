#include "serial/packet_framer.h"

#include <algorithm>

namespace qarn {
namespace {

// The largest packet; the pending bytes never reach it, so they never reallocate.
constexpr size_t kMaxPacket = 8192;

}  // namespace

PacketFramer::PacketFramer() { pending_.reserve(kMaxPacket); }

void PacketFramer::Configure(const Settings& settings) {
  settings_ = settings;
  if (settings_.packet_size > static_cast<int32_t>(kMaxPacket)) {
    settings_.packet_size = static_cast<int32_t>(kMaxPacket);
  }
  if (settings_.packet_size <= 0) settings_.packet_size = -1;
  if (settings_.packet_timeout <= 0) settings_.packet_timeout = -1;
  // A smaller packet size takes effect at the next arrival.
}

void PacketFramer::Feed(ByteView bytes, uint32_t now, const Emit& emit) {
  if (bytes.empty()) return;
  const uint64_t resets = resets_;
  if (settings_.packet_size < 0) {
    emit(bytes);
    return;
  }
  if (first_byte_tick_ == kNoFirstByte && pending_.empty()) first_byte_tick_ = now;
  const size_t size = static_cast<size_t>(settings_.packet_size);
  while (!bytes.empty() || pending_.size() >= size) {
    const size_t take = std::min(bytes.size(), size > pending_.size() ? size - pending_.size() : 0);
    pending_.insert(pending_.end(), bytes.begin(), bytes.begin() + static_cast<long>(take));
    bytes = bytes.subspan(take);
    if (pending_.size() < size) break;
    emit(ByteView(pending_.data(), size));
    if (resets != resets_) return;
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(size));
    // The stamp moves on by the line time of the packet, as a marker would, in wrapping
    // arithmetic: the rest is measured from there.
    first_byte_tick_ += settings_.whole_packet_ms;
    if (pending_.empty() && bytes.empty()) first_byte_tick_ = kNoFirstByte;
  }
}

std::optional<uint32_t> PacketFramer::DueIn(uint32_t now) const {
  if (pending_.empty() || settings_.packet_size < 0 || settings_.packet_timeout < 0) {
    return std::nullopt;
  }
  // A stamp ahead of now gives a huge unsigned difference: due at once.
  const uint32_t elapsed = now - first_byte_tick_;
  const uint32_t timeout = static_cast<uint32_t>(settings_.packet_timeout);
  if (elapsed > timeout) return 0;
  return timeout + 1 - elapsed;
}

void PacketFramer::Expire(uint32_t now, const Emit& emit) {
  const std::optional<uint32_t> due = DueIn(now);
  if (!due || *due > 0) return;
  const uint64_t resets = resets_;
  if (settings_.pass_partial) emit(ByteView(pending_.data(), pending_.size()));
  if (resets != resets_) return;
  pending_.clear();
  first_byte_tick_ = kNoFirstByte;
}

void PacketFramer::Reset() {
  pending_.clear();
  first_byte_tick_ = kNoFirstByte;
  ++resets_;
}

}  // namespace qarn
