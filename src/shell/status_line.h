// The one line that tells an operator how the driver is doing (systemd's STATUS=).
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "base/tdatetime.h"

namespace qarn {

struct StatusFacts {
  std::string port_name;  // kNoPort when none is configured
  bool port_open = false;
  bool station_heard = false;
  bool k8_used = false;
  bool k8_up = false;
  bool k7_used = false;
  bool k7_up = false;
  // "host:port" of the backup server a link is on; empty while on the primary.
  std::string k8_backup;
  std::string k7_backup;
  size_t dd8_waiting = 0;
  size_t ddk_waiting = 0;
  std::optional<CivilTime> last_event;
  std::string spool_failure;  // why spool files cannot be written; empty when they can
};

// "station COM3 open, heard; K8 up; K7 off; waiting 0 .dd8, 2 .ddk; last event 15.09.2010
// 14:05:07", led by the spool failure when there is one. A link on its backup server is
// "K8 up on backup 10.0.0.2:12543".
std::string FormatStatusLine(const StatusFacts& facts);

}  // namespace qarn
