#include "output/spool_replay.h"

#include <algorithm>

#include "output/event_record.h"
#include "platform/byte_order.h"
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
  const std::string path = queue.front();
  queue.pop_front();
  const std::string aside = path + kSetAsideSuffix;
  if (fs_.RenameNoReplace(path, aside)) {
    DiagError("spool file " + path + " cannot be replayed (" + why + "); set aside as " + aside);
  } else {
    DiagError("spool file " + path + " cannot be replayed (" + why +
              ") nor set aside; it is skipped until the next start");
  }
}

void SpoolReplay::ReplayK8(K8Channel& k8) {
  if (!k8.Connected() || !SkipVanished(k8_)) return;
  const TDateTime now = clock_.Now();
  if (!(now > state_.last_dd8_replay_time() + kDd8Pacing)) return;
  if (const auto size = fs_.FileSize(k8_.front()); size && *size > kMaxDd8FileSize) {
    SetAside(k8_, std::to_string(*size) + " bytes, larger than the largest K8 packet");
    return;
  }
  Bytes content;
  std::string error;
  if (!fs_.ReadAll(k8_.front(), &content, &error)) {
    if (fs_.Exists(k8_.front())) SetAside(k8_, error);
    return;
  }
  if (content.size() < 4) {
    SetAside(k8_, "shorter than its 4-byte type");
    return;
  }
  const std::string& path = k8_.front();
  const int32_t type = GetI32(content.data());
  if (!k8.QueuePacket(type, ByteView(content).subspan(4), path)) return;  // full: next tick
  // The file stays at the head of the line until its acknowledgement deletes it.
  state_.SetReplayed(path, now);
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
    return;  // the link drops the connection; the file goes again after it is back
  }
  fs_.Remove(k7_.front());
  k7_.pop_front();
}

}  // namespace qarn
