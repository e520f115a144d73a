#include "station/run_control.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "k8/k8_wire.h"
#include "platform/diag.h"
#include "platform/ini_file.h"

namespace qarn {
namespace {

constexpr const char* kDevicePrefix = "\\\\.\\";

}  // namespace

RunControl::RunControl(StationPort& port, FileSystem& fs, std::string ini_path, Hooks hooks)
    : port_(port), fs_(fs), ini_path_(std::move(ini_path)), hooks_(std::move(hooks)) {}

std::string RunControl::ComPortName() const {
  std::lock_guard lock(name_mutex_);
  return com_port_name_;
}

void RunControl::SetComPortName(const std::string& name) {
  std::lock_guard lock(name_mutex_);
  com_port_name_ = name;
}

void RunControl::Changed() {
  if (hooks_.page_changed) hooks_.page_changed();
}

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

bool RunControl::OpenAtStartUp() {
  port_.SetPortName(kDevicePrefix + ComPortName());
  page_.running = TryOpen();
  Changed();
  return page_.running;
}

void RunControl::Scan() {
  page_.ports.clear();
  for (int i = 1; i <= kScanPortCount; ++i) {
    const std::string name = "COM" + std::to_string(i);
    port_.SetPortName(kDevicePrefix + name);
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
  std::string error;
  if (!StoreComPort(page_.chosen, &error)) {
    DiagError("cannot store the chosen port in " + ini_path_ + ": " + error);
    if (hooks_.write_error_log) hooks_.write_error_log(kPortSelectionError);
    return;
  }
  SetComPortName(page_.chosen);
  if (!QueuePortState() && hooks_.write_error_log) hooks_.write_error_log(kPortSelectionError);
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
  const Bytes payload = BuildPortStatePayload(ComPortName(), port_.IsOpen());
  if (k8_->QueuePacket(kK8PortState, payload, std::string())) return true;
  DiagError("the port-state packet was not queued: the K8 queue is full");
  return false;
}

void RunControl::OnRunClicked() {
  if (!page_.running) {
    // Start. ComPortName stays: it changed when the port was selected.
    port_.SetPortName(kDevicePrefix + page_.chosen);
    if (TryOpen()) {
      port_.SetDtr(true);
      page_.running = true;
      Changed();
    } else {
      if (hooks_.show_message) hooks_.show_message("Порт уже занят!");
      Scan();
    }
  } else {
    // Stop, behind the close password.
    if (hooks_.password_accepted && hooks_.password_accepted()) {
      if (port_.IsOpen()) port_.ClosePort();
      page_.running = false;
      Changed();
    } else if (hooks_.show_message) {
      hooks_.show_message("Неправильный пароль. В доступе отказано");
    }
  }
  QueuePortState();
}

}  // namespace qarn
