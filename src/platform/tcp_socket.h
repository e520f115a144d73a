// A thin non-blocking IPv4 TCP socket: the one socket layer under the K7 client, the K8
// link's blocking client and the listeners. Every failure is reported as a number of the
// socket error table (ECONNREFUSED as 10061 and so on), never as errno.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/bytes.h"
#include "base/socket_error.h"

namespace qarn {

// An IPv4 address in host byte order when `host` is a dotted address and needs no lookup.
// Every name, "localhost" included, goes to the resolver.
std::optional<uint32_t> NumericIPv4(const std::string& host);

// The first IPv4 address of `host` from the system's resolver. Blocks: call it off the main
// thread (HostLookup does).
std::optional<uint32_t> ResolveIPv4(const std::string& host);

class TcpSocket {
 public:
  TcpSocket() = default;
  ~TcpSocket() { (void)CloseAbortive(); }  // an owner that cares closed it before

  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  // Creates the non-blocking socket. 0 or an error number.
  [[nodiscard]] int Open();
  // Starts connecting; 0 when the outcome comes later (the socket turns writable) or the
  // connection is already made, otherwise an error number.
  [[nodiscard]] int StartConnect(uint32_t address, uint16_t port);
  // After the socket turned writable: 0 when connected, or why connecting failed.
  [[nodiscard]] int ConnectResult();

  // What `send` took (possibly fewer than offered), or -1 with `*error` set. Never raises
  // SIGPIPE and never waits.
  [[nodiscard]] long Send(ByteView data, int* error);
  // Bytes waiting to be read, or -1 with `*error` set.
  [[nodiscard]] long Pending(int* error);
  // What `recv` returned: bytes read, 0 when the peer has closed, -1 with `*error` set
  // (10035 when nothing is there yet).
  [[nodiscard]] long Receive(uint8_t* buffer, size_t size, int* error);
  // Whether the peer has closed its side: reads nothing away. -1 with `*error` set when the
  // connection failed; 0 when it is open; 1 when closed.
  [[nodiscard]] int PeerClosed(int* error);

  // Bytes the socket took that the peer's TCP has not acknowledged yet (sent or still
  // queued), or -1 with `*error` set. Still answers after the connection failed, until close.
  [[nodiscard]] long Unacknowledged(int* error);
  // Waits, blocking, until the peer has acknowledged everything or `timeout_ms` has passed:
  // what is still unacknowledged, or -1 with `*error` set.
  [[nodiscard]] long WaitUntilAcknowledged(int timeout_ms, int* error);

  // Shuts down both directions and closes at once, discarding unsent data: only for a socket
  // that holds nothing of ours. 0 or an error number; the socket is released either way.
  [[nodiscard]] int CloseAbortive();
  // Closes in order: what the socket took still goes out, then the peer sees the end.
  [[nodiscard]] int CloseGracefully();

  // Takes over a connected non-blocking socket (from TcpListener::Accept).
  void Adopt(int fd) {
    (void)CloseAbortive();  // nothing is open here in practice: a fresh socket takes over
    fd_ = fd;
  }
  // Lets go of the descriptor without closing it.
  [[nodiscard]] int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

  int fd() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace qarn
