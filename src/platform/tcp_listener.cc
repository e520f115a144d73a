#include "platform/tcp_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace qarn {

int TcpListener::Listen(const std::string& address, uint16_t port) {
  Close();
  // Listening needs no resolver: "localhost" is the loopback address here.
  const std::optional<uint32_t> ip =
      address == "localhost" ? std::optional<uint32_t>(INADDR_LOOPBACK) : NumericIPv4(address);
  if (!ip) return SocketErrorNumber(EINVAL);
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd_ < 0) return SocketErrorNumber(errno);
  const int on = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(*ip);
  socklen_t size = sizeof local;
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(fd_, 8) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size)) {
    const int error = SocketErrorNumber(errno);
    Close();
    return error;
  }
  port_ = ntohs(local.sin_port);
  return 0;
}

std::unique_ptr<TcpSocket> TcpListener::Accept() {
  if (fd_ < 0) return nullptr;
  const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return nullptr;
  auto socket = std::make_unique<TcpSocket>();
  socket->Adopt(fd);
  return socket;
}

void TcpListener::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace qarn
