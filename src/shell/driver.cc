#include "shell/driver.h"

#include "platform/diag.h"

namespace qarn {

void HeadlessView::ShowMessageBox(const std::string& text) { DiagError(text); }

Driver::Driver(Services services)
    : s_(services),
      error_log_(services.fs),
      run_control_(
          services.port, services.fs, kIniFileName,
          RunControl::Hooks{
              [this] { return s_.view.AskPassword(close_password_) == PasswordAnswer::kAccepted; },
              [this](const std::string& text) { ShowMessageBox(text); },
              [this](int code) { WriteErrorLog(code); },
              [this] { s_.view.Update(ViewPart::kSetupPage); },
          }) {
  run_control_.SetComPortName(kNoPort);
}

Driver::~Driver() {
  if (housekeeping_timer_) s_.loop.StopTimer(housekeeping_timer_);
  s_.port.SetPacketHandler(nullptr);
}

void Driver::GeneratePassword() {
  // Seeded once per run from the system's entropy and the clock.
  std::random_device entropy;
  std::seed_seq seed{entropy(), entropy(), static_cast<unsigned>(s_.clock.TickMs()),
                     static_cast<unsigned>(s_.clock.LocalNow().millisecond)};
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> offset(0, 89998);
  close_password_ = std::to_string(10000 + offset(generator));
  s_.view.Update(ViewPart::kPassword);
}

void Driver::StartUp() {
  // 1. First values of the state.
  start_time_ = s_.clock.Now();
  station_link_ = false;
  close_by_server_ = false;
  // 2. The close password.
  GeneratePassword();
  // 3. The port list.
  run_control_.Reset();
  // 4. The configuration.
  std::string warning;
  config_ = ReadConfig(IniFile::Load(s_.fs, kIniFileName), &warning);
  if (!warning.empty()) DiagError(warning);
  run_control_.SetComPortName(config_.com_port);

  spool_ = std::make_unique<SpoolWriter>(
      s_.fs, config_.path_for_soob, config_.n_abs,
      SpoolWriter::Hooks{[this](int code) { WriteErrorLog(code); }, nullptr});
  spool_->RemoveStaleTemporaries();
  output_ = std::make_unique<EventOutput>(
      EventOutput::Settings{config_.send_k7, config_.send_k8, config_.not_send_to_disk_k8}, *spool_,
      s_.clock, [this] { AdvanceK7Indicator(); });
  output_->SetLinks(k7_, k8_);
  run_control_.SetK8(config_.send_k8 ? k8_ : nullptr);

  StationProtocol::Settings station_settings;
  station_settings.first_number = config_.first_number;
  station_settings.query_interval = config_.query_interval;
  station_settings.log = config_.log;
  station_settings.send_k7 = config_.send_k7;
  station_settings.ret_enabled = config_.ret_enabled;
  StationProtocol::Hooks station_hooks;
  station_hooks.send = [this](ByteView frame) { s_.port.Send(frame); };
  station_hooks.advance_indicator = [this] { AdvanceStationIndicator(); };
  station_hooks.deliver_event = [this](const StationEvent& e) { output_->DeliverStationEvent(e); };
  station_hooks.send_service_frame = [this](uint8_t type) { output_->SendServiceFrame(type); };
  station_ = std::make_unique<StationProtocol>(
      std::move(station_settings), std::move(station_hooks), s_.clock, s_.fs, start_time_);
  s_.port.SetPacketHandler([this](ByteView packet) { station_->HandleStationPacket(packet); });

  // 5. The serial port.
  OpenConfiguredPort();
  // 6. K7: the indicator shows only when the link is used.
  s_.view.Update(ViewPart::kK7Indicator);
  // 7. K8.
  s_.view.Update(ViewPart::kK8Indicator);
  // 8. The start time.
  start_time_text_ = FormatDefaultDateTime(*DecodeDateTime(start_time_));
  s_.view.Update(ViewPart::kStartTime);

  housekeeping_timer_ =
      s_.loop.StartTimer(kHousekeepingIntervalMs, [this] { OnHousekeepingTick(); });
}

void Driver::OpenConfiguredPort() {
  if (config_.com_port != kNoPort) {
    if (!run_control_.OpenAtStartUp()) {
      // The message box does not exist yet; say it where a person can see it.
      DiagError("Порт уже занят. Смените его. (" + config_.com_port + ")");
      ShowMessageBox("Порт уже занят. Смените его.");
    }
  }
}

void Driver::ShowMessageBox(const std::string& text) {
  if (message_box_ready_) s_.view.ShowMessageBox(text);
}

void Driver::AddLogLine(const std::string& text) {
  const std::string line = FormatDefaultDateTime(s_.clock.LocalNow()) + " " + text;
  DiagOutput(line);
  log_lines_.push_back(line);
  if (log_lines_.size() > kLogAreaLines) log_lines_.pop_front();
  s_.view.Update(ViewPart::kLog);
}

void Driver::AdvanceStationIndicator() {
  station_counter_ = AdvanceCounter(station_counter_);
  s_.view.Update(ViewPart::kStationIndicator);
}

void Driver::AdvanceK7Indicator() {
  k7_counter_ = AdvanceCounter(k7_counter_);
  s_.view.Update(ViewPart::kK7Indicator);
}

void Driver::AdvanceK8Indicator() {
  k8_counter_ = AdvanceCounter(k8_counter_);
  s_.view.Update(ViewPart::kK8Indicator);
}

void Driver::OnHousekeepingTick() {
  if (station_) station_->CheckQueryInterval();
}

bool Driver::HandleCloseRequest() {
  if (shut_down_) return true;
  if (close_by_server_) {
    Shutdown();
    return true;
  }
  switch (s_.view.AskPassword(close_password_)) {
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
  if (housekeeping_timer_) {
    s_.loop.StopTimer(housekeeping_timer_);
    housekeeping_timer_ = 0;
  }
  if (s_.port.IsOpen()) s_.port.ClosePort();
  StopLinks();
}

void Driver::StopLinks() {
  // The K8 link thread is stopped and waited for here once it exists.
}

}  // namespace qarn
