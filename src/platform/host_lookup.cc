#include "platform/host_lookup.h"

#include <mutex>
#include <thread>

#include "platform/tcp_socket.h"

namespace qarn {

// Shared by the main thread and the lookup thread: the resolver cannot be interrupted, so
// the thread runs detached and only hands its result over while the request still stands.
struct HostLookup::Request {
  std::mutex mutex;
  bool cancelled = false;
};

void HostLookup::Start(const std::string& host, Done done) {
  Cancel();
  auto request = std::make_shared<Request>();
  current_ = request;
  MainLoop* loop = &loop_;
  std::thread([request, loop, host, done = std::move(done), this]() mutable {
    const std::optional<uint32_t> address = ResolveIPv4(host);
    std::lock_guard lock(request->mutex);
    if (request->cancelled) return;
    loop->Post([request, address, done = std::move(done), this] {
      if (request->cancelled) return;
      current_.reset();
      done(address);
    });
  }).detach();
}

void HostLookup::Cancel() {
  if (!current_) return;
  std::lock_guard lock(current_->mutex);
  current_->cancelled = true;
  current_.reset();
}

}  // namespace qarn
