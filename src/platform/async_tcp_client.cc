#include "platform/async_tcp_client.h"

#include <algorithm>

#include "base/socket_error.h"
#include "platform/diag.h"
#include "platform/tcp_keepalive.h"

namespace qarn {

AsyncTcpClient::AsyncTcpClient(MainLoop& loop) : loop_(loop), lookup_(loop) {}

AsyncTcpClient::~AsyncTcpClient() {
  destroying_ = true;
  Disconnect();
}

void AsyncTcpClient::SetConnected(bool value) {
  if (!value) {
    Disconnect();
    return;
  }
  if (requested_) return;
  requested_ = true;
  if (const auto address = NumericIPv4(host_)) {
    ConnectTo(*address);
    return;
  }
  // A name is looked up afresh on every attempt, off the main thread.
  lookup_.Start(host_, [this](std::optional<uint32_t> address) {
    Guarded([&] {
      if (!address) {
        SocketError(-1, kSocketBadAddress);
      } else {
        ConnectTo(*address);
      }
    });
  });
}

void AsyncTcpClient::ConnectTo(uint32_t address) {
  int error = socket_.Open();
  if (error) {
    SocketError(-1, error);
    return;
  }
  // A peer that vanishes without closing is found even while nothing is sent. Best effort:
  // without it the stall watch still drops a peer that takes nothing.
  (void)EnableDeadPeerDetection(socket_.fd());
  const unsigned generation = ++generation_;
  // Writable means the connect has completed, with or without an error.
  watch_ = loop_.WatchFd(socket_.fd(), MainLoop::kWritable, [this, generation](unsigned events) {
    Guarded([&] { OnSocketEvent(generation, events); });
  });
  error = socket_.StartConnect(address, port_);
  if (error) SocketError(socket_.fd(), error);
}

void AsyncTcpClient::Disconnect() {
  if (!requested_) return;
  requested_ = false;
  lookup_.Cancel();
  const int32_t fd = socket_.fd();
  int close_error = 0;
  if (socket_.is_open()) {
    loop_.UnwatchFd(watch_);
    watch_ = 0;
    if (established_) {
      if (on_closing_) on_closing_(*this);
      // What the socket took still goes out; only a connect attempt holds nothing of ours.
      close_error = socket_.CloseGracefully();
    } else {
      close_error = socket_.CloseAbortive();
    }
  }
  established_ = false;
  if (destroying_) return;
  if (on_disconnected_) on_disconnected_(*this);
  // The descriptor is gone even when close failed, so the client is idle either way.
  if (close_error) SocketError(fd, close_error);
}

void AsyncTcpClient::SocketError(int32_t socket, int error_number) {
  Disconnect();
  const std::string text = SocketErrorText(error_number);
  if (on_error_) {
    on_error_(*this, socket, error_number, text);
    return;
  }
  throw SocketException(text);
}

void AsyncTcpClient::OnSocketEvent(unsigned generation, unsigned events) {
  if (generation != generation_ || !socket_.is_open()) return;
  if (!established_) {
    if (events & MainLoop::kWritable) DoConnect();
    return;
  }
  if (events & MainLoop::kReadable) DoRead();
}

void AsyncTcpClient::DoConnect() {
  const int error = socket_.ConnectResult();
  if (error) {
    SocketError(socket_.fd(), error);
    return;
  }
  loop_.SetFdEvents(watch_, MainLoop::kReadable);
  established_ = true;
  if (on_connected_) on_connected_(*this);
}

void AsyncTcpClient::DoRead() {
  const unsigned generation = generation_;
  const int32_t fd = socket_.fd();
  Bytes batch;
  for (;;) {
    int error = 0;
    const long count = socket_.Pending(&error);
    if (count < 0) {
      SocketError(fd, error);
      return;
    }
    if (count == 0 || batch.size() >= kMaxReadBatch) break;
    const size_t old_size = batch.size();
    const size_t want = std::min<size_t>(count, kMaxReadBatch - old_size);
    batch.resize(old_size + want);
    const long n = socket_.Receive(batch.data() + old_size, want, &error);
    if (n < 0) {
      SocketError(fd, error);
      return;
    }
    batch.resize(old_size + n);
    if (n == 0) break;
  }
  if (!batch.empty()) {
    if (on_read_) on_read_(*this, batch);
    return;
  }
  // Readable with nothing to read: the peer has closed, or the connection failed.
  if (generation != generation_ || !socket_.is_open()) return;
  int error = 0;
  const int closed = socket_.PeerClosed(&error);
  if (closed < 0) {
    SocketError(fd, error);
  } else if (closed > 0) {
    Disconnect();
  }
}

int32_t AsyncTcpClient::SendStream(ByteView stream) {
  if (!socket_.is_open() || stream.empty()) return 0;
  int error = 0;
  const long n = socket_.Send(stream, &error);
  if (n < 0) {
    // A full send buffer (10035) is an error like any other: it drops the connection.
    SocketError(socket_.fd(), error);
    return -1;
  }
  return static_cast<int32_t>(n);
}

long AsyncTcpClient::Unacknowledged() {
  if (!socket_.is_open()) return -1;
  int error = 0;
  return socket_.Unacknowledged(&error);
}

long AsyncTcpClient::WaitUntilAcknowledged(int timeout_ms) {
  if (!socket_.is_open()) return -1;
  int error = 0;
  return socket_.WaitUntilAcknowledged(timeout_ms, &error);
}

void AsyncTcpClient::SetHost(const std::string& value) {
  if (value == host_) return;
  // The connection stays with the server it was made to.
  if (established_) throw SocketException("Can not change Host while connected");
  host_ = value;
}

void AsyncTcpClient::SetPort(uint16_t value) {
  if (value == port_) return;
  // The connection stays with the server it was made to.
  if (established_) throw SocketException("Can not change Port while connected");
  port_ = value;
}

template <typename Work>
void AsyncTcpClient::Guarded(const Work& work) {
  try {
    work();
  } catch (const std::exception& e) {
    DiagError(e.what());
  }
}

K7ClientFactory AsyncTcpClientFactory() {
  return [](MainLoop& loop) -> std::unique_ptr<K7Client> {
    return std::make_unique<AsyncTcpClient>(loop);
  };
}

}  // namespace qarn
