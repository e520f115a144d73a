// The real qarn-driver binary end to end: a pseudo-terminal plays the station, loopback
// servers in the test play the K7 and K8 sides of the message server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "base/byte_order.h"
#include "fakes/child_process.h"
#include "fakes/driver_station_side.h"
#include "fakes/k7_peer.h"
#include "fakes/k7_test_server.h"
#include "fakes/k8_test_server.h"
#include "fakes/temp_dir.h"
#include "k8/k8_wire.h"
#include "output/event_record.h"
#include "platform/pseudo_terminal.h"
#include "station/station_frames.h"

namespace qarn {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kDriver = QARN_DRIVER_PATH;
constexpr int32_t kObjectBase = 40000;  // FirstNumber 4

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Answers like the message server: polls enabled after the greeting, every station event
// acknowledged.
std::optional<Bytes> AckingServer(const K8TestServer::Received& r) {
  if (r.header.type == kK8Hello) return BuildK8Packet(kK8PollEnable, ByteView(), 0);
  return K8TestServer::DefaultReply(r);
}

std::optional<Bytes> NeverAckingServer(const K8TestServer::Received& r) {
  if (r.header.type == kK8StationEventType) return std::nullopt;
  return AckingServer(r);
}

// The K8Event of a station event packet.
Bytes EventPayload(const K8TestServer::Received& r) {
  return Bytes(r.packet.begin() + kK8PacketHeaderSize, r.packet.end());
}
int32_t EventObject(const K8TestServer::Received& r) {
  return GetI32(r.packet.data() + kK8PacketHeaderSize);
}
std::vector<K8TestServer::Received> StationEvents(
    const std::vector<K8TestServer::Received>& packets) {
  std::vector<K8TestServer::Received> events;
  for (const auto& r : packets)
    if (r.header.type == kK8StationEventType) events.push_back(r);
  return events;
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(pty_.Open(&error)) << error;
  }

  struct Links {
    int k7_port = 0;  // 0: SendK7 off
    int k8_port = 0;  // 0: SendK8 off
  };
  void WriteIni(Links links, const std::string& extra_main) {
    dir_.Write("sqarn.ini",
               testing::DriverTestIni(links.k7_port, links.k8_port, pty_.slave_path(), extra_main));
  }

  void StartDriver(Links links, const std::string& extra_main = "") {
    WriteIni(links, extra_main);
    driver_ = std::make_unique<testing::ChildProcess>(
        kDriver, std::vector<std::string>{"--headless"}, dir_.path(), false,
        std::vector<std::string>{testing::kFastTimings});
    ASSERT_TRUE(driver_->WaitFor(2, "running headless")) << driver_->err();
  }
  void StopDriver() {
    driver_->Signal(SIGTERM);
    EXPECT_EQ(driver_->Wait(), 0) << driver_->err();
  }

  // Station side of the serial line.
  void SendToDriver(ByteView frame) {
    ASSERT_EQ(write(pty_.master_fd(), frame.data(), frame.size()),
              static_cast<ssize_t>(frame.size()));
    last_station_frame_ = Clock::now();
  }
  // Reads from the driver until `expected` has come; drops what came before it.
  bool ReadFromDriver(ByteView expected, milliseconds timeout) {
    return testing::ReadUntil(pty_.master_fd(), station_in_, expected, timeout);
  }
  // Polls until the driver answers (the clock frame, once it has the port open).
  void WaitForStationLink() {
    for (int i = 0; i < 50; ++i) {
      SendToDriver(kPollFrame);
      if (ReadFromDriver(ByteView(kPollAnswerStart), milliseconds(200))) return;
    }
    FAIL() << "the driver never answered a poll frame\n" << driver_->err();
  }
  // An event frame for object 40000 + `object`, acknowledged by the driver.
  void SendEvent(uint16_t object, uint8_t code, uint8_t byte3) {
    SendToDriver(BuildStationEventFrame(object, code, byte3));
    ASSERT_TRUE(ReadFromDriver(kAckFrame, milliseconds(2000))) << "event " << object;
  }

