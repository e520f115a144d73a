#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "base/socket_error.h"
#include "base/tdatetime.h"
#include "base/text_codec.h"
#include "fakes/temp_dir.h"
#include "platform/blocking_tcp_client.h"
#include "platform/file_system.h"
#include "platform/tcp_keepalive.h"

namespace qarn {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(TDateTime, KnownValuesBothWays) {
  struct Case {
    CivilTime civil;
    double value;
  } cases[] = {
      {{1899, 12, 30, 0, 0, 0, 0}, 0.0},
      {{1900, 1, 1, 12, 0, 0, 0}, 2.5},
      {{2011, 3, 1, 12, 0, 0, 0}, 40603.5},
      {{1899, 12, 29, 6, 0, 0, 0}, -1.25},  // before the epoch the fraction counts forwards
      {{2000, 2, 29, 0, 0, 0, 0}, 36585.0},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(EncodeDateTime(c.civil), c.value) << c.value;
    const auto back = DecodeDateTime(c.value);
    ASSERT_TRUE(back.has_value()) << c.value;
    EXPECT_EQ(*back, c.civil) << c.value;
  }
}

TEST(TDateTime, MillisecondsSurviveTheRoundTrip) {
  for (int ms : {0, 1, 499, 500, 998, 999}) {
    const CivilTime t{2026, 12, 31, 23, 59, 59, ms};
    EXPECT_EQ(*DecodeDateTime(EncodeDateTime(t)), t) << ms;
  }
}

TEST(TDateTime, UndecodableValuesAreRefused) {
  EXPECT_FALSE(DecodeDateTime(std::nan("")).has_value());
  EXPECT_FALSE(DecodeDateTime(1e300).has_value());
  EXPECT_FALSE(DecodeDateTime(-700000.0).has_value());  // before year 1
}

TEST(TDateTime, TimeOfDayTexts) {
  EXPECT_DOUBLE_EQ(*ParseTimeOfDay("03:00:00"), 3.0 / 24);
  EXPECT_DOUBLE_EQ(*ParseTimeOfDay("0:00:30"), 30.0 / 86400);
  EXPECT_DOUBLE_EQ(*ParseTimeOfDay("00:00:00"), 0.0);
  for (const char* bad : {"", "3", "24:00:00", "12:60:00", "ab:cd", "03:00:00x", "1:2:3:4"}) {
    EXPECT_FALSE(ParseTimeOfDay(bad).has_value()) << bad;
  }
}

TEST(TDateTime, DefaultTextLeavesOutMidnight) {
  EXPECT_EQ(FormatDefaultDateTime({2026, 12, 9, 10, 31, 52, 0}), "09.12.2026 10:31:52");
  EXPECT_EQ(FormatDefaultDateTime({2026, 12, 9, 0, 0, 0, 0}), "09.12.2026");
  EXPECT_EQ(FormatIso({2011, 3, 1, 12, 0, 0, 7}), "2011-03-01T12:00:00.007");
}

TEST(TextCodec, RussianTextInWindows1251) {
  const std::string bytes = Utf8ToCp1251("ошибка №");
  EXPECT_EQ(bytes, "\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9");
  EXPECT_EQ(Cp1251ToUtf8(bytes), "ошибка №");
  EXPECT_EQ(Utf8ToCp1251("Ёё€"), "\xA8\xB8\x88");
}

TEST(Wildcards, MatchLikeDirectorySearches) {
  EXPECT_TRUE(WildcardMatch("*.dd8", "50451EB3.dd8"));
  EXPECT_FALSE(WildcardMatch("*.dd8", "50451EB3.dd8.tmp"));
  EXPECT_TRUE(WildcardMatch("spool*.ddk", "spool50451EB3_-1.ddk"));
  EXPECT_FALSE(WildcardMatch("spool*.ddk", "50451EB3_-1.ddk"));
  EXPECT_TRUE(WildcardMatch("a?c", "abc"));
  EXPECT_TRUE(WildcardMatch("*", ""));
}

class PosixFileSystemTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  PosixFileSystem fs_;
  static ByteView View(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
  }
};

TEST_F(PosixFileSystemTest, DurableCreateNeverReplacesAndLeavesNoTemporary) {
  std::string error;
  EXPECT_EQ(fs_.CreateDurable(dir_ / "a.dd8", View("first"), &error), StoreResult::kStored);
  EXPECT_EQ(fs_.CreateDurable(dir_ / "a.dd8", View("second"), &error), StoreResult::kExists);
  EXPECT_THAT(dir_.List(), ElementsAre("a.dd8"));
  const auto content = dir_.Read("a.dd8");
  EXPECT_EQ(std::string(content.begin(), content.end()), "first");
}

TEST_F(PosixFileSystemTest, DurableCreateReplacesAStaleTemporary) {
  dir_.Write("b.ddk.tmp", "half");
  std::string error;
  EXPECT_EQ(fs_.CreateDurable(dir_ / "b.ddk", View("whole"), &error), StoreResult::kStored);
  EXPECT_THAT(dir_.List(), ElementsAre("b.ddk"));
}

