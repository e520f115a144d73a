// The driver's settings from section [main] of "sqarn.ini".
#pragma once

#include <cstdint>
#include <string>

#include "base/ini_file.h"
#include "base/tdatetime.h"
#include "platform/file_system.h"
#include "platform/serial_device.h"
#include "station/station_frames.h"

namespace qarn {

inline constexpr const char* kIniFileName = "sqarn.ini";
inline constexpr const char* kNoPort = "COM255";

// The [ports] section of `ini`, which must outlive the mapping.
PortMapping PortsOf(const IniFile& ini);
// The [ports] section of the INI file at `path`, read again at every call.
PortMapping PortsOfFile(FileSystem& fs, std::string path);

struct Config {
  std::string com_port = kNoPort;
  int32_t n_abs = -1;
  int32_t name = -1;
  int32_t first_number = 4;
  std::string path_for_soob;
  std::string host = "localhost";
  std::string qarn_ret_opr = "03:00:00";
  TDateTime query_interval = 3.0 / 24.0;
  bool not_send_to_disk_k8 = false;
  std::string ret;
  RetEnabled ret_enabled;
  bool log = false;
  bool send_k7 = false;
  bool send_k8 = true;
  int32_t k7_port = 7788;
  std::string backup_host;        // the K7 link's backup server; empty: none
  int32_t backup_k7_port = 7788;  // K7Port unless given
  bool set_clock = true;
  // Spool files per second per link that the replay may send; 0: as fast as the server
  // takes them.
  int32_t replay_rate = 5;
  // The Prometheus metrics at http://MetricsAddress:MetricsPort/metrics; port 0: none.
  int32_t metrics_port = 0;
  std::string metrics_address = "127.0.0.1";
};

// Reads [main]. A QARNRetOpr that is not a time of day gives the three-hour default, and
// `warning` says so.
Config ReadConfig(const IniFile& ini, std::string* warning);

}  // namespace qarn
