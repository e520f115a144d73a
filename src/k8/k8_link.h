// The K8 link's thread: a thin pump around K8Session. It owns the socket, carries out the
// session's orders and sleeps in one wait for the first of a queued packet, a deadline or the
// stop request. Every blocking step has a deadline and gives up within 50 ms of a stop
// request, and the thread never waits on the main thread once asked to stop, so every close
// ends.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "k8/k8_session.h"
#include "k8/packet_ring.h"
#include "output/links.h"
#include "output/observer.h"
#include "platform/blocking_tcp_client.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/file_system.h"
#include "platform/main_loop.h"

namespace qarn {

class K8Link final : public K8Channel {
 public:
  struct Services {
    const Clock& clock;
    FileSystem& fs;
    MainLoop& loop;
    TcpClientFactory make_client;
    // The greeting's values (asked on the main thread) and the server's retranslator query
    // (told on the link thread).
    LinkHost& host;
    // How each packet that carried a spool file ended: acknowledged (the file may go), refused
    // or unanswered (it is to be replayed again). The link never touches spool files.
    DeliveryReports& deliveries;
    // The link's state and server, its log lines, the indicator.
    Observer& observer;
  };

  // Starts the thread at once; `ini_path` is read for [ServerHost] at every attempt. Every
  // call into `services` but RequestRetQuery is made on the main thread, in order.
  K8Link(Services services, std::string ini_path, K8LinkTiming timing = K8LinkTiming());
  // Asks the thread to stop and joins it; safe in any order of destruction, since the thread
  // never waits on the main thread once asked to stop. Calls not yet made are dropped.
  ~K8Link() override;

  K8Link(const K8Link&) = delete;
  K8Link& operator=(const K8Link&) = delete;

  // K8Channel: any thread.
  bool Connected() const override { return link_.load(); }
  bool QueuePacket(int32_t type, ByteView payload, const std::string& spool_file) override;

  void RequestStop();
  // Asks the thread to stop, serves its calls while it ends, joins it and makes the calls it
  // left (its exit line among them). Main thread; a second call does nothing more.
  void StopAndWait();
  bool finished() const { return finished_.load(); }

  // The packets still queued, oldest first; for the close once the thread has ended.
  std::vector<RingEntry> TakeQueued() { return ring_.TakeAll(); }
  int64_t next_sequence() const { return ring_.next_sequence(); }
  // How many times the thread has woken to take the session's next order.
  uint64_t steps() const { return steps_.load(); }

 private:
  // Calls for the main thread, run in order by Drain there.
  struct Outbox {
    explicit Outbox(const Services& s)
        : host(s.host), deliveries(s.deliveries), observer(s.observer) {}
    LinkHost& host;
    DeliveryReports& deliveries;
    Observer& observer;
    std::mutex mutex;
    using Call = std::function<void(Outbox&)>;
    std::deque<Call> calls;
    void Drain();
  };

  void Run();
  void Carry(K8Order& order);
  void CarryEffects();
  void Connect();
  // The servers as the configuration names them now; whether the backup may be used.
  bool ReadServers();
  void StartProbe();
  void EndProbe();
  void OnServer(Server server, const std::string& address);
  void Exchange(const Bytes& frame);
  void ReadReply();
  void Wait(const K8Order& order);
  K8Greeting AskGreeting();
  void ToMain(Outbox::Call call);
  void Publish() { SetLink(session_.link_up()); }
  void SetLink(bool up);
  // The fields of the link's journal entries, and the reason of a change.
  JournalFields LinkFields(const std::string& reason = std::string()) const;
  std::string Peer() const { return host_ + ":" + std::to_string(port_); }
  const ServerAddress& AddressOf(Server server) const {
    return server == Server::kPrimary ? primary_ : backup_;
  }

  Services s_;
  std::shared_ptr<Outbox> outbox_;
  std::string ini_path_;
  K8LinkTiming timing_;

  // Shared with the main thread.
  std::atomic<bool> stop_{false};
  std::atomic<bool> link_{false};
  std::atomic<bool> finished_{false};
  std::atomic<uint64_t> steps_{0};
  PacketRing ring_;
  std::mutex wake_mutex_;
  std::condition_variable wake_cv_;
  bool wake_ = false;  // under wake_mutex_

  // The link thread's own.
  K8Session session_;
  std::unique_ptr<BlockingTcpClient> client_;
  std::string host_;
  int port_ = 0;
  Server peer_server_ = Server::kPrimary;  // the server of host_:port_
  ServerAddress primary_;
  ServerAddress backup_;
  std::string unresolved_backup_;  // a backup name that resolved to nothing; unused
  std::string backup_problem_;     // said once
  bool servers_read_ = false;
  std::string why_[2];  // the last failure of the primary, of the backup
  // A try of the primary beside the connection to the backup, on a thread of its own.
  std::unique_ptr<BlockingTcpClient> probe_client_;
  std::thread probe_thread_;
  std::atomic<bool> probe_done_{false};
  int probe_error_ = 0;         // written by the probe thread before probe_done_
  bool down_reported_ = false;  // the link's loss is on standard error; its return is not yet
  FailureReporter step_failures_{"K8 link step failed"};

  std::thread thread_;  // last: starts once everything above is made
};

}  // namespace qarn
