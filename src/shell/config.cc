#include "shell/config.h"

#include "platform/ini_load.h"
#include "station/station_protocol.h"

namespace qarn {

PortMapping PortsOf(const IniFile& ini) {
  return [&ini](const std::string& name) { return ini.Find("ports", name); };
}

PortMapping PortsOfFile(FileSystem& fs, std::string path) {
  return [&fs, path = std::move(path)](const std::string& name) {
    return LoadIniFile(fs, path).Find("ports", name);
  };
}

Config ReadConfig(const IniFile& ini, std::string* warning) {
  static constexpr const char* kMain = "main";
  Config c;
  c.com_port = ini.ReadString(kMain, "ComPort", c.com_port);
  c.n_abs = ini.ReadInteger(kMain, "n_abs", c.n_abs);
  c.name = ini.ReadInteger(kMain, "name", c.name);
  c.first_number = ini.ReadInteger(kMain, "FirstNumber", c.first_number);
  c.path_for_soob = ini.ReadString(kMain, "PathForSoob", c.path_for_soob);
  c.host = ini.ReadString(kMain, "host", c.host);
  c.qarn_ret_opr = ini.ReadString(kMain, "QARNRetOpr", c.qarn_ret_opr);
  if (const auto interval = ParseTimeOfDay(c.qarn_ret_opr)) {
    c.query_interval = *interval;
  } else if (warning) {
    *warning = "sqarn.ini: QARNRetOpr \"" + c.qarn_ret_opr +
               "\" is not a time of day (hh:mm:ss); using 03:00:00";
  }
  c.not_send_to_disk_k8 = ini.ReadBool(kMain, "NotSendToDiskK8", c.not_send_to_disk_k8);
  c.ret = ini.ReadString(kMain, "ret", c.ret);
  c.log = ini.ReadBool(kMain, "Log", c.log);
  c.send_k7 = ini.ReadBool(kMain, "SendK7", c.send_k7);
  c.send_k8 = ini.ReadBool(kMain, "SendK8", c.send_k8);
  c.k7_port = ini.ReadInteger(kMain, "K7Port", c.k7_port);
  c.set_clock = ini.ReadBool(kMain, "SetClock", c.set_clock);
  c.ret_enabled = ParseRetEnabled(c.ret);
  return c;
}

}  // namespace qarn