  // A spool file as the driver writes them, dated `age` back.
  void WriteSpoolFile(const std::string& name, ByteView content, std::chrono::seconds age) {
    dir_.Write(name, std::string(content.begin(), content.end()));
    std::filesystem::last_write_time(dir_ / name,
                                     std::filesystem::file_time_type::clock::now() - age);
  }
  static Bytes Dd8Content(const StationEvent& event) {
    Bytes content(4);
    PutI32(content.data(), kK8StationEventType);
    const K8Event record = BuildK8Event(event);
    content.insert(content.end(), record.begin(), record.end());
    return content;
  }
  std::vector<std::string> Files(const std::string& extension) const {
    std::vector<std::string> names;
    for (const auto& name : dir_.List())
      if (std::filesystem::path(name).extension() == extension) names.push_back(name);
    return names;
  }
  // Waits for the directory to hold `count` files of `extension`.
  bool WaitForFiles(const std::string& extension, size_t count, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Files(extension).size() != count) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
  }

  // The clock frame's first bytes after L: command 0x84, sub-command 1.
  static constexpr std::array<uint8_t, 2> kPollAnswerStart = {0x84, 0x01};

  testing::TempDir dir_;
  PseudoTerminal pty_;
  std::unique_ptr<testing::ChildProcess> driver_;
  Bytes station_in_;
  Clock::time_point last_station_frame_;
};

TEST_F(EndToEnd, EventsGoLiveOnBothLinksAndAreAcknowledgedToTheStation) {
  K7TestServer k7;
  K8TestServer k8(AckingServer);
  StartDriver({k7.port(), k8.port()});
  ASSERT_TRUE(k8.WaitForPackets(4));  // the greeting: the K8 link is up
  ASSERT_TRUE(k7.WaitForType(kK7PortGreeting, 1));
  WaitForStationLink();

  struct Sent {
    uint16_t object;
    uint8_t code, byte3;
  };
  std::vector<Sent> events = {{1, 0x0A, 7}, {300, 0xFF, 0}, {2, 0x00, 9}};
  for (uint16_t i = 10; i < 20; ++i) events.push_back({i, 0x30, 1});
  for (const auto& e : events) SendEvent(e.object, e.code, e.byte3);
  ASSERT_TRUE(k7.WaitForType(kK7StationEvent, events.size()));
  ASSERT_TRUE(k8.WaitUntil(
      [&](const auto& packets) { return StationEvents(packets).size() >= events.size(); }));

  const auto k7_events = k7.OfType(kK7StationEvent);
  const auto k8_events = StationEvents(k8.received());
  ASSERT_EQ(k7_events.size(), events.size());
  ASSERT_EQ(k8_events.size(), events.size());
  for (size_t i = 0; i < events.size(); ++i) {
    StationEvent expected{kObjectBase + events[i].object, events[i].byte3, events[i].code, 0};
    const StationEvent k7_event = ParseEventFrame(k7_events[i].unit);
    EXPECT_EQ(k7_event.object_number, expected.object_number);
    EXPECT_EQ(k7_event.event_code, expected.event_code);
    EXPECT_EQ(k7_event.frame_byte3, expected.frame_byte3);
    // Object number, byte 3 and code; the time differs.
    const K8Event record = BuildK8Event(expected);
    const Bytes payload = EventPayload(k8_events[i]);
    ASSERT_EQ(payload.size(), kK8EventSize);
    EXPECT_TRUE(std::equal(record.begin(), record.begin() + 10, payload.begin())) << i;
  }
  StopDriver();
  EXPECT_TRUE(Files(".dd8").empty());
  EXPECT_TRUE(Files(".ddk").empty());
  // Each record was stored before it went, on its way to a link that was up: not news.
  for (const char* word : {"spool files", "records go to", "emptied"}) {
    EXPECT_EQ(driver_->err().find(word), std::string::npos) << word << "\n" << driver_->err();
  }
}

