// A clock that tests move by hand.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/clock.h"

namespace qarn::testing {

class FakeClock final : public Clock {
 public:
  explicit FakeClock(CivilTime now = {2010, 9, 15, 14, 5, 7, 123}) : now_(now) {}

  uint32_t TickMs() const override { return tick_.load(); }
  CivilTime LocalNow() const override {
    std::lock_guard lock(mutex_);
    return now_;
  }
  bool SetLocalTime(const CivilTime& t, std::string*) override {
    std::lock_guard lock(mutex_);
    set_calls_.push_back(t);
    return true;
  }

  void SetTick(uint32_t tick) { tick_.store(tick); }
  // Moves the tick only, as when the wall clock is not looked at.
  void AdvanceTick(uint32_t ms) { tick_.fetch_add(ms); }
  void SetNow(const CivilTime& t) {
    std::lock_guard lock(mutex_);
    now_ = t;
  }
  // Moves both the tick and the wall clock.
  void AdvanceMs(int64_t ms) {
    tick_.fetch_add(static_cast<uint32_t>(ms));
    std::lock_guard lock(mutex_);
    now_ = *DecodeDateTime(EncodeDateTime(now_) + static_cast<double>(ms) / kMsPerDay);
  }
  std::vector<CivilTime> set_calls() const {
    std::lock_guard lock(mutex_);
    return set_calls_;
  }

 private:
  std::atomic<uint32_t> tick_{1000};
  mutable std::mutex mutex_;
  CivilTime now_;
  std::vector<CivilTime> set_calls_;
};

}  // namespace qarn::testing
