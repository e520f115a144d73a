#include "platform/qt_main_loop.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <thread>

#include "fakes/qt_test_loop.h"

namespace qarn {
namespace {

class QtMainLoopTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { EnsureQtApplication(); }
  QtMainLoop loop_;
};

TEST_F(QtMainLoopTest, WaitingForAThreadKeepsServingItsCalls) {
  std::atomic<bool> done{false};
  std::thread::id ran_on;
  int calls = 0;
  std::thread worker([&] {
    for (int i = 0; i < 3; ++i) {
      loop_.RunAndWait([&] {
        ran_on = std::this_thread::get_id();
        ++calls;
      });
    }
    done = true;
  });
  loop_.RunUntil([&] { return done.load(); });
  worker.join();
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(ran_on, std::this_thread::get_id());
}

TEST_F(QtMainLoopTest, TimersRepeatUntilStoppedFromTheirOwnCallback) {
  int ticks = 0;
  MainLoop::Id id = 0;
  id = loop_.StartTimer(1, [&] {
    if (++ticks == 3) loop_.StopTimer(id);
  });
  loop_.RunUntil([&] { return ticks >= 3; });
  QCoreApplication::processEvents();
  EXPECT_EQ(ticks, 3);
}

TEST_F(QtMainLoopTest, SocketReadinessAndUnwatchFromTheCallback) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  int reads = 0;
  MainLoop::Id id = 0;
  id = loop_.WatchFd(fds[0], MainLoop::kReadable, [&](unsigned events) {
    EXPECT_EQ(events, MainLoop::kReadable);
    char c;
    EXPECT_EQ(read(fds[0], &c, 1), 1);
    ++reads;
    loop_.UnwatchFd(id);
  });
  ASSERT_EQ(write(fds[1], "xy", 2), 2);
  loop_.RunUntil([&] { return reads > 0; });
  QCoreApplication::processEvents();
  EXPECT_EQ(reads, 1);  // no more calls once unwatched, though a byte still waits
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
}  // namespace qarn
