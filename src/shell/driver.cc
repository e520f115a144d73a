#include "shell/driver.h"

#include <random>

#include "k8/k8_link.h"
#include "k8/port_state.h"
#include "k8/queued_event_spool.h"
#include "output/event_output.h"
#include "output/spool_replay.h"
#include "output/spool_writer.h"
#include "platform/diag.h"
#include "shell/config_check.h"
#include "shell/k7_side.h"
#include "shell/replay_tick.h"
#include "station/station_protocol.h"

namespace qarn {

void HeadlessView::ShowMessageBox(const std::string& text) { DiagError(text); }

Driver::Driver(Services services)
    : s_(std::move(services)),
      window_(s_.view, s_.clock),
      telemetry_(s_.metrics, s_.clock, s_.fs),
      error_log_(s_.fs),
      run_control_(s_.port, s_.loop, s_.fs, kIniFileName, window_, facts_) {
  facts_.Add(window_);
  facts_.Add(telemetry_);
  facts_.Add(error_log_);
  run_control_.SetComPortName(kNoPort);
}

Driver::~Driver() {
  // Without a shutdown first: the K8 link is stopped while the loop can still show its last
  // lines, and what the K7 socket holds is still delivered or spooled as its side goes.
  StopTicks();
  if (k8_link_ && !k8_link_->finished()) k8_link_->StopAndWait();
  k7_side_.reset();
  if (replay_) replay_->FlushRemovals();
}

void Driver::StartUp() {
  ShowStart();
  ReadConfiguration();
  StartSpool();
  StartOutput();
  StartStation();
  // The links before the port: the station's first event finds them.
  StartK8();
  StartK7();
  OpenPort();
  StartTicks();
}

// The first values of the window: the close password (seeded once per run from the system's
// entropy and the clock), the start time, the empty port list.
void Driver::ShowStart() {
  const TDateTime start = s_.clock.Now();
  close_by_server_ = false;
  std::random_device entropy;
  std::seed_seq seed{entropy(), entropy(), static_cast<unsigned>(s_.clock.TickMs()),
                     static_cast<unsigned>(s_.clock.LocalNow().millisecond)};
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> offset(0, 89998);
  WindowModel& model = window_.model();
  model.close_password = std::to_string(10000 + offset(generator));
  window_.Update(ViewPart::kPassword);
  model.station_link = false;
  model.start_time_text = FormatDefaultDateTime(*DecodeDateTime(start));
  window_.Update(ViewPart::kStartTime);
  run_control_.Reset();
}

// Read as --check-config reads it; its problems are said once, at every start.
void Driver::ReadConfiguration() {
  const ConfigCheck check = CheckConfig(s_.fs, kIniFileName);
  config_ = check.config;
  window_.model().k7_indicator_visible = config_.send_k7;
  for (const std::string& problem : check.problems) DiagWarning(kIniFileName + (": " + problem));
  window_.SetMessageDirError(check.message_dir_error);
  if (const std::string problem = MessageDirProblem(check); !problem.empty()) {
    DiagError(problem);
    window_.LogLine(problem);
  }
  run_control_.SetComPortName(config_.com_port);
}

// The replay takes over the files an earlier run left; the writer stores each new record and
// hands its file to the replay.
void Driver::StartSpool() {
  replay_ = std::make_unique<SpoolReplay>(s_.fs, s_.clock, config_.path_for_soob,
                                          config_.replay_rate, facts_);
  spool_ = std::make_unique<SpoolWriter>(s_.fs, config_.path_for_soob, config_.n_abs, replay_.get(),
                                         facts_);
  spool_->RemoveStaleTemporaries();
  replay_->Scan();
}

// Each record stored first, then sent live through the links it is given once they exist.
void Driver::StartOutput() {
  output_ = std::make_unique<EventOutput>(
      EventOutput::Settings{config_.send_k7, config_.send_k8, config_.not_send_to_disk_k8,
                            s_.timings.store_retry_ms},
      *spool_, *replay_, s_.clock, facts_);
}

// The station protocol takes the port's packets and hands events to the output.
void Driver::StartStation() {
  StationProtocol::Settings settings;
  settings.first_number = config_.first_number;
  settings.query_interval = config_.query_interval;
  settings.log = config_.log;
  settings.send_k7 = config_.send_k7;
  settings.ret_enabled = config_.ret_enabled;
  station_ = std::make_unique<StationProtocol>(std::move(settings), s_.port, *output_, facts_,
                                               s_.clock, s_.fs, s_.clock.Now());
}

void Driver::StartK8() {
  if (config_.send_k8) {
    k8_link_ = std::make_unique<K8Link>(
        K8Link::Services{s_.clock, s_.fs, s_.loop, s_.k8_clients, *this, *replay_, facts_},
        kIniFileName, s_.timings.k8);
    k8_ = k8_link_.get();
    run_control_.SetK8(k8_);
  }
  window_.Update(ViewPart::kK8Indicator);
}

// The K7 link always exists; unused, its indicator is hidden and it comes up at the next
// housekeeping tick.
void Driver::StartK7() {
  k7_side_ = std::make_unique<K7Side>(
      K7Side::Services{s_.loop, s_.clock, s_.k7_clients, *this, *replay_, facts_}, config_,
      s_.timings.k8.failback_ms);
  K7Channel* k7 = &k7_side_->channel();
  output_->SetLinks(k7, k8_);
  replay_->SetLinks(k7, k8_);
  if (config_.send_k7) k7_side_->Connect();
  window_.Update(ViewPart::kK7Indicator);
}

// A port that does not open is reported on standard error with its reason (the message box
// does not exist yet) and tried again until it opens.
void Driver::OpenPort() {
  run_control_.SetRetryMs(s_.timings.port_retry_ms);
  if (config_.com_port != kNoPort) run_control_.OpenAtStartUp();
  facts_.PortChanged(s_.port.IsOpen());
}

void Driver::StartTicks() {
  replay_tick_ = std::make_unique<ReplayTick>(
      ReplayTick::Parts{s_.loop, s_.clock, *replay_, *output_, *station_, *k7_side_, facts_},
      s_.timings.replay_ms, static_cast<int>(s_.timings.station_silence_ms), config_.send_k7);
  facts_.Add(*replay_tick_);
  replay_tick_->Start();
  housekeeping_timer_ =
      s_.loop.StartTimer(s_.timings.housekeeping_ms, [this] { OnHousekeepingTick(); });
}

void Driver::OnHousekeepingTick() {
  // Whatever SendK7 says: retried every tick, without limit.
  k7_side_->KeepUp();
  station_->CheckQueryInterval();
}

void Driver::SetClock(TDateTime time) {
  const std::optional<CivilTime> civil = DecodeDateTime(time);
  if (!civil) {
    DiagError("K7: the server's clock setting " + std::to_string(time) + " is no date");
    return;
  }
  if (!config_.set_clock) {
    DiagError("K7: the server sets the clock to " + FormatIso(*civil) +
              " (SetClock=0: the clock is left alone)");
    return;
  }
  DiagError("K7: the server sets the clock to " + FormatIso(*civil));
  std::string error;
  if (!s_.clock.SetLocalTime(*civil, &error)) DiagError("K7: the clock was not set: " + error);
}

// On the K8 link's thread too: the station protocol's request is an atomic.
void Driver::RequestRetQuery() { station_->RequestRetQuery(); }

void Driver::CloseByServer() {
  if (shut_down_) return;
  DiagError("K7: the server orders the driver to close");
  close_by_server_ = true;
  Shutdown();
  s_.view.CloseWindow();
  s_.loop.Quit(0);
}

PortGreeting Driver::Greeting() const {
  return {s_.port.PortName(), run_control_.ComPortName(), s_.port.IsOpen(), config_.first_number};
}

StatusFacts Driver::status_facts() const {
  StatusFacts f;
  f.port_name = run_control_.ComPortName();
  f.port_open = s_.port.IsOpen();
  f.station_heard = window().station_link;
  f.k8_used = config_.send_k8;
  f.k8_up = k8_ && k8_->Connected();
  f.k7_used = config_.send_k7;
  f.k7_up = window().k7_link;
  f.k8_backup = window_.backup(SpoolKind::kK8);
  f.k7_backup = window_.backup(SpoolKind::kK7);
  if (replay_) {
    f.dd8_waiting = replay_->waiting(SpoolKind::kK8);
    f.ddk_waiting = replay_->waiting(SpoolKind::kK7);
  }
  f.last_event = window_.last_event();
  f.spool_failure = window_.message_dir_error();
  const std::string held = output_ ? output_->unstored().StatusText() : std::string();
  if (!held.empty()) {
    f.spool_failure = held;
  } else if (spool_ && spool_->failing()) {
    f.spool_failure = "the last write failed";
  }
  return f;
}

bool Driver::HandleCloseRequest() {
  if (shut_down_) return true;
  if (close_by_server_) {
    Shutdown();
    return true;
  }
  switch (s_.view.AskPassword(window().close_password)) {
    case PasswordAnswer::kAccepted:
      Shutdown();
      return true;
    case PasswordAnswer::kWrong:
      window_.ShowMessage("Не правильный пароль.");
      return false;
    case PasswordAnswer::kCancelled:
      return false;
  }
  return false;
}

// The start-up in reverse: the ticks, the port (nothing more is acknowledged), the links
// (K7's socket gets its time while K8 still delivers), then what is still in memory.
void Driver::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  facts_.Closing();
  StopTicks();
  if (s_.port.IsOpen()) s_.port.ClosePort();
  StopK7();
  StopK8();
  StopOutput();
  if (replay_) replay_->FlushRemovals();  // what the links' last reports deleted
}

