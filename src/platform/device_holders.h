// Which processes have a device open, found as fuser finds them: from the descriptors
// listed under /proc/<pid>/fd. Processes whose descriptors we may not read are not seen.
#pragma once

#include <string>
#include <vector>

namespace qarn {

struct DeviceHolder {
  int pid = 0;
  std::string name;  // the process's command name
};

// Processes other than `self_pid` with an open descriptor on the file or device at `path`
// (the same device numbers, or the same file). `proc_root` is normally "/proc".
std::vector<DeviceHolder> FindDeviceHolders(const std::string& path, const std::string& proc_root,
                                            int self_pid);

// Whether `path` is the terminal side of a pseudo-terminal.
bool IsPseudoTerminal(const std::string& path);

// "minicom (pid 812)", several joined by ", ".
std::string DescribeHolders(const std::vector<DeviceHolder>& holders);

}  // namespace qarn
