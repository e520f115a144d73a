#include "platform/qt_main_loop.h"

#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <condition_variable>

namespace qarn {

QtMainLoop::QtMainLoop() : main_thread_(std::this_thread::get_id()) {
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  WatchWakeFd();
}

QtMainLoop::~QtMainLoop() {
  wake_watch_.reset();
  std::deque<Callback> dropped;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(calls_);
  }
  dropped.clear();  // outside the lock: a dropped RunAndWait call releases its caller
  if (wake_fd_ >= 0) close(wake_fd_);
}

void QtMainLoop::WatchWakeFd() {
  // A notifier made before the application would never fire; the first timer, watch or run
  // of the loop makes it then. A wake written meanwhile waits in the eventfd.
  if (wake_watch_ || wake_fd_ < 0 || !QCoreApplication::instance()) return;
  wake_watch_ = std::make_unique<QSocketNotifier>(wake_fd_, QSocketNotifier::Read);
  QObject::connect(wake_watch_.get(), &QSocketNotifier::activated, &context_,
                   [this] { RunHandedOver(); });
}

void QtMainLoop::Wake() {
  if (wake_fd_ < 0) {
    // No eventfd to be had: Qt's own queue carries the wake-up.
    QMetaObject::invokeMethod(
        &context_, [this] { RunHandedOver(); }, Qt::QueuedConnection);
    return;
  }
  const uint64_t one = 1;
  while (write(wake_fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void QtMainLoop::RunHandedOver() {
  uint64_t count;
  while (read(wake_fd_, &count, sizeof count) < 0 && errno == EINTR) {
  }
  for (;;) {
    Callback fn;
    {
      std::lock_guard lock(mutex_);
      if (calls_.empty()) return;
      fn = std::move(calls_.front());
      calls_.pop_front();
    }
    fn();
  }
}

MainLoop::Id QtMainLoop::StartTimer(int interval_ms, Callback fn) {
  WatchWakeFd();
  auto timer = std::make_unique<QTimer>(&context_);
  timer->setInterval(interval_ms);
  timer->setTimerType(Qt::PreciseTimer);
  QObject::connect(timer.get(), &QTimer::timeout, &context_, std::move(fn));
  timer->start();
  const Id id = next_id_++;
  timers_[id] = std::move(timer);
  return id;
}

void QtMainLoop::StopTimer(Id id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  it->second->stop();
  // The timer may be the one whose callback is running now: deleted once the loop is back at
  // this level (a nested loop meanwhile does not delete it).
  it->second.release()->deleteLater();
  timers_.erase(it);
}

MainLoop::Id QtMainLoop::WatchFd(int fd, unsigned events, std::function<void(unsigned)> fn) {
  WatchWakeFd();
  auto watch = std::make_unique<Watch>();
  // Shared by the two connections: a call running while the watch goes keeps it.
  const auto shared = std::make_shared<std::function<void(unsigned)>>(std::move(fn));
  watch->read = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read, &context_);
  watch->write = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write, &context_);
  QObject::connect(watch->read.get(), &QSocketNotifier::activated, &context_,
                   [shared] { (*shared)(kReadable); });
  QObject::connect(watch->write.get(), &QSocketNotifier::activated, &context_,
                   [shared] { (*shared)(kWritable); });
  watch->read->setEnabled(events & kReadable);
  watch->write->setEnabled(events & kWritable);
  const Id id = next_id_++;
  watches_[id] = std::move(watch);
  return id;
}

void QtMainLoop::SetFdEvents(Id id, unsigned events) {
  auto it = watches_.find(id);
  if (it == watches_.end()) return;
  it->second->read->setEnabled(events & kReadable);
  it->second->write->setEnabled(events & kWritable);
}

void QtMainLoop::UnwatchFd(Id id) {
  auto it = watches_.find(id);
  if (it == watches_.end()) return;
  // The callback running now may be this watch's own: its notifiers are deleted once the loop
  // is back at this level.
  for (std::unique_ptr<QSocketNotifier>* notifier : {&it->second->read, &it->second->write}) {
    (*notifier)->setEnabled(false);
    QObject::disconnect(notifier->get(), nullptr, &context_, nullptr);
    notifier->release()->deleteLater();
  }
  watches_.erase(it);
}

void QtMainLoop::RunAndWait(Callback fn) {
  if (std::this_thread::get_id() == main_thread_) {
    fn();
    return;
  }
  struct Waiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool over = false;
  };
  auto waiter = std::make_shared<Waiter>();
  // Released when the call has run, or when the loop drops it unrun.
  std::shared_ptr<void> release(nullptr, [waiter](void*) {
    std::lock_guard lock(waiter->mutex);
    waiter->over = true;
    waiter->cv.notify_all();
  });
  Post([fn = std::move(fn), release = std::move(release)]() mutable {
    fn();
    release.reset();
  });
  std::unique_lock lock(waiter->mutex);
  waiter->cv.wait(lock, [&] { return waiter->over; });
}

void QtMainLoop::Post(Callback fn) {
  // The wake-up too is under the lock: once a call is seen queued, its poster is done with
  // the loop, which may then go.
  std::lock_guard lock(mutex_);
  if (closed_) return;
  // A queue that was not empty has a wake on its way, or the main thread is running it.
  if (calls_.empty()) Wake();
  calls_.push_back(std::move(fn));
}

bool QtMainLoop::HasQueuedCalls() {
  std::lock_guard lock(mutex_);
  return !calls_.empty();
}

void QtMainLoop::RunUntil(const std::function<bool()>& done) {
  WatchWakeFd();
  if (done()) return;
  QEventLoop loop;
  QTimer check;
  check.setInterval(10);
  QObject::connect(&check, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  check.start();
  loop.exec();
}

void QtMainLoop::Quit(int exit_code) { QCoreApplication::exit(exit_code); }

}  // namespace qarn
