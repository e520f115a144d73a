#include "platform/qt_main_loop.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

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

TEST_F(QtMainLoopTest, CallsFromThreadsRunOnTheMainThreadInTheOrderEachThreadGaveThem) {
  constexpr int kThreads = 3;
  constexpr int kCalls = 200;
  std::vector<std::vector<int>> seen(kThreads);  // main thread only
  std::atomic<int> posted{0};
  bool all_on_main = true;
  const std::thread::id main = std::this_thread::get_id();
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        auto call = [&, t, i] {
          all_on_main = all_on_main && std::this_thread::get_id() == main;
          seen[t].push_back(i);
        };
        // Waiting calls and posted ones share one queue.
        if (i % 50 == 0) {
          loop_.RunAndWait(call);
        } else {
          loop_.Post(call);
        }
        ++posted;
      }
    });
  }
  const auto all_ran = [&] {
    size_t n = 0;
    for (const auto& s : seen) n += s.size();
    return n == size_t{kThreads * kCalls};
  };
  EXPECT_TRUE(RunLoopUntil(loop_, all_ran));
  for (auto& w : workers) w.join();
  EXPECT_TRUE(all_on_main);
  std::vector<int> in_order(kCalls);
  for (int i = 0; i < kCalls; ++i) in_order[i] = i;
  for (const auto& s : seen) EXPECT_EQ(s, in_order);
}

TEST_F(QtMainLoopTest, ACallWaitingInsideAnotherHandedOverCallIsStillServed) {
  // A handed-over call that itself waits in the loop for a thread (a close that stops a link)
  // must not hold back the calls that thread hands over meanwhile.
  bool inner_ran = false;
  bool outer_done = false;
  std::thread worker;
  loop_.Post([&] {
    worker = std::thread([&] { loop_.RunAndWait([&] { inner_ran = true; }); });
    outer_done = RunLoopUntil(loop_, [&] { return inner_ran; });
  });
  EXPECT_TRUE(RunLoopUntil(loop_, [&] { return outer_done; }));
  if (worker.joinable()) worker.join();
  EXPECT_TRUE(inner_ran);
}

TEST_F(QtMainLoopTest, ALoopDestroyedWithACallQueuedReleasesItsWaiter) {
  auto loop = std::make_unique<QtMainLoop>();
  std::atomic<bool> returned{false};
  bool ran = false;
  std::thread worker([&] {
    loop->RunAndWait([&] { ran = true; });
    returned = true;
  });
  // The call is queued once the loop has been woken for it; nothing runs it.
  while (!loop->HasQueuedCalls()) std::this_thread::yield();
  loop.reset();
  worker.join();
  EXPECT_TRUE(returned);
  EXPECT_FALSE(ran);
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

// A close ordered from a socket's callback stops that watch and a timer, then waits in a
// nested loop (as the K8 link's stop does): what the callback still holds stays alive until
// it returns. Under ASan an early deletion is a use after free.
TEST_F(QtMainLoopTest, AWatchAndATimerStoppedBeforeANestedLoopOutliveTheirCallback) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  const auto held = std::make_shared<std::vector<int>>(1000, 7);  // the callback's own state
  MainLoop::Id watch = 0, timer = 0;
  bool nested_ran = false, done = false;
  timer = loop_.StartTimer(100000, [] {});
  watch = loop_.WatchFd(fds[0], MainLoop::kReadable, [&, held](unsigned) {
    loop_.UnwatchFd(watch);
    loop_.StopTimer(timer);
    const MainLoop::Id tick = loop_.StartTimer(5, [&] { nested_ran = true; });
    loop_.RunUntil([&] { return nested_ran; });
    loop_.StopTimer(tick);
    EXPECT_EQ(held->at(999), 7);  // the lambda's capture is still there
    done = true;
  });
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  loop_.RunUntil([&] { return done; });
  QCoreApplication::processEvents();
  EXPECT_TRUE(nested_ran);
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
}  // namespace qarn
