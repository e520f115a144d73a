// A K7-style peer inside a test: listens on 127.0.0.1 at a port the system picks and talks
// to one connection at a time.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>

#include "base/bytes.h"
#include "platform/tcp_listener.h"

namespace qarn {

class LoopbackServer {
 public:
  LoopbackServer() { EXPECT_EQ(listener_.Listen("127.0.0.1", 0), 0); }

  uint16_t port() const { return listener_.port(); }
  // Refuses new connections; the port stays this server's.
  void StopListening() { EXPECT_EQ(listener_.StopListening(), 0); }

  // Takes the next waiting connection; true when there was one.
  bool TryAccept() {
    auto next = listener_.Accept();
    if (!next) return false;
    connection_ = std::move(next);
    return true;
  }
  bool connected() const { return connection_ != nullptr; }
  TcpSocket* connection() { return connection_.get(); }

  void Send(ByteView bytes) {
    int error = 0;
    ASSERT_EQ(connection_->Send(bytes, &error), static_cast<long>(bytes.size())) << error;
  }
  // Appends whatever has arrived to received().
  void Poll() {
    if (!connection_) return;
    uint8_t buffer[4096];
    int error = 0;
    long n;
    while ((n = connection_->Receive(buffer, sizeof buffer, &error)) > 0) {
      received_.insert(received_.end(), buffer, buffer + n);
    }
  }
  Bytes& received() { return received_; }

  // Abortive: the client sees a reset.
  void Reset() {
    const linger abort{1, 0};
    setsockopt(connection_->fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    CloseGracefully();
  }
  void CloseGracefully() {
    (void)connection_->CloseGracefully();  // the client's side is what the tests look at
    connection_.reset();
  }

 private:
  TcpListener listener_;
  std::unique_ptr<TcpSocket> connection_;
  Bytes received_;
};

}  // namespace qarn
