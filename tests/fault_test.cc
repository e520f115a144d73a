// The real driver killed at any moment while the K8 server is down, up or slow, run against
// K7 and K8 servers that close, reset or stall, and with a message directory that stops
// taking files: every event acknowledged to the station reaches the server or stays on disk.
// Each scenario prints its counts.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "fakes/fault_run.h"
#include "fakes/k7_peer.h"
#include "fakes/k8_test_server.h"
#include "fakes/own_ports.h"
#include "k8/k8_wire.h"

namespace qarn {
namespace {

using testing::FaultRun;
using Ms = std::chrono::milliseconds;

constexpr int kKills = 30;

std::optional<Bytes> AckingServer(const K8TestServer::Received& r) {
  if (r.header.type == kK8Hello) return BuildK8Packet(kK8PollEnable, ByteView(), 0);
  return K8TestServer::DefaultReply(r);
}

// Acknowledges station events 300 ms late.
std::optional<Bytes> SlowServer(const K8TestServer::Received& r) {
  if (r.header.type == kK8StationEventType) std::this_thread::sleep_for(Ms(300));
  return AckingServer(r);
}

// Servers that took part in the runs besides the two the last driver delivers to.
struct Others {
  const K8TestServer* k8 = nullptr;
  testing::K7Peer* k7 = nullptr;
};

class FaultTest : public ::testing::Test {
 protected:
  FaultTest() : run_(QARN_DRIVER_PATH) {}

  void Start(FaultRun::Links links) {
    std::string why;
    ASSERT_TRUE(run_.Start(links, &why)) << why << "\n" << run_.errors();
  }

  // A K7 server's turn while a driver runs: takes a waiting connection and reads what came.
  static void TakeK7(testing::K7Peer& k7) {
    if (!k7.connected()) k7.TryAccept();
    if (k7.connected() && k7.Read()) k7.Close();  // an earlier driver's connection ending
  }
  // Reads every K7 connection left at the server to its end: those of drivers now gone.
  static void CollectK7(testing::K7Peer& k7) {
    while (k7.connected() || k7.TryAccept()) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      while (!k7.Read() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(Ms(5));
      }
      k7.Close();
    }
  }

  static void AddK8Events(const K8TestServer& k8, std::vector<int32_t>* events) {
    for (const auto& r : k8.received()) {
      if (r.header.type == kK8StationEventType && r.packet.size() >= kK8PacketHeaderSize + 4) {
        events->push_back(GetI32(r.packet.data() + kK8PacketHeaderSize));
      }
    }
  }
  static void AddK7Events(testing::K7Peer& k7, std::vector<int32_t>* events) {
    CollectK7(k7);
    for (const auto& [object, times] : k7.received) events->insert(events->end(), times, object);
  }

  // Lets one last driver deliver what is on disk to `k8` and `k7` (either may be null), then
  // counts what the servers received over all the runs, `others` among them, prints it and
  // checks that none is lost.
  void DrainAndCount(const char* scenario, K8TestServer* k8, testing::K7Peer* k7,
                     Others others = {}) {
    const FaultRun::Links links{k7 ? k7->port() : 0, k8 ? k8->port() : 0};
    Start(links);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(45);
    while ((run_.SpoolFiles(".dd8") > 0 || run_.SpoolFiles(".ddk") > 0) &&
           std::chrono::steady_clock::now() < deadline) {
      if (k7) TakeK7(*k7);
      std::this_thread::sleep_for(Ms(20));
    }
    EXPECT_EQ(run_.Stop(), 0);
    std::vector<int32_t> delivered_k8, delivered_k7;
    if (k8) AddK8Events(*k8, &delivered_k8);
    if (others.k8) AddK8Events(*others.k8, &delivered_k8);
    if (k7) AddK7Events(*k7, &delivered_k7);
    if (others.k7) AddK7Events(*others.k7, &delivered_k7);
    const FaultRun::Counts counts = run_.Count(links, delivered_k8, delivered_k7);
    std::printf("%s: %s\n", scenario, counts.Text().c_str());
    EXPECT_EQ(counts.lost, 0u);
  }

