// The real qarn-driver binary, started in a directory of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>

#include "fakes/child_process.h"
#include "fakes/own_ports.h"
#include "fakes/temp_dir.h"

namespace qarn {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr const char* kDriver = QARN_DRIVER_PATH;

TEST(DriverBinary, PrintsItsVersionAndHelp) {
  testing::TempDir dir;
  testing::ChildProcess version(kDriver, {"--version"}, dir.path());
  EXPECT_EQ(version.Wait(), 0);
  EXPECT_EQ(version.out(), "8.1.3.171\n");
  testing::ChildProcess help(kDriver, {"--help"}, dir.path());
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_NE(help.out().find("--headless"), std::string::npos);
  testing::ChildProcess bad(kDriver, {"--bogus"}, dir.path());
  EXPECT_EQ(bad.Wait(), 2);
  testing::ChildProcess bad_timings(kDriver, {"--headless"}, dir.path(), false,
                                    {"QARN_TEST_TIMINGS=reconnect=0"});
  EXPECT_EQ(bad_timings.Wait(), 2);
  EXPECT_NE(bad_timings.err().find("QARN_TEST_TIMINGS: bad milliseconds"), std::string::npos)
      << bad_timings.err();
}

// With the defaults but for the servers' addresses (the links try ports that refuse).
TEST(DriverBinary, RunsHeadlessUntilSignalledWritingNothing) {
  for (int sig : {SIGTERM, SIGINT}) {
    testing::TempDir dir;
    dir.Write("sqarn.ini", testing::OwnLinksIni(""));
    testing::ChildProcess driver(kDriver, {}, dir.path());  // no display: headless by itself
    ASSERT_TRUE(driver.WaitFor(2, "running headless")) << driver.err();
    driver.Signal(sig);
    EXPECT_EQ(driver.Wait(), 0) << driver.err();
    EXPECT_THAT(dir.List(), ElementsAre("sqarn.ini"));  // nothing to spool, nothing to log
  }
}

TEST(DriverBinary, BadQueryIntervalIsReportedAndStartUpGoesOn) {
  testing::TempDir dir;
  dir.Write("sqarn.ini", testing::OwnLinksIni("QARNRetOpr=later\n"));
  testing::ChildProcess driver(kDriver, {"--headless"}, dir.path());
  ASSERT_TRUE(driver.WaitFor(2, "running headless")) << driver.err();
  EXPECT_NE(driver.err().find("QARNRetOpr"), std::string::npos);
  driver.Signal(SIGTERM);
  EXPECT_EQ(driver.Wait(), 0);
}

TEST(DriverBinary, CheckConfigExitsZeroOnlyForAFileWithoutProblems) {
  testing::TempDir dir;
  testing::ChildProcess missing(kDriver, {"--check-config"}, dir.path());
  EXPECT_EQ(missing.Wait(), 1);
  EXPECT_THAT(missing.out(), HasSubstr("no sqarn.ini"));
  dir.Write("sqarn.ini", "[main]\nComPrt=COM3\n");
  testing::ChildProcess typo(kDriver, {"--check-config"}, dir.path());
  EXPECT_EQ(typo.Wait(), 1);
  EXPECT_THAT(typo.out(), HasSubstr("did you mean ComPort?"));
  dir.Write("sqarn.ini", "[main]\nSendK8=0\n");
  testing::ChildProcess clean(kDriver, {"--check-config"}, dir.path());
  EXPECT_EQ(clean.Wait(), 0) << clean.out();
  EXPECT_THAT(clean.out(), HasSubstr("SendK8=0"));
  EXPECT_THAT(dir.List(), ElementsAre("sqarn.ini"));  // the probe file is gone
}

TEST(DriverBinary, ProblemsOfTheFileAndAnUnwritableMessageDirectoryAreSaidAtStart) {
  testing::TempDir dir;
  dir.Write("blocker", "");
  dir.Write("sqarn.ini", testing::OwnLinksIni("SendK8=0\nLog=true\nPathForSoob=blocker/\n"));
  testing::ChildProcess driver(kDriver, {}, dir.path());
  ASSERT_TRUE(driver.WaitFor(2, "running headless")) << driver.err();
  EXPECT_THAT(driver.err(), HasSubstr("sqarn.ini: line 5: Log=true is not a number"));
  EXPECT_THAT(driver.err(), HasSubstr("blocker/ cannot take spool files"));
  driver.Signal(SIGTERM);
  EXPECT_EQ(driver.Wait(), 0);
}

TEST(DriverBinary, ASecondDriverInTheSameDirectoryExitsNamingTheFirst) {
  testing::TempDir dir;
  dir.Write("sqarn.ini", testing::OwnLinksIni("SendK8=0\n"));
  testing::ChildProcess first(kDriver, {}, dir.path());
  ASSERT_TRUE(first.WaitFor(2, "running headless")) << first.err();
  testing::ChildProcess second(kDriver, {}, dir.path());
  EXPECT_EQ(second.Wait(), 1);
  EXPECT_THAT(second.err(), HasSubstr("(process " + std::to_string(first.pid()) + ")"));
  first.Signal(SIGHUP);  // ignored, with a word
  ASSERT_TRUE(first.WaitFor(2, "SIGHUP ignored")) << first.err();
  first.Signal(SIGTERM);
  EXPECT_EQ(first.Wait(), 0);
  EXPECT_THAT(dir.List(), ElementsAre("sqarn.ini"));  // the lock file goes with its driver
  testing::ChildProcess third(kDriver, {}, dir.path());
  ASSERT_TRUE(third.WaitFor(2, "running headless")) << third.err();
}

// A socket in the manner of systemd's: the driver's notifications arrive here.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~NotifySocket() { close(fd_); }
  bool bound() const { return bound_; }

