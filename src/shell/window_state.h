// What the operator sees of the driver, kept up to date from the facts the parts tell: the
// window's model (indicators, log area, hints), redrawn part by part through the view, and
// the facts of the status line that only facts give (the server each link is on, the last
// event, why the message directory takes no file). It is also the person the setup page
// asks for the close password and shows its messages to.
#pragma once

#include <optional>
#include <string>

#include "output/observer.h"
#include "platform/clock.h"
#include "shell/driver_view.h"
#include "shell/run_control.h"
#include "shell/window_model.h"

namespace qarn {

class WindowState final : public Observer, public RunControl::Operator {
 public:
  WindowState(DriverView& view, const Clock& clock) : view_(view), clock_(clock) {}

  const WindowModel& model() const { return model_; }
  WindowModel& model() { return model_; }
  // Redraws `part` of the window.
  void Update(ViewPart part) { view_.Update(part); }

  // The message box exists from here on (it is made after the main window); a message
  // before it goes to standard error only.
  void SetMessageBoxReady() { message_box_ready_ = true; }
  void ShowMessage(const std::string& text) override;
  bool PasswordAccepted() override {
    return view_.AskPassword(model_.close_password) == PasswordAnswer::kAccepted;
  }

  // "host:port" of the backup a link is on; empty while on the primary.
  const std::string& backup(SpoolKind link) const { return backup_[Index(link)]; }
  const std::optional<CivilTime>& last_event() const { return last_event_; }
  // Why the message directory took no file at start-up, until a spool file is stored.
  const std::string& message_dir_error() const { return message_dir_error_; }
  void SetMessageDirError(const std::string& error) { message_dir_error_ = error; }

  // Observer.
  void Activity(Indicator indicator) override;
  // A time-stamped line in the log area (at most 100 lines), also on standard output.
  void LogLine(const std::string& text) override;
  void LinkChanged(SpoolKind link, bool up, Server server) override;
  // The window's hint, and a line in the log area on a switch.
  void OnServer(SpoolKind link, Server server, const std::string& address) override;
  void StationHeard(bool heard) override;
  void PortChanged(bool) override { view_.Update(ViewPart::kSetupPage); }
  void EventReceived(const StationEvent&) override { last_event_ = clock_.LocalNow(); }
  void RecordStored(SpoolKind, const std::string&) override { message_dir_error_.clear(); }

 private:
  static int Index(SpoolKind link) { return link == SpoolKind::kK8 ? 1 : 0; }

  DriverView& view_;
  const Clock& clock_;
  WindowModel model_;
  bool message_box_ready_ = false;
  std::string backup_[2];  // K7, K8
  std::optional<CivilTime> last_event_;
  std::string message_dir_error_;
};

}  // namespace qarn
