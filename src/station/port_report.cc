#include "station/port_report.h"

namespace qarn {

std::string PortTitle(const std::string& com_name, const DeviceError& error) {
  std::string title = "station port " + (com_name.empty() ? std::string("(no name)") : com_name);
  if (!error.path.empty()) title += " (" + error.path + ")";
  return title;
}

std::string DescribeDeviceError(const DeviceError& error) {
  const auto with = [&](const std::string& what) {
    return error.detail.empty() ? what : what + ": " + error.detail;
  };
  switch (error.fault) {
    case DeviceFault::kMissing:
      return "no such device";
    case DeviceFault::kNoPermission:
      return error.detail.empty() ? "no permission to use the device"
                                  : "no permission (the user must be in group " + error.detail +
                                        ", which owns the device)";
    case DeviceFault::kHeld:
      return with("held by another program");
    case DeviceFault::kNotSerial:
      return "not a serial device";
    case DeviceFault::kRefused:
      return with("the line settings were refused");
    case DeviceFault::kHungUp:
      return with("the device went away");
    case DeviceFault::kNone:
    case DeviceFault::kFailed:
      break;
  }
  return error.detail.empty() ? "cannot be opened" : error.detail;
}

std::string PortFailureMessage(const DeviceError& error) {
  switch (error.fault) {
    case DeviceFault::kHeld:
      return "Порт уже занят!";
    case DeviceFault::kMissing:
      return "Порт не найден!";
    case DeviceFault::kNoPermission:
      return "Нет доступа к порту!";
    case DeviceFault::kNotSerial:
      return "Это не последовательный порт!";
    case DeviceFault::kRefused:
      return "Порт не принял настройки!";
    default:
      return "Порт не открывается!";
  }
}

}  // namespace qarn
