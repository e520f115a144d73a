#include "shell/k7_side.h"

#include <string>

#include "base/socket_error.h"

namespace qarn {
namespace {

void Aim(K7Client& client, const ServerAddress& to) {
  client.SetHost(to.host);
  client.SetPort(static_cast<uint16_t>(to.port));
}

}  // namespace

K7Side::K7Side(Services services, const Config& config, uint32_t failback_ms)
    : s_(std::move(services)),
      choice_(failback_ms),
      client_(s_.make_client(s_.loop)),
      exchange_(*client_, s_.clock, K7Exchange::Settings{config.send_k7}, *this) {
  primary_ = {config.host, config.k7_port};
  if (config.k7_port <= 0 || config.k7_port > 65535) {
    DiagError("K7Port " + std::to_string(config.k7_port) + " is no TCP port; using " +
              std::to_string(kDefaultK7Port));
    primary_.port = kDefaultK7Port;
  }
  backup_ = {config.backup_host, config.backup_k7_port};
  // What is wrong with the backup, start-up's check of the configuration has said.
  choice_.SetHasBackup(!backup_.host.empty() && BackupProblem(primary_, backup_).empty());
  Aim(*client_, primary_);
}

std::string K7Side::Peer() const { return client_->Host() + ":" + std::to_string(client_->Port()); }

void K7Side::Connect() {
  attempting_ = true;
  client_->SetConnected(true);
}

JournalFields K7Side::Fields(Server server, const std::string& reason) const {
  JournalFields fields = {
      {"QARN_LINK", "k7"}, {"QARN_SERVER", ServerName(server)}, {"QARN_PEER", Peer()}};
  if (!reason.empty()) fields.emplace_back("QARN_REASON", reason);
  return fields;
}

void K7Side::LinkChanged(bool up) {
  const Server server = choice_.next();
  if (up) {
    attempting_ = false;
    failures_.Succeeded();
    DiagState(JournalKind::kLinkUp, kDiagError, "K7: connected to " + Peer(), Fields(server));
    if (!moving_ && choice_.Connected(s_.clock.TickMs())) {
      const Server other = OtherServer(server);
      const std::string& why = why_[static_cast<int>(other)];
      DiagState(JournalKind::kLinkSwitched, kDiagError,
                SwitchedText("K7", server, AddressOf(other).Text(), why, Peer()),
                Fields(server, why.empty() ? "no connection" : why));
    }
    s_.observer.OnServer(SpoolKind::kK7, server, Peer());
  } else if (up_ && !moving_) {
    const std::string why =
        exchange_.dropped_stalled() ? "took nothing for 30 s" : "connection lost";
    DiagState(JournalKind::kLinkDown, kDiagError, "K7: connection lost", Fields(server, why));
    why_[static_cast<int>(server)] = why;
    choice_.Lost(!exchange_.dropped_stalled());
  }
  s_.observer.LinkChanged(SpoolKind::kK7, up, server);
  up_ = up;
}

void K7Side::Error(int32_t code, const std::string& text) {
  const Server server = choice_.next();
  why_[static_cast<int>(server)] = text;
  if (!attempting_) return;  // the end of a connection, already counted as lost
  attempting_ = false;
  if (server == Server::kBackup && (code == kSocketBadAddress || code == kSocketHostNotFound)) {
    DiagError("K7: the backup " + Peer() + " resolves to nothing; the link runs on the primary " +
              "alone");
    choice_.SetHasBackup(false);
    return;
  }
  choice_.AttemptFailed();
  // Retried every 3 seconds: only the first failure of a run of them is reported.
  failures_.Failed(Peer() + ": " + text + " (" + std::to_string(code) + ")");
}

void K7Side::StartAttempt() {
  Aim(*client_, AddressOf(choice_.next()));
  Connect();
}

void K7Side::KeepUp() {
  if (client_->Connected()) {
    if (choice_.ProbeDue(s_.clock.TickMs())) StartProbe();
    exchange_.KeepUp();
    return;
  }
  if (attempting_ && choice_.has_backup()) {
    // With a backup to go to, an attempt that has not connected within a pause has failed.
    attempting_ = false;
    why_[static_cast<int>(choice_.next())] = "no answer in time";
    client_->SetConnected(false);
    choice_.AttemptFailed();
  }
  StartAttempt();  // without a backup, an attempt on its way goes on
}

void K7Side::StartProbe() {
  // A try still on its way after a whole failback time has failed too.
  choice_.ProbeFailed(s_.clock.TickMs());
  probe_ = s_.make_client(s_.loop);
  Aim(*probe_, primary_);
  std::weak_ptr<K7Side*> self = self_;
  probe_->SetOnConnected([self](K7Client&) {
    // Handled from the loop, outside the client's own event.
    if (auto side = self.lock())
      (*side)->s_.loop.Post([self] {
        if (auto s = self.lock()) (*s)->MoveToPrimary();
      });
  });
  probe_->SetOnError([self](K7Client& failed, int32_t, int32_t, const std::string&) {
    if (auto side = self.lock())
      (*side)->s_.loop.Post([self, which = &failed] {
        // Only this try: a later one may have taken its place meanwhile.
        if (auto s = self.lock(); s && (*s)->probe_.get() == which) (*s)->probe_.reset();
      });
  });
  probe_->SetConnected(true);
}

void K7Side::MoveToPrimary() {
  if (!probe_ || !probe_->Connected()) return;
  std::unique_ptr<K7Client> accepted = std::move(probe_);
  if (!client_->Connected() || choice_.next() != Server::kBackup) return;  // nothing to leave
  const std::string left = Peer();
  std::unique_ptr<K7Client> backup = std::move(client_);
  client_ = std::move(accepted);
  choice_.ProbeAccepted(s_.clock.TickMs());
  moving_ = true;
  exchange_.Adopt(*client_);  // closes the backup's connection and greets the primary
  moving_ = false;
  DiagState(JournalKind::kLinkSwitched, kDiagError, BackOnPrimaryText("K7", Peer(), left),
            Fields(Server::kPrimary, "the primary answers again"));
}

}  // namespace qarn
