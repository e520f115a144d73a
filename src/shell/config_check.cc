#include "shell/config_check.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "base/port_name.h"
#include "output/server_choice.h"
#include "station/station_protocol.h"

namespace qarn {
namespace {

enum class Kind {
  kText,
  kInteger,
  kCount,
  kBool,
  kTime,
  kRetList,
  kTcpPort,
  kPortName,
  kListenPort,  // a TCP port, or 0 for none
};

struct KnownKey {
  const char* section;
  const char* key;
  Kind kind;
};

constexpr const char* kMain = "main";
constexpr const char* kServerHost = "ServerHost";
constexpr const char* kPorts = "ports";

// In the order start-up reads them.
constexpr KnownKey kKnownKeys[] = {
    {kMain, "ComPort", Kind::kPortName},
    {kMain, "n_abs", Kind::kInteger},
    {kMain, "name", Kind::kInteger},
    {kMain, "FirstNumber", Kind::kInteger},
    {kMain, "PathForSoob", Kind::kText},
    {kMain, "host", Kind::kText},
    {kMain, "K7Port", Kind::kTcpPort},
    {kMain, "BackupHost", Kind::kText},
    {kMain, "BackupK7Port", Kind::kTcpPort},
    {kMain, "QARNRetOpr", Kind::kTime},
    {kMain, "NotSendToDiskK8", Kind::kBool},
    {kMain, "ret", Kind::kRetList},
    {kMain, "Log", Kind::kBool},
    {kMain, "SendK7", Kind::kBool},
    {kMain, "SendK8", Kind::kBool},
    {kMain, "SetClock", Kind::kBool},
    {kMain, "ReplayRate", Kind::kCount},
    {kMain, "MetricsPort", Kind::kListenPort},
    {kMain, "MetricsAddress", Kind::kText},
    {kServerHost, "Address", Kind::kText},
    {kServerHost, "Port", Kind::kTcpPort},
    {kServerHost, "PacketSize", Kind::kInteger},
    {kServerHost, "BackupAddress", Kind::kText},
    {kServerHost, "BackupPort", Kind::kTcpPort},
};
constexpr const char* kSections[] = {kMain, kServerHost, kPorts};

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool SameName(std::string_view a, std::string_view b) { return Lower(a) == Lower(b); }

// Any bytes a person may have typed, fit for one line of a report: control bytes written
// as \xNN, and cut after `max_shown` bytes.
std::string Shown(std::string_view text, size_t max_shown = 80) {
  std::string out;
  for (size_t i = 0; i < text.size() && i < max_shown; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (text.size() > max_shown) out += "...";
  return out;
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1] ? 1 : 0)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The known name nearest to `name`, when it is near enough to be a slip of the finger.
template <typename Names>
std::string Nearest(const std::string& name, const Names& names) {
  std::string best;
  if (name.size() > 40) return best;  // no slip of the finger, and no cost on huge lines
  size_t best_distance = std::max<size_t>(2, name.size() / 3) + 1;
  for (const std::string& candidate : names) {
    const size_t d = EditDistance(Lower(name), Lower(candidate));
    if (d < best_distance) {
      best_distance = d;
      best = candidate;
    }
  }
  return best;
}

// "COM1".."COM<large>": the keys of [ports].
bool IsPortKey(std::string_view key) {
  if (key.size() < 4 || !SameName(key.substr(0, 3), "COM")) return false;
  if (key[3] == '0') return false;
  return std::all_of(key.begin() + 3, key.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string Bool(bool b) { return b ? "1" : "0"; }

std::string EffectiveValue(const ConfigCheck& check, const KnownKey& known) {
  const Config& c = check.config;
  const std::string key = known.key;
  if (key == "ComPort") return c.com_port;
  if (key == "n_abs") return std::to_string(c.n_abs);
  if (key == "name") return std::to_string(c.name);
  if (key == "FirstNumber") return std::to_string(c.first_number);
  if (key == "PathForSoob") return c.path_for_soob;
  if (key == "host") return c.host;
  if (key == "K7Port") return std::to_string(c.k7_port);
  if (key == "BackupHost") return c.backup_host;
  if (key == "BackupK7Port") return std::to_string(c.backup_k7_port);
  if (key == "BackupAddress") return check.server_host.backup_address;
  if (key == "BackupPort") return std::to_string(check.server_host.backup_port);
  if (key == "QARNRetOpr") return ParseTimeOfDay(c.qarn_ret_opr) ? c.qarn_ret_opr : "03:00:00";
  if (key == "NotSendToDiskK8") return Bool(c.not_send_to_disk_k8);
  if (key == "ret") return c.ret;
  if (key == "Log") return Bool(c.log);
  if (key == "SendK7") return Bool(c.send_k7);
  if (key == "SendK8") return Bool(c.send_k8);
  if (key == "SetClock") return Bool(c.set_clock);
  if (key == "ReplayRate") return std::to_string(c.replay_rate);
  if (key == "MetricsPort") return std::to_string(c.metrics_port);
  if (key == "MetricsAddress") return c.metrics_address;
  if (key == "Address") return check.server_host.address;
  if (key == "Port") return std::to_string(check.server_host.port);
  return std::to_string(check.server_host.packet_size);  // PacketSize
}

// The problem with one value, or empty.
std::string ValueProblem(const KnownKey& known, const std::string& value,
                         const std::string& effective) {
  const std::string given = std::string(known.key) + "=" + Shown(value);
  switch (known.kind) {
    case Kind::kText:
    case Kind::kPortName:
      return {};
    case Kind::kInteger:
    case Kind::kBool:
      if (ParseIniInteger(value)) return {};
      return given + " is not a number; the default " + effective + " is used";
    case Kind::kCount: {
      const auto count = ParseIniInteger(value);
      if (!count) return given + " is not a number; the default " + effective + " is used";
      if (*count < 0) return given + " is below 0; the default " + effective + " is used";
      return {};
    }
    case Kind::kTcpPort: {
      const auto port = ParseIniInteger(value);
      if (!port) return given + " is not a number; the default " + effective + " is used";
      if (*port < 1 || *port > 65535) return given + " is not a TCP port (1..65535)";
      return {};
    }
    case Kind::kListenPort: {
      const auto port = ParseIniInteger(value);
      if (!port) return given + " is not a number; the default " + effective + " is used";
      if (*port < 0 || *port > 65535) {
        return given + " is not a TCP port (1..65535, or 0 for none); the default " + effective +
               " is used";
      }
      return {};
    }
    case Kind::kTime:
      if (ParseTimeOfDay(value)) return {};
      return given + " is not a time of day hh:mm:ss below 24:00:00; the default " + effective +
             " is used";
    case Kind::kRetList: {
      std::string bad;
      size_t begin = 0;
      while (begin <= value.size()) {
        size_t end = value.find(',', begin);
        if (end == std::string::npos) end = value.size();
        const std::string item = value.substr(begin, end - begin);
        const bool digits =
            !item.empty() && item.size() <= 2 && item[0] != '0' &&
            std::all_of(item.begin(), item.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (!item.empty() && (!digits || std::stoi(item) > 32)) {
          bad += (bad.empty() ? "\"" : ", \"") + Shown(item) + "\"";
        }
        begin = end + 1;
      }
      if (bad.empty()) return {};
      return "ret: ignored " + bad +
             ": a retranslator number is 1..32, written without spaces or leading zeros";
    }
  }
  return {};
}

// Walks the file's items once, in order, noting each problem with its line.
class ItemChecker {
 public:
  ItemChecker(FileSystem& fs, ConfigCheck* check) : fs_(fs), check_(check) {
    for (const KnownKey& k : kKnownKeys) all_keys_.push_back(k.key);
  }

  void Check(const IniFile::Item& item) {
    switch (item.kind) {
      case IniFile::Item::kBlank:
        return;
      case IniFile::Item::kSection:
        return CheckSection(item);
      case IniFile::Item::kOther:
        // Comment lines are ignored by the reader as lines without '=' are; only the latter
        // deserve a word.
        if (item.value.front() != ';' && item.value.front() != '#') {
          Problem(item.line,
                  "\"" + Shown(item.value) + "\" is neither [section] nor key=value; ignored");
        }
        return;
      case IniFile::Item::kEntry:
        return CheckKey(item);
    }
  }

  void Finish() {
    if (unlisted_ > 0) {
      check_->problems.push_back("and " + std::to_string(unlisted_) +
                                 " more problems of the same kinds");
    }
  }

 private:
  // A file of garbage must not flood standard error at every start.
  static constexpr size_t kMaxListed = 100;

  void Problem(size_t line, const std::string& text) {
    if (check_->problems.size() < kMaxListed) {
      check_->problems.push_back("line " + std::to_string(line) + ": " + text);
    } else {
      ++unlisted_;
    }
  }

  void CheckSection(const IniFile::Item& item) {
    in_counted_section_ = false;
    const auto known = std::find_if(std::begin(kSections), std::end(kSections),
                                    [&](const char* s) { return SameName(s, item.section); });
    const auto [first, fresh] = first_section_line_.emplace(Lower(item.section), item.line);
    if (!fresh) {
      Problem(item.line, "section [" + Shown(item.section) + "] appears again (first at line " +
                             std::to_string(first->second) + "); only the first counts");
    } else if (known == std::end(kSections)) {
      const std::string near = Nearest(
          item.section, std::vector<std::string>(std::begin(kSections), std::end(kSections)));
      Problem(item.line, "unknown section [" + Shown(item.section) + "]" +
                             (near.empty() ? "" : " (did you mean [" + near + "]?)"));
    } else {
      in_counted_section_ = true;
      section_ = *known;
    }
  }

  void CheckKey(const IniFile::Item& item) {
    if (item.key.empty() || item.key.front() == ';' || item.key.front() == '#') return;
    if (item.section.empty()) {
      Problem(item.line, Shown(item.key) + " stands before any section; ignored");
      return;
    }
    if (!in_counted_section_) return;  // its section is already reported
    const auto [first, fresh] =
        first_key_line_.emplace(Lower(section_) + "\n" + Lower(item.key), item.line);
    if (!fresh) {
      Problem(item.line, Shown(item.key) + " given again in [" + section_ + "] (first at line " +
                             std::to_string(first->second) + "); only the first counts");
      return;
    }
    if (section_ == kPorts) return CheckPortKey(item);
    const auto known = std::find_if(std::begin(kKnownKeys), std::end(kKnownKeys), [&](auto& k) {
      return k.section == section_ && SameName(k.key, item.key);
    });
    if (known == std::end(kKnownKeys)) return UnknownKey(item);
    for (ConfigCheck::Value& v : check_->values) {
      if (v.section == section_ && v.key == known->key) v.line = item.line;
    }
    const std::string effective = EffectiveValue(*check_, *known);
    if (const std::string p = ValueProblem(*known, item.value, effective); !p.empty()) {
      Problem(item.line, p);
    }
  }

  void CheckPortKey(const IniFile::Item& item) {
    if (!IsPortKey(item.key)) {
      Problem(item.line, "[ports] key " + Shown(item.key) + " is no port name COMn");
    } else if (!item.value.empty() && !fs_.Exists(item.value)) {
      Problem(item.line,
              "[ports] " + Shown(item.key) + "=" + Shown(item.value) + ": no such device");
    }
    check_->values.push_back({kPorts, item.key, item.value, item.line});
  }

  void UnknownKey(const IniFile::Item& item) {
    const auto elsewhere = std::find_if(std::begin(kKnownKeys), std::end(kKnownKeys),
                                        [&](auto& k) { return SameName(k.key, item.key); });
    std::string hint;
    if (elsewhere != std::end(kKnownKeys)) {
      hint = " (it belongs in [" + std::string(elsewhere->section) + "])";
    } else if (const std::string near = Nearest(item.key, all_keys_); !near.empty()) {
      hint = " (did you mean " + near + "?)";
    }
    Problem(item.line, "unknown key " + Shown(item.key) + " in [" + section_ + "]" + hint);
  }

  FileSystem& fs_;
  ConfigCheck* check_;
  std::map<std::string, size_t> first_section_line_;  // lower-case name -> line
  std::map<std::string, size_t> first_key_line_;      // "section\nkey" lower-case -> line
  std::vector<std::string> all_keys_;
  bool in_counted_section_ = false;  // the first section of a known name
  std::string section_;              // its canonical name
  size_t unlisted_ = 0;
};

void CheckItems(const IniFile& ini, FileSystem& fs, ConfigCheck* check) {
  ItemChecker checker(fs, check);
  for (const IniFile::Item& item : ini.Items()) checker.Check(item);
  checker.Finish();
}

}  // namespace

std::string ProbeMessageDirectory(FileSystem& fs, const std::string& prefix) {
  const std::string probe = prefix + "qarn-driver.probe";
  static constexpr uint8_t kByte[] = {0};
  std::string error;
  StoreResult result = fs.CreateDurable(probe, kByte, &error);
  if (result == StoreResult::kExists) {  // left by a crash in the moment between
    (void)fs.Remove(probe);  // a probe that stays makes the next create fail, and says why
    result = fs.CreateDurable(probe, kByte, &error);
  }
  // The directory comes from the file: its name may hold any bytes, the report shows them.
  const auto whole = std::string::npos;
  if (result != StoreResult::kStored) {
    return Shown(error.empty() ? "cannot store " + probe : error, whole);
  }
  if (!fs.Remove(probe)) return Shown("cannot remove " + probe, whole);
  return {};
}

namespace {

// A backup server that cannot serve; its port's range is a problem of its key already.
void CheckBackup(const char* link, const ServerAddress& primary, const ServerAddress& backup,
                 const HostResolves& resolves, ConfigCheck* check) {
  if (backup.host.empty() || backup.port < 1 || backup.port > 65535) return;
  std::string problem = BackupProblem(primary, backup);
  if (problem.empty() && resolves && !resolves(backup.host)) {
    problem = "the backup " + Shown(backup.host) + " resolves to nothing";
  }
  if (!problem.empty()) {
    check->problems.push_back(std::string(link) + ": " + problem +
                              "; the link runs on the primary alone");
  }
}

}  // namespace

ConfigCheck CheckConfig(FileSystem& fs, const std::string& path, const HostResolves& resolves) {
  ConfigCheck check;
  Bytes bytes;
  std::string error;
  IniFile ini;
  if (fs.ReadAll(path, &bytes, &error)) {
    check.file_read = true;
    ini = IniFile(std::string(bytes.begin(), bytes.end()));
  } else if (fs.Exists(path)) {
    check.problems.push_back(path + " cannot be read (" + error + "): every key has its default");
  } else {
    check.problems.push_back("no " + path + " in the current directory: every key has its default");
  }
  check.config = ReadConfig(ini, nullptr);
  check.server_host = ReadServerHost(ini);
  for (const KnownKey& k : kKnownKeys) {
    check.values.push_back({k.section, k.key, EffectiveValue(check, k), 0});
  }
  CheckItems(ini, fs, &check);

  const Config& c = check.config;
  const ServerHost& k8 = check.server_host;
  CheckBackup("K8", {k8.address, k8.port}, {k8.backup_address, k8.backup_port}, resolves, &check);
  CheckBackup("K7", {c.host, c.k7_port}, {c.backup_host, c.backup_k7_port}, resolves, &check);
  if (c.com_port != kNoPort) {
    const std::string device = SerialDevicePath(c.com_port, PortsOf(ini));
    if (!fs.Exists(device)) {
      check.problems.push_back("ComPort " + Shown(c.com_port) + " is device " + Shown(device) +
                               ", which does not exist");
    }
  }
  const std::string& dir = c.path_for_soob;
  if (!dir.empty() && dir.back() != '/' && fs.Exists(dir + "/.")) {
    check.problems.push_back("PathForSoob=" + Shown(dir) +
                             " is a directory but does not end with '/': spool files go beside "
                             "it, their names starting with its name");
  }
  check.message_dir_error = ProbeMessageDirectory(fs, dir);
  return check;
}

std::string MessageDirProblem(const ConfigCheck& check) {
  if (check.message_dir_error.empty()) return {};
  const std::string& dir = check.config.path_for_soob;
  return "the message directory " +
         (dir.empty() ? std::string("(the current directory)") : Shown(dir)) +
         " cannot take spool files: " + check.message_dir_error;
}

std::string FormatConfigCheck(const ConfigCheck& check) {
  std::string out;
  std::string section;
  for (const ConfigCheck::Value& v : check.values) {
    if (v.section != section) {
      section = v.section;
      out += "[" + section + "]\n";
    }
    std::string line = "  " + Shown(v.key) + "=" + Shown(v.value);
    if (line.size() < 40) line.resize(40, ' ');
    out += line + (v.line ? "  ; line " + std::to_string(v.line) : "  ; default") + "\n";
  }
  std::vector<std::string> problems = check.problems;
  if (const std::string dir = MessageDirProblem(check); !dir.empty()) problems.push_back(dir);
  if (problems.empty()) {
    out += "no problems\n";
  } else {
    out +=
        std::to_string(problems.size()) + (problems.size() == 1 ? " problem:\n" : " problems:\n");
    for (const std::string& p : problems) out += "  " + p + "\n";
  }
  return out;
}

}  // namespace qarn
