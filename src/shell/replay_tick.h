// The driver's 200 ms tick: the spool's replay on both links, the records held in memory
// stored again, the station-silence watch, and the spool's news on standard error. It runs
// only while anything waits for it (spool files, records held in memory); otherwise it wakes
// once, when the station would count as silent, or at the next tick after a silent station
// is heard again, so that an idle driver sleeps instead of waking five times a second. It
// learns what changed from the facts it is told as an observer.
#pragma once

#include <cstdint>

#include "output/event_output.h"
#include "output/observer.h"
#include "output/spool_replay.h"
#include "output/station_watch.h"
#include "platform/clock.h"
#include "platform/main_loop.h"
#include "shell/k7_side.h"
#include "shell/spool_notice.h"
#include "station/station_protocol.h"

namespace qarn {

class ReplayTick final : public Observer {
 public:
  struct Parts {
    MainLoop& loop;
    const Clock& clock;
    SpoolReplay& replay;
    EventOutput& output;
    const StationProtocol& station;
    K7Side& k7;
    // Told the station's silence and the records held in memory.
    Observer& observer;
  };

  ReplayTick(Parts parts, int replay_ms, int station_silence_ms, bool send_k7);
  ~ReplayTick() override { Stop(); }

  ReplayTick(const ReplayTick&) = delete;
  ReplayTick& operator=(const ReplayTick&) = delete;

  // The files an earlier run left are news; then the tick runs as it is needed.
  void Start();
  // No tick any more: the close.
  void Stop();

  // Observer: what may make the tick due sooner.
  void FrameHeard(StationFrameKind) override { Update(); }
  void RecordStored(SpoolKind kind, const std::string& path) override;
  void Held(size_t, size_t) override { Update(); }
  void LinkChanged(SpoolKind link, bool up, Server) override { up_[Index(link)] = up; }

 private:
  static int Index(SpoolKind link) { return link == SpoolKind::kK8 ? 1 : 0; }
  SpoolNotice& Notice(SpoolKind kind) { return notices_[Index(kind)]; }
  void OnTick();
  // Arms the tick for when it is next needed.
  void Update();
  void StopTimer();

  Parts p_;
  int replay_ms_;
  bool send_k7_;
  StationWatch watch_;
  SpoolNotice notices_[2] = {SpoolNotice(SpoolKind::kK7), SpoolNotice(SpoolKind::kK8)};
  bool up_[2] = {false, false};  // K7, K8
  bool running_ = false;
  MainLoop::Id timer_ = 0;
  uint32_t due_tick_ = 0;
};

}  // namespace qarn