TEST_F(PosixFileSystemTest, DurableCreateInAMissingDirectoryFails) {
  std::string error;
  EXPECT_EQ(fs_.CreateDurable(dir_ / "nowhere/c.dd8", View("x"), &error), StoreResult::kFailed);
  EXPECT_FALSE(error.empty());
}

TEST_F(PosixFileSystemTest, FindUsesThePrefixAsGiven) {
  std::filesystem::create_directory(dir_ / "spool");
  dir_.Write("spool1.dd8", "x");
  dir_.Write("spool/2.dd8", "x");
  EXPECT_THAT(fs_.FindAll(dir_ / "spool*.dd8"), ElementsAre("spool1.dd8"));
  EXPECT_THAT(fs_.FindAll(dir_ / "spool/*.dd8"), ElementsAre("2.dd8"));
  EXPECT_THAT(fs_.FindAll(dir_ / "*.ddk"), IsEmpty());
  ASSERT_EQ(fs_.ListEntries(dir_ / "spool*").size(), 2u);  // the directory too
  EXPECT_THAT(fs_.FindAll(dir_ / "none/*.dd8"), IsEmpty());
}

TEST_F(PosixFileSystemTest, ReplaceKeepsTheLinkTheModeAndTheOwner) {
  std::filesystem::create_directory(dir_ / "etc");
  dir_.Write("etc/sqarn.ini", "old");
  ::chmod((dir_ / "etc/sqarn.ini").c_str(), 0640);
  std::filesystem::create_symlink("etc/sqarn.ini", dir_ / "sqarn.ini");
  struct stat before {};
  ASSERT_EQ(::stat((dir_ / "etc/sqarn.ini").c_str(), &before), 0);
  std::string error;
  ASSERT_TRUE(fs_.ReplaceDurable(dir_ / "sqarn.ini", View("new"), &error)) << error;
  EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "sqarn.ini"));
  const auto content = dir_.Read("etc/sqarn.ini");
  EXPECT_EQ(std::string(content.begin(), content.end()), "new");
  struct stat after {};
  ASSERT_EQ(::stat((dir_ / "etc/sqarn.ini").c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_THAT(dir_.List(), ElementsAre("etc", "sqarn.ini"));

  // Another owner stays the owner (only root can give a file away to try it).
  if (::chown((dir_ / "etc/sqarn.ini").c_str(), 12345, 12345) == 0) {
    ASSERT_TRUE(fs_.ReplaceDurable(dir_ / "sqarn.ini", View("newer"), &error)) << error;
    ASSERT_EQ(::stat((dir_ / "etc/sqarn.ini").c_str(), &after), 0);
    EXPECT_EQ(after.st_uid, 12345u);
    EXPECT_EQ(after.st_gid, 12345u);
  }

  // A link whose target does not exist yet makes the target.
  std::filesystem::create_symlink("etc/other.ini", dir_ / "dangling.ini");
  ASSERT_TRUE(fs_.ReplaceDurable(dir_ / "dangling.ini", View("x"), &error)) << error;
  EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "dangling.ini"));
  EXPECT_TRUE(std::filesystem::is_regular_file(dir_ / "etc/other.ini"));
}

TEST_F(PosixFileSystemTest, AppendCreatesThenExtends) {
  std::string error;
  ASSERT_TRUE(fs_.Append(dir_ / "log", View("ab"), &error));
  ASSERT_TRUE(fs_.Append(dir_ / "log", View("c"), &error));
  Bytes out;
  ASSERT_TRUE(fs_.ReadAll(dir_ / "log", &out, &error));
  EXPECT_EQ(std::string(out.begin(), out.end()), "abc");
  EXPECT_FALSE(fs_.ReadAll(dir_.path(), &out, &error));  // a directory is not read
}

// Options for a client of `listener` on the loopback address, named `host`.
TcpClientOptions ClientOf(const BlockingTcpListener& listener, const std::string& host) {
  TcpClientOptions options;
  options.host = host;
  options.port = listener.port();
  options.read_timeout_ms = 2000;
  return options;
}

TEST(BlockingTcpClient, WriteToAConnectionThePeerClosedFailsInsteadOfVanishing) {
  BlockingTcpListener listener;
  ASSERT_EQ(listener.Listen("127.0.0.1", 0), 0);
  const TcpClientOptions options = ClientOf(listener, "127.0.0.1");
  PosixBlockingTcpClient client(options);
  ASSERT_EQ(client.Connect(), 0);
  auto peer = listener.Accept(2000);
  ASSERT_NE(peer, nullptr);
  const Bytes packet = {1, 2, 3};
  ASSERT_EQ(client.WriteAll(packet), 0);
  uint8_t read_back[3];
  size_t got = 0;
  ASSERT_EQ(peer->ReadExactly(read_back, sizeof read_back, &got), 0);
  peer.reset();  // the server goes away; anything written to it now would vanish
  uint8_t byte;
  ASSERT_EQ(client.ReadExactly(&byte, 1, &got), kSocketReset);  // the close has arrived
  EXPECT_EQ(client.WriteAll(packet), kSocketReset);
}