TEST_F(EndToEnd, EventsSpooledWhileK8IsDownAreReplayedAndDeletedOneByOne) {
  K8TestServer k8(AckingServer);
  k8.GoDown();
  StartDriver({0, k8.port()});
  WaitForStationLink();
  for (uint16_t i = 1; i <= 3; ++i) SendEvent(i, 0x10, 1);
  ASSERT_TRUE(WaitForFiles(".dd8", 3, milliseconds(2000)));

  ASSERT_TRUE(k8.ComeUp())
      << "no listening on its port again";  // the driver tries again within 5 seconds
  ASSERT_TRUE(WaitForFiles(".dd8", 2, milliseconds(8000)));
  ASSERT_TRUE(WaitForFiles(".dd8", 1, milliseconds(2000)));
  ASSERT_TRUE(WaitForFiles(".dd8", 0, milliseconds(2000)));
  const auto events = StationEvents(k8.received());
  ASSERT_EQ(events.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(EventObject(events[i]), kObjectBase + i + 1);
  StopDriver();
}

// A backlog on both links drains while the station goes on: at the default pace the live
// events overtake it on both links; with ReplayRate=0 it goes as fast as the servers take it.
// Every record of the backlog and every live one arrives, the backlog oldest first.
TEST_F(EndToEnd, ABacklogDrainsBehindLiveEventsAtEitherPace) {
  for (const int rate : {5, 0}) {
    SCOPED_TRACE("ReplayRate=" + std::to_string(rate));
    const int backlog = rate ? 15 : 300;  // 3 s at 5 files per second
    for (const std::string& name : dir_.List()) std::filesystem::remove(dir_ / name);
    for (int i = 0; i < backlog; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "%08X", 0x10000000 + i);
      const StationEvent old{kObjectBase + 1000 + i, 2, 0x30, 0};
      const auto age = std::chrono::seconds(backlog - i + 10);
      WriteSpoolFile(std::string(name) + ".dd8", Dd8Content(old), age);
      const K7Frame unit = BuildEventFrame(old);
      WriteSpoolFile(std::string(name) + "_-1.ddk", ByteView(unit.data(), unit.size()), age);
    }
    K7TestServer k7;
    K8TestServer k8(AckingServer);
    StartDriver({k7.port(), k8.port()}, "ReplayRate=" + std::to_string(rate) + "\n");
    WaitForStationLink();
    for (uint16_t i = 1; i <= 5; ++i) SendEvent(i, 0x21, 1);
    ASSERT_TRUE(WaitForFiles(".dd8", 0, milliseconds(15000)));
    ASSERT_TRUE(WaitForFiles(".ddk", 0, milliseconds(5000)));
    StopDriver();

    std::vector<int32_t> k8_order, k7_order;
    for (const auto& e : StationEvents(k8.received())) k8_order.push_back(EventObject(e));
    for (const auto& u : k7.OfType(kK7StationEvent)) {
      k7_order.push_back(ParseEventFrame(u.unit).object_number);
    }
    for (const auto* order : {&k8_order, &k7_order}) {
      const std::set<int32_t> got(order->begin(), order->end());
      EXPECT_EQ(got.size(), static_cast<size_t>(backlog + 5));
      std::vector<int32_t> old;
      for (const int32_t o : *order) {
        if (o >= kObjectBase + 1000) old.push_back(o);
      }
      EXPECT_TRUE(std::is_sorted(old.begin(), old.end()));
      if (rate) {  // the live ones came before the last of the backlog
        const auto last_live = std::find(order->begin(), order->end(), kObjectBase + 5);
        const auto last_old = std::find(order->begin(), order->end(), kObjectBase + 999 + backlog);
        EXPECT_LT(last_live - order->begin(), last_old - order->begin());
      }
    }
  }
}

TEST_F(EndToEnd, TenK7FilesDrainOldestFirst) {
  K7TestServer k7;
  for (int i = 0; i < 10; ++i) {
    const K7Frame frame = BuildEventFrame({kObjectBase + 200 + i, 2, 0x30, 0});
    WriteSpoolFile(std::to_string(99 - i) + ".ddk", ByteView(frame.data(), frame.size()),
                   std::chrono::seconds(60 - i));
  }
  StartDriver({k7.port(), 0}, "ReplayRate=0\n");
  ASSERT_TRUE(k7.WaitForType(kK7StationEvent, 10, milliseconds(6000)));
  const auto events = k7.OfType(kK7StationEvent);
  const double drain = Seconds(events.back().when - events.front().when);
  // At the server's pace, still oldest first; the rate itself is checked on virtual time in
  // the driver's tests.
  std::printf("ten .ddk files drained in %.3f s\n", drain);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(ParseEventFrame(events[i].unit).object_number, kObjectBase + 200 + i);
  }
  ASSERT_TRUE(WaitForFiles(".ddk", 0, milliseconds(1000)));
  StopDriver();
}

