// A blocking TCP client for a worker thread: connect with a time-out, write completely, read
// exactly n bytes with a time-out. Built on TcpSocket, waiting with poll; failures carry the
// numbers of socket_error.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/bytes.h"
#include "platform/tcp_listener.h"
#include "platform/tcp_socket.h"

namespace qarn {

struct TcpClientOptions {
  std::string host;
  int port = 0;
  int connect_timeout_ms = 2500;
  int read_timeout_ms = 3000;
  int write_timeout_ms = 2000;
  // When set, every blocking wait looks at it at least every 50 ms and gives up with
  // kSocketInterrupted once it is true, so that a thread asked to stop is never held.
  const std::atomic<bool>* cancel = nullptr;
  // The resolver for host names (the system's when empty). It cannot be interrupted, so it
  // runs on a thread of its own and Connect stops waiting for it when `cancel` is set.
  std::function<std::optional<uint32_t>(const std::string& host)> resolve;
};

class BlockingTcpClient {
 public:
  virtual ~BlockingTcpClient() = default;  // closes an open connection without notification

  // 0 on success, else the error number.
  // Blocks at most the connect time-out.
  [[nodiscard]] virtual int Connect() = 0;
  // Blocks at most the write time-out for the whole buffer.
  [[nodiscard]] virtual int WriteAll(ByteView data) = 0;
  // Reads until `n` bytes are in `out`, waiting at most the read time-out for the whole
  // call. `*got` says how many arrived, also when it fails.
  [[nodiscard]] virtual int ReadExactly(uint8_t* out, size_t n, size_t* got) = 0;
  virtual void SetReadTimeout(int ms) = 0;
  virtual bool Connected() const = 0;
  virtual void Disconnect() = 0;
};

using TcpClientFactory = std::function<std::unique_ptr<BlockingTcpClient>(TcpClientOptions)>;

// The POSIX client; also wraps a connection accepted by a BlockingTcpListener.
class PosixBlockingTcpClient final : public BlockingTcpClient {
 public:
  explicit PosixBlockingTcpClient(TcpClientOptions options);
  // Takes over an open socket (from BlockingTcpListener::Accept).
  PosixBlockingTcpClient(int fd, TcpClientOptions options);
  ~PosixBlockingTcpClient() override;

  PosixBlockingTcpClient(const PosixBlockingTcpClient&) = delete;
  PosixBlockingTcpClient& operator=(const PosixBlockingTcpClient&) = delete;

  [[nodiscard]] int Connect() override;
  [[nodiscard]] int WriteAll(ByteView data) override;
  [[nodiscard]] int ReadExactly(uint8_t* out, size_t n, size_t* got) override;
  void SetReadTimeout(int ms) override { options_.read_timeout_ms = ms; }
  bool Connected() const override { return socket_.is_open(); }
  void Disconnect() override;

  // The peer as "address:port"; empty when not connected.
  std::string PeerText() const;

 private:
  TcpClientOptions options_;
  TcpSocket socket_;
};

TcpClientFactory PosixTcpClientFactory();

// A listening socket for servers (the simulator, tests).
class BlockingTcpListener {
 public:
  BlockingTcpListener() = default;
  BlockingTcpListener(const BlockingTcpListener&) = delete;
  BlockingTcpListener& operator=(const BlockingTcpListener&) = delete;

  // Listens on `address` (dotted, or "localhost"); port 0 lets the system choose. 0 on
  // success, else the error number.
  [[nodiscard]] int Listen(const std::string& address, int port);
  int port() const { return listener_.port(); }
  // The next connection, or null when none came within `timeout_ms` (-1: wait for ever) or
  // the listener is closed.
  std::unique_ptr<PosixBlockingTcpClient> Accept(int timeout_ms);
  // Refuses connections while keeping the port, and takes them again: see TcpListener.
  [[nodiscard]] int StopListening() { return listener_.StopListening(); }
  [[nodiscard]] int ListenAgain() { return listener_.ListenAgain(); }
  void Close();

 private:
  TcpListener listener_;
};

}  // namespace qarn
