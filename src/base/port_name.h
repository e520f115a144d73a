// Station port names: "COM3", and the device form "\\.\COM3" the port is opened by.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qarn {

// A serial port by its number. COM1..COM32 are the ports the setup page scans; "COM255" is
// the name of no port. The text stays where files and peers carry it ("sqarn.ini"'s ComPort,
// the K8 port state); the K7 port greeting carries the number.
class ComPort {
 public:
  static constexpr int kScanFirst = 1;
  static constexpr int kScanLast = 32;

  explicit constexpr ComPort(int number) : number_(number) {}

  // "COM3", the letters in any case, with one to nine digits; nothing for any other text.
  static std::optional<ComPort> Parse(std::string_view name);
  // The device form, "\\.\COM3".
  static std::optional<ComPort> ParseDevice(std::string_view device_name);

  int number() const { return number_; }
  std::string Name() const { return "COM" + std::to_string(number_); }
  std::string DeviceName() const { return DeviceNameOf(Name()); }

  // "\\.\" before a port's name as the operator gave it, which need not be a COMn.
  static std::string DeviceNameOf(const std::string& name);

  bool operator==(const ComPort&) const = default;

 private:
  int number_;
};

// The device path its owner maps a port name ("COM3") to, if any: the [ports] section of
// "sqarn.ini". A device asks at each open, so an edited mapping takes effect at the next.
using PortMapping = std::function<std::optional<std::string>(const std::string& name)>;

// "\\.\COM3" or "COM3" -> the mapping's COM3 where it has a non-empty one, else
// "/dev/ttyS2"; any other name is a path.
std::string SerialDevicePath(const std::string& port_name, const PortMapping& mapping);

}  // namespace qarn
