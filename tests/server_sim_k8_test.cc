#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "base/tdatetime.h"
#include "fakes/scripted_connection.h"
#include "k8/k8_wire.h"
#include "output/event_record.h"
#include "platform/blocking_tcp_client.h"
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

// The faults a server can have, as the operator's commands, over a real loopback connection:
// "dropevent" reads the next station event and goes away unanswered, "up" listens again on
// the same port, "trickle" sends a reply a byte at a time, "down" closes the connection.
TEST(ServerSimK8, FaultCommandsDropGoDownComeUpAndTrickle) {
  K8Side::Options options;
  options.port = 0;
  options.quiet = true;
  K8Side side(options);
  std::vector<int32_t> seen;
  std::mutex mutex;
  side.SetObserver([&](const K8Side::Received& r) {
    std::lock_guard lock(mutex);
    seen.push_back(r.header.type);
  });
  ASSERT_TRUE(side.Start());
  TcpClientOptions client_options;
  client_options.host = "127.0.0.1";
  client_options.port = side.port();
  client_options.read_timeout_ms = 2000;
  const Bytes event = BuildK8Frame(BuildK8Packet(kK8StationEventType, Bytes(18), 1));
  const Bytes ack = BuildK8Frame(BuildK8Packet(kK8EventAck, ByteView(), 0));
  Bytes reply(ack.size());
  size_t got = 0;

  ASSERT_TRUE(side.HandleCommand("dropevent"));
  {
    PosixBlockingTcpClient client(client_options);
    ASSERT_EQ(client.Connect(), 0);
    ASSERT_EQ(client.WriteAll(event), 0);
    ASSERT_TRUE(side.WaitUntilDown(std::chrono::seconds(5)));
    EXPECT_NE(client.ReadExactly(reply.data(), 1, &got), 0);  // closed, never answered
    EXPECT_EQ(got, 0u);
  }
  EXPECT_NE(PosixBlockingTcpClient(client_options).Connect(), 0);  // gone: refused

  ASSERT_TRUE(side.HandleCommand("up"));
  ASSERT_TRUE(side.HandleCommand("trickle 5"));
  PosixBlockingTcpClient client(client_options);
  int error = -1;
  for (int i = 0; i < 200 && error != 0; ++i) {  // the listener comes back within a moment
    error = client.Connect();
    if (error != 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(error, 0);
  ASSERT_EQ(client.WriteAll(event), 0);
  ASSERT_EQ(client.ReadExactly(reply.data(), reply.size(), &got), 0);
  EXPECT_EQ(reply, ack);

  ASSERT_TRUE(side.HandleCommand("down"));
  ASSERT_TRUE(side.WaitUntilDown(std::chrono::seconds(5)));
  EXPECT_NE(client.ReadExactly(reply.data(), 1, &got), 0);
  side.Stop();
  std::lock_guard lock(mutex);
  EXPECT_EQ(seen, (std::vector<int32_t>{kK8StationEventType, kK8StationEventType}));
}

}  // namespace
}  // namespace qarn::sim
