#include "base/port_name.h"

#include <cstring>

namespace qarn {
namespace {

constexpr const char* kDevicePrefix = "\\\\.\\";

}  // namespace

std::string SerialDevicePath(const std::string& port_name, const PortMapping& mapping) {
  std::string name = port_name;
  if (name.rfind(kDevicePrefix, 0) == 0) name = name.substr(std::strlen(kDevicePrefix));
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
