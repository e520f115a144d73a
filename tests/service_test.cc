// What the driver tells the service manager and the journal, and the lock that keeps a
// second driver out of its directory; on virtual time where time matters.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fakes/fake_main_loop.h"
#include "fakes/temp_dir.h"
#include "platform/diag.h"
#include "platform/instance_lock.h"
#include "shell/service_status.h"
#include "shell/spool_notice.h"
#include "shell/status_line.h"

namespace qarn {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class RecordingNotifier final : public ServiceNotifier {
 public:
  explicit RecordingNotifier(uint64_t watchdog_usec) : watchdog_usec_(watchdog_usec) {}
  void Notify(const std::string& state) override { sent.push_back(state); }
  uint64_t WatchdogUsec() const override { return watchdog_usec_; }
  std::vector<std::string> sent;

 private:
  uint64_t watchdog_usec_;
};

TEST(ServiceStatus, ReadyThenStatusOnChangeWatchdogAtHalfPeriodAndStopping) {
  testing::FakeMainLoop loop;
  RecordingNotifier notifier(4'000'000);  // 4 s: alive every 2 s
  std::string status = "starting";
  ServiceStatus service(loop, notifier, [&] { return status; });
  service.Ready();
  EXPECT_THAT(notifier.sent, ElementsAre("READY=1", "STATUS=starting"));
  notifier.sent.clear();

  loop.Advance(1999);  // the same status is not sent again, and no watchdog yet
  EXPECT_THAT(notifier.sent, IsEmpty());
  status = "running";
  loop.Advance(1);
  EXPECT_THAT(notifier.sent, ElementsAre("STATUS=running", "WATCHDOG=1"));
  notifier.sent.clear();
  loop.Advance(4000);
  EXPECT_THAT(notifier.sent, ElementsAre("WATCHDOG=1", "WATCHDOG=1"));

  notifier.sent.clear();
  service.Stopping();
  service.Stopping();
  status = "changed after the close began";
  loop.Advance(10000);
  EXPECT_THAT(notifier.sent, ElementsAre("STOPPING=1"));
  EXPECT_EQ(loop.timer_count(), 0u);
}

TEST(ServiceStatus, NoWatchdogWithoutItsPeriod) {
  testing::FakeMainLoop loop;
  RecordingNotifier notifier(0);
  ServiceStatus service(loop, notifier, [] { return std::string("same"); });
  service.Ready();
  loop.Advance(60000);
  EXPECT_THAT(notifier.sent, ElementsAre("READY=1", "STATUS=same"));
}

TEST(StatusLine, SaysPortLinksFilesAndLastEventWithAFailureFirst) {
  StatusFacts f;
  f.port_name = "COM255";
  f.k8_used = true;
  EXPECT_EQ(FormatStatusLine(f),
            "station: no port; K8 down; K7 off; waiting 0 .dd8, 0 .ddk; no event yet");
  f.port_name = "COM3";
  f.port_open = true;
  f.station_heard = true;
  f.k8_up = true;
  f.k7_used = true;
  f.dd8_waiting = 1;
  f.ddk_waiting = 12;
  f.last_event = CivilTime{2026, 12, 9, 14, 5, 7, 123};
  f.spool_failure = "no space\nleft";
  EXPECT_EQ(FormatStatusLine(f),
            "SPOOL FILES CANNOT BE WRITTEN (no space left); station COM3 open, heard; K8 up; "
            "K7 down; waiting 1 .dd8, 12 .ddk; last event 09.12.2026 14:05:07");
}

class DiagCapture {
 public:
  DiagCapture() {
    SetDiagSink([this](bool, const std::string& line) { lines.push_back(line); });
  }
  ~DiagCapture() { SetDiagSink(nullptr); }
  std::vector<std::string> lines;
};

TEST(SpoolNotice, OneLineWhenSpoolingStartsAndOneWhenTheReplayHasEmptiedTheFiles) {
  DiagCapture diag;
  SpoolNotice notice(SpoolKind::kK8);
  notice.Found(0);
  notice.Replayed(0, 0, 5);
  EXPECT_THAT(diag.lines, IsEmpty());

  // A backlog drains: once a minute a word on its progress.
  notice.Found(2000);
  notice.Stored(2001);
  notice.Stored(2002);
  uint32_t now = 0xFFFF0000u;  // the tick wraps during the drain
  for (size_t waiting = 2002; waiting > 0; waiting -= 2) {
    notice.Replayed(waiting, now += 200, 5);
  }
  notice.Replayed(0, now += 200, 5);
  notice.Replayed(0, now += 200, 5);
  EXPECT_THAT(diag.lines,
              ElementsAre("K8: 2000 .dd8 spool files from earlier runs wait for the replay",
                          "K8: the link is down; records go to .dd8 spool files (2001 waiting)",
                          "K8: 1402 .dd8 spool files wait; 600 per minute drained (ReplayRate "
                          "5/s); about 3 min left",
                          "K8: 802 .dd8 spool files wait; 600 per minute drained (ReplayRate "
                          "5/s); about 2 min left",
                          "K8: 202 .dd8 spool files wait; 600 per minute drained (ReplayRate "
                          "5/s); about 1 min left",
                          "K8: the replay has emptied the .dd8 spool files: 2000 from earlier "
                          "runs, 2 spooled since"));
  diag.lines.clear();
  SpoolNotice k7(SpoolKind::kK7);  // a second streak counts afresh
  k7.Stored(1);
  k7.Replayed(1, 0, 0);
  k7.Replayed(1, 60000, 0);  // a backlog that does not shrink says so
  k7.Replayed(0, 60200, 0);
  k7.Stored(1);
  EXPECT_THAT(diag.lines, ElementsAre(HasSubstr("records go to .ddk"),
                                      HasSubstr("(ReplayRate 0: as fast as the server takes "
                                                "them); time left unknown"),
                                      HasSubstr("0 from earlier runs, 1 spooled since"),
                                      HasSubstr("records go to .ddk")));
}

TEST(InstanceLock, ASecondHolderIsRefusedAndToldThePidUntilTheFirstLetsGo) {
  testing::TempDir dir;
  const std::string path = dir / "qarn-driver.pid";
  pid_t holder = -1;
  std::string error;
  {
    InstanceLock first;
    ASSERT_EQ(first.Acquire(path, &holder, &error), InstanceLock::Result::kAcquired) << error;
    InstanceLock second;  // a lock of its own open file: refused even in this process
    EXPECT_EQ(second.Acquire(path, &holder, &error), InstanceLock::Result::kHeld);
    EXPECT_EQ(holder, getpid());
  }
  EXPECT_THAT(dir.List(), IsEmpty());  // removed by its holder
  InstanceLock third;
  EXPECT_EQ(third.Acquire(path, &holder, &error), InstanceLock::Result::kAcquired);

  InstanceLock nowhere;
  EXPECT_EQ(nowhere.Acquire(dir / "no/such/dir/lock", &holder, &error),
            InstanceLock::Result::kFailed);
  EXPECT_THAT(error, HasSubstr("No such file"));
}

TEST(Journal, PrioritiesPrefixTheLinesOnlyWhenStandardErrorIsTheJournal) {
  testing::TempDir dir;
  const std::string path = dir / "stderr";
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(file, 0);
  struct stat st {};
  ASSERT_EQ(fstat(file, &st), 0);
  const std::string id = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  EXPECT_TRUE(StreamIsJournal(file, id.c_str()));
  EXPECT_FALSE(StreamIsJournal(file, (id + "1").c_str()));
  EXPECT_FALSE(StreamIsJournal(file, "12"));
  EXPECT_FALSE(StreamIsJournal(file, nullptr));

  fflush(stderr);
  const int saved = dup(2);
  dup2(file, 2);
  const char* old = getenv("JOURNAL_STREAM");
  const std::string old_value = old ? old : "";
  setenv("JOURNAL_STREAM", id.c_str(), 1);
  DetectJournalOnStderr();
  DiagError("e");
  DiagWarning("w");
  DiagInfo("i");
  unsetenv("JOURNAL_STREAM");
  DetectJournalOnStderr();
  DiagInfo("plain");
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(file);
  if (old) setenv("JOURNAL_STREAM", old_value.c_str(), 1);
  DetectJournalOnStderr();
  const auto bytes = dir.Read("stderr");
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "<3>e\n<4>w\n<6>i\nplain\n");
}

}  // namespace
}  // namespace qarn
