// The driver's half of the conversation with the Qarn station: every packet from the serial
// port is dumped (optionally), recognised and answered; event frames become station events.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <string>

#include "output/event_record.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/file_system.h"
#include "platform/metrics.h"
#include "station/station_frames.h"

namespace qarn {

class StationProtocol {
 public:
  struct Settings {
    int32_t first_number = 4;
    TDateTime query_interval = 3.0 / 24.0;  // a duration shorter than a day
    bool log = false;
    bool send_k7 = false;
    RetEnabled ret_enabled;
    std::string dump_path = "qarn.log";
  };

  struct Hooks {
    std::function<void(ByteView frame)> send;  // to the station; nothing when the port is closed
    std::function<void()> advance_indicator;
    std::function<void(const StationEvent&)> deliver_event;
    std::function<void(uint8_t type)> send_service_frame;
    // Every packet, by kind; and each event once its acknowledgement is written.
    std::function<void(StationFrameKind kind)> frame_heard;
    std::function<void(const StationEvent&)> event_acknowledged;
  };

  StationProtocol(Settings settings, Hooks hooks, const Clock& clock, FileSystem& fs,
                  TDateTime start_time);

  void HandleStationPacket(ByteView packet);

  // The query-interval check of the 3-second housekeeping tick.
  void CheckQueryInterval();

  // A retranslator query for the next poll frame. Any thread.
  void RequestRetQuery() { ret_query_pending_.store(true); }

  bool ret_query_pending() const { return ret_query_pending_.load(); }
  bool clock_pending() const { return clock_pending_; }
  TDateTime last_receive_time() const { return last_receive_time_; }
  TDateTime last_query_time() const { return last_query_time_; }

 private:
  void HandleEvent();
  void HandlePoll();
  void Send(ByteView frame) const;
  void Advance() const;

  Settings settings_;
  Hooks hooks_;
  const Clock& clock_;
  FileSystem& fs_;
  // Packets land at its start; bytes past a short packet keep what earlier ones left.
  std::array<uint8_t, kMaxStationFrame> buffer_{};
  bool clock_pending_ = true;
  std::atomic<bool> ret_query_pending_{false};
  TDateTime last_query_time_;
  TDateTime last_receive_time_;
  FailureReporter dump_failures_{"cannot write the raw dump"};
};

// Retranslator numbers 1..32 from the "ret" text: n is enabled when ",n," occurs in the text
// with commas added at both ends where missing.
RetEnabled ParseRetEnabled(const std::string& ret);

}  // namespace qarn
