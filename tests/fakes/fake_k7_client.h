// A K7 client in memory: the test connects it, closes it, hands it bytes from the server and
// says how much the peer has not acknowledged; what the exchange sends is kept.
#pragma once

#include <algorithm>
#include <functional>
#include <vector>

#include "platform/k7_client.h"

namespace qarn::testing {

class FakeK7Client final : public K7Client {
 public:
  bool Connected() const override { return connected_; }
  void SetConnected(bool value) override {
    if (value && !connected_) ++attempts;
    if (!value) Close();
  }
  const std::string& Host() const override { return host_; }
  void SetHost(const std::string& value) override { host_ = value; }
  uint16_t Port() const override { return port_; }
  void SetPort(uint16_t value) override { port_ = value; }
  int32_t SendStream(ByteView stream) override {
    if (!connected_) return 0;
    if (take == 0) {  // the send fails: the connection is dropped, as on a socket error
      Close();
      return -1;
    }
    const size_t n = take < 0 ? stream.size() : std::min(stream.size(), static_cast<size_t>(take));
    sent.emplace_back(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<int32_t>(n);
  }
  long Unacknowledged() override {
    if (!connected_) return -1;
    return count_unacknowledged ? count_unacknowledged() : unacknowledged;
  }
  long WaitUntilAcknowledged(int) override { return Unacknowledged(); }
  void SetOnConnected(NotifyEvent handler) override { on_connected_ = std::move(handler); }
  void SetOnDisconnected(NotifyEvent handler) override { on_disconnected_ = std::move(handler); }
  void SetOnClosing(NotifyEvent handler) override { on_closing_ = std::move(handler); }
  void SetOnRead(ReadEvent handler) override { on_read_ = std::move(handler); }
  void SetOnError(ErrorEvent handler) override { on_error_ = std::move(handler); }

  // The test's side of the connection.
  void Connect() {
    connected_ = true;
    if (on_connected_) on_connected_(*this);
  }
  void Close() {
    if (!connected_) return;
    if (on_closing_) on_closing_(*this);
    connected_ = false;
    if (on_disconnected_) on_disconnected_(*this);
  }
  void Arrive(const Bytes& bytes) {
    if (on_read_) on_read_(*this, bytes);
  }
  void Fail(int32_t code, const std::string& text) {
    if (on_error_) on_error_(*this, -1, code, text);
  }

  int attempts = 0;
  std::vector<Bytes> sent;
  // When set, answers Unacknowledged() instead of `unacknowledged`, counting the sends too.
  std::function<long()> count_unacknowledged;
  // Bytes a send takes at most: all when negative; 0 makes it fail.
  long take = -1;
  long unacknowledged = 0;

 private:
  bool connected_ = false;
  std::string host_;
  uint16_t port_ = 0;
  NotifyEvent on_connected_, on_disconnected_, on_closing_;
  ReadEvent on_read_;
  ErrorEvent on_error_;
};

// Makes fake K7 clients and keeps the last one for the test.
inline K7ClientFactory FakeK7Clients(FakeK7Client** last) {
  return [last](MainLoop&) -> std::unique_ptr<K7Client> {
    auto client = std::make_unique<FakeK7Client>();
    *last = client.get();
    return client;
  };
}

}  // namespace qarn::testing
