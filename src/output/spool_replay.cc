#include "output/spool_replay.h"

#include <algorithm>
#include <limits>

#include "base/byte_order.h"
#include "output/event_record.h"
#include "platform/diag.h"

namespace qarn {
namespace {

// Vanished files dropped per call at most: each costs one stat.
constexpr int kMaxSkipsPerCall = 64;
// The largest K8 packet is 1 MiB with its 18-byte header; the file holds a 4-byte type in
// its place. A larger file could never be sent and would hold back every file behind it.
constexpr uint64_t kMaxDd8FileSize = (1u << 20) - 18 + 4;

}  // namespace

SpoolReplay::SpoolReplay(FileSystem& fs, const Clock& clock, std::string prefix, int rate,
                         Observer& observer)
    : fs_(fs),
      clock_(clock),
      prefix_(std::move(prefix)),
      rate_(std::max(rate, 0)),
      observer_(observer) {
  const size_t slash = prefix_.rfind('/');
  dir_ = slash == std::string::npos ? "" : prefix_.substr(0, slash + 1);
}

std::string SpoolReplay::Name(const std::string& path) const {
  return path.compare(0, dir_.size(), dir_) == 0 ? path.substr(dir_.size()) : path;
}

void SpoolReplay::Scan() {
  for (const SpoolKind kind : {SpoolKind::kK7, SpoolKind::kK8}) {
    auto entries = fs_.ListEntries(prefix_ + (kind == SpoolKind::kK7 ? "*.ddk" : "*.dd8"));
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
      return a.mtime_ns != b.mtime_ns ? a.mtime_ns < b.mtime_ns : a.name < b.name;
    });
    Line& line = Of(kind);
    line.files.clear();
    for (auto& e : entries) line.files.push_back(std::move(e.name));
    Told(kind);
  }
}

void SpoolReplay::Add(SpoolKind kind, const std::string& path) {
  Of(kind).files.push_back(Name(path));
  observer_.RecordStored(kind, path);
  Told(kind);
}

void SpoolReplay::MarkInFlight(SpoolKind kind, const std::string& path) {
  Of(kind).in_flight.emplace(path, false);
}

void SpoolReplay::Erase(Line& line, const std::string& path, bool from_front) {
  const std::string name = Name(path);
  // A replayed file is near the head of the line, a live one near its end.
  if (from_front) {
    const auto it = std::find(line.files.begin(), line.files.end(), name);
    if (it != line.files.end()) line.files.erase(it);
  } else {
    const auto it = std::find(line.files.rbegin(), line.files.rend(), name);
    if (it != line.files.rend()) line.files.erase(std::next(it).base());
  }
}

void SpoolReplay::Ended(SpoolKind kind, const std::string& path, PacketEnd end) {
  Line& line = Of(kind);
  const auto it = line.in_flight.find(path);
  if (it == line.in_flight.end()) return;  // not ours (held in memory), or ended already
  const bool replayed = it->second;
  line.in_flight.erase(it);
  if (replayed) --line.replayed_in_flight;
  if (end == PacketEnd::kAcknowledged) {
    if (fs_.RemoveUnflushed(path)) {
      removed_ = true;
      line.removals.Succeeded("deleted again");
    } else if (fs_.Exists(path)) {
      line.removals.Failed(path);
    }
    refusals_.erase(path);
    Erase(line, path, replayed);
    // Told once its file is gone: a scrape never sees it delivered and still waiting.
    Told(kind);
    observer_.RecordDelivered(kind, path);
  } else if (end == PacketEnd::kRefused && ++refusals_[path] >= kMaxRefusals) {
    const int refusals = refusals_[path];
    refusals_.erase(path);
    const auto at = std::find(line.files.begin(), line.files.end(), Name(path));
    if (at != line.files.end()) {
      SetAsideAt(line, static_cast<size_t>(at - line.files.begin()),
                 "refused by the K8 server " + std::to_string(refusals) + " times");
    }
  }
  // Released or refused, it keeps its place in the line and goes again. As fast as the
  // server takes them: the next spooled packet goes as this one's reply came.
  if (kind == SpoolKind::kK8 && rate_ == 0 && k8_link_) ReplayK8(*k8_link_);
}

void SpoolReplay::Tick() {
  if (k8_link_) ReplayK8(*k8_link_);
  if (k7_link_) ReplayK7(*k7_link_);
  FlushRemovals();
  for (SpoolKind kind : {SpoolKind::kK8, SpoolKind::kK7}) Told(kind);
}

void SpoolReplay::FlushRemovals() {
  if (!removed_) return;
  removed_ = false;
  fs_.FlushDirectory(dir_);
}

