// What the parts tell and ask the driver, recorded: the facts of the window and the journal,
// the links' delivery reports and the server's orders. Counts are atomics where a link's
// thread may tell them.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "output/links.h"
#include "output/observer.h"

namespace qarn::testing {

class RecordedFacts final : public Observer, public DeliveryReports, public LinkHost {
 public:
  struct End {
    SpoolKind link;
    std::string file;
    PacketEnd end;
  };

  // Observer.
  std::vector<StationFrameKind> frames;
  std::vector<StationEvent> events;        // received
  std::vector<StationEvent> acknowledged;  // to the station
  int activity[3] = {0, 0, 0};             // by Indicator
  std::vector<std::string> log_lines;
  std::vector<int> error_codes;
  std::vector<std::pair<SpoolKind, bool>> link_changes;
  std::vector<std::pair<SpoolKind, Server>> servers;
  std::vector<std::string> server_texts;  // "backup 10.0.0.2:7789"
  std::vector<std::string> stored;
  size_t held = 0;

  void FrameHeard(StationFrameKind kind) override { frames.push_back(kind); }
  void EventReceived(const StationEvent& event) override { events.push_back(event); }
  void EventAcknowledged(const StationEvent& event) override { acknowledged.push_back(event); }
  void Activity(Indicator indicator) override { ++activity[static_cast<int>(indicator)]; }
  void LogLine(const std::string& text) override { log_lines.push_back(text); }
  void ErrorCode(int code) override { error_codes.push_back(code); }
  void LinkChanged(SpoolKind link, bool up, Server) override {
    link_changes.emplace_back(link, up);
  }
  void OnServer(SpoolKind link, Server server, const std::string& address) override {
    servers.emplace_back(link, server);
    server_texts.push_back(std::string(ServerName(server)) + " " + address);
  }
  void RecordStored(SpoolKind, const std::string& path) override { stored.push_back(path); }
  void Held(size_t in_memory, size_t) override { held = in_memory; }

  // DeliveryReports; `on_end` sees each report first.
  std::vector<End> ends;
  std::function<void(const End&)> on_end;
  void Ended(SpoolKind link, const std::string& file, PacketEnd end) override {
    ends.push_back({link, file, end});
    if (on_end) on_end(ends.back());
  }

  // LinkHost.
  PortGreeting greeting{"\\\\.\\COM3", "COM3", true, 4};
  std::vector<TDateTime> clock_settings;
  std::atomic<int> ret_queries{0};
  int closes = 0;
  void SetClock(TDateTime time) override { clock_settings.push_back(time); }
  void RequestRetQuery() override { ++ret_queries; }
  void CloseByServer() override { ++closes; }
  PortGreeting Greeting() const override {
    std::lock_guard lock(greeting_mutex);
    return greeting;
  }
  mutable std::mutex greeting_mutex;  // for a test that changes the greeting as the link runs
};

}  // namespace qarn::testing
