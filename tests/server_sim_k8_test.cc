#include <gtest/gtest.h>

#include "k8/k8_wire.h"
#include "output/event_record.h"
#include "platform/tdatetime.h"
#include "server_sim/k8_side.h"

namespace qarn::sim {
namespace {

TEST(ServerSimK8, DescribesWhatTheDriverSends) {
  StationEvent event{40300, 7, 0x0A, EncodeDateTime({2026, 12, 15, 14, 5, 7, 123})};
  const struct {
    Bytes packet;
    const char* text;
  } cases[] = {
      {BuildK8Packet(kK8StationEventType, BuildK8Event(event), 9),
       "K8StationEvent seq=9 object=40300 code=0A byte3=7 time=2026-12-15T14:05:07.123"},
      {BuildK8Packet(kK8PortState, BuildPortStatePayload("COM3", true), 1),
       "K8PortState seq=1 port=COM3 open=1"},
      {BuildK8Packet(kK8Version, BuildVersionPayload("8.1.3.171"), 3),
       "K8Version seq=3 version=8.1.3.171"},
      {BuildK8Packet(kK8FirstNumber, BuildFirstNumberPayload(260), 2),
       "K8FirstNumber seq=2 first_number=4"},
      {BuildK8Packet(kK8Poll, ByteView(), 0), "K8Poll seq=0"},
      {BuildK8Packet(0x01020304, Bytes{0xAB}, 5), "type 0x01020304 seq=5 payload=AB"},
  };
  for (const auto& c : cases) EXPECT_EQ(DescribeK8Packet(c.packet), c.text);
}

}  // namespace
}  // namespace qarn::sim
