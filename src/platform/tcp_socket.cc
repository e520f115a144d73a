#include "platform/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace qarn {

std::optional<uint32_t> NumericIPv4(const std::string& host) {
  in_addr address{};
  // inet_aton takes the same dotted forms as inet_addr ("127.1", "0x7f.1").
  if (inet_aton(host.c_str(), &address) == 0) return std::nullopt;
  return ntohl(address.s_addr);
}

std::optional<uint32_t> ResolveIPv4(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) {
    return std::nullopt;
  }
  const uint32_t address =
      ntohl(reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr);
  freeaddrinfo(result);
  return address;
}

int TcpSocket::Open() {
  if (fd_ >= 0) return 0;
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  return fd_ < 0 ? SocketErrorNumber(errno) : 0;
}

int TcpSocket::StartConnect(uint32_t address, uint16_t port) {
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(port);
  server.sin_addr.s_addr = htonl(address);
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0) return 0;
  return errno == EINPROGRESS ? 0 : SocketErrorNumber(errno);
}

int TcpSocket::ConnectResult() {
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return SocketErrorNumber(errno);
  return error ? SocketErrorNumber(error) : 0;
}

long TcpSocket::Send(ByteView data, int* error) {
  const ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0) *error = SocketErrorNumber(errno);
  return n;
}

long TcpSocket::Pending(int* error) {
  int count = 0;
  if (::ioctl(fd_, FIONREAD, &count) != 0) {
    *error = SocketErrorNumber(errno);
    return -1;
  }
  return count;
}

long TcpSocket::Receive(uint8_t* buffer, size_t size, int* error) {
  const ssize_t n = ::recv(fd_, buffer, size, MSG_DONTWAIT);
  if (n < 0) *error = SocketErrorNumber(errno);
  return n;
}

int TcpSocket::PeerClosed(int* error) {
  uint8_t byte;
  const ssize_t n = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n == 0) return 1;
  if (n > 0 || errno == EAGAIN || errno == EINTR) return 0;
  *error = SocketErrorNumber(errno);
  return -1;
}

int TcpSocket::CloseAbortive() {
  if (fd_ < 0) return 0;
  ::shutdown(fd_, SHUT_RDWR);
  const linger abort{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  // Linux releases the descriptor even when close reports an error.
  const int result = ::close(fd_);
  fd_ = -1;
  return result == 0 ? 0 : SocketErrorNumber(errno);
}

long TcpSocket::Unacknowledged(int* error) {
  int count = 0;
  if (::ioctl(fd_, SIOCOUTQ, &count) != 0) {
    *error = SocketErrorNumber(errno);
    return -1;
  }
  return count;
}

long TcpSocket::WaitUntilAcknowledged(int timeout_ms, int* error) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const long left = Unacknowledged(error);
    if (left <= 0 || std::chrono::steady_clock::now() >= deadline) return left;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int TcpSocket::CloseGracefully() {
  if (fd_ < 0) return 0;
  const int result = ::close(fd_);
  fd_ = -1;
  return result == 0 ? 0 : SocketErrorNumber(errno);
}

}  // namespace qarn
