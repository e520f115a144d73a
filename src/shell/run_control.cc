#include "shell/run_control.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "base/ini_file.h"
#include "base/port_name.h"
#include "k8/port_state.h"
#include "platform/diag.h"
#include "station/port_report.h"

namespace qarn {
namespace {

// "2 s"; a pause shortened for tests below a whole second reads "250 ms".
std::string PauseText(int ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

RunControl::RunControl(StationPort& port, MainLoop& loop, FileSystem& fs, std::string ini_path,
                       Operator& person, Observer& observer)
    : port_(port),
      loop_(loop),
      fs_(fs),
      ini_path_(std::move(ini_path)),
      person_(person),
      observer_(observer) {
  port_.SetLostHandler([this](const DeviceError& error) { OnPortLost(error); });
}

RunControl::~RunControl() {
  StopTrying();
  port_.SetLostHandler(nullptr);
}

std::string RunControl::ComPortName() const {
  std::lock_guard lock(name_mutex_);
  return com_port_name_;
}

void RunControl::SetComPortName(const std::string& name) {
  std::lock_guard lock(name_mutex_);
  com_port_name_ = name;
}

void RunControl::Changed() { observer_.PortChanged(port_.IsOpen()); }

void RunControl::Reset() {
  page_ = SetupPage{};
  Changed();
}

bool RunControl::TryOpen() {
  try {
    return port_.OpenPort();
  } catch (const std::exception& e) {
    DiagError(std::string("cannot open ") + port_.PortName() + ": " + e.what());
    return false;
  }
}

JournalFields RunControl::PortFields(const std::string& reason) const {
  JournalFields fields = {{"QARN_PORT", run_name_}};
  if (!reason.empty()) fields.emplace_back("QARN_REASON", reason);
  return fields;
}

std::string RunControl::Title(const DeviceError& error) const {
  return PortTitle(run_name_, error);
}

bool RunControl::OpenAtStartUp() {
  // The field shows the configured port, so that a start after a stop opens it again.
  page_.chosen = ComPortName();
  run_name_ = page_.chosen;
  port_.SetPortName(ComPort::DeviceNameOf(page_.chosen));
  page_.running = TryOpen();
  if (!page_.running) {
    const DeviceError error = port_.LastOpenError();
    KeepTrying(page_.chosen, DescribeDeviceError(error));
    DiagState(JournalKind::kPortLost, kDiagError,
              Title(error) + ": cannot open: " + DescribeDeviceError(error) +
                  "; trying again every " + PauseText(retry_fast_ms_),
              PortFields(DescribeDeviceError(error)));
  }
  Changed();
  return page_.running;
}

void RunControl::KeepTrying(const std::string& name, const std::string& reason) {
  StopTrying();
  run_name_ = name;
  retry_reason_ = reason;
  retry_elapsed_ms_ = 0;
  retry_interval_ms_ = retry_fast_ms_;
  retry_timer_ = loop_.StartTimer(retry_interval_ms_, [this] { OnRetryTick(); });
  page_.retrying = true;
}

void RunControl::StopTrying() {
  if (retry_timer_) loop_.StopTimer(retry_timer_);
  retry_timer_ = 0;
  page_.retrying = false;
}

void RunControl::OnRetryTick() {
  retry_elapsed_ms_ += retry_interval_ms_;
  if (port_.IsOpen()) {
    StopTrying();
    return;
  }
  port_.SetPortName(ComPort::DeviceNameOf(run_name_));
  if (!TryOpen()) {
    if (retry_elapsed_ms_ >= kRetryFastForMs && retry_interval_ms_ != kRetrySlowMs) {
      loop_.StopTimer(retry_timer_);
      retry_interval_ms_ = kRetrySlowMs;
      retry_timer_ = loop_.StartTimer(retry_interval_ms_, [this] { OnRetryTick(); });
    }
    // Silent while the reason stays; a new one (another program took the port, the device
    // came back without permission) is said once.
    const DeviceError error = port_.LastOpenError();
    if (const std::string reason = DescribeDeviceError(error); reason != retry_reason_) {
      retry_reason_ = reason;
      DiagError(Title(error) + ": cannot open: " + reason + "; trying again every " +
                PauseText(retry_interval_ms_));
    }
    return;
  }
  StopTrying();
  DiagState(JournalKind::kPortBack, kDiagError, Title(port_.LastOpenError()) + ": open again",
            PortFields());
  port_.SetDtr(true);
  page_.running = true;
  Changed();
  QueuePortState();
}

void RunControl::OnPortLost(const DeviceError& error) {
  // Meant to run still: the run state stays, and the port is tried again.
  KeepTrying(run_name_, DescribeDeviceError(error));
  DiagState(JournalKind::kPortLost, kDiagError,
            Title(error) + ": lost: " + DescribeDeviceError(error) + "; trying again every " +
                PauseText(retry_fast_ms_),
            PortFields(DescribeDeviceError(error)));
  Changed();
  QueuePortState();
}

void RunControl::Scan() {
  page_.ports.clear();
  for (int i = ComPort::kScanFirst; i <= ComPort::kScanLast; ++i) {
    const std::string name = ComPort(i).Name();
    port_.SetPortName(ComPort(i).DeviceName());
    if (TryOpen()) {
      port_.ClosePort();
      page_.ports.push_back(name);
    }
  }
  page_.chosen = page_.ports.empty() ? std::string() : page_.ports.front();
  Changed();
  SelectChosen();
}

void RunControl::OnRescanClicked() {
  if (page_.running) return;  // the button is disabled while running
  Scan();
}

void RunControl::OnPortSelected(const std::string& port) {
  if (page_.running) return;
  page_.chosen = port;
  Changed();
  SelectChosen();
}

void RunControl::SetChosenText(const std::string& text) {
  if (page_.running) return;
  page_.chosen = text;
}

void RunControl::SelectChosen() {
  // Another port chosen: the old one is no longer meant to run.
  if (page_.retrying && page_.chosen != run_name_) StopTrying();
  std::string error;
  if (!StoreComPort(page_.chosen, &error)) {
    DiagError("cannot store the chosen port in " + ini_path_ + ": " + error);
    observer_.ErrorCode(kPortSelectionError);
    return;
  }
  SetComPortName(page_.chosen);
  if (!QueuePortState()) observer_.ErrorCode(kPortSelectionError);
}

bool RunControl::StoreComPort(const std::string& value, std::string* error) {
  // Every other line of the file stays as it is; a file that exists but cannot be read is
  // not overwritten.
  Bytes old;
  std::string text;
  if (fs_.Exists(ini_path_)) {
    if (!fs_.ReadAll(ini_path_, &old, error)) return false;
    text.assign(old.begin(), old.end());
  }
  IniFile ini(std::move(text));
  ini.WriteString("main", "ComPort", value);
  const std::string& updated = ini.text();
  if (updated.size() == old.size() && std::equal(updated.begin(), updated.end(), old.begin()))
    return true;
  const Bytes bytes(updated.begin(), updated.end());
  return fs_.ReplaceDurable(ini_path_, bytes, error);
}

bool RunControl::QueuePortState() {
  if (!k8_) return true;
  if (::qarn::QueuePortState(*k8_, ComPortName(), port_.IsOpen())) return true;
  DiagError("the port-state packet was not queued: the K8 queue is full");
  return false;
}

void RunControl::OnRunClicked() {
  if (!page_.running) {
    // Start. ComPortName stays: it changed when the port was selected.
    StopTrying();
    run_name_ = page_.chosen;
    port_.SetPortName(ComPort::DeviceNameOf(page_.chosen));
    if (TryOpen()) {
      port_.SetDtr(true);
      page_.running = true;
      Changed();
    } else {
      const DeviceError error = port_.LastOpenError();
      DiagError(Title(error) + ": cannot open: " + DescribeDeviceError(error));
      person_.ShowMessage(PortFailureMessage(error));
      Scan();
    }
  } else {
    // Stop, behind the close password.
    if (person_.PasswordAccepted()) {
      StopTrying();
      if (port_.IsOpen()) port_.ClosePort();
      page_.running = false;
      Changed();
    } else {
      person_.ShowMessage("Неправильный пароль. В доступе отказано");
    }
  }
  QueuePortState();
}

}  // namespace qarn
