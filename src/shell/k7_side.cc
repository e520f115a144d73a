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

K7Side::K7Side(MainLoop& loop, const Clock& clock, const Config& config, K7Exchange::Hooks hooks,
               K7ClientFactory make_client, uint32_t failback_ms, ServerChanged server_changed)
    : loop_(loop),
      clock_(clock),
      make_client_(std::move(make_client)),
      server_changed_(std::move(server_changed)),
      choice_(failback_ms),
      client_(make_client_(loop)),
      exchange_(*client_, clock, K7Exchange::Settings{config.send_k7},
                Reporting(std::move(hooks))) {
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

K7Exchange::Hooks K7Side::Reporting(K7Exchange::Hooks hooks) {
  hooks.link_changed = [this, changed = std::move(hooks.link_changed)](bool up) {
    OnLinkChanged(up);
    if (changed) changed(up);
  };
  hooks.error = [this](int32_t code, const std::string& text) { OnError(code, text); };
  return hooks;
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

void K7Side::OnLinkChanged(bool up) {
  const Server server = choice_.next();
  if (up) {
    attempting_ = false;
    failures_.Succeeded();
    DiagState(JournalKind::kLinkUp, kDiagError, "K7: connected to " + Peer(), Fields(server));
    if (!moving_ && choice_.Connected(clock_.TickMs())) {
      const Server other = OtherServer(server);
      const std::string& why = why_[static_cast<int>(other)];
      DiagState(JournalKind::kLinkSwitched, kDiagError,
                SwitchedText("K7", server, AddressOf(other).Text(), why, Peer()),
                Fields(server, why.empty() ? "no connection" : why));
    }
    if (server_changed_) server_changed_(server, Peer());
  } else if (up_ && !moving_) {
    const std::string why =
        exchange_.dropped_stalled() ? "took nothing for 30 s" : "connection lost";
    DiagState(JournalKind::kLinkDown, kDiagError, "K7: connection lost", Fields(server, why));
    why_[static_cast<int>(server)] = why;
    choice_.Lost(!exchange_.dropped_stalled());
  }
  up_ = up;
}

void K7Side::OnError(int32_t code, const std::string& text) {
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
    if (choice_.ProbeDue(clock_.TickMs())) StartProbe();
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
  choice_.ProbeFailed(clock_.TickMs());
  probe_ = make_client_(loop_);
  Aim(*probe_, primary_);
  std::weak_ptr<K7Side*> self = self_;
  probe_->SetOnConnected([self](K7Client&) {
    // Handled from the loop, outside the client's own event.
    if (auto side = self.lock())
      (*side)->loop_.Post([self] {
        if (auto s = self.lock()) (*s)->MoveToPrimary();
      });
  });
  probe_->SetOnError([self](K7Client& failed, int32_t, int32_t, const std::string&) {
    if (auto side = self.lock())
      (*side)->loop_.Post([self, which = &failed] {
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
  choice_.ProbeAccepted(clock_.TickMs());
  moving_ = true;
  exchange_.Adopt(*client_);  // closes the backup's connection and greets the primary
  moving_ = false;
  DiagState(JournalKind::kLinkSwitched, kDiagError, BackOnPrimaryText("K7", Peer(), left),
            Fields(Server::kPrimary, "the primary answers again"));
}

}  // namespace qarn
