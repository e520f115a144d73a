#include "output/server_choice.h"

#include <algorithm>
#include <cctype>

namespace qarn {
namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

}  // namespace

const char* ServerName(Server server) { return server == Server::kPrimary ? "primary" : "backup"; }

std::string SwitchedText(const char* link, Server to, const std::string& from_address,
                         const std::string& why, const std::string& to_address) {
  return std::string(link) + ": " + ServerName(OtherServer(to)) + " " + from_address +
         " lost: " + (why.empty() ? "no connection" : why) + "; on " + ServerName(to) + " " +
         to_address;
}

std::string BackOnPrimaryText(const char* link, const std::string& primary_address,
                              const std::string& backup_address) {
  return std::string(link) + ": primary " + primary_address + " answers again; back on it from " +
         "backup " + backup_address;
}

std::string BackupProblem(const ServerAddress& primary, const ServerAddress& backup) {
  if (backup.host.empty()) return {};
  if (backup.port < 1 || backup.port > 65535) {
    return "backup port " + std::to_string(backup.port) + " is not a TCP port (1..65535)";
  }
  if (Lower(backup.host) == Lower(primary.host) && backup.port == primary.port) {
    return "the backup " + backup.Text() + " is the primary itself";
  }
  return {};
}

void ServerChoice::SetHasBackup(bool has_backup) {
  if (has_backup == has_backup_) return;
  has_backup_ = has_backup;
  if (!has_backup_) {
    next_ = Server::kPrimary;
    alternating_ = false;
    failures_ = 0;
  }
}

void ServerChoice::AttemptFailed() {
  connected_ = false;
  if (!has_backup_) return;
  if (alternating_ || ++failures_ >= 2) {
    Switch();
    failures_ = 0;
    alternating_ = true;
  }
}

bool ServerChoice::Connected(uint32_t now) {
  const bool switched = ever_connected_ ? next_ != last_connected_ : next_ != Server::kPrimary;
  connected_ = true;
  ever_connected_ = true;
  last_connected_ = next_;
  // Failures still count until the server has answered on the connection: see Lost.
  probe_from_ = now;
  return switched;
}

void ServerChoice::Lost(bool answered) {
  if (!answered) return AttemptFailed();
  connected_ = false;
  failures_ = 1;
  alternating_ = false;
}

bool ServerChoice::ProbeDue(uint32_t now) const {
  return has_backup_ && connected_ && next_ == Server::kBackup && now - probe_from_ >= failback_ms_;
}

void ServerChoice::ProbeAccepted(uint32_t now) {
  next_ = Server::kPrimary;
  failures_ = 0;
  alternating_ = false;
  Connected(now);
}

}  // namespace qarn