TEST_F(EndToEnd, StationSilenceGivesServiceFrame72AndItsReturn73) {
  K7TestServer k7;
  StartDriver({k7.port(), 0});
  ASSERT_TRUE(k7.WaitForType(kK7StationHeard, 1));  // heard at start-up
  WaitForStationLink();
  const auto last_frame = last_station_frame_;
  ASSERT_TRUE(k7.WaitForType(kK7StationSilent, 1, milliseconds(6000)));
  const double silent_after = Seconds(k7.OfType(kK7StationSilent)[0].when - last_frame);
  // The moment itself (3 s of silence, seen at the next tick) is checked on virtual time in
  // the driver's tests; here the machine's load decides the milliseconds.
  std::printf("72 came %.3f s after the last station frame\n", silent_after);

  SendToDriver(kPollFrame);
  const auto back = last_station_frame_;
  ASSERT_TRUE(k7.WaitForType(kK7StationHeard, 2, milliseconds(2000)));
  const double heard_after = Seconds(k7.OfType(kK7StationHeard)[1].when - back);
  std::printf("73 came %.3f s after the station's return\n", heard_after);
  // One 72 before the return; a slow machine may see the station fall silent again after it.
  const auto units = k7.received();
  const auto second_heard =
      std::find_if(std::find_if(units.begin(), units.end(),
                                [](const auto& u) { return u.type() == kK7StationHeard; }) +
                       1,
                   units.end(), [](const auto& u) { return u.type() == kK7StationHeard; });
  EXPECT_EQ(K7TestServer::Count({units.begin(), second_heard}, kK7StationSilent), 1u);
  StopDriver();
}

TEST_F(EndToEnd, NoEventIsLostWhileTheServerDropsAndComesBack) {
  K8TestServer k8(AckingServer);
  // The backlog of each drop goes at the server's pace: the rate itself has its own tests.
  StartDriver({0, k8.port()}, "ReplayRate=0\n");
  ASSERT_TRUE(k8.WaitForPackets(4));
  WaitForStationLink();
  constexpr int kDrops = 3;
  constexpr int kEventsPerPhase = 6;
  uint16_t next = 1;
  for (int drop = 0; drop < kDrops; ++drop) {
    for (int i = 0; i < kEventsPerPhase / 2; ++i) SendEvent(next++, 0x40, 2);
    k8.DropAfterNextEvent();
    for (int i = 0; i < kEventsPerPhase / 2; ++i) SendEvent(next++, 0x40, 2);
    ASSERT_TRUE(k8.WaitUntilDown());
    for (int i = 0; i < kEventsPerPhase; ++i) SendEvent(next++, 0x40, 2);  // down: spooled
    ASSERT_TRUE(k8.ComeUp()) << "no listening on its port again";
    ASSERT_TRUE(k8.WaitForConnections(drop + 2, milliseconds(8000)));
  }
  for (int i = 0; i < kEventsPerPhase; ++i) SendEvent(next++, 0x40, 2);
  ASSERT_TRUE(WaitForFiles(".dd8", 0, milliseconds(10000))) << Files(".dd8").size() << " left";
  StopDriver();

  std::map<int32_t, int> copies;
  for (const auto& e : StationEvents(k8.received())) ++copies[EventObject(e)];
  int duplicates = 0;
  for (uint16_t object = 1; object < next; ++object) {
    const int n = copies[kObjectBase + object];
    EXPECT_GE(n, 1) << "event " << object << " lost";
    duplicates += std::max(0, n - 1);
  }
  std::printf("%d events, %d drops: %d duplicates, %zu files left\n", next - 1, kDrops, duplicates,
              Files(".dd8").size());
}

