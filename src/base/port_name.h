// Station port names: "COM3", and the device form "\\.\COM3" the port is opened by.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace qarn {

// The device path its owner maps a port name ("COM3") to, if any: the [ports] section of
// "sqarn.ini". A device asks at each open, so an edited mapping takes effect at the next.
using PortMapping = std::function<std::optional<std::string>(const std::string& name)>;

// "\\.\COM3" or "COM3" -> the mapping's COM3 where it has a non-empty one, else
// "/dev/ttyS2"; any other name is a path.
std::string SerialDevicePath(const std::string& port_name, const PortMapping& mapping);

}  // namespace qarn
