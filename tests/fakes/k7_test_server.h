// A K7 message server on 127.0.0.1 for tests, on a thread of its own: accepts one connection
// at a time and records every 555-byte unit the driver sends. It sends nothing.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "base/socket_error.h"
#include "k7/k7_exchange.h"
#include "platform/blocking_tcp_client.h"

namespace qarn {

class K7TestServer {
 public:
  struct Received {
    int connection = 0;  // 1 for the first accepted connection
    K7Frame unit;
    std::chrono::steady_clock::time_point when;
    uint8_t type() const { return unit[2]; }
  };

  K7TestServer() {
    EXPECT_EQ(listener_.Listen("127.0.0.1", 0), 0);
    thread_ = std::thread([this] { Run(); });
  }
  ~K7TestServer() {
    stop_ = true;
    thread_.join();
  }

  int port() const { return listener_.port(); }

  // Waits until `done` holds for the units received so far (at most `timeout`).
  bool WaitUntil(const std::function<bool(const std::vector<Received>&)>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return done(received_); });
  }
  // Waits for `count` units of `type`.
  bool WaitForType(uint8_t type, size_t count,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return WaitUntil(
        [&](const std::vector<Received>& units) { return Count(units, type) >= count; }, timeout);
  }
  static size_t Count(const std::vector<Received>& units, uint8_t type) {
    size_t n = 0;
    for (const auto& u : units) n += u.type() == type;
    return n;
  }

  std::vector<Received> received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }
  std::vector<Received> OfType(uint8_t type) const {
    std::vector<Received> out;
    for (const auto& u : received())
      if (u.type() == type) out.push_back(u);
    return out;
  }

 private:
  void Run() {
    int number = 0;
    while (!stop_) {
      auto connection = listener_.Accept(20);
      if (!connection) continue;
      ++number;
      Serve(*connection, number);
    }
  }

  void Serve(PosixBlockingTcpClient& connection, int number) {
    connection.SetReadTimeout(20);
    K7UnitBuffer buffer;
    uint8_t bytes[kK7FrameSize];
    while (!stop_) {
      size_t got = 0;
      const int error = connection.ReadExactly(bytes, sizeof bytes, &got);
      buffer.Append(ByteView(bytes, got));
      while (auto unit = buffer.Next()) {
        {
          std::lock_guard lock(mutex_);
          received_.push_back({number, *unit, std::chrono::steady_clock::now()});
        }
        cv_.notify_all();
      }
      if (error != 0 && error != kSocketTimedOut) return;
    }
  }

  BlockingTcpListener listener_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Received> received_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace qarn
