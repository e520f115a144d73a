// The driver's metrics in the Prometheus text format, served at /metrics by prometheus-cpp's
// pull exposer (civetweb) on threads of its own. Every fact lands in an atomic that a scrape
// reads: the main thread and the K8 link thread never wait for a scrape, however slow or
// many its clients.
#pragma once

#include <memory>
#include <string>

#include "platform/metrics.h"

namespace qarn {

class PrometheusMetrics final : public Metrics {
 public:
  PrometheusMetrics();
  ~PrometheusMetrics() override;

  PrometheusMetrics(const PrometheusMetrics&) = delete;
  PrometheusMetrics& operator=(const PrometheusMetrics&) = delete;

  // Listens on `address`:`port` (IPv4 or IPv6 as written); false, with the reason, when the
  // port is taken or not allowed. Without it the metrics are still kept, only not served.
  bool Serve(const std::string& address, int port, std::string* error);

  // The text a scrape gets, made here on the caller's thread.
  std::string Scrape() const;

  void StationFrame(StationFrameKind kind) override;
  void EventReceived() override;
  void EventAcknowledged(double latency_s) override;
  void StationPortOpen(bool open) override;
  void StationHeard(bool heard) override;
  void RecordStored(MetricLink link) override;
  void RecordDelivered(MetricLink link, std::optional<double> latency_s) override;
  void RecordsReplayed(MetricLink link, uint64_t count) override;
  void SpoolFiles(MetricLink link, uint64_t files, std::optional<int64_t> oldest_ns) override;
  void RecordsInMemory(uint64_t records) override;
  void RecordsLost(uint64_t count) override;
  void LinkUp(MetricLink link, bool up) override;
  void LinkConnected(MetricLink link) override;
  void LinkOnServer(MetricLink link, MetricServer server) override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qarn
