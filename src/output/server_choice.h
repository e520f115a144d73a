// Which of a link's two message servers the next connection attempt goes to, and when a link
// that works on its backup tries the primary again. The same rule serves both links:
//
// - The link works on the primary. Two failed attempts in a row, or a lost connection and a
//   failed attempt after it, send the next attempt to the other server; while neither
//   answers, attempts alternate between them. A connection lost before the server ever
//   answered on it (it accepts and then stalls) counts as a failed attempt.
// - While connected to the backup, the primary is tried every `failback_ms` by a connection
//   of its own; once the primary accepts one, the link moves back to it.
//
// Without a backup every attempt goes to the primary and nothing else changes.
#pragma once

#include <cstdint>
#include <string>

namespace qarn {

enum class Server { kPrimary, kBackup };

// "primary" or "backup".
const char* ServerName(Server server);
inline Server OtherServer(Server server) {
  return server == Server::kPrimary ? Server::kBackup : Server::kPrimary;
}

// What a link says when it moves: "K8: primary 10.0.0.1:12543 lost: no reply in time; on
// backup 10.0.0.2:12543" (`why` empty: "no connection"), and "K8: primary 10.0.0.1:12543
// answers again; back on it from backup 10.0.0.2:12543".
std::string SwitchedText(const char* link, Server to, const std::string& from_address,
                         const std::string& why, const std::string& to_address);
std::string BackOnPrimaryText(const char* link, const std::string& primary_address,
                              const std::string& backup_address);

// Where one server is: a host name or dotted address, and a TCP port.
struct ServerAddress {
  std::string host;
  int32_t port = 0;
  std::string Text() const { return host + ":" + std::to_string(port); }
};

// Why `backup` cannot serve beside `primary`, or empty when it can (or when no backup is
// given: an empty host).
std::string BackupProblem(const ServerAddress& primary, const ServerAddress& backup);

inline constexpr uint32_t kDefaultFailbackMs = 60000;

class ServerChoice {
 public:
  explicit ServerChoice(uint32_t failback_ms = kDefaultFailbackMs) : failback_ms_(failback_ms) {}

  // Whether a usable backup is configured; taking it away sends the next attempt to the
  // primary.
  void SetHasBackup(bool has_backup);
  bool has_backup() const { return has_backup_; }

  // The server of the next attempt, and of the connection while one is up.
  Server next() const { return next_; }

  // An attempt to next() has failed.
  void AttemptFailed();
  // An attempt to next() has connected at `now`. True when the link is now on another server
  // than on its last connection: a switch worth saying.
  bool Connected(uint32_t now);
  // The connection has been lost or dropped; `answered`: the server had answered on it.
  void Lost(bool answered = true);

  // While connected to the backup: whether the primary is due for a try at `now`.
  bool ProbeDue(uint32_t now) const;
  uint32_t probe_at() const { return probe_from_ + failback_ms_; }
  // The try of the primary has failed at `now`: the next comes `failback_ms` later.
  void ProbeFailed(uint32_t now) { probe_from_ = now; }
  // The primary has accepted the try at `now`: the link is on it.
  void ProbeAccepted(uint32_t now);

 private:
  void Switch() { next_ = OtherServer(next_); }

  uint32_t failback_ms_;
  bool has_backup_ = false;
  Server next_ = Server::kPrimary;
  int failures_ = 0;          // failed attempts in a row on next_, a lost connection counting
  bool alternating_ = false;  // neither server answers: every failure switches
  bool connected_ = false;
  bool ever_connected_ = false;
  Server last_connected_ = Server::kPrimary;
  uint32_t probe_from_ = 0;
};

}  // namespace qarn
