// Section [ServerHost] of "sqarn.ini": where the K8 link connects.
#pragma once

#include <cstdint>
#include <string>

#include "base/ini_file.h"

namespace qarn {

struct ServerHost {
  std::string address = "127.0.0.1";
  int32_t port = 12543;
  int32_t packet_size = 2000;   // read for completeness; nothing depends on it
  std::string backup_address;   // empty: no backup server
  int32_t backup_port = 12543;  // the primary's port unless given
};

ServerHost ReadServerHost(const IniFile& ini);

}  // namespace qarn
