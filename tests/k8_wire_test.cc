#include "k8/k8_wire.h"

#include <gtest/gtest.h>

#include "k8/packet_ring.h"

namespace qarn {
namespace {

Bytes Frame(const Bytes& header_size_le, const Bytes& packet) {
  // The driver leaves frame header bytes 1..4 and 9..16 without content; ours are zero.
  Bytes f{0xFF, 0, 0, 0, 0};
  f.insert(f.end(), header_size_le.begin(), header_size_le.end());
  f.insert(f.end(), 8, 0);
  f.insert(f.end(), header_size_le.begin(), header_size_le.end());
  f.insert(f.end(), packet.begin(), packet.end());
  return f;
}

TEST(K8Wire, HelloWithSequence7Is41ByteFrame) {
  const Bytes frame = BuildK8Frame(BuildK8Packet(kK8Hello, BuildHelloPayload(), 7));
  const Bytes expected =
      Frame({0x14, 0, 0, 0}, {0xFF, 0x01, 0x00, 0x00, 0x02, 0x02, 0x00, 0x00, 0x00, 0x07,
                              0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFE, 0x14, 0x00});
  ASSERT_EQ(frame.size(), 41u);
  EXPECT_EQ(frame, expected);
}

TEST(K8Wire, KeepAlivePollIs39ByteFrame) {
  const Bytes frame = BuildK8Frame(BuildK8Packet(kK8Poll, ByteView(), 0));
  const Bytes expected =
      Frame({0x12, 0, 0, 0}, {0xFF, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                              0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFE});
  EXPECT_EQ(frame, expected);
}

TEST(K8Wire, StationEventFrameHasSize36) {
  const Bytes event(18, 0xAA);
  const Bytes frame = BuildK8Frame(BuildK8Packet(kK8StationEventType, event, 3));
  ASSERT_EQ(frame.size(), 21u + 36u);
  EXPECT_EQ(Bytes(frame.begin() + 5, frame.begin() + 9), (Bytes{0x24, 0, 0, 0}));
  EXPECT_EQ(Bytes(frame.begin() + 22, frame.begin() + 30),
            (Bytes{0x1C, 0x00, 0x00, 0x03, 0x12, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Bytes(frame.begin() + 39, frame.end()), event);
}

TEST(K8Wire, TypeCodesOnTheWire) {
  const struct {
    int32_t type;
    Bytes wire;
  } cases[] = {
      {kK8Poll, {0x00, 0x00, 0x00, 0x02}},
      {kK8Hello, {0x01, 0x00, 0x00, 0x02}},
      {kK8PollEnable, {0x03, 0x00, 0x00, 0x02}},
      {kK8Query, {0x04, 0x00, 0x00, 0x02}},
      {kK8Denied, {0x05, 0x00, 0x00, 0x02}},
      {kK8PortState, {0x62, 0x00, 0x20, 0x02}},
      {kK8Version, {0x63, 0x00, 0x20, 0x02}},
      {kK8FirstNumber, {0x65, 0x00, 0x20, 0x02}},
      {kK8RetQuery, {0x6E, 0x00, 0x20, 0x02}},
      {kK8ServerDisconnect, {0xFD, 0xFF, 0xFF, 0x02}},
      {kK8Reconnect, {0xFE, 0xFF, 0xFF, 0x02}},
      {kK8QueryAnswer, {0xFF, 0xFF, 0xFF, 0x02}},
      {kK8StationEventType, {0x1C, 0x00, 0x00, 0x03}},
      {kK8EventAck, {0x1D, 0x00, 0x00, 0x03}},
  };
  for (const auto& c : cases) {
    const Bytes packet = BuildK8Packet(c.type, ByteView(), 0);
    EXPECT_EQ(Bytes(packet.begin() + 1, packet.begin() + 5), c.wire) << K8TypeName(c.type);
  }
}

TEST(K8Wire, VersionPayloads) {
  const struct {
    const char* text;
    Bytes payload;
  } cases[] = {
      {"8.1.3.171", {0x08, 0x00, 0x01, 0x00, 0x03, 0x00, 0xAB, 0x00}},
      {"8.1", {0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00}},
      {"8", {0, 0, 0, 0, 0, 0, 0, 0}},
      {"", {0, 0, 0, 0, 0, 0, 0, 0}},
      {"x.2.y.70000", {0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x70, 0x11}},  // low 16 bits
  };
  for (const auto& c : cases) EXPECT_EQ(BuildVersionPayload(c.text), c.payload) << c.text;
}

TEST(K8Wire, PortStateAndFirstNumberPayloads) {
  EXPECT_EQ(BuildPortStatePayload("COM3", true),
            (Bytes{0x04, 0x43, 0x4F, 0x4D, 0x33, 0x00, 0x00, 0x01}));
  EXPECT_EQ(BuildPortStatePayload("COM255", false),
            (Bytes{0x06, 0x43, 0x4F, 0x4D, 0x32, 0x35, 0x35, 0x00}));
  EXPECT_EQ(BuildPortStatePayload("COM1234", true),
            (Bytes{0x06, 0x43, 0x4F, 0x4D, 0x31, 0x32, 0x33, 0x01}));
  EXPECT_EQ(BuildFirstNumberPayload(260), Bytes{0x04});
  EXPECT_EQ(BuildHelloPayload(), (Bytes{0x14, 0x00}));
}

// What the driver builds reads back as built; a payload too short reads as nothing.
TEST(K8Wire, PayloadsReadBackAsBuilt) {
  const auto port = ParsePortStatePayload(BuildPortStatePayload("COM1234", true));
  ASSERT_TRUE(port);
  EXPECT_EQ(port->name, "COM123");
  EXPECT_EQ(port->open, 1);
  EXPECT_EQ(ParseVersionPayload(BuildVersionPayload("8.1.3.171")),
            (std::array<uint16_t, 4>{8, 1, 3, 171}));
  EXPECT_EQ(ParseFirstNumberPayload(BuildFirstNumberPayload(7)), 7);
  EXPECT_EQ(ParseHelloPayload(BuildHelloPayload()), 0x14);
  const StationEvent event{40004, 3, 0xC5, 40436.5};
  const K8Event payload = BuildK8Event(event);
  const auto fields = ParseK8Event(payload);
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->object_number, 40004);
  EXPECT_EQ(fields->frame_byte3, 3);
  EXPECT_EQ(fields->code, "C5");
  EXPECT_EQ(fields->event_time, 40436.5);

  const Bytes short_payload = {1};
  EXPECT_FALSE(ParsePortStatePayload(short_payload));
  EXPECT_FALSE(ParseVersionPayload(short_payload));
  EXPECT_FALSE(ParseHelloPayload(short_payload));
  EXPECT_FALSE(ParseFirstNumberPayload(ByteView()));
  EXPECT_FALSE(ParseK8Event(ByteView(payload).first(kK8EventSize - 1)));
}

TEST(K8Wire, FrameHeaderMarkers) {
  Bytes header(21, 0);
  header[5] = 0x24;
  for (uint8_t marker : {0xFF, 0xF0}) {
    header[0] = marker;
    EXPECT_EQ(ParseK8FrameHeader(header), 36) << int(marker);
  }
  for (uint8_t marker : {0x00, 0xFE, 0xF1}) {
    header[0] = marker;
    EXPECT_FALSE(ParseK8FrameHeader(header)) << int(marker);
  }
}

TEST(K8Wire, PollReplySubPackets) {
  const Bytes other{1, 2, 3};
  const Bytes ret_yes{0, 0, 0, 0, 1, 9};
  const Bytes ret_no{0, 0, 0, 0, 0};
  // Two sub-packets, the second a K8RetQuery with data byte 4 equal to 1.
  EXPECT_TRUE(PollReplyRequestsRetQuery(BuildPollReply({{0x123, other}, {kK8RetQuery, ret_yes}})));
  EXPECT_FALSE(PollReplyRequestsRetQuery(BuildPollReply({{0x123, other}, {kK8RetQuery, ret_no}})));
  EXPECT_FALSE(PollReplyRequestsRetQuery(Bytes{0}));
  EXPECT_FALSE(PollReplyRequestsRetQuery(Bytes{}));
  // N above what is present: only the present ones count.
  Bytes short_count = BuildPollReply({{kK8RetQuery, ret_yes}});
  short_count[0] = 5;
  EXPECT_EQ(ParsePollReply(short_count).size(), 1u);
  EXPECT_TRUE(PollReplyRequestsRetQuery(short_count));
  // A sub-packet cut short is not acted on.
  Bytes cut = BuildPollReply({{kK8RetQuery, ret_yes}});
  cut.pop_back();
  EXPECT_TRUE(ParsePollReply(cut).empty());
  EXPECT_FALSE(PollReplyRequestsRetQuery(cut));
}

TEST(PacketRing, EmptyRing) {
  PacketRing ring;
  RingEntry entry{{1, 2}, "kept"};
  EXPECT_FALSE(ring.Peek(&entry));
  EXPECT_EQ(entry.packet, (Bytes{1, 2}));
  ring.Drop();
  EXPECT_EQ(ring.Count(), 0);
}

TEST(PacketRing, FillsTo100WrapsAndRefuses) {
  PacketRing ring;
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(ring.Put(Bytes{static_cast<uint8_t>(i)}));
  EXPECT_EQ(ring.Count(), 100);
  EXPECT_FALSE(ring.Put(Bytes{200}));
  RingEntry head;
  ASSERT_TRUE(ring.Peek(&head));
  EXPECT_EQ(head.packet, Bytes{0});
  ring.Drop();
  EXPECT_TRUE(ring.Put(Bytes{100}, "a.dd8"));  // the write index steps from 99 to 0
  EXPECT_EQ(ring.Count(), 100);
  EXPECT_FALSE(ring.Put(Bytes{201}));
  for (int i = 1; i <= 100; ++i) {
    ASSERT_TRUE(ring.Peek(&head));
    ASSERT_TRUE(ring.Peek(&head));  // peeking twice gives the same packet
    EXPECT_EQ(head.packet, Bytes{static_cast<uint8_t>(i)});
    EXPECT_EQ(head.spool_file, i == 100 ? "a.dd8" : "");
    ring.Drop();  // the read index steps from 99 to 0 on the way
  }
  EXPECT_EQ(ring.Count(), 0);
  EXPECT_TRUE(ring.Put(Bytes{7}));
  EXPECT_EQ(ring.Count(), 1);
}

TEST(PacketRing, QueuePacketNumbersEvenWhenRefused) {
  PacketRing ring;
  ASSERT_TRUE(ring.QueuePacket(kK8QueryAnswer, ByteView()));
  RingEntry head;
  ASSERT_TRUE(ring.Peek(&head));
  ASSERT_EQ(head.packet.size(), 18u);
  EXPECT_EQ(ReadK8PacketHeader(head.packet)->length, 0);
  EXPECT_EQ(ReadK8PacketHeader(head.packet)->sequence, 0);
  for (int i = 1; i < 100; ++i) ASSERT_TRUE(ring.QueuePacket(kK8Hello, BuildHelloPayload()));
  EXPECT_FALSE(ring.QueuePacket(kK8Hello, BuildHelloPayload()));  // number 100 is used up
  ring.Drop();
  ASSERT_TRUE(ring.QueuePacket(kK8Hello, BuildHelloPayload()));
  const auto all = ring.TakeAll();
  ASSERT_EQ(all.size(), 100u);
  EXPECT_EQ(ReadK8PacketHeader(all.front().packet)->sequence, 1);
  EXPECT_EQ(ReadK8PacketHeader(all.back().packet)->sequence, 101);
  EXPECT_TRUE(ring.Empty());
}

}  // namespace
}  // namespace qarn
