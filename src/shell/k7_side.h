// The driver's K7 link: the client, set up from the configuration, and the exchange over it.
// It reports the link's changes on standard error (a run of failed attempts once, a lost
// connection, a switch between the servers) and tells the rest: the facts to its observer, each
// unit's end to the delivery reports, the server's orders to its host.
//
// With a backup server configured, the link follows ServerChoice: attempts go to the backup
// after the primary has failed, and while on the backup a second client tries the primary at
// every failback time; once it connects, the exchange moves to it between two units.
#pragma once

#include <memory>
#include <string>

#include "k7/k7_exchange.h"
#include "output/links.h"
#include "output/observer.h"
#include "output/server_choice.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/k7_client.h"
#include "platform/main_loop.h"
#include "shell/config.h"

namespace qarn {

class K7Side final : private K7Exchange::Listener {
 public:
  // What the link needs of the driver.
  struct Services {
    MainLoop& loop;
    const Clock& clock;
    K7ClientFactory make_client;
    // The server's orders and the port greeting's device name.
    LinkHost& host;
    // How each unit's delivery ended.
    DeliveryReports& deliveries;
    // The link's state, the server it is on, the indicator.
    Observer& observer;
  };

  K7Side(Services services, const Config& config, uint32_t failback_ms = kDefaultFailbackMs);
  // What the socket still holds gets its time to reach the server; the rest is spooled.
  ~K7Side() { exchange_.Close(); }

  K7Side(const K7Side&) = delete;
  K7Side& operator=(const K7Side&) = delete;

  K7Channel& channel() { return exchange_; }
  void Connect();
  // From the housekeeping tick: a new attempt while down, the stall watch and the try of the
  // primary while up.
  void KeepUp();
  // Delivered units' files go: see K7Exchange::CollectAcknowledged.
  void CollectAcknowledged() { exchange_.CollectAcknowledged(); }
  void Close(int drain_ms = kK7DrainMs) { exchange_.Close(drain_ms); }

 private:
  // K7Exchange::Listener.
  void LinkChanged(bool up) override;
  void UnitReceived() override { s_.observer.Activity(Indicator::kK7); }
  void SetClock(TDateTime time) override { s_.host.SetClock(time); }
  void RetQuery() override {
    DiagError("K7: the server asks for a retranslator query");
    s_.host.RequestRetQuery();
  }
  void Close() override { s_.host.CloseByServer(); }
  std::string DeviceName() override { return s_.host.Greeting().device_name; }
  void Error(int32_t code, const std::string& text) override;
  void UnitEnded(const std::string& file, PacketEnd end) override {
    s_.deliveries.Ended(SpoolKind::kK7, file, end);
  }

  void StartAttempt();
  void StartProbe();
  void MoveToPrimary();
  const ServerAddress& AddressOf(Server server) const {
    return server == Server::kPrimary ? primary_ : backup_;
  }
  std::string Peer() const;
  // The journal's fields of an entry about the link on `server`.
  JournalFields Fields(Server server, const std::string& reason = std::string()) const;

  Services s_;
  ServerAddress primary_;
  ServerAddress backup_;
  ServerChoice choice_;
  std::string why_[2];       // the last failure of the primary, of the backup
  bool attempting_ = false;  // an attempt is on its way
  bool moving_ = false;      // the exchange moves to the primary: no loss to count
  bool up_ = false;
  // A run of failed attempts, to either server, is one report.
  FailureReporter failures_{
      "K7: no connection", JournalKind::kLinkDown, std::nullopt, {{"QARN_LINK", "k7"}}};
  // Calls posted to the loop hold this weakly: they do nothing once the side is gone.
  std::shared_ptr<K7Side*> self_ = std::make_shared<K7Side*>(this);

  // The exchange holds the client: it goes first.
  std::unique_ptr<K7Client> client_;
  std::unique_ptr<K7Client> probe_;  // the try of the primary while on the backup
  K7Exchange exchange_;
};

}  // namespace qarn
