#include "shell/status_line.h"

#include "shell/config.h"

namespace qarn {
namespace {

std::string LinkState(const char* name, bool used, bool up, const std::string& backup) {
  if (used && up && !backup.empty()) return std::string(name) + " up on backup " + backup;
  return std::string(name) + (!used ? " off" : up ? " up" : " down");
}

}  // namespace

std::string FormatStatusLine(const StatusFacts& f) {
  std::string line;
  // What the operator must act on comes first: systemctl may cut the line.
  if (!f.spool_failure.empty()) line = "SPOOL FILES CANNOT BE WRITTEN (" + f.spool_failure + "); ";
  if (f.port_name.empty() || f.port_name == kNoPort) {
    line += "station: no port";
  } else {
    line += "station " + f.port_name +
            (!f.port_open      ? " closed"
             : f.station_heard ? " open, heard"
                               : " open, silent");
  }
  line += "; " + LinkState("K8", f.k8_used, f.k8_up, f.k8_backup) + "; " +
          LinkState("K7", f.k7_used, f.k7_up, f.k7_backup);
  line += "; waiting " + std::to_string(f.dd8_waiting) + " .dd8, " + std::to_string(f.ddk_waiting) +
          " .ddk";
  line += f.last_event ? "; last event " + FormatDefaultDateTime(*f.last_event)
                       : std::string("; no event yet");
  // One line: a newline would end the assignment.
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line;
}

}  // namespace qarn