  // Reads messages until one holds `text`; every message read is kept.
  bool WaitFor(const std::string& text, int timeout_ms = 10000) {
    for (int waited = 0; waited < timeout_ms; waited += 50) {
      for (const auto& m : messages)
        if (m.find(text) != std::string::npos) return true;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buf[4096];
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n > 0) messages.emplace_back(buf, static_cast<size_t>(n));
    }
    return false;
  }
  // The position of the first message starting with `prefix`, or -1.
  int IndexOf(const std::string& prefix) const {
    for (size_t i = 0; i < messages.size(); ++i)
      if (messages[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
    return -1;
  }

  std::vector<std::string> messages;

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

TEST(DriverBinary, TellsSystemdReadyStatusWatchdogAndStoppingInOrder) {
  testing::TempDir dir;
  dir.Write("sqarn.ini", testing::OwnLinksIni("SendK8=0\n"));
  NotifySocket manager(dir / "notify");
  ASSERT_TRUE(manager.bound());
  testing::ChildProcess driver(kDriver, {}, dir.path(), false,
                               {"NOTIFY_SOCKET=" + (dir / "notify"), "WATCHDOG_USEC=200000"});
  ASSERT_TRUE(manager.WaitFor("WATCHDOG=1")) << driver.err();
  driver.Signal(SIGTERM);
  ASSERT_TRUE(manager.WaitFor("STOPPING=1"));
  EXPECT_EQ(driver.Wait(), 0);

  const int ready = manager.IndexOf("READY=1");
  const int status = manager.IndexOf("STATUS=");
  const int watchdog = manager.IndexOf("WATCHDOG=1");
  const int stopping = manager.IndexOf("STOPPING=1");
  EXPECT_EQ(ready, 0);
  EXPECT_GT(status, ready);
  EXPECT_GT(watchdog, status);
  EXPECT_GT(stopping, watchdog);
  EXPECT_THAT(manager.messages[static_cast<size_t>(status)],
              StartsWith("STATUS=station: no port; K8 off; K7 off; waiting 0 .dd8, 0 .ddk"));
}

TEST(DriverBinary, ADisplayThatCannotBeOpenedFallsBackToHeadless) {
  const std::vector<std::vector<std::string>> environments = {
      {"DISPLAY=:4711"}, {"QT_QPA_PLATFORM=xcb", "DISPLAY=:4711"}};
  for (const auto& env : environments) {
    testing::TempDir dir;
    dir.Write("sqarn.ini", testing::OwnLinksIni("SendK8=0\n"));
    testing::ChildProcess driver(kDriver, {}, dir.path(), false, env);
    ASSERT_TRUE(driver.WaitFor(2, "running headless")) << driver.err();
#ifdef QARN_GUI
    EXPECT_THAT(driver.err(), HasSubstr("cannot open the display"));
#endif
    driver.Signal(SIGTERM);
    EXPECT_EQ(driver.Wait(), 0);
  }
}

}  // namespace
}  // namespace qarn
