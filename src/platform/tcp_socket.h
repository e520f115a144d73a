// A thin non-blocking IPv4 TCP client socket. Every failure is reported as the error number
// the K7 client's error table uses (ECONNREFUSED as 10061 and so on), never as errno.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/file_system.h"
#include "platform/socket_error.h"

namespace qarn {

// An IPv4 address in host byte order when `host` needs no lookup: a dotted address, or
// "localhost" (always the loopback address, so it never waits for a resolver).
std::optional<uint32_t> NumericIPv4(const std::string& host);

// The first IPv4 address of `host` from the system's resolver. Blocks: call it off the main
// thread (HostLookup does).
std::optional<uint32_t> ResolveIPv4(const std::string& host);

class TcpSocket {
 public:
  TcpSocket() = default;
  ~TcpSocket() { CloseAbortive(); }

  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  // Creates the non-blocking socket. 0 or an error number.
  int Open();
  // Starts connecting; 0 when the outcome comes later (the socket turns writable) or the
  // connection is already made, otherwise an error number.
  int StartConnect(uint32_t address, uint16_t port);
  // After the socket turned writable: 0 when connected, or why connecting failed.
  int ConnectResult();

  // What `send` took (possibly fewer than offered), or -1 with `*error` set. Never raises
  // SIGPIPE and never waits.
  long Send(ByteView data, int* error);
  // Bytes waiting to be read, or -1 with `*error` set.
  long Pending(int* error);
  // What `recv` returned: bytes read, 0 when the peer has closed, -1 with `*error` set
  // (10035 when nothing is there yet).
  long Receive(uint8_t* buffer, size_t size, int* error);
  // Whether the peer has closed its side: reads nothing away. -1 with `*error` set when the
  // connection failed; 0 when it is open; 1 when closed.
  int PeerClosed(int* error);

  // Shuts down both directions and closes at once, discarding unsent data. 0 or an error
  // number; the socket is released either way unless the close itself failed.
  int CloseAbortive();
  // Closes in order: what was sent is delivered, then the peer sees the end.
  void CloseGracefully();

  // Takes over a connected non-blocking socket (from TcpListener::Accept).
  void Adopt(int fd) {
    CloseAbortive();
    fd_ = fd;
  }

  int fd() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace qarn