  // Waits for the driver's K7 connection; it reconnects on its next housekeeping tick, some
  // seconds away.
  static bool AcceptK7(testing::K7Peer& k7) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!k7.connected() && !k7.TryAccept()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(Ms(10));
    }
    return true;
  }

  // Kills the driver right after the acknowledgement of one to three events, kKills times;
  // `k7`, where given, reads all the while.
  void KillAfterAcknowledgements(K8TestServer& k8, testing::K7Peer* k7 = nullptr) {
    uint16_t object = 1;
    for (int kill = 0; kill < kKills; ++kill) {
      Start({k7 ? k7->port() : 0, k8.port()});
      const int events = 1 + static_cast<int>(random_() % 3);
      for (int i = 0; i < events; ++i) {
        ASSERT_TRUE(run_.SendEvent(object++, Ms(2000)));
        if (k7) TakeK7(*k7);
      }
      run_.Kill();
      if (k7) CollectK7(*k7);
    }
  }

  FaultRun run_;
  std::mt19937 random_{std::random_device{}()};
};

// A .dd8 file is deleted only once the server has acknowledged its record, so killing the
// driver while it replays loses nothing; the server may see a record twice.
TEST_F(FaultTest, KillDuringTheReplayToASlowServer) {
  K8TestServer k8(SlowServer);
  k8.GoDown();
  Start({0, k8.port()});
  constexpr uint16_t kEvents = 30;
  for (uint16_t object = 1; object <= kEvents; ++object) {
    ASSERT_TRUE(run_.SendEvent(object, Ms(2000)));
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (run_.SpoolFiles(".dd8") < kEvents && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(Ms(20));
  }
  ASSERT_EQ(run_.SpoolFiles(".dd8"), kEvents);
  run_.Kill();
  ASSERT_TRUE(k8.ComeUp()) << "no listening on its port again";
  for (int kill = 0; kill < kKills; ++kill) {
    Start({0, k8.port()});
    std::this_thread::sleep_for(Ms(random_() % 800));
    run_.Kill();
  }
  DrainAndCount("SIGKILL during the replay, K8 slow", &k8, nullptr);
}

TEST_F(FaultTest, KillRightAfterAcknowledgementsWithK8Down) {
  K8TestServer k8(AckingServer);
  k8.GoDown();
  KillAfterAcknowledgements(k8);
  ASSERT_TRUE(k8.ComeUp()) << "no listening on its port again";
  DrainAndCount("SIGKILL after acknowledgements, K8 down", &k8, nullptr);
}

TEST_F(FaultTest, KillRightAfterAcknowledgementsWithK8Up) {
  K8TestServer k8(AckingServer);
  KillAfterAcknowledgements(k8);
  DrainAndCount("SIGKILL after acknowledgements, K8 up", &k8, nullptr);
}

// With both links up the K7 units the killed driver had written are with the server's TCP;
// the rest is on disk.
TEST_F(FaultTest, KillRightAfterAcknowledgementsWithBothLinksUp) {
  K8TestServer k8(AckingServer);
  testing::K7Peer k7;
  KillAfterAcknowledgements(k8, &k7);
  DrainAndCount("SIGKILL after acknowledgements, K8 and K7 up", &k8, &k7);
}

TEST_F(FaultTest, KillAtRandomMomentsWithSlowK8) {
  K8TestServer k8(SlowServer);
  uint16_t object = 1;
  for (int kill = 0; kill < kKills; ++kill) {
    Start({0, k8.port()});
    const uint16_t last = object++;
    if (!run_.SendEvent(last, Ms(random_() % 400))) {
      run_.Kill();
      run_.LateAcknowledgement(last);
    } else {
      run_.Kill();
    }
  }
  DrainAndCount("SIGKILL at random moments, K8 slow", &k8, nullptr);
}

// Both links up, the K7 server resetting its connection at random moments, and the driver
// killed at random moments, a station event perhaps half answered.
TEST_F(FaultTest, KillAtRandomMomentsWithBothLinksUpAndTheK7ServerResetting) {
  K8TestServer k8(AckingServer);
  testing::K7Peer k7;
  uint16_t object = 1;
  for (int kill = 0; kill < kKills; ++kill) {
    Start({k7.port(), k8.port()});
    const int events = 1 + static_cast<int>(random_() % 3);
    for (int i = 0; i < events; ++i) {
      TakeK7(k7);
      if (k7.connected() && random_() % 3 == 0) {
        k7.Peek();  // what its TCP has counts as received
        k7.Reset();
      }
      const uint16_t last = object++;
      if (!run_.SendEvent(last, Ms(random_() % 300))) {
        run_.Kill();
        run_.LateAcknowledgement(last);
        break;
      }
    }
    run_.Kill();
    CollectK7(k7);
  }
  DrainAndCount("SIGKILL at random moments, both links up, K7 resetting", &k8, &k7);
}

// A backlog on both links drained as fast as the servers take it (ReplayRate=0), the driver
// killed again and again in the middle of it.
TEST_F(FaultTest, KillDuringAFullSpeedDrainOnBothLinks) {
  K8TestServer k8(AckingServer);
  testing::K7Peer k7;
  run_.SetExtraMain("ReplayRate=0\n");
  k8.GoDown();
  Start({testing::RefusingPort(), k8.port()});  // both down: every event goes to disk only
  constexpr uint16_t kEvents = 100;
  for (uint16_t object = 1; object <= kEvents; ++object) {
    ASSERT_TRUE(run_.SendEvent(object, Ms(2000)));
  }
  run_.Kill();
  ASSERT_EQ(run_.SpoolFiles(".dd8"), kEvents);
  ASSERT_GE(run_.SpoolFiles(".ddk"), kEvents);  // and service frames
  ASSERT_TRUE(k8.ComeUp()) << "no listening on its port again";
  size_t left = kEvents;
  for (int kill = 0; kill < kKills && left > 0; ++kill) {
    std::string why;
    ASSERT_TRUE(run_.Start({k7.port(), k8.port()}, &why, false)) << why;
    const auto until = std::chrono::steady_clock::now() + Ms(random_() % 150);
    while (std::chrono::steady_clock::now() < until) {
      TakeK7(k7);
      std::this_thread::sleep_for(Ms(5));
    }
    run_.Kill();
    CollectK7(k7);
    left = run_.SpoolFiles(".dd8");
  }
  std::printf("%zu .dd8 files still waited at the last kill\n", left);
  DrainAndCount("SIGKILL during a drain at full speed, both links", &k8, &k7);
}

// The K8 server closes at random points: right after the greeting, right after reading a
// station event, in the middle of a reply. The driver runs on throughout; every event it
// acknowledged to the station reaches the server or waits on disk.
TEST_F(FaultTest, K8ServerClosingAtRandomPoints) {
  K8TestServer k8(AckingServer);
  Start({0, k8.port()});
  enum Point { kAfterGreeting, kAfterPacket, kMidReply };
  std::vector<Point> points = {kAfterGreeting, kAfterPacket, kMidReply};
  std::shuffle(points.begin(), points.end(), random_);
  uint16_t object = 1;
  int connections = 1;
  ASSERT_TRUE(k8.WaitForConnections(connections));
  for (const Point point : points) {
    switch (point) {
      case kAfterGreeting:
        ASSERT_TRUE(k8.WaitUntil([&](const auto& received) {
          return std::any_of(received.begin(), received.end(), [&](const auto& r) {
            return r.connection == connections && r.header.type == kK8Version;
          });
        }));
        k8.GoDown();
        break;
      case kAfterPacket:
        k8.DropAfterNextEvent();
        ASSERT_TRUE(run_.SendEvent(object++, Ms(2000)));
        ASSERT_TRUE(k8.WaitUntilDown());
        break;
      case kMidReply: {
        // The acknowledgement trickles out; the server goes at a random byte of it.
        k8.SetTrickleMs(20);
        const size_t before = k8.received().size();
        ASSERT_TRUE(run_.SendEvent(object++, Ms(2000)));
        ASSERT_TRUE(k8.WaitForPackets(before + 1));
        std::this_thread::sleep_for(Ms(random_() % 400));
        k8.GoDown();
        k8.SetTrickleMs(0);
        break;
      }
    }
    // Events while the server is away go to disk.
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(run_.SendEvent(object++, Ms(2000)));
    ASSERT_TRUE(k8.ComeUp()) << "no listening on its port again";
    ASSERT_TRUE(k8.WaitForConnections(++connections, std::chrono::seconds(15)));
  }
  EXPECT_EQ(run_.Stop(), 0);
  DrainAndCount("K8 server closing after the greeting, after a packet, mid-reply", &k8, nullptr);
}

// A K8 server that stalls: it reads every packet and answers none, for a few seconds, then
// answers again. The driver gives up on each reply in time and keeps every event on disk.
TEST_F(FaultTest, StalledK8Server) {
  K8TestServer k8(AckingServer);
  Start({0, k8.port()});
  ASSERT_TRUE(k8.WaitForConnections(1));
  k8.SetResponder([](const K8TestServer::Received&) { return std::optional<Bytes>(); });
  for (uint16_t object = 1; object <= 8; ++object) {
    ASSERT_TRUE(run_.SendEvent(object, Ms(2000)));
  }
  // At least one reply given up on: the connection is dropped and a new one made.
  ASSERT_TRUE(k8.WaitForConnections(2, std::chrono::seconds(15)));
  k8.SetResponder(AckingServer);
  EXPECT_EQ(run_.Stop(), 0);
  DrainAndCount("K8 server stalled", &k8, nullptr);
}

// The K7 server closes or resets at random moments, right after taking the connection or
// with a unit half read, while the station sends events; the driver runs on throughout. A
// well-behaved server then takes the spool: duplicates are allowed, losses are not.
TEST_F(FaultTest, K7ServerClosingAtRandomPoints) {
  testing::K7Peer k7;
  Start({k7.port(), 0});
  ASSERT_TRUE(AcceptK7(k7)) << run_.errors();
  std::set<uint16_t> drop_at;
  while (drop_at.size() < 3) drop_at.insert(static_cast<uint16_t>(2 + random_() % 18));
  int drops = 0;
  for (uint16_t object = 1; object <= 20; ++object) {
    if (!k7.connected()) k7.TryAccept();
    if (!drop_at.count(object)) {
      ASSERT_TRUE(run_.SendEvent(object, Ms(2000)));
      if (k7.connected() && k7.Read()) k7.Close();
      continue;
    }
    ASSERT_TRUE(AcceptK7(k7)) << run_.errors();
    ++drops;
    switch (random_() % 3) {
      case 0:  // right after taking the connection, with the spool's replay on its way
        k7.Peek();
        k7.Close();
        ASSERT_TRUE(run_.SendEvent(object, Ms(2000)));
        break;
      case 1:  // with the event's unit arriving, whole or in part, never read
        ASSERT_TRUE(run_.SendEvent(object, Ms(2000)));
        std::this_thread::sleep_for(Ms(random_() % 5));
        k7.Peek();
        k7.Reset();
        break;
      default:  // after reading it
        ASSERT_TRUE(run_.SendEvent(object, Ms(2000)));
        k7.Read();
        k7.Close();
    }
  }
  if (k7.connected()) {
    k7.Peek();
    k7.Reset();
  }
  EXPECT_EQ(run_.Stop(), 0);
  std::printf("K7 server dropped the driver %d times\n", drops);
  DrainAndCount("K7 server closing and resetting at random points", nullptr, &k7);
}

// A K7 server that stops reading while events keep coming, then SIGTERM: the driver ends as
// usual and every event is with the server's TCP or on disk; a reading server then takes all.
TEST_F(FaultTest, StalledK7Server) {
  testing::K7Peer k7(2048);  // a small receive buffer: the driver's socket soon holds the rest
  Start({k7.port(), 0});
  ASSERT_TRUE(AcceptK7(k7)) << run_.errors();
  for (uint16_t object = 1; object <= 30; ++object) {
    ASSERT_TRUE(run_.SendEvent(object, Ms(2000)));
  }
  EXPECT_EQ(run_.Stop(), 0);
  k7.Peek();
  std::vector<int32_t> received;
  for (const auto& [object, times] : k7.received) received.push_back(object);
  const FaultRun::Counts at_stop = run_.Count({k7.port(), 0}, {}, received);
  std::printf("K7 server stalled, at SIGTERM: %s\n", at_stop.Text().c_str());
  EXPECT_EQ(at_stop.lost, 0u);
  // The server reads again: what its TCP held arrives, the rest comes from the spool.
  k7.received.clear();  // Peek counted what is now read
  k7.ReadAgain();
  const auto read_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!k7.Read() && std::chrono::steady_clock::now() < read_deadline) {
    std::this_thread::sleep_for(Ms(10));
  }
  k7.Close();
  DrainAndCount("K7 server stalled, after the drain", nullptr, &k7);
}

