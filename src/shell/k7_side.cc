#include "shell/k7_side.h"

#include <string>

namespace qarn {

K7Side::K7Side(MainLoop& loop, const Clock& clock, const Config& config, K7Exchange::Hooks hooks,
               const K7ClientFactory& make_client)
    : client_(make_client(loop)),
      exchange_(*client_, clock, K7Exchange::Settings{config.send_k7},
                Reporting(std::move(hooks))) {
  client_->SetHost(config.host);
  if (config.k7_port > 0 && config.k7_port <= 65535) {
    client_->SetPort(static_cast<uint16_t>(config.k7_port));
  } else {
    DiagError("K7Port " + std::to_string(config.k7_port) + " is no TCP port; using " +
              std::to_string(kDefaultK7Port));
    client_->SetPort(kDefaultK7Port);
  }
}

K7Exchange::Hooks K7Side::Reporting(K7Exchange::Hooks hooks) {
  hooks.link_changed = [this, changed = std::move(hooks.link_changed)](bool up) {
    const JournalFields fields = {
        {"QARN_LINK", "k7"}, {"QARN_SERVER", "primary"}, {"QARN_PEER", Peer()}};
    if (up) {
      failures_.Succeeded();
      DiagState(JournalKind::kLinkUp, kDiagError, "K7: connected to " + Peer(), fields);
    } else if (up_) {
      DiagState(JournalKind::kLinkDown, kDiagError, "K7: connection lost", fields);
    }
    up_ = up;
    if (changed) changed(up);
  };
  // Retried every 3 seconds: only the first failure of a run of them is reported.
  hooks.error = [this](int32_t code, const std::string& text) {
    failures_.Failed(Peer() + ": " + text + " (" + std::to_string(code) + ")");
  };
  return hooks;
}

std::string K7Side::Peer() const { return client_->Host() + ":" + std::to_string(client_->Port()); }

}  // namespace qarn
