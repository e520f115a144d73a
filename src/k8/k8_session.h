// Every decision of the K8 link, without any I/O: when to connect, what to send, what a reply
// means, when the link is up. The link thread's pump feeds it what happened and carries out
// what it orders; tests drive it on virtual time.
//
// A packet that carries a spool file owns it: the server's K8EventAck answering that packet
// deletes the file; any other end of the packet releases it, so that the replay sends it again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "k8/packet_ring.h"
#include "output/server_choice.h"

namespace qarn {

// The link's fixed times and limits; tests shorten some.
struct K8LinkTiming {
  int connect_timeout_ms = 2500;
  int reply_timeout_ms = 1000;                // the reply's header must be in by then
  int reply_body_wait_ms = 4000;              // the whole reply by reply_timeout_ms plus this
  int write_timeout_ms = 2000;                // a whole frame
  uint32_t reconnect_pause_ms = 5000;         // an attempt follows when more than this has passed
  uint32_t poll_period_ms = 500;              // a poll follows when more than this has passed
  int network_error_limit = 20;               // more errors than this: reconnect
  uint32_t failback_ms = kDefaultFailbackMs;  // on the backup, the primary is tried this often
};

// What the greeting reports of the driver's state.
struct K8Greeting {
  std::string port_name;
  bool port_open = false;
  int32_t first_number = 4;
};

// What the pump is to do now.
struct K8Order {
  enum Kind {
    kWait,      // until `until` (when `timed`), a queued packet or a stop request
    kConnect,   // one attempt; then OnConnected or OnConnectFailed
    kExchange,  // write `frame` (when not empty), then read one reply
    kProbe,     // start a try of the primary beside the connection; then OnProbeEnded
    kFinish,    // the thread ends
  };
  Kind kind = kWait;
  bool timed = false;
  uint32_t until = 0;
  Bytes frame;
};

// What the pump is to carry out besides, in order.
struct K8Effect {
  enum Kind {
    kStatus,    // a line for the log area: `text`
    kActivity,  // a step of the K8 indicator
    kClose,     // close the connection (a new attempt closes it too)
    kAcked,     // the packet of spool file `text` is acknowledged: its file may go
    kRefused,   // the server answered that packet with something else: replay it, up to a limit
    kReleased,  // the packet of spool file `text` ended unanswered: replay it again
    kRetQuery,  // the server asks for the retranslator query
    kLinkDown,  // the connection is lost: `text` says why
  };
  Kind kind;
  std::string text;
};

// Why a reply did not come.
enum class K8ReplyFailure { kTimedOut, kClosed, kBadHeader, kTooLarge };

class K8Session {
 public:
  K8Session(PacketRing& ring, K8LinkTiming timing)
      : ring_(ring), timing_(timing), choice_(timing.failback_ms) {}

  void Start(uint32_t now);
  K8Order Next(uint32_t now);

  // Whether a usable backup is configured; the pump tells before every attempt.
  void SetHasBackup(bool has_backup) { choice_.SetHasBackup(has_backup); }
  // The server of the next attempt, and of the connection while the link is up.
  Server server() const { return choice_.next(); }

  // True when the link is now on another server than on its last connection.
  bool OnConnected(uint32_t now, const K8Greeting& greeting);
  void OnConnectFailed(uint32_t now);
  // Whether a primary that accepts the try now is taken: the link is up on the backup.
  bool TakesProbe() const { return link_ && choice_.next() == Server::kBackup; }
  // The try of the primary has ended; when `accepted` and TakesProbe(), the pump has made
  // the try's connection the link's, and the link is on the primary with a new greeting.
  void OnProbeEnded(uint32_t now, bool accepted, const K8Greeting& greeting);
  // The frame of the last kExchange was written whole, or not.
  void OnWritten();
  void OnWriteFailed(uint32_t now, const std::string& why);
  // The packet of a reply frame, or why no reply came.
  void OnReply(uint32_t now, ByteView packet);
  void OnReplyFailed(uint32_t now, K8ReplyFailure why);
  // The close: the packet in flight is released and the exit line posted; then kFinish.
  void Stop(const std::string& time_text);

  bool link_up() const { return link_; }
  bool access() const { return access_; }
  bool poll_enabled() const { return poll_enabled_; }
  int network_errors() const { return network_errors_; }
  // Whether the last kExchange is waiting for its reply.
  bool awaiting_reply() const { return awaiting_reply_; }

  // The effects since the last call, oldest first.
  std::vector<K8Effect> TakeEffects() { return std::move(effects_); }

 private:
  void Emit(K8Effect::Kind kind, std::string text = std::string()) {
    effects_.push_back({kind, std::move(text)});
  }
  void Status(const std::string& text) { Emit(K8Effect::kStatus, text); }
  void Queue(int32_t type, ByteView payload) { ring_.QueuePacket(type, payload); }
  // The packet in flight ends: kAcked, kRefused or kReleased.
  void EndInFlight(K8Effect::Kind end);
  // The link is down; the pump closes the connection now when `close`, else at the next
  // attempt.
  void Drop(uint32_t now, const std::string& why, bool close = true);
  void HandleReply(uint32_t now, ByteView reply);
  void QueueGreeting(const K8Greeting& greeting);

  PacketRing& ring_;
  K8LinkTiming timing_;
  std::vector<K8Effect> effects_;

  bool link_ = false;
  bool access_ = true;
  bool poll_enabled_ = false;
  bool read_due_ = false;
  bool denial_reported_ = false;
  bool stopped_ = false;
  uint32_t last_poll_tick_ = 0;
  uint32_t last_attempt_tick_ = 0;
  int network_errors_ = 0;
  // The ring's head while its frame is written (`from_ring_`), then the packet in flight.
  bool from_ring_ = false;
  bool awaiting_reply_ = false;
  std::optional<RingEntry> in_flight_;
  ServerChoice choice_;
  bool probing_ = false;   // a try of the primary is on its way
  bool answered_ = false;  // a reply has come on this connection
};

}  // namespace qarn
