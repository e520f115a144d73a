// A blocking connection that plays a script of arrivals: pieces of bytes and read time-outs,
// then the peer's close. What is written to it is kept.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>

#include "base/socket_error.h"
#include "platform/blocking_tcp_client.h"

namespace qarn::testing {

class ScriptedConnection final : public BlockingTcpClient {
 public:
  // Bytes that arrive together; a read takes at most this piece.
  void Arrive(ByteView bytes) { script_.push_back(Bytes(bytes.begin(), bytes.end())); }
  // One read time-out with nothing arriving.
  void Silence() { script_.push_back(Bytes()); }
  // Silences without end after the script instead of the peer's close.
  void HoldOpen() { hold_open_ = true; }
  // Run at every time-out, for a test that acts while the reader waits.
  std::function<void()> on_timeout;

  // What Connect gives: 0, or the error of a server that is not there.
  int connect_error = 0;
  int Connect() override { return connect_error; }
  int WriteAll(ByteView data) override {
    if (!connected_) return kSocketNotConnected;
    writes.push_back(Bytes(data.begin(), data.end()));
    return 0;
  }
  int ReadExactly(uint8_t* out, size_t n, size_t* got) override {
    *got = 0;
    if (!connected_) return kSocketReset;
    while (*got < n) {
      if (script_.empty()) {
        if (!hold_open_) {
          connected_ = false;
          return kSocketReset;
        }
        return TimeOut();
      }
      Bytes& piece = script_.front();
      if (piece.empty()) {
        script_.pop_front();
        return TimeOut();
      }
      const size_t take = std::min(n - *got, piece.size());
      std::copy_n(piece.begin(), take, out + *got);
      *got += take;
      piece.erase(piece.begin(), piece.begin() + static_cast<long>(take));
      if (piece.empty()) script_.pop_front();
    }
    return 0;
  }
  void SetReadTimeout(int) override {}
  bool Connected() const override { return connected_; }
  void Disconnect() override { connected_ = false; }

  std::deque<Bytes> writes;
  int timeouts = 0;

 private:
  int TimeOut() {
    ++timeouts;
    if (on_timeout) on_timeout();
    return kSocketTimedOut;
  }

  std::deque<Bytes> script_;
  bool hold_open_ = false;
  bool connected_ = true;
};

// Connections to a K8 server that is not there: every connect is refused.
inline TcpClientFactory RefusedConnections() {
  return [](TcpClientOptions) -> std::unique_ptr<BlockingTcpClient> {
    auto connection = std::make_unique<ScriptedConnection>();
    connection->connect_error = kSocketRefused;
    return connection;
  };
}

}  // namespace qarn::testing
