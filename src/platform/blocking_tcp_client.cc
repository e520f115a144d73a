#include "platform/blocking_tcp_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>

#include "base/socket_error.h"
#include "platform/tcp_keepalive.h"

namespace qarn {
namespace {

// The longest single sleep of a cancellable wait.
constexpr int kCancelCheckMs = 50;

using Steady = std::chrono::steady_clock;

int LastError() { return SocketErrorNumber(errno); }

void MakeNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// The time left until `deadline` in ms, 0 once it has passed; -1 for no deadline.
int LeftMs(std::optional<Steady::time_point> deadline) {
  if (!deadline) return -1;
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Steady::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

std::optional<Steady::time_point> DeadlineIn(int timeout_ms) {
  if (timeout_ms < 0) return std::nullopt;
  return Steady::now() + std::chrono::milliseconds(timeout_ms);
}

// Waits for `events` on `fd` until `deadline`: 1 ready, 0 timed out, -1 error (errno set),
// -2 cancelled.
int WaitFor(int fd, short events, std::optional<Steady::time_point> deadline,
            const std::atomic<bool>* cancel = nullptr) {
  for (;;) {
    if (cancel && cancel->load()) return -2;
    int left = LeftMs(deadline);
    if (cancel && (left < 0 || left > kCancelCheckMs)) left = kCancelCheckMs;
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, left);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r > 0) return 1;
    if (deadline && LeftMs(deadline) == 0) return 0;
  }
}

int WaitError(int ready) {
  if (ready == 0) return kSocketTimedOut;
  if (ready == -2) return kSocketInterrupted;
  return LastError();
}

bool Resolve(const std::string& host, int port, sockaddr_in* addr, int* error) {
  *addr = sockaddr_in{};
  addr->sin_family = AF_INET;
  addr->sin_port = htons(static_cast<uint16_t>(port));
  if (port <= 0 || port > 65535) {
    *error = SocketErrorNumber(EADDRNOTAVAIL);
    return false;
  }
  if (inet_pton(AF_INET, host.c_str(), &addr->sin_addr) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
    *error = kSocketHostNotFound;
    return false;
  }
  addr->sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

}  // namespace

PosixBlockingTcpClient::PosixBlockingTcpClient(TcpClientOptions options)
    : options_(std::move(options)) {}

PosixBlockingTcpClient::PosixBlockingTcpClient(int fd, TcpClientOptions options)
    : options_(std::move(options)), fd_(fd) {
  MakeNonBlocking(fd_);
  const int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

PosixBlockingTcpClient::~PosixBlockingTcpClient() {
  if (fd_ >= 0) close(fd_);
}

int PosixBlockingTcpClient::Connect() {
  if (fd_ >= 0) return SocketErrorNumber(EISCONN);
  sockaddr_in addr;
  int error = 0;
  if (!Resolve(options_.host, options_.port, &addr, &error)) return error;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return LastError();
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS) {
      error = LastError();
      close(fd);
      return error;
    }
    const int ready =
        WaitFor(fd, POLLOUT, DeadlineIn(options_.connect_timeout_ms), options_.cancel);
    if (ready <= 0) {
      error = WaitError(ready);
      close(fd);
      return error;
    }
    int so_error = 0;
    socklen_t len = sizeof so_error;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
    if (so_error != 0) {
      close(fd);
      return SocketErrorNumber(so_error);
    }
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  EnableDeadPeerDetection(fd);
  fd_ = fd;
  if (options_.on_connected) options_.on_connected();
  return 0;
}

int PosixBlockingTcpClient::WriteAll(ByteView data) {
  if (fd_ < 0) return kSocketNotConnected;
  // A connection the peer has already closed still takes a first write without complaint,
  // and those bytes are lost; refuse it, so that the caller keeps them for another time.
  pollfd state{fd_, POLLRDHUP, 0};
  if (poll(&state, 1, 0) > 0 && (state.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
    return kSocketReset;
  }
  const auto deadline = DeadlineIn(options_.write_timeout_ms);
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const int ready = WaitFor(fd_, POLLOUT, deadline, options_.cancel);
      if (ready <= 0) return WaitError(ready);
      continue;
    }
    return LastError();
  }
  return 0;
}

int PosixBlockingTcpClient::ReadExactly(uint8_t* out, size_t n, size_t* got) {
  *got = 0;
  if (fd_ < 0) return kSocketNotConnected;
  const auto deadline = DeadlineIn(options_.read_timeout_ms);
  while (*got < n) {
    const ssize_t r = recv(fd_, out + *got, n - *got, 0);
    if (r > 0) {
      *got += static_cast<size_t>(r);
      continue;
    }
    if (r == 0) return kSocketReset;  // the peer closed the connection
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return LastError();
    const int ready = WaitFor(fd_, POLLIN, deadline, options_.cancel);
    if (ready <= 0) return WaitError(ready);
  }
  return 0;
}

void PosixBlockingTcpClient::Disconnect() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
  if (options_.on_disconnected) options_.on_disconnected();
}

std::string PosixBlockingTcpClient::PeerText() const {
  if (fd_ < 0) return std::string();
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getpeername(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return std::string();
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
}

TcpClientFactory PosixTcpClientFactory() {
  return [](TcpClientOptions options) -> std::unique_ptr<BlockingTcpClient> {
    return std::make_unique<PosixBlockingTcpClient>(std::move(options));
  };
}

BlockingTcpListener::~BlockingTcpListener() { Close(); }

int BlockingTcpListener::Listen(const std::string& address, int port) {
  Close();
  sockaddr_in addr;
  int error = 0;
  if (port == 0) {
    // Resolve() refuses port 0, which is the caller's "any port" here.
    addr = sockaddr_in{};
    addr.sin_family = AF_INET;
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) return kSocketHostNotFound;
  } else if (!Resolve(address, port, &addr, &error)) {
    return error;
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return LastError();
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 8) != 0) {
    error = LastError();
    close(fd);
    return error;
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  fd_ = fd;
  port_ = ntohs(addr.sin_port);
  return 0;
}

std::unique_ptr<PosixBlockingTcpClient> BlockingTcpListener::Accept(int timeout_ms) {
  if (fd_ < 0) return nullptr;
  if (WaitFor(fd_, POLLIN, DeadlineIn(timeout_ms)) <= 0) return nullptr;
  const int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return nullptr;
  TcpClientOptions options;
  options.host = "peer";
  return std::make_unique<PosixBlockingTcpClient>(fd, std::move(options));
}

void BlockingTcpListener::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  port_ = 0;
}

}  // namespace qarn
