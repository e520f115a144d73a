#include "platform/tcp_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace qarn {
namespace {

// A socket bound to `ip`:`port`. SO_REUSEPORT lets a listener and the socket that holds its
// port while it does not listen share the port; the holder goes without SO_REUSEADDR, so no
// other socket (another user's, or any without SO_REUSEPORT, which is every one but ours) can
// bind the port meanwhile. A listener takes SO_REUSEADDR too, so that the connections it
// closed (in TIME_WAIT) do not keep it off its port. -1 with `*error` set on failure.
int BoundSocket(uint32_t ip, uint16_t port, bool listener, int* error) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    *error = SocketErrorNumber(errno);
    return -1;
  }
  const int on = 1;
  // Options a listener can do without; a failure shows at bind() if it matters.
  if (listener) (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(ip);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    *error = SocketErrorNumber(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int TcpListener::Listen(const std::string& address, uint16_t port) {
  Close();
  // Listening needs no resolver: "localhost" is the loopback address here.
  const std::optional<uint32_t> ip =
      address == "localhost" ? std::optional<uint32_t>(INADDR_LOOPBACK) : NumericIPv4(address);
  if (!ip) return SocketErrorNumber(EINVAL);
  int error = 0;
  fd_ = BoundSocket(*ip, port, true, &error);
  if (fd_ < 0) return error;
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (::listen(fd_, 8) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size)) {
    error = SocketErrorNumber(errno);
    Close();
    return error;
  }
  address_ = *ip;
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

int TcpListener::StopListening() {
  if (fd_ < 0) return 0;
  if (holder_ < 0) {
    int error = 0;
    holder_ = BoundSocket(address_, port_, false, &error);
    // Without a holder the port would be free for anyone: go on listening, and say so.
    if (holder_ < 0) return error;
  }
  ::close(fd_);
  fd_ = -1;
  return 0;
}

int TcpListener::ListenAgain() {
  if (fd_ >= 0) return 0;
  if (holder_ < 0) return SocketErrorNumber(EBADF);  // never listened, or closed
  int error = 0;
  fd_ = BoundSocket(address_, port_, true, &error);
  if (fd_ < 0) return error;
  if (::listen(fd_, 8) != 0) {
    error = SocketErrorNumber(errno);
    ::close(fd_);
    fd_ = -1;
    return error;
  }
  ::close(holder_);
  holder_ = -1;
  return 0;
}

void TcpListener::Close() {
  if (fd_ >= 0) ::close(fd_);
  if (holder_ >= 0) ::close(holder_);
  fd_ = holder_ = -1;
}

}  // namespace qarn
