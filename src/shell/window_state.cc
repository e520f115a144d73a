#include "shell/window_state.h"

#include "platform/diag.h"

namespace qarn {

void WindowState::ShowMessage(const std::string& text) {
  if (message_box_ready_) view_.ShowMessageBox(text);
}

void WindowState::Activity(Indicator indicator) {
  switch (indicator) {
    case Indicator::kStation:
      model_.station_counter = AdvanceCounter(model_.station_counter);
      view_.Update(ViewPart::kStationIndicator);
      return;
    case Indicator::kK7:
      model_.k7_counter = AdvanceCounter(model_.k7_counter);
      view_.Update(ViewPart::kK7Indicator);
      return;
    case Indicator::kK8:
      model_.k8_counter = AdvanceCounter(model_.k8_counter);
      view_.Update(ViewPart::kK8Indicator);
      return;
  }
}

void WindowState::LogLine(const std::string& text) {
  const std::string line = FormatDefaultDateTime(clock_.LocalNow()) + " " + text;
  DiagOutput(line);
  model_.log_lines.push_back(line);
  if (model_.log_lines.size() > kLogAreaLines) model_.log_lines.pop_front();
  view_.Update(ViewPart::kLog);
}

void WindowState::LinkChanged(SpoolKind link, bool up, Server) {
  if (link == SpoolKind::kK7) {
    model_.k7_link = up;
    view_.Update(ViewPart::kK7Indicator);
  } else {
    model_.k8_link = up;
    view_.Update(ViewPart::kK8Indicator);
  }
}

void WindowState::OnServer(SpoolKind link, Server server, const std::string& address) {
  const bool k8 = link == SpoolKind::kK8;
  std::string& backup = backup_[Index(link)];
  const bool moved = (server == Server::kBackup) != !backup.empty();
  backup = server == Server::kBackup ? address : std::string();
  (k8 ? model_.k8_hint : model_.k7_hint) = ServerHint(server, address);
  view_.Update(k8 ? ViewPart::kK8Indicator : ViewPart::kK7Indicator);
  if (!moved) return;
  LogLine(std::string(k8 ? "K8: " : "K7: ") + (server == Server::kBackup
                                                   ? "переход на резервный сервер " + address
                                                   : "возврат на основной сервер " + address));
}

void WindowState::StationHeard(bool heard) {
  model_.station_link = heard;
  view_.Update(ViewPart::kStationIndicator);
}

}  // namespace qarn
