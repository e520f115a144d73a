// A listening IPv4 TCP socket for the simulators and tests: non-blocking accept of client
// connections, each handed over as a TcpSocket.
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
  // The port listened on.
  uint16_t port() const { return port_; }
  int fd() const { return fd_; }
  // The next waiting connection (non-blocking), or null when none is waiting.
  std::unique_ptr<TcpSocket> Accept();
  void Close();

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

}  // namespace qarn