void Driver::StopTicks() {
  if (housekeeping_timer_) s_.loop.StopTimer(housekeeping_timer_);
  housekeeping_timer_ = 0;
  if (replay_tick_) replay_tick_->Stop();
}

// What the K7 socket took gets a bounded time to reach the server; the rest is spooled.
void Driver::StopK7() {
  if (k7_side_) k7_side_->Close(s_.timings.k7_drain_ms);
}

// The thread's last calls into the main thread are served while it ends; its ring is then
// still, and the live events in it are kept on disk.
void Driver::StopK8() {
  if (!k8_link_) return;
  K7Channel* k7 = k7_side_ ? &k7_side_->channel() : nullptr;
  replay_->SetLinks(k7, nullptr);  // nothing more is replayed into the ending link
  k8_link_->StopAndWait();
  k8_ = nullptr;
  output_->SetLinks(k7, nullptr);
  run_control_.SetK8(nullptr);
  const auto queued = k8_link_->TakeQueued();
  if (!config_.not_send_to_disk_k8) {
    const int kept = SpoolLiveStationEvents(queued, *spool_, s_.clock.Now());
    if (kept > 0) DiagError("K8: " + std::to_string(kept) + " queued events spooled at close");
  }
}

// The records the disk refused: stored now, or said lost.
void Driver::StopOutput() {
  if (!output_ || output_->unstored().empty()) return;
  UnstoredRecords& unstored = output_->unstored();
  unstored.StoreAll();
  if (!unstored.empty()) DiagError("at the close: " + unstored.StatusText() + "; they are lost");
}

}  // namespace qarn
