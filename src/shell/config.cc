#include "shell/config.h"

#include <utility>

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
  static constexpr std::pair<const char*, std::string Config::*> kTexts[] = {
      {"ComPort", &Config::com_port},
      {"PathForSoob", &Config::path_for_soob},
      {"host", &Config::host},
      {"QARNRetOpr", &Config::qarn_ret_opr},
      {"ret", &Config::ret},
      {"BackupHost", &Config::backup_host},
      {"MetricsAddress", &Config::metrics_address},
  };
  static constexpr std::pair<const char*, int32_t Config::*> kNumbers[] = {
      {"n_abs", &Config::n_abs},
      {"name", &Config::name},
      {"FirstNumber", &Config::first_number},
      {"K7Port", &Config::k7_port},
      {"ReplayRate", &Config::replay_rate},
      {"MetricsPort", &Config::metrics_port},
  };
  static constexpr std::pair<const char*, bool Config::*> kFlags[] = {
      {"NotSendToDiskK8", &Config::not_send_to_disk_k8},
      {"Log", &Config::log},
      {"SendK7", &Config::send_k7},
      {"SendK8", &Config::send_k8},
      {"SetClock", &Config::set_clock},
  };
  Config c;
  for (const auto& [key, field] : kTexts) c.*field = ini.ReadString(kMain, key, c.*field);
  for (const auto& [key, field] : kNumbers) c.*field = ini.ReadInteger(kMain, key, c.*field);
  for (const auto& [key, field] : kFlags) c.*field = ini.ReadBool(kMain, key, c.*field);
  if (const auto interval = ParseTimeOfDay(c.qarn_ret_opr)) {
    c.query_interval = *interval;
  } else if (warning) {
    *warning = "sqarn.ini: QARNRetOpr \"" + c.qarn_ret_opr +
               "\" is not a time of day (hh:mm:ss); using 03:00:00";
  }
  c.ret_enabled = ParseRetEnabled(c.ret);
  if (c.replay_rate < 0) c.replay_rate = Config().replay_rate;
  c.backup_k7_port = ini.ReadInteger(kMain, "BackupK7Port", c.k7_port);
  if (c.metrics_port < 0 || c.metrics_port > 65535) c.metrics_port = Config().metrics_port;
  return c;
}

}  // namespace qarn