// The K7 server accepts and never reads (a small receive buffer: the units wait in the
// driver's socket), the driver is killed, and the server's connection is reset. Every unit
// its TCP had not acknowledged was on disk before its station was answered, and arrives
// after the restart.
TEST_F(FaultTest, KillWhileTheK7ServerReadsNothingThenReset) {
  testing::K7Peer k7(2048);
  uint16_t object = 1;
  for (int kill = 0; kill < kKills; ++kill) {
    Start({k7.port(), 0});
    ASSERT_TRUE(AcceptK7(k7)) << run_.errors();
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(run_.SendEvent(object++, Ms(2000)));
    run_.Kill();
    k7.Peek();  // what its TCP has acknowledged counts as received: the driver knows no more
    k7.Reset();
  }
  DrainAndCount("K7 server reading nothing, the driver killed, the connection reset", nullptr, &k7);
}

// Takes the message directory away from a running driver and gives it back. Where this
// process may mount, the directory is a tiny tmpfs that is filled up (a full disk) and then
// remounted read-only; otherwise its write permission is taken away, the driver running as
// an unprivileged user when this process is root (root writes anywhere).
// QARN_FAULT_DIR=permissions chooses the second way where both are possible.
class MessageDirFault {
 public:
  enum class Way { kMount, kPermissions, kNone };
  struct Phase {
    const char* name;
    bool (MessageDirFault::*take)();
    bool (MessageDirFault::*give)();
  };

