// The K8 side of the message-server simulator: listens for the driver's K8 link, prints every
// frame it receives, and answers each one as the operator asks.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "base/bytes.h"
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
  };

  static const char* Usage();
  static const char* Commands();
  // Takes the option at argv[*i] (and its value); false when it is not a K8 option.
  static bool ParseOption(int argc, char** argv, int* i, Options* options, std::string* error);

  explicit K8Side(Options options) : options_(std::move(options)) {}
  ~K8Side() { Stop(); }

  // Listens and serves on a thread of its own. False, with the reason printed, on failure.
  bool Start();
  void Stop();
  // A command line from the operator; false when it is not a K8 command.
  bool HandleCommand(const std::string& line);

  // Answers the frames of one connection until it closes, breaks the framing or Stop().
  void Serve(BlockingTcpClient& connection);

 private:
  void Run();
  Bytes ReplyTo(int32_t type);

  Options options_;
  BlockingTcpListener listener_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> stall_{false};
  std::atomic<int> delay_ms_{0};
  std::mutex mutex_;
  int32_t pending_command_ = 0;  // the type that answers the next frame; 0: none
  int pending_ret_query_ = -1;   // data byte 4 of a K8RetQuery for the next poll; -1: none
  bool drop_now_ = false;
};

// One line describing a packet: type, sequence and the decoded payload.
std::string DescribeK8Packet(ByteView packet);

}  // namespace qarn::sim
