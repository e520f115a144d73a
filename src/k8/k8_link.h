// The K8 link: a thread of its own that keeps one connection to the message server, sends
// the packets of its ring one exchange at a time (packet out, reply in), polls when the
// server allows it, and carries out the server's commands. It sleeps while there is nothing
// to do: a queued packet, a due poll or attempt, or the stop request wakes it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "k8/packet_ring.h"
#include "output/dd8_replay_state.h"
#include "output/links.h"
#include "platform/blocking_tcp_client.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/file_system.h"
#include "platform/main_loop.h"

namespace qarn {

// The link's fixed times and limits; tests shorten some.
struct K8LinkTiming {
  int connect_timeout_ms = 2500;
  int client_read_timeout_ms = 3000;
  int reply_timeout_ms = 1000;
  uint32_t reconnect_pause_ms = 5000;  // an attempt follows when more than this has passed
  uint32_t poll_period_ms = 500;       // a poll follows when more than this has passed
  int network_error_limit = 20;        // more errors than this: reconnect
  uint32_t body_wait_ms = 10000;       // the longest wait for the rest of a reply
};

class K8Link final : public K8Channel {
 public:
  // What the greeting reports of the main thread's state.
  struct GreetingValues {
    std::string port_name;
    bool port_open = false;
    int32_t first_number = 4;
  };

  struct Hooks {
    // Run on the main thread, the link thread waiting.
    std::function<GreetingValues()> greeting_values;
    std::function<void(const std::string& text)> add_log_line;
    std::function<void()> advance_indicator;
    // Run on the link thread; must be safe there.
    std::function<void()> request_ret_query;
  };

  struct Services {
    const Clock& clock;
    FileSystem& fs;
    MainLoop& loop;
    TcpClientFactory make_client;
    Dd8ReplayState& dd8;
  };

  // Starts the thread at once; `ini_path` is read for [ServerHost] at every attempt.
  K8Link(Services services, Hooks hooks, std::string ini_path,
         K8LinkTiming timing = K8LinkTiming());
  // Asks the thread to stop and joins it. Call StopAndWait from the main thread first: a
  // thread waiting on the main thread cannot end while the main thread only joins.
  ~K8Link() override;

  K8Link(const K8Link&) = delete;
  K8Link& operator=(const K8Link&) = delete;

  // K8Channel: any thread.
  bool Connected() const override { return link_.load(); }
  bool QueuePacket(int32_t type, ByteView payload, const std::string& spool_file) override;

  void RequestStop();
  // Raises the stop flag and runs the main loop until the thread has ended. Main thread.
  void StopAndWait();
  bool finished() const { return finished_.load(); }

  // The packets still queued, oldest first; for the close once the thread has ended.
  std::vector<RingEntry> TakeQueued() { return ring_.TakeAll(); }
  int64_t next_sequence() const { return ring_.next_sequence(); }
  // How many times the thread has woken to run a step.
  uint64_t steps() const { return steps_.load(); }

 private:
  void Run();
  void Step();
  void TryConnect();
  void OnLinkConnected();
  void OnLinkDisconnected();
  bool SendFrame(ByteView packet);
  void ReadReply();
  void HandleReply(const std::string& answered_spool_file);
  void PostStatus(const std::string& text);
  void PostActivity();
  void WaitForWork();
  std::unique_ptr<BlockingTcpClient> MakeClient(const std::string& host, int port);
  void Disconnect();
  bool Queue(int32_t type, ByteView payload);

  Services s_;
  Hooks hooks_;
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
  std::unique_ptr<BlockingTcpClient> client_;
  Bytes reply_;
  Bytes reply_payload_;
  bool access_ = true;
  bool poll_enabled_ = false;
  bool read_due_ = false;
  uint32_t last_poll_tick_ = 0;
  uint32_t last_attempt_tick_ = 0;
  std::string status_text_;
  int network_errors_ = 0;
  bool denial_reported_ = false;
  FailureReporter step_failures_{"K8 link step failed"};

  std::thread thread_;  // last: starts once everything above is made
};

}  // namespace qarn
