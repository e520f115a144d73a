// Reads one K8 frame from a connection, for the server's side of the link (the simulator,
// tests). The driver's own reply read has stricter rules of its own (K8Link::ReadReply).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/blocking_tcp_client.h"

namespace qarn {

enum class FrameRead {
  kFrame,    // `packet` holds the frame's packet
  kNothing,  // no byte came within the read time-out
  kClosed,   // the connection failed or was closed
  kBad,      // the frame header's marker or size is not valid; the stream is lost
  kStopped,  // `stop` was set while a frame was incomplete; the stream is lost
};

// Once a frame has begun, waits for its rest however many time-outs it takes, unless `stop`
// is set: a peer holding half a frame must not keep its server from quitting.
FrameRead ReadK8Frame(BlockingTcpClient& connection, Bytes* packet, int32_t max_size = 1 << 20,
                      const std::atomic<bool>* stop = nullptr);

}  // namespace qarn
