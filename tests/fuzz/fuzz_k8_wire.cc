// K8 frames and poll replies as the server may send them. A frame header gives a size or
// nothing; a poll reply gives only sub-packets that lie inside it, at most as many as its
// count, and building them again gives the same walk; every frame the driver builds is
// well-formed.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "base/byte_order.h"
#include "fuzz/fuzz_check.h"
#include "k8/k8_wire.h"

namespace qarn {
namespace {

// What a receiver needs of a frame the driver writes.
void CheckFrame(ByteView frame, int32_t type, ByteView payload, int64_t sequence) {
  const auto size = ParseK8FrameHeader(frame);
  FUZZ_CHECK(size && *size >= 0 && frame.size() == kK8FrameHeaderSize + static_cast<size_t>(*size));
  FUZZ_CHECK(GetI32(&frame[17]) == *size);
  const ByteView packet = frame.subspan(kK8FrameHeaderSize);
  FUZZ_CHECK(HasK8Markers(packet));
  const auto header = ReadK8PacketHeader(packet);
  FUZZ_CHECK(header && header->type == type && header->sequence == sequence);
  FUZZ_CHECK(header->length == static_cast<int32_t>(payload.size()));
  const ByteView body = packet.subspan(kK8PacketHeaderSize);
  FUZZ_CHECK(std::equal(body.begin(), body.end(), payload.begin(), payload.end()));
}

}  // namespace
}  // namespace qarn

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qarn;
  const ByteView bytes(data, size);

  // The bytes as a reply frame header.
  if (const auto announced = ParseK8FrameHeader(bytes)) {
    FUZZ_CHECK(bytes[0] == 0xFF || bytes[0] == 0xF0);
    FUZZ_CHECK(*announced == GetI32(&bytes[5]));
  } else {
    FUZZ_CHECK(size < kK8FrameHeaderSize || (bytes[0] != 0xFF && bytes[0] != 0xF0));
  }

  // The bytes as a poll reply payload.
  const auto subs = ParsePollReply(bytes);
  FUZZ_CHECK(size > 0 || subs.empty());
  if (size > 0) FUZZ_CHECK(subs.size() <= bytes[0]);
  size_t used = 1;
  for (const auto& sub : subs) used += kK8PacketHeaderSize + sub.data.size();
  FUZZ_CHECK(subs.empty() || used <= size);
  const Bytes rebuilt = BuildPollReply(subs);
  const auto again = ParsePollReply(rebuilt);
  FUZZ_CHECK(again.size() == subs.size());
  for (size_t i = 0; i < subs.size(); ++i) {
    FUZZ_CHECK(again[i].type == subs[i].type && again[i].data == subs[i].data);
  }
  bool asks = false;
  for (const auto& sub : subs) {
    asks = asks || (sub.type == kK8RetQuery && sub.data.size() > 4 && sub.data[4] == 1);
  }
  FUZZ_CHECK(PollReplyRequestsRetQuery(bytes) == asks);

  // The bytes as the pieces of packets the driver sends.
  FuzzedDataProvider in(data, size);
  const int32_t type = in.ConsumeIntegral<int32_t>();
  const int64_t sequence = in.ConsumeIntegral<int64_t>();
  const std::string name = in.ConsumeRandomLengthString(16);
  const Bytes payload = in.ConsumeRemainingBytes<uint8_t>();
  CheckFrame(BuildK8Frame(BuildK8Packet(type, payload, sequence)), type, payload, sequence);
  const Bytes port = BuildPortStatePayload(name, sequence & 1);
  FUZZ_CHECK(port.size() == 8 && port[0] <= 6 && port[7] == (sequence & 1));
  for (size_t i = 1 + port[0]; i < 7; ++i) FUZZ_CHECK(port[i] == 0);
  FUZZ_CHECK(BuildVersionPayload(name).size() == 8);
  (void)K8TypeName(type);
  return 0;
}
