// A K7 message server inside a test, in the test's own thread, for fault tests: it can stop
// reading, close or reset at any moment, and it counts the station events it was given.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/socket_error.h"
#include "fakes/temp_dir.h"
#include "k7/k7_exchange.h"
#include "platform/tcp_listener.h"

namespace qarn::testing {

using Counts = std::map<int32_t, int>;  // object number -> times seen

inline void CountEvent(const K7Frame& unit, Counts* counts) {
  if (unit[0] == 0xFF && unit[1] == 0xFF && unit[2] == kK7StationEvent) {
    ++(*counts)[ParseEventFrame(unit).object_number];
  }
}

// The station events in the .ddk files of `dir`.
inline Counts EventsOnDisk(const TempDir& dir) {
  Counts counts;
  for (const std::string& name : dir.List()) {
    if (!name.ends_with(".ddk")) continue;
    const Bytes content = dir.Read(name);
    if (content.size() != kK7FrameSize) continue;
    K7Frame unit;
    std::copy(content.begin(), content.end(), unit.begin());
    CountEvent(unit, &counts);
  }
  return counts;
}

// The numbers in [first, last] seen neither by the server nor on disk.
inline std::vector<int32_t> Lost(const Counts& received, const Counts& disk, int32_t first,
                                 int32_t last) {
  std::vector<int32_t> lost;
  for (int32_t n = first; n <= last; ++n) {
    if (!received.count(n) && !disk.count(n)) lost.push_back(n);
  }
  return lost;
}

// A K7 server in the test's own thread. It cuts each connection's bytes into units and counts
// the station events among them. What its TCP has acknowledged but it has not read yet counts
// as received too (the driver cannot know more); Peek() takes it in without reading it.
class K7Peer {
 public:
  // `receive_buffer`: a small one makes a server that stops reading fill up soon.
  explicit K7Peer(int receive_buffer = 0) {
    EXPECT_EQ(listener_.Listen("127.0.0.1", 0), 0);
    if (receive_buffer > 0) {
      setsockopt(listener_.fd(), SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
  }

  uint16_t port() const { return listener_.port(); }
  bool connected() const { return connection_ != nullptr; }

  bool TryAccept() {
    auto next = listener_.Accept();
    if (!next) return false;
    connection_ = std::move(next);
    buffer_.Clear();
    return true;
  }
  // Reads what has arrived; true when the driver has closed its side.
  bool Read() {
    if (!connection_) return false;
    uint8_t bytes[65536];
    int error = 0;
    long n;
    while ((n = connection_->Receive(bytes, sizeof bytes, &error)) > 0) {
      buffer_.Append(ByteView(bytes, static_cast<size_t>(n)));
      while (auto unit = buffer_.Next()) CountEvent(*unit, &received);
    }
    return n == 0 || (n < 0 && error != kSocketWouldBlock);
  }
  // A server that reads again, with room for everything in flight.
  void ReadAgain() {
    const int large = 1 << 20;
    setsockopt(connection_->fd(), SOL_SOCKET, SO_RCVBUF, &large, sizeof large);
    Read();
  }
  void Peek() {
    int error = 0;
    const long pending = connection_->Pending(&error);
    if (pending <= 0) return;
    Bytes bytes(static_cast<size_t>(pending));
    const long n = recv(connection_->fd(), bytes.data(), bytes.size(), MSG_PEEK);
    K7UnitBuffer copy = buffer_;
    copy.Append(ByteView(bytes).first(n > 0 ? static_cast<size_t>(n) : 0));
    while (auto unit = copy.Next()) CountEvent(*unit, &received);
  }
  // close() with unread bytes: the kernel answers with a reset, like Reset().
  void Close() {
    (void)connection_->CloseGracefully();  // the driver's side is what the tests look at
    connection_.reset();
  }
  // A server that dies: its connection reset, nothing listening on its port, which it keeps.
  void GoDown() {
    if (connection_) {
      Peek();
      Reset();
    }
    EXPECT_EQ(listener_.StopListening(), 0);
  }
  [[nodiscard]] bool ComeUp() { return listener_.ListenAgain() == 0; }
  void Reset() {
    const linger abort{1, 0};
    setsockopt(connection_->fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    Close();
  }

  Counts received;

 private:
  TcpListener listener_;
  std::unique_ptr<TcpSocket> connection_;
  K7UnitBuffer buffer_;
};

}  // namespace qarn::testing
