// A K8 message server on 127.0.0.1 for tests: accepts one connection at a time, records every
// packet it receives and answers each with what the test's responder gives (nothing: no
// answer at all).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "k8/k8_frame_reader.h"
#include "k8/k8_wire.h"
#include "platform/blocking_tcp_client.h"

namespace qarn {

class K8TestServer {
 public:
  struct Received {
    int connection = 0;  // 1 for the first accepted connection
    Bytes packet;
    K8PacketHeader header;
    std::chrono::steady_clock::time_point when;
  };
  // The reply packet to a received one, or nothing for no reply.
  using Responder = std::function<std::optional<Bytes>(const Received&)>;

  // Answers every packet with an unknown type, station events with K8EventAck.
  static std::optional<Bytes> DefaultReply(const Received& r) {
    if (r.header.type == kK8StationEventType) return BuildK8Packet(kK8EventAck, ByteView(), 0);
    return BuildK8Packet(0x7E000000, ByteView(), 0);
  }

  explicit K8TestServer(Responder responder = DefaultReply) : responder_(std::move(responder)) {
    listener_.Listen("127.0.0.1", 0);
    port_ = listener_.port();
    thread_ = std::thread([this] { Run(); });
  }
  ~K8TestServer() {
    stop_ = true;
    thread_.join();
  }

  int port() const { return port_; }

  // The server goes away: the open connection is closed and new ones are refused.
  void GoDown() {
    std::unique_lock lock(mutex_);
    down_ = true;
    cv_.wait(lock, [&] { return is_down_; });
  }
  // Listens again on the same port.
  void ComeUp() {
    std::unique_lock lock(mutex_);
    down_ = false;
    cv_.notify_all();
    cv_.wait(lock, [&] { return !is_down_; });
  }
  // Goes down right after reading the next station event, leaving it unanswered: nothing
  // the driver wrote is left unread in the connection.
  void DropAfterNextEvent() { drop_after_event_ = true; }
  bool WaitUntilDown(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return is_down_; });
  }

  // With raw replies the responder gives whole frames, written as they are.
  void SetRawReplies(bool raw) { raw_replies_ = raw; }
  // Replies go out one byte per `ms` (0: at once), as from a server that trickles.
  void SetTrickleMs(int ms) { trickle_ms_ = ms; }

  void SetResponder(Responder responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
  }

  // Waits until `count` packets have come (at most `timeout`).
  bool WaitForPackets(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return received_.size() >= count; });
  }
  // Waits until `done` holds for the packets received so far.
  bool WaitUntil(const std::function<bool(const std::vector<Received>&)>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return done(received_); });
  }
  bool WaitForConnections(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return connections_ >= count; });
  }
  // Waits until the current connection has been closed by the driver.
  bool WaitForClosed(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return closed_ >= count; });
  }

  std::vector<Received> received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }
  std::vector<std::chrono::steady_clock::time_point> accept_times() const {
    std::lock_guard lock(mutex_);
    return accept_times_;
  }
  std::vector<std::chrono::steady_clock::time_point> close_times() const {
    std::lock_guard lock(mutex_);
    return close_times_;
  }

 private:
  void Run() {
    while (!stop_) {
      if (down_.load()) {
        listener_.Close();
        std::unique_lock lock(mutex_);
        is_down_ = true;
        cv_.notify_all();
        cv_.wait_for(lock, std::chrono::milliseconds(20), [&] { return !down_.load(); });
        if (!down_.load()) {
          listener_.Listen("127.0.0.1", port_);
          is_down_ = false;
          cv_.notify_all();
        }
        continue;
      }
      auto connection = listener_.Accept(20);
      if (!connection) continue;
      int number;
      {
        std::lock_guard lock(mutex_);
        number = ++connections_;
        accept_times_.push_back(std::chrono::steady_clock::now());
      }
      cv_.notify_all();
      Serve(*connection, number);
      {
        std::lock_guard lock(mutex_);
        ++closed_;
        close_times_.push_back(std::chrono::steady_clock::now());
      }
      cv_.notify_all();
    }
  }

  void Serve(PosixBlockingTcpClient& connection, int number) {
    connection.SetReadTimeout(20);
    while (!stop_ && !down_.load()) {
      Received r;
      const FrameRead outcome = ReadK8Frame(connection, &r.packet);
      if (outcome == FrameRead::kNothing) continue;
      if (outcome != FrameRead::kFrame) return;
      r.connection = number;
      r.header = ReadK8PacketHeader(r.packet).value_or(K8PacketHeader{});
      r.when = std::chrono::steady_clock::now();
      std::optional<Bytes> reply;
      const bool drop = r.header.type == kK8StationEventType && drop_after_event_.exchange(false);
      {
        std::lock_guard lock(mutex_);
        if (!drop) reply = responder_(r);
        received_.push_back(std::move(r));
        if (drop) down_ = true;
      }
      cv_.notify_all();
      if (drop) return;
      if (!reply) continue;
      const Bytes bytes = raw_replies_ ? *reply : BuildK8Frame(*reply);
      if (trickle_ms_ > 0) {
        for (uint8_t byte : bytes) {
          if (stop_ || down_.load() || connection.WriteAll(ByteView(&byte, 1)) != 0) return;
          std::this_thread::sleep_for(std::chrono::milliseconds(trickle_ms_.load()));
        }
        continue;
      }
      if (connection.WriteAll(bytes) != 0) return;
    }
  }

  BlockingTcpListener listener_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  Responder responder_;
  std::vector<Received> received_;
  std::vector<std::chrono::steady_clock::time_point> accept_times_;
  std::vector<std::chrono::steady_clock::time_point> close_times_;
  int port_ = 0;
  int connections_ = 0;
  std::atomic<bool> down_{false};
  bool is_down_ = false;  // the listener is closed
  std::atomic<bool> drop_after_event_{false};
  int closed_ = 0;
  std::atomic<bool> raw_replies_{false};
  std::atomic<int> trickle_ms_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace qarn
