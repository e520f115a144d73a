#include "shell/driver_timings.h"

#include <charconv>

namespace qarn {
namespace {

constexpr long kLongestMs = 600000;

struct Field {
  const char* name;
  long (*get)(const DriverTimings&);
  void (*set)(DriverTimings&, long);
};

constexpr Field kFields[] = {
    {"reconnect", [](const DriverTimings& t) -> long { return t.k8.reconnect_pause_ms; },
     [](DriverTimings& t, long ms) { t.k8.reconnect_pause_ms = static_cast<uint32_t>(ms); }},
    {"poll", [](const DriverTimings& t) -> long { return t.k8.poll_period_ms; },
     [](DriverTimings& t, long ms) { t.k8.poll_period_ms = static_cast<uint32_t>(ms); }},
    {"failback", [](const DriverTimings& t) -> long { return t.k8.failback_ms; },
     [](DriverTimings& t, long ms) { t.k8.failback_ms = static_cast<uint32_t>(ms); }},
    {"housekeeping", [](const DriverTimings& t) -> long { return t.housekeeping_ms; },
     [](DriverTimings& t, long ms) { t.housekeeping_ms = static_cast<int>(ms); }},
    {"retry", [](const DriverTimings& t) -> long { return t.store_retry_ms; },
     [](DriverTimings& t, long ms) { t.store_retry_ms = static_cast<uint32_t>(ms); }},
    {"silence", [](const DriverTimings& t) -> long { return t.station_silence_ms; },
     [](DriverTimings& t, long ms) { t.station_silence_ms = static_cast<uint32_t>(ms); }},
    {"replay", [](const DriverTimings& t) -> long { return t.replay_ms; },
     [](DriverTimings& t, long ms) { t.replay_ms = static_cast<int>(ms); }},
    {"drain", [](const DriverTimings& t) -> long { return t.k7_drain_ms; },
     [](DriverTimings& t, long ms) { t.k7_drain_ms = static_cast<int>(ms); }},
    {"portretry", [](const DriverTimings& t) -> long { return t.port_retry_ms; },
     [](DriverTimings& t, long ms) { t.port_retry_ms = static_cast<int>(ms); }},
};

}  // namespace

std::optional<DriverTimings> ParseDriverTimings(std::string_view text, std::string* error) {
  DriverTimings timings;
  while (!text.empty()) {
    const size_t comma = text.find(',');
    const std::string_view pair = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    const size_t eq = pair.find('=');
    const std::string_view name = pair.substr(0, eq);
    const Field* field = nullptr;
    for (const Field& f : kFields)
      if (name == f.name) field = &f;
    if (!field || eq == std::string_view::npos) {
      if (error) *error = "unknown timing \"" + std::string(pair) + "\"";
      return std::nullopt;
    }
    const std::string_view value = pair.substr(eq + 1);
    long ms = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), ms);
    if (ec != std::errc() || end != value.data() + value.size() || ms < 1 || ms > kLongestMs) {
      if (error) *error = "bad milliseconds in \"" + std::string(pair) + "\"";
      return std::nullopt;
    }
    field->set(timings, ms);
  }
  return timings;
}

std::string DescribeDriverTimings(const DriverTimings& timings) {
  const DriverTimings defaults;
  std::string text;
  for (const Field& f : kFields) {
    if (f.get(timings) == f.get(defaults)) continue;
    if (!text.empty()) text += ',';
    text += std::string(f.name) + '=' + std::to_string(f.get(timings));
  }
  return text;
}

}  // namespace qarn
