// The driver's K7 link: the client, set up from the configuration, and the exchange over it.
// It reports the link's changes on standard error (a run of failed attempts once, a lost
// connection) and passes everything else to the driver's hooks.
#pragma once

#include <memory>

#include "k7/k7_client.h"
#include "k7/k7_exchange.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/main_loop.h"
#include "shell/config.h"

namespace qarn {

class K7Side {
 public:
  // `hooks.error` is the side's own; the others are called as the exchange calls them.
  K7Side(MainLoop& loop, const Clock& clock, const Config& config, K7Exchange::Hooks hooks,
         const K7ClientFactory& make_client);
  // What the socket still holds gets its time to reach the server; the rest is spooled.
  ~K7Side() { exchange_.Close(); }

  K7Side(const K7Side&) = delete;
  K7Side& operator=(const K7Side&) = delete;

  K7Channel& channel() { return exchange_; }
  void Connect() { client_->SetConnected(true); }
  // From the housekeeping tick: a new attempt while down, the stall watch while up.
  void KeepUp() { exchange_.KeepUp(); }
  // Delivered units' files go: see K7Exchange::CollectAcknowledged.
  void CollectAcknowledged() { exchange_.CollectAcknowledged(); }
  void Close(int drain_ms = kK7DrainMs) { exchange_.Close(drain_ms); }

 private:
  K7Exchange::Hooks Reporting(K7Exchange::Hooks hooks);
  std::string Peer() const;

  // The exchange holds the client: it goes first.
  std::unique_ptr<K7Client> client_;
  // Every connection is to the primary server until a backup is configured.
  FailureReporter failures_{"K7: no connection",
                            JournalKind::kLinkDown,
                            std::nullopt,
                            {{"QARN_LINK", "k7"}, {"QARN_SERVER", "primary"}}};
  bool up_ = false;
  K7Exchange exchange_;
};

}  // namespace qarn