TEST_F(EndToEnd, SigtermLosesNoQueuedEvent) {
  K8TestServer k8(NeverAckingServer);  // each event holds the link for its reply time-out
  StartDriver({0, k8.port()});
  ASSERT_TRUE(k8.WaitForPackets(4));
  WaitForStationLink();
  constexpr int kEvents = 5;
  for (uint16_t i = 1; i <= kEvents; ++i) SendEvent(i, 0x50, 3);
  StopDriver();

  std::set<int32_t> found;
  for (const auto& e : StationEvents(k8.received())) found.insert(EventObject(e));
  const size_t sent = found.size();
  for (const auto& name : Files(".dd8")) {
    const Bytes content = dir_.Read(name);
    ASSERT_EQ(content.size(), 4 + kK8EventSize) << name;
    found.insert(GetI32(content.data() + 4));
  }
  std::printf("at SIGTERM: %zu events sent, %zu on disk\n", sent, Files(".dd8").size());
  for (int32_t i = 1; i <= kEvents; ++i) EXPECT_TRUE(found.count(kObjectBase + i)) << i;
}

TEST_F(EndToEnd, SighupAndAClosedStandardOutputLeaveTheDriverAnsweringTheStation) {
  K8TestServer k8(AckingServer);
  WriteIni({0, k8.port()}, "");
  driver_ = std::make_unique<testing::ChildProcess>(kDriver, std::vector<std::string>{"--headless"},
                                                    dir_.path());
  driver_->CloseOutput();  // each K8 log line now goes to a reader that has gone
  ASSERT_TRUE(driver_->WaitFor(2, "running headless")) << driver_->err();
  ASSERT_TRUE(k8.WaitForPackets(4));  // connected, and said so on standard output
  driver_->Signal(SIGHUP);
  ASSERT_TRUE(driver_->WaitFor(2, "SIGHUP ignored")) << driver_->err();
  WaitForStationLink();
  SendEvent(7, 0x21, 1);
  ASSERT_TRUE(k8.WaitUntil([](const auto& p) { return StationEvents(p).size() == 1; }));
  StopDriver();  // the same process, ending in order
}

TEST_F(EndToEnd, AnEventAcknowledgedJustBeforeASigkillIsDeliveredAfterTheRestart) {
  K8TestServer k8(NeverAckingServer);
  StartDriver({0, k8.port()});
  ASSERT_TRUE(k8.WaitForPackets(4));
  WaitForStationLink();
  SendEvent(77, 0x60, 4);  // returns once the acknowledgement has come
  driver_->Signal(SIGKILL);
  driver_->Wait();
  ASSERT_EQ(Files(".dd8").size(), 1u);

  k8.SetResponder(AckingServer);
  const size_t before = k8.received().size();
  StartDriver({0, k8.port()});
  ASSERT_TRUE(WaitForFiles(".dd8", 0, milliseconds(5000))) << driver_->err();
  StopDriver();
  const auto got = k8.received();
  const auto after = StationEvents({got.begin() + static_cast<long>(before), got.end()});
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(EventObject(after[0]), kObjectBase + 77);
}

TEST_F(EndToEnd, SigtermEndsTheDriverWhileTheServerTricklesAReply) {
  // Event replies announce 100 bytes and bring one every half second.
  K8TestServer k8([](const K8TestServer::Received& r) -> std::optional<Bytes> {
    if (r.header.type != kK8StationEventType) return BuildK8Frame(*AckingServer(r));
    return BuildK8Frame(Bytes(100, 0xFF));
  });
  k8.SetRawReplies(true);
  StartDriver({0, k8.port()});
  ASSERT_TRUE(k8.WaitForPackets(4));
  WaitForStationLink();
  k8.SetTrickleMs(500);
  SendEvent(5, 0x70, 1);
  ASSERT_TRUE(k8.WaitForPackets(5));
  std::this_thread::sleep_for(milliseconds(700));  // a few bytes into the reply
  const auto asked = Clock::now();
  StopDriver();
  const double took = Seconds(Clock::now() - asked);
  std::printf("SIGTERM during a trickled reply: ended in %.3f s\n", took);
  EXPECT_LT(took, 3.0);
  EXPECT_EQ(Files(".dd8").size(), 1u);  // unacknowledged: kept
}

