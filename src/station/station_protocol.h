// The driver's half of the conversation with the Qarn station: every packet from the serial
// port is dumped (optionally), recognised and answered; event frames become station events.
#pragma once

#include <array>
#include <atomic>
#include <string>

#include "output/event_record.h"
#include "output/event_sink.h"
#include "output/observer.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/file_system.h"
#include "platform/metrics.h"
#include "serial/station_port.h"
#include "station/station_frames.h"

namespace qarn {

class StationProtocol final : public PacketReceiver {
 public:
  struct Settings {
    int32_t first_number = 4;
    TDateTime query_interval = 3.0 / 24.0;  // a duration shorter than a day
    bool log = false;
    bool send_k7 = false;
    RetEnabled ret_enabled;
    std::string dump_path = "qarn.log";
  };

  // Takes the port's packets from here on and answers on it (nothing while it is closed);
  // events go to `sink`, what the window and the journal show to `observer`.
  StationProtocol(Settings settings, StationPort& port, EventSink& sink, Observer& observer,
                  const Clock& clock, FileSystem& fs, TDateTime start_time);
  ~StationProtocol() override { port_.SetReceiver(nullptr); }

  StationProtocol(const StationProtocol&) = delete;
  StationProtocol& operator=(const StationProtocol&) = delete;

  void HandleStationPacket(ByteView packet) override;

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
  void Send(ByteView frame) const { port_.Send(frame); }
  void Advance() const { observer_.Activity(Indicator::kStation); }

  Settings settings_;
  StationPort& port_;
  EventSink& sink_;
  Observer& observer_;
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
