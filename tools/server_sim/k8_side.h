// The K8 side of the message-server simulator: listens for the driver's K8 link, prints every
// frame it receives, and answers each one as the operator asks. Tests use it as their K8
// server: a responder hook gives the replies, an observer sees every packet, and the faults
// a server can have (going away, dropping a packet unanswered, trickling its replies) are
// switches, which the operator has as commands too.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "base/bytes.h"
#include "k8/k8_wire.h"
#include "platform/blocking_tcp_client.h"

namespace qarn::sim {

class K8Side {
 public:
  struct Options {
    std::string address = "127.0.0.1";
    int port = 12543;
    bool poll_enable = true;   // K8PollEnable answers the last greeting packet
    bool stall = false;        // never answer
    int delay_ms = 0;          // answer this late
    bool quiet_polls = false;  // print polls only when their reply carries something
    bool quiet = false;        // print nothing (tests)
  };

  // A packet from the driver.
  struct Received {
    int connection = 0;  // 1 for the first accepted connection; 0 outside Start()
    Bytes packet;
    K8PacketHeader header;
    std::chrono::steady_clock::time_point when;
  };
  // Replaces the operator's replies: the packet that answers, or nothing for no answer.
  using Responder = std::function<std::optional<Bytes>(const Received&)>;
  // Sees every packet before it is answered (or dropped).
  using Observer = std::function<void(const Received&)>;
  // A connection was accepted (`open`) or has ended; `number` counts from 1.
  using ConnectionEvent = std::function<void(int number, bool open)>;

  static const char* Usage();
  static const char* Commands();
  // Takes the option at argv[*i] (and its value); false when it is not a K8 option.
  static bool ParseOption(int argc, char** argv, int* i, Options* options, std::string* error);

  explicit K8Side(Options options) : options_(std::move(options)) {}
  ~K8Side() { Stop(); }

  // Hooks; set before Start(), but for the responder, which may change at any time.
  void SetResponder(Responder responder);
  void SetObserver(Observer observer) { observer_ = std::move(observer); }
  void SetConnectionEvent(ConnectionEvent event) { connection_event_ = std::move(event); }

  // Listens and serves on a thread of its own. False, with the reason printed, on failure.
  bool Start();
  void Stop();
  // The port listened on (the system's pick when the options said 0).
  int port() const { return port_; }
  // A command line from the operator; false when it is not a K8 command.
  bool HandleCommand(const std::string& line);

  // The server goes away: the open connection is closed and new ones are refused, while the
  // port stays bound to the server. Returns once it no longer listens.
  void GoDown();
  // Listens again on the same port; returns once it does (true) or once it could not.
  [[nodiscard]] bool ComeUp();
  // Waits until the server is down (GoDown, "down", or a drop after an event).
  bool WaitUntilDown(std::chrono::milliseconds timeout);
  // Goes down right after reading the next station event, leaving it unanswered: nothing
  // the driver wrote is left unread in the connection.
  void DropAfterNextEvent() { drop_after_event_ = true; }
  // Replies go out one byte per `ms` (0: at once), as from a server that trickles.
  void SetTrickleMs(int ms) { trickle_ms_ = ms; }
  // With raw replies the responder gives whole frames, written as they are.
  void SetRawReplies(bool raw) { raw_replies_ = raw; }

  // Answers the frames of one connection until it closes, breaks the framing, the server
  // goes down or Stop().
  void Serve(BlockingTcpClient& connection, int number = 0);

 private:
  void Run();
  // While down: the listener closed until ComeUp or Stop.
  void StayDown();
  std::optional<Bytes> Reply(const Received& received);
  Bytes ReplyTo(int32_t type);
  bool Write(BlockingTcpClient& connection, const Bytes& bytes);
  void Say(const std::string& line) const;

  Options options_;
  BlockingTcpListener listener_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> stall_{false};
  std::atomic<int> delay_ms_{0};
  std::atomic<int> trickle_ms_{0};
  std::atomic<bool> raw_replies_{false};
  std::atomic<bool> drop_after_event_{false};
  std::atomic<bool> down_{false};
  Observer observer_;
  ConnectionEvent connection_event_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool is_down_ = false;  // the listener is closed
  Responder responder_;
  int32_t pending_command_ = 0;  // the type that answers the next frame; 0: none
  int pending_ret_query_ = -1;   // data byte 4 of a K8RetQuery for the next poll; -1: none
  bool drop_now_ = false;
};

// One line describing a packet: type, sequence and the decoded payload.
std::string DescribeK8Packet(ByteView packet);

}  // namespace qarn::sim
