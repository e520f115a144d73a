#include "platform/blocking_tcp_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

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

// The address of `host`: a dotted one at once, a name from `resolve` on a detached thread,
// waited for until it answers or `cancel` is set. 0, kSocketHostNotFound or
// kSocketInterrupted; a late answer is dropped.
int LookUp(const TcpClientOptions& options, uint32_t* address) {
  if (const auto numeric = NumericIPv4(options.host)) {
    *address = *numeric;
    return 0;
  }
  struct Answer {
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    std::optional<uint32_t> address;
  };
  auto answer = std::make_shared<Answer>();
  auto resolve = options.resolve ? options.resolve : ResolveIPv4;
  std::thread([answer, resolve = std::move(resolve), host = options.host] {
    const std::optional<uint32_t> found = resolve(host);
    const std::lock_guard lock(answer->mutex);
    answer->address = found;
    answer->done = true;
    answer->done_cv.notify_all();
  }).detach();
  std::unique_lock lock(answer->mutex);
  while (!answer->done) {
    if (options.cancel && options.cancel->load()) return kSocketInterrupted;
    answer->done_cv.wait_for(lock, std::chrono::milliseconds(kCancelCheckMs));
  }
  if (!answer->address) return kSocketHostNotFound;
  *address = *answer->address;
  return 0;
}

// A send or receive that failed only for now: the socket has nothing for it yet, or a signal
// came (errno EINTR, 10004 in the table).
bool Retry(int error) { return error == kSocketWouldBlock || error == kSocketInterrupted; }

}  // namespace

PosixBlockingTcpClient::PosixBlockingTcpClient(TcpClientOptions options)
    : options_(std::move(options)) {}

PosixBlockingTcpClient::PosixBlockingTcpClient(int fd, TcpClientOptions options)
    : options_(std::move(options)) {
  socket_.Adopt(fd);
  MakeNonBlocking(fd);
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Released without notification, closed in order as a plain close does; nobody is left to
// hear how the close went.
PosixBlockingTcpClient::~PosixBlockingTcpClient() { (void)socket_.CloseGracefully(); }

int PosixBlockingTcpClient::Connect() {
  if (socket_.is_open()) return SocketErrorNumber(EISCONN);
  if (options_.port <= 0 || options_.port > 65535) return SocketErrorNumber(EADDRNOTAVAIL);
  uint32_t address = 0;
  if (const int error = LookUp(options_, &address); error != 0) return error;
  int error = socket_.Open();
  if (error == 0) error = socket_.StartConnect(address, static_cast<uint16_t>(options_.port));
  if (error == 0) {
    const int ready =
        WaitFor(socket_.fd(), POLLOUT, DeadlineIn(options_.connect_timeout_ms), options_.cancel);
    error = ready <= 0 ? WaitError(ready) : socket_.ConnectResult();
  }
  if (error != 0) {
    (void)socket_.CloseGracefully();  // nothing was sent; the connect's error is the one to tell
    return error;
  }
  const int one = 1;
  setsockopt(socket_.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // Best effort: without it the link's reply time-outs still find a dead peer.
  (void)EnableDeadPeerDetection(socket_.fd());
  return 0;
}

int PosixBlockingTcpClient::WriteAll(ByteView data) {
  if (!socket_.is_open()) return kSocketNotConnected;
  // A connection the peer has already closed still takes a first write without complaint,
  // and those bytes are lost; refuse it, so that the caller keeps them for another time.
  pollfd state{socket_.fd(), POLLRDHUP, 0};
  if (poll(&state, 1, 0) > 0 && (state.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
    return kSocketReset;
  }
  const auto deadline = DeadlineIn(options_.write_timeout_ms);
  size_t done = 0;
  while (done < data.size()) {
    int error = 0;
    const long n = socket_.Send(data.subspan(done), &error);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && !Retry(error)) return error;
    if (n < 0 && error == kSocketInterrupted) continue;
    const int ready = WaitFor(socket_.fd(), POLLOUT, deadline, options_.cancel);
    if (ready <= 0) return WaitError(ready);
  }
  return 0;
}

int PosixBlockingTcpClient::ReadExactly(uint8_t* out, size_t n, size_t* got) {
  *got = 0;
  if (!socket_.is_open()) return kSocketNotConnected;
  const auto deadline = DeadlineIn(options_.read_timeout_ms);
  while (*got < n) {
    int error = 0;
    const long r = socket_.Receive(out + *got, n - *got, &error);
    if (r > 0) {
      *got += static_cast<size_t>(r);
      continue;
    }
    if (r == 0) return kSocketReset;  // the peer closed the connection
    if (!Retry(error)) return error;
    if (error == kSocketInterrupted) continue;
    const int ready = WaitFor(socket_.fd(), POLLIN, deadline, options_.cancel);
    if (ready <= 0) return WaitError(ready);
  }
  return 0;
}

void PosixBlockingTcpClient::Disconnect() {
  if (!socket_.is_open()) return;
  // The descriptor is released whatever close says; the link only needs to know it is gone.
  (void)socket_.CloseGracefully();
}

std::string PosixBlockingTcpClient::PeerText() const {
  if (!socket_.is_open()) return std::string();
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getpeername(socket_.fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return std::string();
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
}

TcpClientFactory PosixTcpClientFactory() {
  return [](TcpClientOptions options) -> std::unique_ptr<BlockingTcpClient> {
    return std::make_unique<PosixBlockingTcpClient>(std::move(options));
  };
}

int BlockingTcpListener::Listen(const std::string& address, int port) {
  if (port < 0 || port > 65535) return SocketErrorNumber(EADDRNOTAVAIL);
  return listener_.Listen(address, static_cast<uint16_t>(port));
}

std::unique_ptr<PosixBlockingTcpClient> BlockingTcpListener::Accept(int timeout_ms) {
  if (listener_.fd() < 0) return nullptr;
  if (WaitFor(listener_.fd(), POLLIN, DeadlineIn(timeout_ms)) <= 0) return nullptr;
  std::unique_ptr<TcpSocket> accepted = listener_.Accept();
  if (!accepted) return nullptr;
  TcpClientOptions options;
  options.host = "peer";
  return std::make_unique<PosixBlockingTcpClient>(accepted->Release(), std::move(options));
}

void BlockingTcpListener::Close() { listener_.Close(); }

}  // namespace qarn
