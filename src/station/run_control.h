// The setup page's logic: the scan for free serial ports, the choice of a port (stored as
// ComPort in "sqarn.ini"), starting and stopping the port, and the port-state packet to the
// K8 server after each of these. No widgets: the window shows page() and forwards clicks.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "output/links.h"
#include "platform/file_system.h"
#include "serial/station_port.h"

namespace qarn {

inline constexpr int kScanPortCount = 32;
inline constexpr int kPortSelectionError = 19;

// What the setup page shows.
struct SetupPage {
  std::vector<std::string> ports;  // the free ports of the last scan, "COM1".."COM32"
  std::string chosen;              // the port list's text
  bool running = false;            // run button captioned "Остановить"
};

class RunControl {
 public:
  struct Hooks {
    // The close-password dialog; true only when the operator typed the password.
    std::function<bool()> password_accepted;
    std::function<void(const std::string&)> show_message;
    std::function<void(int code)> write_error_log;
    // The setup page changed.
    std::function<void()> page_changed;
  };

  RunControl(StationPort& port, FileSystem& fs, std::string ini_path, Hooks hooks);

  // The K8 link that port-state packets go to; null while the link is not used.
  void SetK8(K8Channel* k8) { k8_ = k8; }

  // Start-up: the list emptied, and the stopped state.
  void Reset();
  // Start-up: opens the port named by ComPortName. False when it did not open; the page
  // then stays stopped, and nothing is shown or queued.
  bool OpenAtStartUp();

  void OnRescanClicked();
  void OnRunClicked();
  // A pick from the port list.
  void OnPortSelected(const std::string& port);
  // Text typed into the list's field: changes only the chosen port.
  void SetChosenText(const std::string& text);

  const SetupPage& page() const { return page_; }
  // Read by the K8 link thread for its greeting, hence the copy under the lock.
  std::string ComPortName() const;
  void SetComPortName(const std::string& name);

 private:
  void Scan();
  void SelectChosen();
  // False when the packet could not be queued.
  bool QueuePortState();
  bool StoreComPort(const std::string& value, std::string* error);
  bool TryOpen();
  void Changed();

  StationPort& port_;
  FileSystem& fs_;
  std::string ini_path_;
  Hooks hooks_;
  K8Channel* k8_ = nullptr;
  SetupPage page_;
  mutable std::mutex name_mutex_;
  std::string com_port_name_;
};

}  // namespace qarn
