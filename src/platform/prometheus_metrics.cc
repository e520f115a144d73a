#include "platform/prometheus_metrics.h"

#include <prometheus/collectable.h>
#include <prometheus/counter.h>
#include <prometheus/exposer.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <vector>

#include "base/version.h"

namespace qarn {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

constexpr size_t kLinks = 2;
constexpr size_t kServers = 2;
constexpr MetricLink kAllLinks[kLinks] = {MetricLink::kK7, MetricLink::kK8};
constexpr MetricServer kAllServers[kServers] = {MetricServer::kPrimary, MetricServer::kBackup};

size_t Index(MetricLink link) { return link == MetricLink::kK7 ? 0 : 1; }
size_t Index(MetricServer server) { return server == MetricServer::kPrimary ? 0 : 1; }

void AtomicAdd(std::atomic<double>& sum, double value) {
  double old = sum.load(std::memory_order_relaxed);
  while (!sum.compare_exchange_weak(old, old + value, std::memory_order_relaxed)) {
  }
}

// A histogram that observes without a lock: prometheus-cpp's own takes a mutex that its
// collection holds too, and an observation is on the road of an event.
class AtomicHistogram {
 public:
  explicit AtomicHistogram(std::vector<double> bounds)
      : bounds_(std::move(bounds)), counts_(bounds_.size() + 1) {}

  void Observe(double value) {
    size_t at = 0;
    while (at < bounds_.size() && value > bounds_[at]) ++at;
    counts_[at].fetch_add(1, std::memory_order_relaxed);
    AtomicAdd(sum_, value);
  }

  ClientMetric Collect() const {
    ClientMetric m;
    uint64_t cumulative = 0;
    for (size_t i = 0; i < counts_.size(); ++i) {
      cumulative += counts_[i].load(std::memory_order_relaxed);
      m.histogram.bucket.push_back(
          {cumulative, i < bounds_.size() ? bounds_[i] : std::numeric_limits<double>::infinity()});
    }
    m.histogram.sample_count = cumulative;  // the +Inf bucket, as a reader checks
    m.histogram.sample_sum = sum_.load(std::memory_order_relaxed);
    return m;
  }

 private:
  const std::vector<double> bounds_;
  std::vector<std::atomic<uint64_t>> counts_;
  std::atomic<double> sum_{0};
};

// Frame complete to acknowledgement written: a millisecond or two with both records flushed
// to a good disk; a second is a disk in trouble.
const std::vector<double> kAckBounds = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                        0.05,   0.1,   0.25,   0.5,   1,    2.5};
// Acknowledgement to the server's: milliseconds while the link is up, up to hours of a
// backlog.
const std::vector<double> kDeliveryBounds = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1,
                                             2.5,   5,    10,    30,   60,  300,  900, 3600};

// Collected here, not by the registry: the histograms, and the spool's age at the moment of
// the scrape.
struct Computed : prometheus::Collectable {
  AtomicHistogram ack_latency{kAckBounds};
  std::array<AtomicHistogram, kLinks> delivery_latency = {AtomicHistogram(kDeliveryBounds),
                                                          AtomicHistogram(kDeliveryBounds)};
  // Unix time in ns of the oldest spool file; kNoFile while there is none.
  static constexpr int64_t kNoFile = std::numeric_limits<int64_t>::min();
  std::array<std::atomic<int64_t>, kLinks> oldest_ns = {kNoFile, kNoFile};

  std::vector<MetricFamily> Collect() const override;
};

std::vector<MetricFamily> Computed::Collect() const {
  std::vector<MetricFamily> out;
  out.push_back({"qarn_ack_latency_seconds",
                 "Station event frame complete to its acknowledgement written",
                 MetricType::Histogram,
                 {ack_latency.Collect()}});
  MetricFamily delivery{"qarn_delivery_latency_seconds",
                        "Acknowledgement to the station to the server's acknowledgement, by link",
                        MetricType::Histogram,
                        {}};
  MetricFamily age{"qarn_spool_oldest_age_seconds",
                   "Age of the oldest spool file not yet delivered, by link; 0 without one",
                   MetricType::Gauge,
                   {}};
  const int64_t now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  for (MetricLink link : kAllLinks) {
    ClientMetric d = delivery_latency[Index(link)].Collect();
    d.label = {{"link", MetricLinkName(link)}};
    delivery.metric.push_back(std::move(d));
    ClientMetric a;
    a.label = {{"link", MetricLinkName(link)}};
    const int64_t oldest = oldest_ns[Index(link)].load(std::memory_order_relaxed);
    if (oldest != kNoFile && now_ns > oldest) a.gauge.value = (now_ns - oldest) / 1e9;
    age.metric.push_back(std::move(a));
  }
  out.push_back(std::move(delivery));
  out.push_back(std::move(age));
  return out;
}

}  // namespace

