// A K8 message server on 127.0.0.1 for tests: the server simulator's K8 side, silent, on a
// port the system picks. It records every packet it receives and answers each with what the
// test's responder gives (nothing: no answer at all).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "k8/k8_wire.h"
#include "server_sim/k8_side.h"

namespace qarn {

class K8TestServer {
 public:
  using Received = sim::K8Side::Received;
  using Responder = sim::K8Side::Responder;

  // Answers every packet with an unknown type, station events with K8EventAck.
  static std::optional<Bytes> DefaultReply(const Received& r) {
    if (r.header.type == kK8StationEventType) return BuildK8Packet(kK8EventAck, ByteView(), 0);
    return BuildK8Packet(0x7E000000, ByteView(), 0);
  }

  explicit K8TestServer(Responder responder = DefaultReply) : side_(Quiet()) {
    side_.SetResponder(std::move(responder));
    side_.SetObserver([this](const Received& r) {
      std::lock_guard lock(mutex_);
      received_.push_back(r);
      cv_.notify_all();
    });
    side_.SetConnectionEvent([this](int, bool open) {
      std::lock_guard lock(mutex_);
      (open ? accept_times_ : close_times_).push_back(std::chrono::steady_clock::now());
      cv_.notify_all();
    });
    // No loopback port to be had: nothing can run against this server (the benchmark uses it
    // too, without a test framework to report to).
    if (!side_.Start()) std::abort();
  }

  int port() const { return side_.port(); }

  // The faults of a server: see sim::K8Side.
  void GoDown() { side_.GoDown(); }
  // False when the server could not listen on its port again: the test cannot go on.
  [[nodiscard]] bool ComeUp() { return side_.ComeUp(); }
  void DropAfterNextEvent() { side_.DropAfterNextEvent(); }
  bool WaitUntilDown(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return side_.WaitUntilDown(timeout);
  }
  void SetRawReplies(bool raw) { side_.SetRawReplies(raw); }
  void SetTrickleMs(int ms) { side_.SetTrickleMs(ms); }
  void SetResponder(Responder responder) { side_.SetResponder(std::move(responder)); }

  // Waits until `count` packets have come (at most `timeout`).
  bool WaitForPackets(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return WaitUntil([&](const std::vector<Received>& r) { return r.size() >= count; }, timeout);
  }
  // Waits until `done` holds for the packets received so far.
  bool WaitUntil(const std::function<bool(const std::vector<Received>&)>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return done(received_); });
  }
  bool WaitForConnections(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return accept_times_.size() >= size_t(count); });
  }
  // Waits until `count` connections have ended.
  bool WaitForClosed(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return close_times_.size() >= size_t(count); });
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
  static sim::K8Side::Options Quiet() {
    sim::K8Side::Options options;
    options.port = 0;
    options.quiet = true;
    return options;
  }

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Received> received_;
  std::vector<std::chrono::steady_clock::time_point> accept_times_;
  std::vector<std::chrono::steady_clock::time_point> close_times_;
  sim::K8Side side_;  // last: its thread stops before the records go
};

}  // namespace qarn