// A server that is down refuses connections and keeps its port: nobody else can bind it
// meanwhile, and it listens on the same port again.
TEST(BlockingTcpListener, StoppingKeepsThePortAndListeningAgainTakesConnections) {
  BlockingTcpListener listener;
  ASSERT_EQ(listener.Listen("127.0.0.1", 0), 0);
  const TcpClientOptions options = ClientOf(listener, "127.0.0.1");
  PosixBlockingTcpClient waiting(options);
  ASSERT_EQ(waiting.Connect(), 0);  // never accepted: reset when the listener stops
  ASSERT_EQ(listener.StopListening(), 0);
  EXPECT_EQ(PosixBlockingTcpClient(options).Connect(), kSocketRefused);
  uint8_t byte;
  size_t got = 0;
  EXPECT_EQ(waiting.ReadExactly(&byte, 1, &got), kSocketReset);
  for (const bool reuse : {false, true}) {  // with or without SO_REUSEADDR, as others bind
    const int other = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    if (reuse) setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(listener.port()));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_NE(bind(other, reinterpret_cast<sockaddr*>(&at), sizeof at), 0) << reuse;
    close(other);
  }
  ASSERT_EQ(listener.ListenAgain(), 0);
  PosixBlockingTcpClient client(options);
  EXPECT_EQ(client.Connect(), 0);
  EXPECT_NE(listener.Accept(2000), nullptr);
  EXPECT_EQ(listener.port(), options.port);
}

// A stop request ends a connect whose name lookup hangs: the resolver cannot be interrupted,
// so the client stops waiting for it and drops its late answer.
TEST(BlockingTcpClient, AStopEndsAConnectWhoseLookupHangs) {
  struct Resolver {
    std::mutex mutex;
    std::condition_variable cv;
    bool started = false, release = false, finished = false;
  };
  const auto resolver = std::make_shared<Resolver>();
  std::atomic<bool> stop{false};
  TcpClientOptions options;
  options.host = "server.example";
  options.port = 12543;
  options.cancel = &stop;
  options.resolve = [resolver](const std::string&) -> std::optional<uint32_t> {
    std::unique_lock lock(resolver->mutex);
    resolver->started = true;
    resolver->cv.notify_all();
    resolver->cv.wait_for(lock, std::chrono::seconds(10), [&] { return resolver->release; });
    resolver->finished = true;
    return 0x7F000001;
  };
  PosixBlockingTcpClient client(options);
  std::thread stopper([&] {
    std::unique_lock lock(resolver->mutex);
    resolver->cv.wait(lock, [&] { return resolver->started; });
    stop = true;
  });
  EXPECT_EQ(client.Connect(), kSocketInterrupted);
  stopper.join();
  const std::lock_guard lock(resolver->mutex);
  EXPECT_FALSE(resolver->finished);  // the connect did not wait for the lookup
  EXPECT_FALSE(client.Connected());
  resolver->release = true;
  resolver->cv.notify_all();
}

TEST(BlockingTcpClient, ANameIsLookedUpByTheGivenResolver) {
  BlockingTcpListener listener;
  ASSERT_EQ(listener.Listen("127.0.0.1", 0), 0);
  TcpClientOptions options = ClientOf(listener, "server.example");
  options.resolve = [](const std::string& host) -> std::optional<uint32_t> {
    if (host == "server.example") return 0x7F000001;
    return std::nullopt;
  };
  PosixBlockingTcpClient client(options);
  EXPECT_EQ(client.Connect(), 0);
  options.host = "nowhere.example";
  EXPECT_EQ(PosixBlockingTcpClient(options).Connect(), kSocketHostNotFound);
}

TEST(DeadPeerDetection, ASilentPeerIsGivenUpWithinAboutAMinute) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(EnableDeadPeerDetection(fd), 0);
  const auto get = [fd](int level, int name) {
    int value = -1;
    socklen_t size = sizeof value;
    EXPECT_EQ(getsockopt(fd, level, name, &value, &size), 0);
    return value;
  };
  EXPECT_EQ(get(SOL_SOCKET, SO_KEEPALIVE), 1);
  // Idle: the last probe goes unanswered within a minute. Sending: the same bound.
  EXPECT_LE(get(IPPROTO_TCP, TCP_KEEPIDLE) +
                get(IPPROTO_TCP, TCP_KEEPINTVL) * get(IPPROTO_TCP, TCP_KEEPCNT),
            60);
  const int user_timeout_ms = get(IPPROTO_TCP, TCP_USER_TIMEOUT);
  EXPECT_GT(user_timeout_ms, 0);
  EXPECT_LE(user_timeout_ms, 60'000);
  close(fd);
  EXPECT_NE(EnableDeadPeerDetection(fd), 0);  // a closed descriptor is refused, not ignored
}

}  // namespace
}  // namespace qarn