struct PrometheusMetrics::State {
  std::shared_ptr<prometheus::Registry> registry = std::make_shared<prometheus::Registry>();

  template <typename T>
  static T& Single(prometheus::Family<T>& family) {
    return family.Add({});
  }

  prometheus::Family<prometheus::Counter>& frames_family =
      prometheus::BuildCounter()
          .Name("qarn_station_frames_total")
          .Help("Frames received from the station, by kind")
          .Register(*registry);
  std::array<prometheus::Counter*, 4> frames = {
      &frames_family.Add({{"kind", "event"}}), &frames_family.Add({{"kind", "poll"}}),
      &frames_family.Add({{"kind", "command12"}}), &frames_family.Add({{"kind", "other"}})};
  prometheus::Counter& acknowledged = Single(prometheus::BuildCounter()
                                                 .Name("qarn_events_acknowledged_total")
                                                 .Help("Station events acknowledged to the station")
                                                 .Register(*registry));
  prometheus::Gauge& port_open = Single(prometheus::BuildGauge()
                                            .Name("qarn_station_port_open")
                                            .Help("1 while the station's serial port is open")
                                            .Register(*registry));
  prometheus::Gauge& heard =
      Single(prometheus::BuildGauge()
                 .Name("qarn_station_heard")
                 .Help("1 while the station has been heard within its silence time")
                 .Register(*registry));
  prometheus::Gauge& last_event =
      Single(prometheus::BuildGauge()
                 .Name("qarn_last_event_timestamp_seconds")
                 .Help("When the last station event came, as Unix time; 0 before the first")
                 .Register(*registry));

  template <typename T>
  static std::array<T*, kLinks> PerLink(prometheus::Family<T>& family) {
    return {&family.Add({{"link", "k7"}}), &family.Add({{"link", "k8"}})};
  }
  std::array<prometheus::Counter*, kLinks> stored =
      PerLink(prometheus::BuildCounter()
                  .Name("qarn_records_stored_total")
                  .Help("Records stored in their spool files, by link")
                  .Register(*registry));
  std::array<prometheus::Counter*, kLinks> delivered =
      PerLink(prometheus::BuildCounter()
                  .Name("qarn_records_delivered_total")
                  .Help("Records the server has, by link (K8: its acknowledgement; K7: its TCP's)")
                  .Register(*registry));
  std::array<prometheus::Counter*, kLinks> replayed =
      PerLink(prometheus::BuildCounter()
                  .Name("qarn_records_replayed_total")
                  .Help("Spool files sent again by the replay, by link")
                  .Register(*registry));
  std::array<prometheus::Gauge*, kLinks> spool_files =
      PerLink(prometheus::BuildGauge()
                  .Name("qarn_spool_files")
                  .Help("Spool files on disk not yet delivered, by link")
                  .Register(*registry));
  prometheus::Gauge& in_memory =
      Single(prometheus::BuildGauge()
                 .Name("qarn_records_in_memory")
                 .Help("Records the disk refused, waiting in memory to be stored")
                 .Register(*registry));
  prometheus::Counter& lost =
      Single(prometheus::BuildCounter()
                 .Name("qarn_records_lost_total")
                 .Help("Records lost because the memory that holds refused records was full")
                 .Register(*registry));
  std::array<prometheus::Gauge*, kLinks> link_up =
      PerLink(prometheus::BuildGauge()
                  .Name("qarn_link_up")
                  .Help("1 while the link to the message server is up")
                  .Register(*registry));
  prometheus::Family<prometheus::Counter>& connections_family =
      prometheus::BuildCounter()
          .Name("qarn_link_connections_total")
          .Help("Connections made by the link, by the server it was on")
          .Register(*registry);
  prometheus::Family<prometheus::Gauge>& server_family = prometheus::BuildGauge()
                                                             .Name("qarn_link_server")
                                                             .Help("1 for the server the link uses")
                                                             .Register(*registry);
  std::array<std::array<prometheus::Counter*, kServers>, kLinks> connections{};
  std::array<std::array<prometheus::Gauge*, kServers>, kLinks> server{};
  std::array<std::atomic<size_t>, kLinks> server_in_use{};
  prometheus::Gauge& build_info = prometheus::BuildGauge()
                                      .Name("qarn_build_info")
                                      .Help("The driver's version, as a label; always 1")
                                      .Register(*registry)
                                      .Add({{"version", kVersionText}});

  std::shared_ptr<Computed> computed = std::make_shared<Computed>();
  // Last: its threads read everything above.
  std::unique_ptr<prometheus::Exposer> exposer;

