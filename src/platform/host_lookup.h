// A name lookup that runs on its own thread, so that a slow resolver never holds up the main
// loop; the result comes back on the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/main_loop.h"

namespace qarn {

class HostLookup {
 public:
  using Done = std::function<void(std::optional<uint32_t> address)>;

  explicit HostLookup(MainLoop& loop) : loop_(loop) {}
  ~HostLookup() { Cancel(); }

  HostLookup(const HostLookup&) = delete;
  HostLookup& operator=(const HostLookup&) = delete;

  // Looks `host` up and calls `done` on the main thread, unless cancelled first. A lookup
  // already running is cancelled.
  void Start(const std::string& host, Done done);
  // The pending lookup's `done` is never called. Does not wait for the resolver.
  void Cancel();
  bool pending() const { return static_cast<bool>(current_); }

 private:
  struct Request;
  MainLoop& loop_;
  std::shared_ptr<Request> current_;
};

}  // namespace qarn