void SpoolReplay::SetAsideAt(Line& line, size_t at, const std::string& why) {
  const std::string path = Path(line.files[at]);
  line.files.erase(line.files.begin() + static_cast<std::ptrdiff_t>(at));
  const std::string aside = path + kSetAsideSuffix;
  if (fs_.RenameNoReplace(path, aside)) {
    DiagError("spool file " + path + " cannot be replayed (" + why + "); set aside as " + aside);
  } else {
    DiagError("spool file " + path + " cannot be replayed (" + why +
              ") nor set aside; it is skipped until the next start");
  }
}

size_t SpoolReplay::Allowed(Line& line, bool connected) {
  const uint32_t now = clock_.TickMs();
  if (!connected) {
    line.ticked = false;  // nothing saved up while the link is down
    return 0;
  }
  if (rate_ == 0) return std::numeric_limits<size_t>::max();
  if (!line.ticked) {
    line.ticked = true;
    line.allowance = 1;  // the first file goes at once
  } else {
    // At most one second's worth saved up.
    line.allowance = std::min(line.allowance + rate_ * ((now - line.last_tick) / 1000.0),
                              std::max(1.0, static_cast<double>(rate_)));
  }
  line.last_tick = now;
  return static_cast<size_t>(line.allowance);
}

size_t SpoolReplay::NextToSend(Line& line) {
  // The files in flight are at most a window's worth, so this walk is short.
  size_t at = 0;
  int skips = 0;
  while (at < line.files.size()) {
    const std::string path = Path(line.files[at]);
    if (line.in_flight.count(path)) {
      ++at;
    } else if (fs_.Exists(path)) {
      return at;
    } else {
      // Gone behind the driver's back: it costs that record only.
      line.files.erase(line.files.begin() + static_cast<std::ptrdiff_t>(at));
      if (++skips >= kMaxSkipsPerCall) break;
    }
  }
  return line.files.size();
}

bool SpoolReplay::Read(Line& line, size_t at, SpoolKind kind, Bytes* content) {
  const std::string path = Path(line.files[at]);
  if (kind == SpoolKind::kK8) {
    if (const auto size = fs_.FileSize(path); size && *size > kMaxDd8FileSize) {
      SetAsideAt(line, at, std::to_string(*size) + " bytes, larger than the largest K8 packet");
      return false;
    }
  }
  std::string error;
  if (!fs_.ReadAll(path, content, &error)) {
    if (fs_.Exists(path)) SetAsideAt(line, at, error);
    return false;
  }
  if (kind == SpoolKind::kK8 && content->size() < 4) {
    SetAsideAt(line, at, "shorter than its 4-byte type");
    return false;
  }
  if (kind == SpoolKind::kK7 && content->size() < kK7FrameSize) {
    SetAsideAt(line, at, "shorter than a 555-byte unit");
    return false;
  }
  return true;
}

void SpoolReplay::ReplayK8(K8Channel& k8) {
  Line& line = k8_;
  // One replayed packet at a time: the next goes once its reply came.
  for (size_t allowed = Allowed(line, k8.Connected());
       allowed > 0 && line.replayed_in_flight == 0;) {
    const size_t at = NextToSend(line);
    if (at == line.files.size()) return;
    Bytes content;
    if (!Read(line, at, SpoolKind::kK8, &content)) continue;  // set aside: the next one
    const std::string path = Path(line.files[at]);
    const int32_t type = GetI32(content.data());
    if (!k8.QueuePacket(type, ByteView(content).subspan(4), path)) return;  // full: later
    // The file keeps its place in the line until its acknowledgement deletes it.
    line.in_flight.emplace(path, true);
    ++line.replayed_in_flight;
    ++line.replayed;
    line.allowance -= 1;
    return;
  }
}

void SpoolReplay::ReplayK7(K7Channel& k7) {
  Line& line = k7_;
  for (size_t allowed = Allowed(line, k7.Connected());
       allowed > 0 && line.replayed_in_flight < kMaxReplayedK7InFlight;) {
    const size_t at = NextToSend(line);
    if (at == line.files.size()) return;
    Bytes content;
    if (!Read(line, at, SpoolKind::kK7, &content)) continue;
    const std::string path = Path(line.files[at]);
    // Not taken now (the window is full), or not whole (the connection is dropped): the file
    // waits.
    if (k7.SendUnit(ByteView(content).first(kK7FrameSize), path) != kK7FrameSize) return;
    line.in_flight.emplace(path, true);
    ++line.replayed_in_flight;
    ++line.replayed;
    line.allowance -= 1;
    --allowed;
  }
}

}  // namespace qarn
