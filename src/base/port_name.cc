#include "base/port_name.h"

namespace qarn {
namespace {

constexpr std::string_view kDevicePrefix = "\\\\.\\";

bool IsLetter(char c, char upper) { return c == upper || c == upper - 'A' + 'a'; }

}  // namespace

std::optional<ComPort> ComPort::Parse(std::string_view name) {
  if (name.size() < 4 || name.size() > 12) return std::nullopt;
  if (!IsLetter(name[0], 'C') || !IsLetter(name[1], 'O') || !IsLetter(name[2], 'M')) {
    return std::nullopt;
  }
  int number = 0;
  for (const char c : name.substr(3)) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + (c - '0');
  }
  return ComPort(number);
}

std::optional<ComPort> ComPort::ParseDevice(std::string_view device_name) {
  if (device_name.substr(0, kDevicePrefix.size()) != kDevicePrefix) return std::nullopt;
  return Parse(device_name.substr(kDevicePrefix.size()));
}

std::string ComPort::DeviceNameOf(const std::string& name) {
  return std::string(kDevicePrefix) + name;
}

std::string SerialDevicePath(const std::string& port_name, const PortMapping& mapping) {
  std::string name = port_name;
  if (name.rfind(kDevicePrefix, 0) == 0) name = name.substr(kDevicePrefix.size());
  if (auto mapped = mapping ? mapping(name) : std::nullopt; mapped && !mapped->empty()) {
    return *mapped;
  }
  if (name.size() > 3 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
      (name[2] == 'M' || name[2] == 'm')) {
    int n = 0;
    size_t i = 3;
    for (; i < name.size() && name[i] >= '0' && name[i] <= '9' && n < 100000; ++i) {
      n = n * 10 + (name[i] - '0');
    }
    if (i == name.size() && n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
  }
  return name;
}

}  // namespace qarn
