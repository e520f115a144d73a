#include "platform/qt_main_loop.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

namespace qarn {

QtMainLoop::QtMainLoop() : main_thread_(std::this_thread::get_id()) {}

QtMainLoop::~QtMainLoop() = default;

MainLoop::Id QtMainLoop::StartTimer(int interval_ms, Callback fn) {
  auto timer = std::make_unique<QTimer>();
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
  // The timer may be the one whose callback is running now.
  it->second.release()->deleteLater();
  timers_.erase(it);
}

MainLoop::Id QtMainLoop::WatchFd(int fd, unsigned events, std::function<void(unsigned)> fn) {
  auto watch = std::make_unique<Watch>();
  watch->fn = std::move(fn);
  Watch* w = watch.get();
  watch->read = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  watch->write = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
  QObject::connect(watch->read.get(), &QSocketNotifier::activated, &context_,
                   [w] { w->fn(kReadable); });
  QObject::connect(watch->write.get(), &QSocketNotifier::activated, &context_,
                   [w] { w->fn(kWritable); });
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
  // The callback running now may be this watch's own: free it once the loop is back.
  Watch* w = it->second.release();
  watches_.erase(it);
  w->read->setEnabled(false);
  w->write->setEnabled(false);
  QObject::disconnect(w->read.get(), nullptr, &context_, nullptr);
  QObject::disconnect(w->write.get(), nullptr, &context_, nullptr);
  QMetaObject::invokeMethod(
      &context_, [w] { delete w; }, Qt::QueuedConnection);
}

void QtMainLoop::RunAndWait(Callback fn) {
  if (std::this_thread::get_id() == main_thread_) {
    fn();
    return;
  }
  QMetaObject::invokeMethod(&context_, std::move(fn), Qt::BlockingQueuedConnection);
}

void QtMainLoop::Post(Callback fn) {
  QMetaObject::invokeMethod(&context_, std::move(fn), Qt::QueuedConnection);
}

void QtMainLoop::RunUntil(const std::function<bool()>& done) {
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
