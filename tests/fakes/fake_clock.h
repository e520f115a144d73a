// A clock for tests: tick and local time are set by the test, and SetLocalTime only records
// what it was asked (a test never sets the real clock).
#pragma once

#include <string>
#include <vector>

#include "platform/clock.h"

namespace qarn {

class FakeClock final : public Clock {
 public:
  uint32_t TickMs() const override { return tick_ms; }
  CivilTime LocalNow() const override { return local_now; }
  bool SetLocalTime(const CivilTime& t, std::string* error) override {
    set_local_time_calls.push_back(t);
    if (!refuse) return true;
    if (error) *error = "refused by the test";
    return false;
  }

  uint32_t tick_ms = 0;
  CivilTime local_now{2026, 1, 15, 10, 0, 0, 0};
  bool refuse = false;
  std::vector<CivilTime> set_local_time_calls;
};

}  // namespace qarn
