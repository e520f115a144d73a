#include "output/spool_replay.h"

#include <algorithm>

#include "base/byte_order.h"
#include "output/event_record.h"
#include "platform/diag.h"

namespace qarn {
namespace {

constexpr double kDd8Pacing = 3 * kSecond;
// Vanished files dropped per tick at most: each costs one stat.
constexpr int kMaxSkipsPerTick = 64;
// The largest K8 packet is 1 MiB with its 18-byte header; the file holds a 4-byte type in
// its place. A larger file could never be sent and would hold back every file behind it.
constexpr uint64_t kMaxDd8FileSize = (1u << 20) - 18 + 4;

}  // namespace

SpoolReplay::SpoolReplay(FileSystem& fs, const Clock& clock, std::string prefix,
                         Dd8ReplayState& state)
    : fs_(fs), clock_(clock), prefix_(std::move(prefix)), state_(state) {}

void SpoolReplay::Scan() {
  const size_t slash = prefix_.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : prefix_.substr(0, slash + 1);
  for (const SpoolKind kind : {SpoolKind::kK7, SpoolKind::kK8}) {
    auto entries = fs_.ListEntries(prefix_ + (kind == SpoolKind::kK7 ? "*.ddk" : "*.dd8"));
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
      return a.mtime_ns != b.mtime_ns ? a.mtime_ns < b.mtime_ns : a.name < b.name;
    });
    auto& queue = Queue(kind);
    queue.clear();
    for (const auto& e : entries) queue.push_back(dir + e.name);
  }
}

void SpoolReplay::Add(SpoolKind kind, const std::string& path) { Queue(kind).push_back(path); }

bool SpoolReplay::SkipVanished(std::deque<std::string>& queue) {
  for (int i = 0; i < kMaxSkipsPerTick && !queue.empty(); ++i) {
    if (fs_.Exists(queue.front())) return true;
    queue.pop_front();
  }
  return !queue.empty() && fs_.Exists(queue.front());
}

void SpoolReplay::SetAside(std::deque<std::string>& queue, const std::string& why) {
  SetAsideAt(queue, 0, why);
}

void SpoolReplay::SetAsideAt(std::deque<std::string>& queue, size_t at, const std::string& why) {
  const std::string path = queue[at];
  queue.erase(queue.begin() + static_cast<std::ptrdiff_t>(at));
  const std::string aside = path + kSetAsideSuffix;
  if (fs_.RenameNoReplace(path, aside)) {
    DiagError("spool file " + path + " cannot be replayed (" + why + "); set aside as " + aside);
  } else {
    DiagError("spool file " + path + " cannot be replayed (" + why +
              ") nor set aside; it is skipped until the next start");
  }
}

void SpoolReplay::PacketEnded(const std::string& path, PacketEnd end) {
  in_flight_.erase(path);
  if (end == PacketEnd::kReleased) return;
  int refusals = 0;
  if (end == PacketEnd::kRefused) {
    refusals = ++refusals_[path];
    if (refusals < kMaxRefusals) return;
  }
  refusals_.erase(path);
  // Live events' files are the newest: look from the end.
  const auto it = std::find(k8_.rbegin(), k8_.rend(), path);
  if (it == k8_.rend()) return;
  const size_t at = static_cast<size_t>(std::distance(it, k8_.rend())) - 1;
  if (end == PacketEnd::kAcknowledged) {
    k8_.erase(k8_.begin() + static_cast<std::ptrdiff_t>(at));
  } else {
    SetAsideAt(k8_, at, "refused by the K8 server " + std::to_string(refusals) + " times");
  }
}

void SpoolReplay::ReplayK8(K8Channel& k8) {
  if (!k8.Connected()) return;
  const TDateTime now = clock_.Now();
  if (!(now > state_.last_dd8_replay_time() + kDd8Pacing)) return;
  // The files in flight are at most the ring's worth, so this walk is short.
  size_t at = 0;
  int skips = 0;
  while (at < k8_.size()) {
    const std::string path = k8_[at];
    if (in_flight(path)) {
      ++at;
      continue;
    }
    if (!fs_.Exists(path)) {
      k8_.erase(k8_.begin() + static_cast<std::ptrdiff_t>(at));
      if (++skips >= kMaxSkipsPerTick) return;
      continue;
    }
    if (const auto size = fs_.FileSize(path); size && *size > kMaxDd8FileSize) {
      SetAsideAt(k8_, at, std::to_string(*size) + " bytes, larger than the largest K8 packet");
      return;
    }
    Bytes content;
    std::string error;
    if (!fs_.ReadAll(path, &content, &error)) {
      if (fs_.Exists(path)) SetAsideAt(k8_, at, error);
      return;
    }
    if (content.size() < 4) {
      SetAsideAt(k8_, at, "shorter than its 4-byte type");
      return;
    }
    const int32_t type = GetI32(content.data());
    if (!k8.QueuePacket(type, ByteView(content).subspan(4), path)) return;  // full: next tick
    // The file keeps its place in the line until its acknowledgement deletes it.
    in_flight_.insert(path);
    state_.SetLastDd8ReplayTime(now);
    return;
  }
}

void SpoolReplay::ReplayK7(K7Channel& k7) {
  if (!k7.Connected() || !SkipVanished(k7_)) return;
  Bytes content;
  std::string error;
  if (!fs_.ReadAll(k7_.front(), &content, &error)) {
    if (fs_.Exists(k7_.front())) SetAside(k7_, error);
    return;
  }
  if (content.size() < kK7FrameSize) {
    SetAside(k7_, "shorter than a 555-byte unit");
    return;
  }
  if (k7.SendUnit(ByteView(content).first(kK7FrameSize)) != kK7FrameSize) {
    return;  // not taken now, or not whole (the connection is dropped): the file waits
  }
  if (fs_.Remove(k7_.front())) {
    removals_.Succeeded("deleted again");
  } else {
    removals_.Failed(k7_.front());
  }
  k7_.pop_front();
}

}  // namespace qarn
