#include "shell/driver.h"

#include <algorithm>

#include "k8/port_state.h"
#include "k8/queued_event_spool.h"
#include "platform/diag.h"

namespace qarn {

void HeadlessView::ShowMessageBox(const std::string& text) { DiagError(text); }

Driver::Driver(Services services)
    : s_(services),
      telemetry_(services.metrics, services.clock, services.fs),
      error_log_(services.fs),
      run_control_(services.port, services.loop, services.fs, kIniFileName,
                   RunControl::Hooks{
                       [this] {
                         return s_.view.AskPassword(window_.close_password) ==
                                PasswordAnswer::kAccepted;
                       },
                       [this](const std::string& text) { ShowMessageBox(text); },
                       [this](int code) { WriteErrorLog(code); },
                       [this] {
                         telemetry_.PortOpen(s_.port.IsOpen());
                         s_.view.Update(ViewPart::kSetupPage);
                       },
                   }) {
  run_control_.SetComPortName(kNoPort);
}

Driver::~Driver() {
  // Stopped while the loop can still show its last lines.
  if (k8_link_ && !k8_link_->finished()) k8_link_->StopAndWait();
  if (housekeeping_timer_) s_.loop.StopTimer(housekeeping_timer_);
  if (replay_timer_) s_.loop.StopTimer(replay_timer_);
  s_.port.SetPacketHandler(nullptr);
  // Without a shutdown first, what the K7 socket holds is still delivered or spooled.
  k7_side_.reset();
  if (replay_) replay_->FlushRemovals();
}

void Driver::GeneratePassword() {
  // Seeded once per run from the system's entropy and the clock.
  std::random_device entropy;
  std::seed_seq seed{entropy(), entropy(), static_cast<unsigned>(s_.clock.TickMs()),
                     static_cast<unsigned>(s_.clock.LocalNow().millisecond)};
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> offset(0, 89998);
  window_.close_password = std::to_string(10000 + offset(generator));
  s_.view.Update(ViewPart::kPassword);
}

void Driver::StartUp() {
  // First values of the state, then the close password and the port list.
  start_time_ = s_.clock.Now();
  window_.station_link = false;
  close_by_server_ = false;
  GeneratePassword();
  run_control_.Reset();
  ReadConfiguration();
  SetUpSpool();
  SetUpOutput();
  SetUpStation();
  OpenConfiguredPort();
  telemetry_.PortOpen(s_.port.IsOpen());
  // K7: the indicator shows only when the link is used; unused, the link still comes up at
  // the next housekeeping tick.
  if (config_.send_k7) k7_side_->Connect();
  s_.view.Update(ViewPart::kK7Indicator);
  if (config_.send_k8) StartK8Link();
  s_.view.Update(ViewPart::kK8Indicator);
  window_.start_time_text = FormatDefaultDateTime(*DecodeDateTime(start_time_));
  s_.view.Update(ViewPart::kStartTime);
  UpdateReplayTimer();
  housekeeping_timer_ =
      s_.loop.StartTimer(timings_.housekeeping_ms, [this] { OnHousekeepingTick(); });
}

// Read as --check-config reads it; its problems are said once, at every start.
void Driver::ReadConfiguration() {
  const ConfigCheck check = CheckConfig(s_.fs, kIniFileName);
  config_ = check.config;
  window_.k7_indicator_visible = config_.send_k7;
  for (const std::string& problem : check.problems) DiagWarning(kIniFileName + (": " + problem));
  message_dir_error_ = check.message_dir_error;
  if (const std::string problem = MessageDirProblem(check); !problem.empty()) {
    DiagError(problem);
    AddLogLine(problem);
  }
  run_control_.SetComPortName(config_.com_port);
}

// The spool writer and the replay, which takes over the files an earlier run left.
void Driver::SetUpSpool() {
  replay_ =
      std::make_unique<SpoolReplay>(s_.fs, s_.clock, config_.path_for_soob, config_.replay_rate);
  spool_ = std::make_unique<SpoolWriter>(
      s_.fs, config_.path_for_soob, config_.n_abs,
      SpoolWriter::Hooks{[this](int code) { WriteErrorLog(code); },
                         [this](SpoolKind kind, const std::string& path) {
                           replay_->Add(kind, path);
                           telemetry_.RecordStored(kind, path);
                           SpoolChanged(kind);
                           message_dir_error_.clear();
                           // Every record is stored first: news only while its link is down.
                           const bool up = kind == SpoolKind::kK8 ? k8_link() : window_.k7_link;
                           if (!up) Notice(kind).Stored(replay_->waiting(kind));
                           UpdateReplayTimer();
                         }});
  spool_->RemoveStaleTemporaries();
  replay_->Scan();
  for (SpoolKind kind : {SpoolKind::kK8, SpoolKind::kK7}) {
    Notice(kind).Found(replay_->waiting(kind));
    SpoolChanged(kind);
  }
}

void Driver::SpoolChanged(SpoolKind kind) {
  telemetry_.Spool(kind, replay_->waiting(kind), replay_->oldest(kind), replay_->replayed(kind));
}

void Driver::RecordEnded(SpoolKind kind, const std::string& file, PacketEnd end) {
  const bool delivered = end == PacketEnd::kAcknowledged && replay_->in_flight(kind, file);
  replay_->Ended(kind, file, end);
  if (!delivered) return;
  // Counted once its file is gone: a scrape never sees it delivered and still waiting.
  SpoolChanged(kind);
  telemetry_.RecordDelivered(kind, file);
}

// The event output and the K7 link it sends through; the K8 link joins it once started.
void Driver::SetUpOutput() {
  output_ = std::make_unique<EventOutput>(
      EventOutput::Settings{config_.send_k7, config_.send_k8, config_.not_send_to_disk_k8,
                            timings_.store_retry_ms},
      *spool_, s_.clock, [this] { AdvanceK7Indicator(); });
  SetUpK7();
  output_->SetLinks(k7_, k8_);
  output_->SetSentLive(
      [this](SpoolKind kind, const std::string& file) { replay_->MarkInFlight(kind, file); });
}

// The station protocol, fed by the serial port's packets.
void Driver::SetUpStation() {
  station_watch_ = StationWatch(timings_.station_silence_ms / 1000.0 * kSecond);
  StationProtocol::Settings settings;
  settings.first_number = config_.first_number;
  settings.query_interval = config_.query_interval;
  settings.log = config_.log;
  settings.send_k7 = config_.send_k7;
  settings.ret_enabled = config_.ret_enabled;
  StationProtocol::Hooks hooks;
  hooks.send = [this](ByteView frame) { s_.port.Send(frame); };
  hooks.advance_indicator = [this] { AdvanceStationIndicator(); };
  hooks.deliver_event = [this](const StationEvent& e) {
    last_event_time_ = s_.clock.LocalNow();
    telemetry_.EventReceived(e);
    output_->DeliverStationEvent(e);
    telemetry_.Held(output_->unstored().size(), output_->unstored().lost());
  };
  hooks.send_service_frame = [this](uint8_t type) { output_->SendServiceFrame(type); };
  hooks.frame_heard = [this](StationFrameKind kind) { telemetry_.FrameHeard(kind); };
  hooks.event_acknowledged = [this](const StationEvent& e) { telemetry_.EventAcknowledged(e); };
  station_ = std::make_unique<StationProtocol>(std::move(settings), std::move(hooks), s_.clock,
                                               s_.fs, start_time_);
  s_.port.SetPacketHandler([this](ByteView packet) {
    telemetry_.FrameComplete();
    station_->HandleStationPacket(packet);
    UpdateReplayTimer();  // the station heard again, or records held in memory
  });
}

void Driver::SetUpK7() {
  K7Exchange::Hooks hooks;
  hooks.link_changed = [this](bool up) {
    telemetry_.K7LinkChanged(up);
    window_.k7_link = up;
    s_.view.Update(ViewPart::kK7Indicator);
  };
  hooks.advance_indicator = [this] { AdvanceK7Indicator(); };
  hooks.set_clock = [this](TDateTime time) { SetClockByServer(time); };
  hooks.ret_query = [this] {
    DiagError("K7: the server asks for a retranslator query");
    if (station_) station_->RequestRetQuery();
  };
  hooks.close = [this] {
    if (shut_down_) return;
    DiagError("K7: the server orders the driver to close");
    CloseByServerOrder();
    s_.loop.Quit(0);
  };
  hooks.device_name = [this] { return s_.port.PortName(); };
  hooks.unit_ended = [this](const std::string& file, PacketEnd end) {
    RecordEnded(SpoolKind::kK7, file, end);
  };
  k7_side_ = std::make_unique<K7Side>(s_.loop, s_.clock, config_, std::move(hooks), s_.k7_clients,
                                      timings_.k8.failback_ms,
                                      [this](Server server, const std::string& address) {
                                        OnServer(SpoolKind::kK7, server, address);
                                      });
  k7_ = &k7_side_->channel();
}

void Driver::SetClockByServer(TDateTime time) {
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

void Driver::OpenConfiguredPort() {
  // A port that does not open is reported on standard error with its reason (the message
  // box does not exist yet) and tried again until it opens.
  run_control_.SetRetryMs(timings_.port_retry_ms);
  if (config_.com_port != kNoPort) run_control_.OpenAtStartUp();
}

void Driver::StartK8Link() {
  K8Link::Hooks hooks;
  hooks.greeting_values = [this] {
    return K8Link::GreetingValues{com_port_name(), s_.port.IsOpen(), config_.first_number};
  };
  hooks.add_log_line = [this](const std::string& text) { AddLogLine(text); };
  hooks.advance_indicator = [this] { AdvanceK8Indicator(); };
  hooks.request_ret_query = [this] { station_->RequestRetQuery(); };
  hooks.server_changed = [this](Server server, const std::string& address) {
    OnServer(SpoolKind::kK8, server, address);
  };
  hooks.link_changed = [this](bool up, Server server) {
    telemetry_.K8LinkChanged(up, MetricServerOf(server));
  };
  hooks.packet_ended = [this](const std::string& file, PacketEnd end) {
    if (file.empty()) return;  // a record held in memory, or one NotSendToDiskK8 keeps there
    RecordEnded(SpoolKind::kK8, file, end);
    // As fast as the server takes them: the next spooled packet goes as this one's reply came.
    if (replay_->rate() == 0 && k8_ && !shut_down_) replay_->ReplayK8(*k8_);
  };
  k8_link_ = std::make_unique<K8Link>(K8Link::Services{s_.clock, s_.fs, s_.loop, s_.k8_clients},
                                      std::move(hooks), kIniFileName, timings_.k8);
  k8_ = k8_link_.get();
  output_->SetLinks(k7_, k8_);
  run_control_.SetPortStateSink([this](const std::string& port_name, bool open) {
    return QueuePortState(*k8_, port_name, open);
  });
}

void Driver::OnServer(SpoolKind link, Server server, const std::string& address) {
  const bool k8 = link == SpoolKind::kK8;
  std::string& backup = k8 ? k8_backup_ : k7_backup_;
  const bool moved = (server == Server::kBackup) != !backup.empty();
  backup = server == Server::kBackup ? address : std::string();
  telemetry_.LinkOnServer(k8 ? MetricLink::kK8 : MetricLink::kK7, MetricServerOf(server));
  (k8 ? window_.k8_hint : window_.k7_hint) = ServerHint(server, address);
  s_.view.Update(k8 ? ViewPart::kK8Indicator : ViewPart::kK7Indicator);
  if (!moved) return;
  AddLogLine(std::string(k8 ? "K8: " : "K7: ") + (server == Server::kBackup
                                                      ? "переход на резервный сервер " + address
                                                      : "возврат на основной сервер " + address));
}

void Driver::ShowMessageBox(const std::string& text) {
  if (message_box_ready_) s_.view.ShowMessageBox(text);
}

void Driver::AddLogLine(const std::string& text) {
  const std::string line = FormatDefaultDateTime(s_.clock.LocalNow()) + " " + text;
  DiagOutput(line);
  window_.log_lines.push_back(line);
  if (window_.log_lines.size() > kLogAreaLines) window_.log_lines.pop_front();
  s_.view.Update(ViewPart::kLog);
}

void Driver::AdvanceStationIndicator() {
  window_.station_counter = AdvanceCounter(window_.station_counter);
  s_.view.Update(ViewPart::kStationIndicator);
}

void Driver::AdvanceK7Indicator() {
  window_.k7_counter = AdvanceCounter(window_.k7_counter);
  s_.view.Update(ViewPart::kK7Indicator);
}

void Driver::AdvanceK8Indicator() {
  window_.k8_counter = AdvanceCounter(window_.k8_counter);
  s_.view.Update(ViewPart::kK8Indicator);
}

void Driver::OnHousekeepingTick() {
  // Whatever SendK7 says: retried every tick, without limit.
  if (k7_side_) k7_side_->KeepUp();
  if (station_) station_->CheckQueryInterval();
}

void Driver::OnReplayTick() {
  output_->unstored().Tick(k7_);
  if (config_.send_k8 && k8_) replay_->ReplayK8(*k8_);
  if (k7_side_) {
    k7_side_->CollectAcknowledged();  // delivered files go, and make room for more
    replay_->ReplayK7(*k7_);
  }
  replay_->FlushRemovals();
  for (SpoolKind kind : {SpoolKind::kK8, SpoolKind::kK7}) {
    Notice(kind).Replayed(replay_->waiting(kind), s_.clock.TickMs(), replay_->rate(),
                          replay_->replayed(kind));
    SpoolChanged(kind);
  }
  telemetry_.Held(output_->unstored().size(), output_->unstored().lost());
  if (const auto heard = station_watch_.Tick(s_.clock.Now(), station_->last_receive_time())) {
    telemetry_.StationHeard(*heard);
    window_.station_link = *heard;
    s_.view.Update(ViewPart::kStationIndicator);
    if (config_.send_k7) output_->SendServiceFrame(*heard ? kK7StationHeard : kK7StationSilent);
  }
  UpdateReplayTimer();
}

// The replay tick runs every 200 ms while anything waits for it (spool files, records held in
// memory). Otherwise only the station-silence watch needs it: once, when the station would
// count as silent, or at the next tick after a silent station is heard again. An idle driver
// then sleeps instead of waking five times a second.
void Driver::UpdateReplayTimer() {
  if (shut_down_ || !replay_ || !output_ || !station_) return;
  const bool busy = replay_->waiting(SpoolKind::kK8) > 0 || replay_->waiting(SpoolKind::kK7) > 0 ||
                    !output_->unstored().empty();
  const TDateTime silent_from = station_->last_receive_time() + station_watch_.silence();
  const TDateTime now = s_.clock.Now();
  const bool heard_now = !(now > silent_from);
  int delay_ms = timings_.replay_ms;
  if (!busy && heard_now == station_watch_.heard()) {
    if (!heard_now) {
      StopReplayTimer();  // silent, and stays so until a packet comes
      return;
    }
    // One millisecond past the moment; a clock set back or forward is looked at again then.
    const double left_ms = (silent_from - now) / kSecond * 1000;
    delay_ms = static_cast<int>(std::clamp(left_ms + 1, 1.0, double(timings_.replay_ms) * 20));
  }
  const uint32_t due = s_.clock.TickMs() + static_cast<uint32_t>(delay_ms);
  // An armed tick that comes no later than wanted stays.
  if (replay_timer_ && static_cast<int32_t>(replay_due_tick_ - due) <= 0) return;
  StopReplayTimer();
  replay_due_tick_ = due;
  replay_timer_ = s_.loop.StartTimer(delay_ms, [this] {
    StopReplayTimer();  // one shot: the tick arms the next one
    OnReplayTick();
  });
}

void Driver::StopReplayTimer() {
  if (replay_timer_) s_.loop.StopTimer(replay_timer_);
  replay_timer_ = 0;
}

StatusFacts Driver::status_facts() const {
  StatusFacts f;
  f.port_name = com_port_name();
  f.port_open = s_.port.IsOpen();
  f.station_heard = window_.station_link;
  f.k8_used = config_.send_k8;
  f.k8_up = k8_link();
  f.k7_used = config_.send_k7;
  f.k7_up = window_.k7_link;
  f.k8_backup = k8_backup_;
  f.k7_backup = k7_backup_;
  if (replay_) {
    f.dd8_waiting = replay_->waiting(SpoolKind::kK8);
    f.ddk_waiting = replay_->waiting(SpoolKind::kK7);
  }
  f.last_event = last_event_time_;
  f.spool_failure = message_dir_error_;
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
  switch (s_.view.AskPassword(window_.close_password)) {
    case PasswordAnswer::kAccepted:
      Shutdown();
      return true;
    case PasswordAnswer::kWrong:
      ShowMessageBox("Не правильный пароль.");
      return false;
    case PasswordAnswer::kCancelled:
      return false;
  }
  return false;
}

void Driver::CloseByServerOrder() {
  close_by_server_ = true;
  Shutdown();
  s_.view.CloseWindow();
}

void Driver::CloseOnSignal() { Shutdown(); }

void Driver::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  if (closing_hook_) closing_hook_();
  for (MainLoop::Id* timer : {&housekeeping_timer_, &replay_timer_}) {
    if (*timer) s_.loop.StopTimer(*timer);
    *timer = 0;
  }
  if (s_.port.IsOpen()) s_.port.ClosePort();
  StopLinks();
  if (replay_) replay_->FlushRemovals();  // what the links' last reports deleted
  if (output_ && !output_->unstored().empty()) {
    output_->unstored().StoreAll();
    if (!output_->unstored().empty()) {
      DiagError("at the close: " + output_->unstored().StatusText() + "; they are lost");
    }
  }
}

void Driver::StopLinks() {
  // What the K7 socket took gets a bounded time to reach the server; the rest is spooled.
  if (k7_side_) k7_side_->Close(timings_.k7_drain_ms);
  if (k8_link_) {
    // The thread's last calls into the main thread are served while it ends; its ring is
    // then still, and the live events in it are kept on disk.
    k8_link_->StopAndWait();
    k8_ = nullptr;
    if (output_) output_->SetLinks(k7_, k8_);
    run_control_.SetPortStateSink(nullptr);
    const auto queued = k8_link_->TakeQueued();
    if (!config_.not_send_to_disk_k8 && spool_) {
      const int kept = SpoolLiveStationEvents(queued, *spool_, s_.clock.Now());
      if (kept > 0) DiagError("K8: " + std::to_string(kept) + " queued events spooled at close");
    }
  }
}

}  // namespace qarn