TEST_F(EndToEnd, TwoSigtermsEndTheDriverAndLoseNoAcknowledgedEvent) {
  K8TestServer k8(NeverAckingServer);  // a stalled server: every event stays unanswered
  StartDriver({0, k8.port()});
  ASSERT_TRUE(k8.WaitForPackets(4));
  WaitForStationLink();
  constexpr int kEvents = 5;
  for (uint16_t i = 1; i <= kEvents; ++i) SendEvent(i, 0x50, 3);
  const auto asked = Clock::now();
  driver_->Signal(SIGTERM);
  std::this_thread::sleep_for(milliseconds(200));
  driver_->Signal(SIGTERM);
  EXPECT_EQ(driver_->Wait(), 0) << driver_->err();
  const double took = Seconds(Clock::now() - asked);
  std::printf("two SIGTERMs: ended in %.3f s\n", took);
  EXPECT_LT(took, 3.0);
  std::set<int32_t> kept;
  for (const auto& name : Files(".dd8")) kept.insert(GetI32(dir_.Read(name).data() + 4));
  for (int32_t i = 1; i <= kEvents; ++i) EXPECT_TRUE(kept.count(kObjectBase + i)) << i;
}

TEST_F(EndToEnd, EventsWaitInMemoryWhileTheMessageDirectoryIsGone) {
  K8TestServer k8(AckingServer);
  k8.GoDown();
  StartDriver({0, k8.port()}, "PathForSoob=msg/\n");  // no such directory yet
  WaitForStationLink();
  constexpr int kEvents = 4;
  for (uint16_t i = 1; i <= kEvents; ++i) SendEvent(i, 0x30, 5);  // acknowledged all the same
  ASSERT_TRUE(driver_->WaitFor(2, "records waiting in memory")) << driver_->err();
  std::filesystem::create_directory(dir_ / "msg");
  // Within 5 s of its return the directory holds them all.
  const auto deadline = Clock::now() + milliseconds(8000);
  size_t on_disk = 0;
  while (on_disk < kEvents && Clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(50));
    on_disk = std::distance(std::filesystem::directory_iterator(dir_ / "msg"),
                            std::filesystem::directory_iterator());
  }
  EXPECT_EQ(on_disk, static_cast<size_t>(kEvents));
  ASSERT_TRUE(k8.ComeUp()) << "no listening on its port again";
  ASSERT_TRUE(
      k8.WaitUntil([&](const auto& packets) { return StationEvents(packets).size() >= kEvents; },
                   milliseconds(20000)));
  StopDriver();
  std::set<int32_t> delivered;
  for (const auto& e : StationEvents(k8.received())) delivered.insert(EventObject(e));
  std::printf("directory gone: %d acknowledged, %zu delivered, %zu stored, 0 lost\n", kEvents,
              delivered.size(), on_disk);
  for (int32_t i = 1; i <= kEvents; ++i) EXPECT_TRUE(delivered.count(kObjectBase + i)) << i;
}

// A K7 server that stops reading, then SIGTERM: the driver ends as usual, and every event
// is with the server's TCP or on disk, none left in the driver's socket.
TEST_F(EndToEnd, SigtermWithAK7ServerThatStoppedReadingKeepsEveryEvent) {
  testing::K7Peer k7(2048);  // a small receive buffer: the driver's socket soon holds the rest
  StartDriver({k7.port(), 0});
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!k7.TryAccept()) {
    ASSERT_LT(Clock::now(), deadline) << driver_->err();
    std::this_thread::sleep_for(milliseconds(10));
  }
  WaitForStationLink();
  constexpr int kEvents = 30;
  for (uint16_t i = 1; i <= kEvents; ++i) SendEvent(i, 0x50, 3);
  StopDriver();
  k7.Peek();
  EXPECT_EQ(testing::Lost(k7.received, testing::EventsOnDisk(dir_), kObjectBase + 1,
                          kObjectBase + kEvents),
            std::vector<int32_t>{})
      << driver_->err();
  EXPECT_NE(driver_->err().find("they go again from their .ddk files"), std::string::npos)
      << driver_->err();
}

}  // namespace
}  // namespace qarn
