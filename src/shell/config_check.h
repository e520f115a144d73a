// Reads "sqarn.ini" as start-up does and says what is wrong with it: the effective value of
// every key with where it came from, and every problem a person should mend. The driver
// prints the problems at every start; `qarn-driver --check-config` prints everything.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "k8/server_host.h"
#include "platform/file_system.h"
#include "shell/config.h"

namespace qarn {

struct ConfigCheck {
  struct Value {
    std::string section;
    std::string key;
    std::string value;
    size_t line = 0;  // where the file gives it; 0 for the default
  };

  bool file_read = false;
  Config config;           // [main], exactly as start-up reads it
  ServerHost server_host;  // [ServerHost], as the K8 link reads it
  std::vector<Value> values;
  std::vector<std::string> problems;  // of the file and what it names
  // Why the message directory does not take files; empty when it does.
  std::string message_dir_error;

  // The file was read and nothing is wrong.
  bool ok() const { return file_read && problems.empty() && message_dir_error.empty(); }
};

// Whether a host name or address resolves to an IPv4 address; may block.
using HostResolves = std::function<bool(const std::string& host)>;

// Also writes and removes a probe file in the message directory. With `resolves`, a backup
// server whose name resolves to nothing is a problem too.
ConfigCheck CheckConfig(FileSystem& fs, const std::string& path,
                        const HostResolves& resolves = nullptr);

// The line that says the message directory takes no files; empty when it does.
std::string MessageDirProblem(const ConfigCheck& check);

// The report of --check-config: the values by section, then the problems.
std::string FormatConfigCheck(const ConfigCheck& check);

// Stores a small file under the message directory's prefix and removes it; the error text
// when that fails, empty when it works.
std::string ProbeMessageDirectory(FileSystem& fs, const std::string& prefix);

}  // namespace qarn