  State() {
    for (MetricLink link : kAllLinks) {
      for (MetricServer s : kAllServers) {
        const prometheus::Labels labels = {{"link", MetricLinkName(link)},
                                           {"server", MetricServerName(s)}};
        connections[Index(link)][Index(s)] = &connections_family.Add(labels);
        server[Index(link)][Index(s)] = &server_family.Add(labels);
      }
      server[Index(link)][Index(MetricServer::kPrimary)]->Set(1);
    }
    build_info.Set(1);
  }
};

PrometheusMetrics::PrometheusMetrics() : state_(std::make_unique<State>()) {}

PrometheusMetrics::~PrometheusMetrics() {
  state_->exposer.reset();  // its threads end before what they read goes
}

bool PrometheusMetrics::Serve(const std::string& address, int port, std::string* error) {
  const std::string where =
      (address.find(':') != std::string::npos ? "[" + address + "]" : address) + ":" +
      std::to_string(port);
  try {
    // One worker serves the scrapes (civetweb's workers share gmtime's buffer for the Date
    // header, a race with two); a client that sends nothing, or sends slowly, is dropped
    // after 1 s (a scrape's request is in long before), and the others wait in the listen
    // queue meanwhile. The driver's threads never wait for any of it.
    state_->exposer = std::make_unique<prometheus::Exposer>(std::vector<std::string>{
        "listening_ports", where, "num_threads", "1", "request_timeout_ms", "1000"});
  } catch (const std::exception&) {
    // civetweb says only that it has no context; the cause is one of these.
    if (error) {
      *error = where +
               ": cannot listen there (the port is taken, or the address is not one of "
               "this computer's)";
    }
    return false;
  }
  state_->exposer->RegisterCollectable(state_->registry);
  state_->exposer->RegisterCollectable(state_->computed);
  return true;
}

std::string PrometheusMetrics::Scrape() const {
  std::vector<MetricFamily> families = state_->registry->Collect();
  for (MetricFamily& f : state_->computed->Collect()) families.push_back(std::move(f));
  return prometheus::TextSerializer().Serialize(families);
}

void PrometheusMetrics::StationFrame(StationFrameKind kind) {
  state_->frames[static_cast<size_t>(kind)]->Increment();
}

void PrometheusMetrics::EventReceived() { state_->last_event.SetToCurrentTime(); }

void PrometheusMetrics::EventAcknowledged(double latency_s) {
  state_->acknowledged.Increment();
  state_->computed->ack_latency.Observe(latency_s);
}

void PrometheusMetrics::StationPortOpen(bool open) { state_->port_open.Set(open ? 1 : 0); }
void PrometheusMetrics::StationHeard(bool heard) { state_->heard.Set(heard ? 1 : 0); }

void PrometheusMetrics::RecordStored(MetricLink link) { state_->stored[Index(link)]->Increment(); }

void PrometheusMetrics::RecordDelivered(MetricLink link, std::optional<double> latency_s) {
  state_->delivered[Index(link)]->Increment();
  if (latency_s) state_->computed->delivery_latency[Index(link)].Observe(*latency_s);
}

void PrometheusMetrics::RecordsReplayed(MetricLink link, uint64_t count) {
  state_->replayed[Index(link)]->Increment(static_cast<double>(count));
}

void PrometheusMetrics::SpoolFiles(MetricLink link, uint64_t files,
                                   std::optional<int64_t> oldest_ns) {
  state_->spool_files[Index(link)]->Set(static_cast<double>(files));
  state_->computed->oldest_ns[Index(link)].store(
      files > 0 && oldest_ns ? *oldest_ns : Computed::kNoFile, std::memory_order_relaxed);
}

void PrometheusMetrics::RecordsInMemory(uint64_t records) {
  state_->in_memory.Set(static_cast<double>(records));
}

void PrometheusMetrics::RecordsLost(uint64_t count) {
  state_->lost.Increment(static_cast<double>(count));
}

void PrometheusMetrics::LinkUp(MetricLink link, bool up) {
  state_->link_up[Index(link)]->Set(up ? 1 : 0);
}

void PrometheusMetrics::LinkConnected(MetricLink link) {
  const size_t server = state_->server_in_use[Index(link)].load();
  state_->connections[Index(link)][server]->Increment();
}

void PrometheusMetrics::LinkOnServer(MetricLink link, MetricServer server) {
  state_->server_in_use[Index(link)].store(Index(server));
  for (MetricServer s : kAllServers)
    state_->server[Index(link)][Index(s)]->Set(s == server ? 1 : 0);
}

}  // namespace qarn
