// A listening IPv4 TCP socket for the simulators and tests: non-blocking accept of client
// connections, each handed over as a TcpSocket. A listener can stop listening and keep its
// port, the way a server that is down refuses connections while nobody else takes its port.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/tcp_socket.h"

namespace qarn {

class TcpListener {
 public:
  TcpListener() = default;
  ~TcpListener() { Close(); }

  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // Listens on `address` (dotted, or "localhost") and `port`; port 0 lets the system pick
  // one. 0 or an error number (see SocketErrorNumber).
  [[nodiscard]] int Listen(const std::string& address, uint16_t port);
  // The port listened on (or held).
  uint16_t port() const { return port_; }
  // The listening socket; -1 while not listening.
  int fd() const { return fd_; }
  // The next waiting connection (non-blocking), or null when none is waiting.
  std::unique_ptr<TcpSocket> Accept();
  // New connections are refused from now on, and those waiting to be accepted are reset; the
  // port stays bound to this listener, so no other socket of the machine can take it. 0 or
  // an error number (the listener then goes on listening).
  [[nodiscard]] int StopListening();
  // Listens again on the port kept by StopListening. 0 or an error number.
  [[nodiscard]] int ListenAgain();
  bool listening() const { return fd_ >= 0; }
  // Lets the port go.
  void Close();

 private:
  int fd_ = -1;
  int holder_ = -1;  // bound, never listening: keeps the port while not listening
  uint32_t address_ = 0;
  uint16_t port_ = 0;
};

}  // namespace qarn
