// A clock whose tick and local time the test sets.
#pragma once

#include "platform/clock.h"

namespace qarn {

class FakeClock final : public Clock {
 public:
  uint32_t TickMs() const override { return tick_; }
  CivilTime LocalNow() const override { return local_; }
  bool SetLocalTime(const CivilTime& t, std::string*) override {
    local_ = t;
    return true;
  }

  void SetTick(uint32_t tick) { tick_ = tick; }
  void AdvanceTick(uint32_t ms) { tick_ += ms; }
  void SetLocal(const CivilTime& t) { local_ = t; }

 private:
  uint32_t tick_ = 0;
  CivilTime local_{2010, 9, 15, 14, 5, 0, 0};
};

}  // namespace qarn