  explicit MessageDirFault(FaultRun& run) : run_(run), path_(run.MessageDirPath()) {}
  ~MessageDirFault() {
    if (way_ == Way::kMount) umount2(path_.c_str(), MNT_DETACH);
    if (way_ == Way::kPermissions) chmod(path_.c_str(), 0777);
  }

  // Makes the directory before the driver starts; kNone, with `why`, when it cannot be broken.
  Way Prepare(std::string* why) {
    std::filesystem::create_directory(path_);
    const char* asked = std::getenv("QARN_FAULT_DIR");
    const bool permissions_asked = asked && std::string(asked) == "permissions";
    if (!permissions_asked && mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=256k,mode=0777") == 0)
      return way_ = Way::kMount;
    if (geteuid() != 0) return way_ = Way::kPermissions;
    if (access("/usr/bin/setpriv", X_OK) != 0) {
      *why =
          "running as root, mounting is not allowed and setpriv is missing: the message "
          "directory cannot be taken from the driver";
      return way_ = Way::kNone;
    }
    // The driver runs as nobody: it needs its working directory and the station's port.
    chmod(run_.WorkingDir().c_str(), 0777);
    chmod(path_.c_str(), 0777);
    chmod(run_.StationPath().c_str(), 0666);
    run_.SetWrapper({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    return way_ = Way::kPermissions;
  }

  std::vector<Phase> Phases() const {
    if (way_ == Way::kMount) {
      return {{"disk full", &MessageDirFault::Fill, &MessageDirFault::Free},
              {"read-only", &MessageDirFault::ReadOnly, &MessageDirFault::Writable}};
    }
    return {{"no write permission", &MessageDirFault::Deny, &MessageDirFault::Allow}};
  }

 private:
  std::string Filler() const { return path_ + "/filler"; }
  bool Fill() {
    std::ofstream out(Filler(), std::ios::binary);
    const std::string block(4096, 'x');
    for (int i = 0; i < 1024 && out.write(block.data(), block.size()); ++i) out.flush();
    return !out;  // it stopped because the disk is full
  }
  bool Free() { return std::filesystem::remove(Filler()); }
  bool ReadOnly() {
    return mount("tmpfs", path_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }
  bool Writable() { return mount("tmpfs", path_.c_str(), nullptr, MS_REMOUNT, nullptr) == 0; }
  bool Deny() { return chmod(path_.c_str(), 0555) == 0; }
  bool Allow() { return chmod(path_.c_str(), 0777) == 0; }

  FaultRun& run_;
  std::string path_;
  Way way_ = Way::kNone;
};

// The message directory fills up, turns read-only or loses its write permission while the K8
// server is away: the events are acknowledged all the same and wait in memory, go to disk
// when the directory takes files again, and reach the server when it comes back.
TEST_F(FaultTest, MessageDirectoryUnwritableThenWritable) {
  run_.SetMessageDir("msg");
  MessageDirFault dir(run_);
  std::string why;
  if (dir.Prepare(&why) == MessageDirFault::Way::kNone) GTEST_SKIP() << why;
  K8TestServer k8(AckingServer);
  k8.GoDown();
  Start({0, k8.port()});
  uint16_t object = 1;
  for (const auto& phase : dir.Phases()) {
    const size_t stored = run_.SpoolFiles(".dd8");
    ASSERT_TRUE((dir.*phase.take)()) << phase.name;
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(run_.SendEvent(object++, Ms(2000))) << phase.name;
    EXPECT_EQ(run_.SpoolFiles(".dd8"), stored) << phase.name;
    ASSERT_TRUE((dir.*phase.give)()) << phase.name;
    // Held records are tried every 5 s.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (run_.SpoolFiles(".dd8") < stored + 5 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(Ms(50));
    }
    EXPECT_EQ(run_.SpoolFiles(".dd8"), stored + 5) << phase.name << "\n" << run_.errors();
    std::printf("message directory %s: 5 events waited in memory and were stored\n", phase.name);
  }
  EXPECT_EQ(run_.Stop(), 0);
  ASSERT_TRUE(k8.ComeUp()) << "no listening on its port again";
  DrainAndCount("message directory unwritable, then writable", &k8, nullptr);
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// How often the driver went to the backup and came back.
void PrintSwitches(const std::string& errors) {
  std::printf("to the backup %zu times, back on the primary %zu times\n",
              Occurrences(errors, "; on backup"), Occurrences(errors, "answers again"));
}

size_t StationEvents(const std::vector<K8TestServer::Received>& received) {
  return static_cast<size_t>(std::count_if(received.begin(), received.end(), [](const auto& r) {
    return r.header.type == kK8StationEventType;
  }));
}

// Two K8 servers. The primary is down at the start: the backup gets the greeting and every
// event. The primary comes back: the link is on it again within the failback time. Then the
// primary dies 10 times at random moments while events come, and comes back each time: every
// event acknowledged to the station reaches one of the servers; duplicates are allowed.
TEST_F(FaultTest, K8PrimaryAndBackupServer) {
  K8TestServer primary(AckingServer), backup(AckingServer);
  primary.GoDown();
  run_.SetExtraServerHost("BackupAddress=127.0.0.1\nBackupPort=" + std::to_string(backup.port()) +
                          "\n");
  const auto started = std::chrono::steady_clock::now();
  Start({0, primary.port()});
  uint16_t object = 1;
  for (; object <= 5; ++object) ASSERT_TRUE(run_.SendEvent(object, Ms(2000)));
  ASSERT_TRUE(backup.WaitUntil([](const auto& r) { return StationEvents(r) >= 5; },
                               std::chrono::seconds(15)))
      << run_.errors();
  std::printf(
      "on the backup with every event after %lld ms\n",
      static_cast<long long>(
          std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - started).count()));
  EXPECT_EQ(backup.received().front().header.type, kK8Hello);

  ASSERT_TRUE(primary.ComeUp()) << "no listening on its port again";
  ASSERT_TRUE(run_.WaitForError("answers again; back on it from backup", 5000)) << run_.errors();
  ASSERT_TRUE(primary.WaitForPackets(1));
  EXPECT_EQ(primary.received().front().header.type, kK8Hello);

  for (int kill = 0; kill < 10; ++kill) {
    for (int i = static_cast<int>(random_() % 3); i >= 0; --i) {
      ASSERT_TRUE(run_.SendEvent(object++, Ms(2000)));
    }
    std::this_thread::sleep_for(Ms(random_() % 300));
    primary.GoDown();
    for (int i = static_cast<int>(random_() % 3); i >= 0; --i) {
      ASSERT_TRUE(run_.SendEvent(object++, Ms(2000)));
    }
    std::this_thread::sleep_for(Ms(random_() % 1500));
    ASSERT_TRUE(primary.ComeUp()) << "no listening on its port again";
  }
  EXPECT_EQ(run_.Stop(), 0);
  PrintSwitches(run_.errors());
  DrainAndCount("K8 primary killed 10 times beside a backup", &primary, nullptr, {&backup});
}

// A K8 primary that accepts every connection and never answers is left for the backup too.
TEST_F(FaultTest, K8PrimaryThatStallsFailsOverToTheBackup) {
  K8TestServer primary([](const K8TestServer::Received&) { return std::optional<Bytes>(); });
  K8TestServer backup(AckingServer);
  run_.SetExtraServerHost("BackupAddress=127.0.0.1\nBackupPort=" + std::to_string(backup.port()) +
                          "\n");
  Start({0, primary.port()});
  for (uint16_t object = 1; object <= 5; ++object) ASSERT_TRUE(run_.SendEvent(object, Ms(2000)));
  ASSERT_TRUE(backup.WaitUntil([](const auto& r) { return StationEvents(r) >= 5; },
                               std::chrono::seconds(15)))
      << run_.errors();
  EXPECT_GE(primary.accept_times().size(), 2u);
  EXPECT_EQ(run_.Stop(), 0);
  DrainAndCount("K8 primary stalled beside a backup", &backup, nullptr);
}

// The same on the K7 link: the backup while the primary is down, back on the primary once it
// accepts the driver's try, and the primary dying 10 times while events come.
TEST_F(FaultTest, K7PrimaryAndBackupServer) {
  testing::K7Peer primary, backup;
  primary.GoDown();
  run_.SetExtraMain("BackupHost=127.0.0.1\nBackupK7Port=" + std::to_string(backup.port()) + "\n");
  Start({primary.port(), 0});
  ASSERT_TRUE(AcceptK7(backup)) << run_.errors();
  uint16_t object = 1;
  for (; object <= 5; ++object) ASSERT_TRUE(run_.SendEvent(object, Ms(2000)));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (backup.received.size() < 5 && std::chrono::steady_clock::now() < deadline) {
    TakeK7(backup);
    std::this_thread::sleep_for(Ms(10));
  }
  EXPECT_EQ(backup.received.size(), 5u) << run_.errors();

  ASSERT_TRUE(primary.ComeUp()) << "no listening on its port again";
  ASSERT_TRUE(AcceptK7(primary)) << run_.errors();
  ASSERT_TRUE(run_.WaitForError("answers again; back on it from backup", 5000)) << run_.errors();

  for (int kill = 0; kill < 10; ++kill) {
    for (int i = static_cast<int>(random_() % 3); i >= 0; --i) {
      ASSERT_TRUE(run_.SendEvent(object++, Ms(2000)));
      TakeK7(primary);
      TakeK7(backup);
    }
    std::this_thread::sleep_for(Ms(random_() % 300));
    TakeK7(primary);
    primary.GoDown();
    for (int i = static_cast<int>(random_() % 3); i >= 0; --i) {
      ASSERT_TRUE(run_.SendEvent(object++, Ms(2000)));
      TakeK7(backup);
    }
    for (auto until = std::chrono::steady_clock::now() + Ms(random_() % 1500);
         std::chrono::steady_clock::now() < until;) {
      TakeK7(backup);
      std::this_thread::sleep_for(Ms(10));
    }
    ASSERT_TRUE(primary.ComeUp()) << "no listening on its port again";
  }
  EXPECT_EQ(run_.Stop(), 0);
  PrintSwitches(run_.errors());
  DrainAndCount("K7 primary killed 10 times beside a backup", nullptr, &primary,
                {nullptr, &backup});
}

}  // namespace
}  // namespace qarn
