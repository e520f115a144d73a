#include "shell/telemetry.h"

#include "platform/diag.h"

namespace qarn {
namespace {

const char* LinkTitle(SpoolKind kind) { return kind == SpoolKind::kK8 ? "K8" : "K7"; }

std::string EventTimeText(const StationEvent& event) {
  const auto civil = DecodeDateTime(event.event_time);
  return civil ? FormatIso(*civil) : std::to_string(event.event_time);
}

JournalFields EventFields(const StationEvent& event) {
  return {{"QARN_OBJECT", std::to_string(event.object_number)},
          {"QARN_CODE", std::to_string(event.event_code)},
          {"QARN_EVENT_TIME", EventTimeText(event)}};
}

std::string EventText(const StationEvent& event) {
  return "object " + std::to_string(event.object_number) + ", code " +
         std::to_string(event.event_code) + ", at " + EventTimeText(event);
}

}  // namespace

MetricLink MetricLinkOf(SpoolKind kind) {
  return kind == SpoolKind::kK8 ? MetricLink::kK8 : MetricLink::kK7;
}

Telemetry::Telemetry(Metrics& metrics, const Clock& clock, FileSystem& fs)
    : metrics_(metrics), clock_(clock), fs_(fs) {
  for (MetricLink link : {MetricLink::kK7, MetricLink::kK8}) {
    metrics_.LinkUp(link, false);
    metrics_.LinkOnServer(link, MetricServer::kPrimary);
  }
}

void Telemetry::EventReceived(const StationEvent& event) {
  metrics_.EventReceived();
  current_ = event;
  current_files_.clear();
  if (JournalActive()) {
    DiagJournal(JournalKind::kEventReceived, "station event received: " + EventText(event),
                EventFields(event));
  }
}

void Telemetry::RecordStored(SpoolKind kind, const std::string& path) {
  metrics_.RecordStored(MetricLinkOf(kind));
  if (current_) current_files_.emplace_back(kind, path);
  if (!JournalActive()) return;
  JournalFields fields = {{"QARN_LINK", MetricLinkName(MetricLinkOf(kind))}, {"QARN_FILE", path}};
  std::string message = std::string(LinkTitle(kind)) + " record stored in " + path;
  if (current_) {
    fields.emplace_back("QARN_OBJECT", std::to_string(current_->object_number));
    message += " (object " + std::to_string(current_->object_number) + ")";
  }
  DiagJournal(JournalKind::kRecordStored, message, std::move(fields));
}

void Telemetry::EventAcknowledged(const StationEvent& event) {
  const uint64_t now = clock_.MonotonicUs();
  metrics_.EventAcknowledged(static_cast<double>(now - frame_us_) / 1e6);
  for (const auto& [kind, path] : current_files_) {
    if (roads_.size() < kMaxRoads) roads_[path] = Road{event.object_number, now};
  }
  current_.reset();
  current_files_.clear();
  if (JournalActive()) {
    DiagJournal(JournalKind::kEventAcknowledged, "station event acknowledged: " + EventText(event),
                EventFields(event));
  }
}

void Telemetry::RecordDelivered(SpoolKind kind, const std::string& path) {
  std::optional<double> latency;
  std::optional<int32_t> object;
  if (const auto it = roads_.find(path); it != roads_.end()) {
    latency = static_cast<double>(clock_.MonotonicUs() - it->second.acknowledged_us) / 1e6;
    object = it->second.object;
    roads_.erase(it);
  }
  metrics_.RecordDelivered(MetricLinkOf(kind), latency);
  if (!JournalActive()) return;
  JournalFields fields = {{"QARN_LINK", MetricLinkName(MetricLinkOf(kind))},
                          {"QARN_SERVER", MetricServerName(server_[kind == SpoolKind::kK8])},
                          {"QARN_FILE", path}};
  std::string message = std::string(LinkTitle(kind)) + " record delivered from " + path;
  if (object) {
    fields.emplace_back("QARN_OBJECT", std::to_string(*object));
    message += " (object " + std::to_string(*object) + ")";
  }
  DiagJournal(JournalKind::kRecordDelivered, message, std::move(fields));
}

void Telemetry::SpoolChanged(SpoolKind kind, size_t files, const std::string& oldest,
                             size_t replayed) {
  SpoolSeen& seen = seen_[kind == SpoolKind::kK8 ? 1 : 0];
  // One look at the disk per new oldest file, not per tick.
  if (oldest != seen.oldest) {
    seen.oldest = oldest;
    seen.oldest_ns = oldest.empty() ? std::nullopt : fs_.ModifiedNs(oldest);
  }
  if (replayed > seen.replayed)
    metrics_.RecordsReplayed(MetricLinkOf(kind), replayed - seen.replayed);
  seen.replayed = replayed;
  metrics_.SpoolFiles(MetricLinkOf(kind), files, seen.oldest_ns);
}

void Telemetry::Held(size_t in_memory, size_t lost) {
  metrics_.RecordsInMemory(in_memory);
  if (lost > lost_) metrics_.RecordsLost(lost - lost_);
  lost_ = lost;
}

void Telemetry::LinkChanged(SpoolKind link, bool up, Server server) {
  const MetricLink metric = MetricLinkOf(link);
  if (up) metrics_.LinkOnServer(metric, MetricServerOf(server));
  metrics_.LinkUp(metric, up);
  if (up) metrics_.LinkConnected(metric);
}

void Telemetry::OnServer(SpoolKind link, Server server, const std::string&) {
  const MetricLink metric = MetricLinkOf(link);
  metrics_.LinkOnServer(metric, MetricServerOf(server));
  server_[metric == MetricLink::kK8 ? 1 : 0] = MetricServerOf(server);
}

}  // namespace qarn
