// The setup page's logic: the scan for free serial ports, the choice of a port (stored as
// ComPort in "sqarn.ini"), starting and stopping the port, and the port-state packet to the
// K8 server after each of these. A port meant to run that does not open, or fails while
// open, is tried again until it opens. No widgets: the window shows page() and forwards
// clicks.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "output/links.h"
#include "output/observer.h"
#include "platform/diag.h"
#include "platform/file_system.h"
#include "platform/main_loop.h"
#include "serial/station_port.h"

namespace qarn {

// What the setup page shows.
struct SetupPage {
  std::vector<std::string> ports;  // the free ports of the last scan, "COM1".."COM32"
  std::string chosen;              // the port list's text
  bool running = false;            // run button captioned "Остановить"
  bool retrying = false;           // the port is meant to run and is tried again
};

class RunControl {
 public:
  static constexpr int kPortSelectionError = 19;
  // A port meant to run is tried again this often for the first minute, then less often.
  static constexpr int kRetryFastMs = 2000;
  static constexpr int kRetrySlowMs = 10000;
  static constexpr int kRetryFastForMs = 60000;

  // The person at the window.
  class Operator {
   public:
    virtual ~Operator() = default;
    // The close-password dialog; true only when the operator typed the password.
    virtual bool PasswordAccepted() = 0;
    virtual void ShowMessage(const std::string& text) = 0;
  };

  // A change of the setup page, and error 19, go to `observer`.
  RunControl(StationPort& port, MainLoop& loop, FileSystem& fs, std::string ini_path,
             Operator& person, Observer& observer);
  ~RunControl();

  RunControl(const RunControl&) = delete;
  RunControl& operator=(const RunControl&) = delete;

  // The K8 link the port-state packet goes to; null while the link is not used.
  void SetK8(K8Channel* k8) { k8_ = k8; }
  // The first minute's retry pause (tests shorten it); before the port is tried.
  void SetRetryMs(int fast_ms) { retry_fast_ms_ = fast_ms; }

  // Start-up: the list emptied, and the stopped state.
  void Reset();
  // Start-up: opens the port named by ComPortName, which the list's field then shows. False
  // when it did not open: the reason goes to standard error, the page stays stopped,
  // nothing is shown or queued, and the port is tried again until it opens.
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
  // The port meant to run is `name`; tries again on the retry schedule until it opens.
  // Tries `name` again every while; `reason` is why it failed, as already said.
  void KeepTrying(const std::string& name, const std::string& reason);
  void StopTrying();
  void OnRetryTick();
  void OnPortLost(const DeviceError& error);
  std::string Title(const DeviceError& error) const;
  // The fields of the port's journal entries.
  JournalFields PortFields(const std::string& reason = std::string()) const;

  StationPort& port_;
  MainLoop& loop_;
  FileSystem& fs_;
  std::string ini_path_;
  Operator& person_;
  Observer& observer_;
  K8Channel* k8_ = nullptr;
  SetupPage page_;
  std::string run_name_;  // the short name of the port meant to run
  MainLoop::Id retry_timer_ = 0;
  int retry_fast_ms_ = kRetryFastMs;
  int retry_interval_ms_ = 0;
  int retry_elapsed_ms_ = 0;
  // Why the port did not open, as last said: a new reason is said once.
  std::string retry_reason_;
  mutable std::mutex name_mutex_;
  std::string com_port_name_;
};

}  // namespace qarn
