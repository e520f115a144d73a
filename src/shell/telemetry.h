// What the driver tells a monitoring centre beyond its status line: the metrics of every
// station event, record and link (platform/metrics.h), and under the journal the road of each
// event: received, acknowledged, stored and delivered per link, with the object number on
// every step (platform/journal.h). It is one of the observers the driver tells every fact;
// main thread.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "output/event_record.h"
#include "output/links.h"
#include "output/observer.h"
#include "output/server_choice.h"
#include "output/spool_writer.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/metrics.h"

namespace qarn {

class Telemetry final : public Observer {
 public:
  // Files whose station event is remembered for the delivery's latency and journal entry; a
  // larger backlog is still delivered, only without them.
  static constexpr size_t kMaxRoads = 100000;

  Telemetry(Metrics& metrics, const Clock& clock, FileSystem& fs);

  // The station's side.
  void FrameHeard(StationFrameKind kind) override {
    frame_us_ = clock_.MonotonicUs();
    metrics_.StationFrame(kind);
  }
  void EventReceived(const StationEvent& event) override;
  // A spool file stored; while an event is delivered, one of its records.
  void RecordStored(SpoolKind kind, const std::string& path) override;
  void EventAcknowledged(const StationEvent& event) override;
  void PortChanged(bool open) override { metrics_.StationPortOpen(open); }
  void StationHeard(bool heard) override { metrics_.StationHeard(heard); }

  // The server has the record of `path` (told only for a file that was in flight).
  void RecordDelivered(SpoolKind kind, const std::string& path) override;
  void SpoolChanged(SpoolKind kind, size_t files, const std::string& oldest,
                    size_t replayed) override;
  void Held(size_t in_memory, size_t lost) override;

  // A link's server is told before the link comes up on it.
  void LinkChanged(SpoolKind link, bool up, Server server) override;
  // The server a link uses from now on (primary at the start), for the records it delivers
  // from now on.
  void OnServer(SpoolKind link, Server server, const std::string& address) override;

 private:
  struct Road {
    int32_t object;
    uint64_t acknowledged_us;
  };
  struct SpoolSeen {
    std::string oldest;
    std::optional<int64_t> oldest_ns;
    size_t replayed = 0;
  };

  Metrics& metrics_;
  MetricServer server_[2] = {MetricServer::kPrimary, MetricServer::kPrimary};  // K7, K8
  const Clock& clock_;
  FileSystem& fs_;
  uint64_t frame_us_ = 0;
  // The event being delivered now, and its records' files.
  std::optional<StationEvent> current_;
  std::vector<std::pair<SpoolKind, std::string>> current_files_;
  // Acknowledged to the station, not yet delivered: by file.
  std::unordered_map<std::string, Road> roads_;
  SpoolSeen seen_[2];
  size_t lost_ = 0;
};

// The link of a spool kind, as the metrics name it.
MetricLink MetricLinkOf(SpoolKind kind);
inline MetricServer MetricServerOf(Server server) {
  return server == Server::kPrimary ? MetricServer::kPrimary : MetricServer::kBackup;
}

}  // namespace qarn
