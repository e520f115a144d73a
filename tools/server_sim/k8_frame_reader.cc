#include "server_sim/k8_frame_reader.h"

#include "base/socket_error.h"
#include "k8/k8_wire.h"

namespace qarn {
namespace {

// Fills `out` completely; false when the connection fails. `started` is whether some bytes
// of the frame have already arrived.
FrameRead Fill(BlockingTcpClient& connection, uint8_t* out, size_t n, bool started,
               const std::atomic<bool>* stop) {
  size_t filled = 0;
  while (filled < n) {
    size_t got = 0;
    const int error = connection.ReadExactly(out + filled, n - filled, &got);
    filled += got;
    if (error == 0) break;
    if (error != kSocketTimedOut) return FrameRead::kClosed;
    if (!started && filled == 0) return FrameRead::kNothing;
    if (stop && stop->load()) return FrameRead::kStopped;
    started = true;
  }
  return FrameRead::kFrame;
}

}  // namespace

FrameRead ReadK8Frame(BlockingTcpClient& connection, Bytes* packet, int32_t max_size,
                      const std::atomic<bool>* stop) {
  uint8_t header[kK8FrameHeaderSize];
  const FrameRead first = Fill(connection, header, sizeof header, false, stop);
  if (first != FrameRead::kFrame) return first;
  const auto size = ParseK8FrameHeader(ByteView(header, sizeof header));
  if (!size || *size <= 0 || *size > max_size) return FrameRead::kBad;
  packet->assign(static_cast<size_t>(*size), 0);
  return Fill(connection, packet->data(), packet->size(), true, stop);
}

}  // namespace qarn
