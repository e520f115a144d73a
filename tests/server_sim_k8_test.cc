#include <gtest/gtest.h>

#include "base/tdatetime.h"
#include "fakes/scripted_connection.h"
#include "k8/k8_wire.h"
#include "output/event_record.h"
#include "platform/diag.h"
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

Bytes Hex(const char* text) {
  Bytes out;
  for (const char* p = text; p[0] && p[1]; p += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
  }
  return out;
}

// Frames whose packet cannot hold a packet header (the first found by fuzzing) end the connection
// unanswered; the frames before them are answered as usual.
TEST(ServerSimK8, FrameShorterThanAPacketIsNotAnswered) {
  SetDiagSink([](bool, const std::string&) {});
  Bytes seventeen = BuildK8Frame(BuildK8Packet(kK8Poll, ByteView(), 0));
  seventeen.resize(seventeen.size() - 1);
  seventeen[5] = seventeen[17] = 17;
  for (const Bytes& short_frame :
       {Hex("ff0000006a010000006a016ae36a151c000031767676"), seventeen}) {
    K8Side side(K8Side::Options{});
    testing::ScriptedConnection peer;
    peer.Arrive(BuildK8Frame(BuildK8Packet(kK8Poll, ByteView(), 0)));
    peer.Arrive(short_frame);
    peer.Arrive(BuildK8Frame(BuildK8Packet(kK8Poll, ByteView(), 0)));
    side.Serve(peer);
    ASSERT_EQ(peer.writes.size(), 1u) << HexDump(short_frame);
    EXPECT_EQ(peer.writes[0], BuildK8Frame(BuildK8Packet(kK8Poll, Bytes{0}, 0)));
  }
  SetDiagSink(nullptr);
}

// A peer that sends half a frame and then nothing does not keep the server from stopping.
TEST(ServerSimK8, StopsWhileAPeerHoldsHalfAFrame) {
  SetDiagSink([](bool, const std::string&) {});
  for (size_t sent : {size_t{5}, kK8FrameHeaderSize + 3}) {
    K8Side side(K8Side::Options{});
    testing::ScriptedConnection peer;
    const Bytes frame = BuildK8Frame(BuildK8Packet(kK8Poll, ByteView(), 0));
    peer.Arrive(ByteView(frame).first(sent));
    peer.HoldOpen();
    peer.on_timeout = [&] {
      if (peer.timeouts == 3) side.Stop();
      if (peer.timeouts == 100) peer.Disconnect();  // ends the test should stopping fail
    };
    side.Serve(peer);
    EXPECT_EQ(peer.timeouts, 3) << sent;
    EXPECT_TRUE(peer.writes.empty());
  }
  SetDiagSink(nullptr);
}

}  // namespace
}  // namespace qarn::sim
