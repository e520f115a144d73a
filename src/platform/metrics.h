// The driver's numbers for a monitoring centre: what the station sent, what was acknowledged,
// stored, delivered and replayed per link, and the links' states. The code that knows a fact
// tells it here; the exporter (prometheus_metrics.h) serves it. The default does nothing, so
// that a driver without metrics, and a test that does not look, pay nothing.
//
// Calls come from the main thread, and those about the K8 link from its thread too: an
// implementation must take them from both without a lock that a scrape could hold.
#pragma once

#include <cstdint>
#include <optional>

namespace qarn {

enum class MetricLink { kK7, kK8 };
enum class MetricServer { kPrimary, kBackup };
enum class StationFrameKind { kEvent, kPoll, kCommand12, kOther };

inline const char* MetricLinkName(MetricLink link) { return link == MetricLink::kK7 ? "k7" : "k8"; }
inline const char* MetricServerName(MetricServer server) {
  return server == MetricServer::kPrimary ? "primary" : "backup";
}

class Metrics {
 public:
  virtual ~Metrics() = default;

  // A frame from the station, by kind.
  virtual void StationFrame(StationFrameKind kind) { (void)kind; }
  // An event frame became a station event (its time is "now").
  virtual void EventReceived() {}
  // Its acknowledgement went to the station, `latency_s` after the frame was complete.
  virtual void EventAcknowledged(double latency_s) { (void)latency_s; }
  virtual void StationPortOpen(bool open) { (void)open; }
  virtual void StationHeard(bool heard) { (void)heard; }

  // A record stored in its spool file.
  virtual void RecordStored(MetricLink link) { (void)link; }
  // A record the server has (K8: its acknowledgement; K7: its TCP's); `latency_s` from the
  // station's acknowledgement when known (a record of this run's station events).
  virtual void RecordDelivered(MetricLink link, std::optional<double> latency_s) {
    (void)link;
    (void)latency_s;
  }
  virtual void RecordsReplayed(MetricLink link, uint64_t count) {
    (void)link;
    (void)count;
  }
  // The spool files of a link on disk, and when the oldest was last written (Unix time in
  // nanoseconds; none while there is no file or its time is unknown).
  virtual void SpoolFiles(MetricLink link, uint64_t files, std::optional<int64_t> oldest_ns) {
    (void)link;
    (void)files;
    (void)oldest_ns;
  }
  // Records the disk refused, waiting in memory; and those lost beyond the memory's bound.
  virtual void RecordsInMemory(uint64_t records) { (void)records; }
  virtual void RecordsLost(uint64_t count) { (void)count; }

  virtual void LinkUp(MetricLink link, bool up) {
    (void)link;
    (void)up;
  }
  // One more connection of the link, to the server it is on.
  virtual void LinkConnected(MetricLink link) { (void)link; }
  // The server the link uses from now on.
  virtual void LinkOnServer(MetricLink link, MetricServer server) {
    (void)link;
    (void)server;
  }
};

// The one that does nothing.
inline Metrics& NoMetrics() {
  static Metrics none;
  return none;
}

}  // namespace qarn
