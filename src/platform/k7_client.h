// What the K7 exchange needs of its TCP client: connect and close, send raw bytes, how much
// the peer has not acknowledged, and the events of the connection. AsyncTcpClient is the one
// on a real socket; tests give a fake.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/bytes.h"
#include "platform/main_loop.h"

namespace qarn {

class K7Client {
 public:
  using NotifyEvent = std::function<void(K7Client& sender)>;
  // `stream` holds every byte of the batch and is valid only during the call.
  using ReadEvent = std::function<void(K7Client& sender, const Bytes& stream)>;
  using ErrorEvent = std::function<void(K7Client& sender, int32_t socket, int32_t error_code,
                                        const std::string& error_msg)>;

  virtual ~K7Client() = default;

  // The established state: from the completed connect until the socket is closed.
  virtual bool Connected() const = 0;
  // True starts an attempt unless one was already asked for; false closes the connection.
  virtual void SetConnected(bool value) = 0;
  virtual const std::string& Host() const = 0;
  virtual void SetHost(const std::string& value) = 0;
  virtual uint16_t Port() const = 0;
  virtual void SetPort(uint16_t value) = 0;

  // Sends the whole stream at once: the count taken (a short count is not completed later),
  // -1 when the send failed (the connection is then dropped), 0 without a connection.
  virtual int32_t SendStream(ByteView stream) = 0;
  // Bytes taken that the peer's TCP has not acknowledged; -1 when not known.
  virtual long Unacknowledged() = 0;
  // Blocks until the peer has acknowledged everything sent, or `timeout_ms` has passed; for
  // the close at exit only. What is still unacknowledged, -1 when not known.
  virtual long WaitUntilAcknowledged(int timeout_ms) = 0;

  virtual void SetOnConnected(NotifyEvent handler) = 0;
  virtual void SetOnDisconnected(NotifyEvent handler) = 0;
  // Raised when an established connection is about to be closed, whatever the reason, before
  // OnDisconnected and while Unacknowledged() can still tell what the peer never got.
  virtual void SetOnClosing(NotifyEvent handler) = 0;
  virtual void SetOnRead(ReadEvent handler) = 0;
  virtual void SetOnError(ErrorEvent handler) = 0;
};

// Makes the K7 link's client on the driver's main loop.
using K7ClientFactory = std::function<std::unique_ptr<K7Client>(MainLoop& loop)>;

}  // namespace qarn
