// The K7 link's asynchronous TCP client: connects by host name or dotted address, reports
// the connection, the peer's close and every error as events on the main thread, sends raw
// bytes and hands each batch of received bytes to its owner. It adds no framing.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "base/bytes.h"
#include "platform/host_lookup.h"
#include "platform/k7_client.h"
#include "platform/main_loop.h"
#include "platform/tcp_socket.h"

namespace qarn {

// Raised for an error when no OnError handler is set, and for a Host or Port change while
// connected.
class SocketException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class AsyncTcpClient final : public K7Client {
 public:
  // Bytes taken from the socket per read notification at most: a burst is handled in slices,
  // so timers and the station's port get their turn in between.
  static constexpr size_t kMaxReadBatch = 64 * 1024;

  explicit AsyncTcpClient(MainLoop& loop);
  // Closes the socket without raising OnDisconnected.
  ~AsyncTcpClient() override;

  AsyncTcpClient(const AsyncTcpClient&) = delete;
  AsyncTcpClient& operator=(const AsyncTcpClient&) = delete;

  // The established state: from the completed connect until the socket is closed.
  bool Connected() const override { return established_; }
  // True starts an attempt unless one was already asked for; false closes the socket.
  void SetConnected(bool value) override;

  const std::string& Host() const override { return host_; }
  void SetHost(const std::string& value) override;
  uint16_t Port() const override { return port_; }
  void SetPort(uint16_t value) override;

  // Sends the whole stream with one send: the count the system took (a short count is not
  // completed later), -1 when the send failed (the connection is then dropped), 0 without
  // a socket or with nothing to send.
  int32_t SendStream(ByteView stream) override;

  // Bytes the socket took that the peer's TCP has not acknowledged; -1 when not known.
  long Unacknowledged() override;
  // Blocks until the peer has acknowledged everything sent, or `timeout_ms` has passed; for
  // the close at exit only. What is still unacknowledged, -1 when not known.
  long WaitUntilAcknowledged(int timeout_ms) override;

  void SetOnConnected(NotifyEvent handler) override { on_connected_ = std::move(handler); }
  void SetOnDisconnected(NotifyEvent handler) override { on_disconnected_ = std::move(handler); }
  // Raised when an established connection is about to be closed, whatever the reason (the
  // owner, the peer, an error, the client's destruction), before OnDisconnected and while
  // Unacknowledged() can still tell what the peer never got.
  void SetOnClosing(NotifyEvent handler) override { on_closing_ = std::move(handler); }
  void SetOnRead(ReadEvent handler) override { on_read_ = std::move(handler); }
  void SetOnError(ErrorEvent handler) override { on_error_ = std::move(handler); }

  // The socket concerned, -1 while there is none.
  int32_t socket() const { return socket_.fd(); }

 private:
  void Disconnect();
  void ConnectTo(uint32_t address);
  void SocketError(int32_t socket, int error_number);
  void OnSocketEvent(unsigned generation, unsigned events);
  void DoConnect();
  void DoRead();
  // Runs a notification's work; what a handler throws goes to standard error.
  template <typename Work>
  void Guarded(const Work& work);

  MainLoop& loop_;
  HostLookup lookup_;
  TcpSocket socket_;
  MainLoop::Id watch_ = 0;
  // Tells notifications of an earlier socket from those of the current one.
  unsigned generation_ = 0;
  std::string host_;
  uint16_t port_ = 0;
  bool requested_ = false;
  bool established_ = false;
  bool destroying_ = false;
  NotifyEvent on_connected_;
  NotifyEvent on_disconnected_;
  NotifyEvent on_closing_;
  ReadEvent on_read_;
  ErrorEvent on_error_;
};

// Real clients on `loop`.
K7ClientFactory AsyncTcpClientFactory();

}  // namespace qarn
