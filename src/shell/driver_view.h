// What the operator sees of the driver: the window, or standard error when headless.
#pragma once

#include <string>

namespace qarn {

enum class PasswordAnswer { kAccepted, kWrong, kCancelled };

enum class ViewPart {
  kPassword,
  kStartTime,
  kStationIndicator,
  kK7Indicator,
  kK8Indicator,
  kLog,
  kSetupPage,
};

class DriverView {
 public:
  virtual ~DriverView() = default;
  // The driver's state shown in `part` changed: redraw it.
  virtual void Update(ViewPart part) = 0;
  // The modal message box; returns when the operator has pressed its button.
  virtual void ShowMessageBox(const std::string& text) = 0;
  // The modal close-password dialog.
  virtual PasswordAnswer AskPassword(const std::string& password) = 0;
  // The driver has shut down by the server's order: the window closes too.
  virtual void CloseWindow() {}
};

// Headless: messages go to standard error, and nobody can type a password.
class HeadlessView final : public DriverView {
 public:
  void Update(ViewPart) override {}
  void ShowMessageBox(const std::string& text) override;
  PasswordAnswer AskPassword(const std::string&) override { return PasswordAnswer::kCancelled; }
};

}  // namespace qarn
