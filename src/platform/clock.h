// Time sources: the 32-bit millisecond tick and the local wall clock.
#pragma once

#include <cstdint>
#include <string>

#include "base/tdatetime.h"

namespace qarn {

class Clock {
 public:
  virtual ~Clock() = default;

  // Milliseconds since an arbitrary start, wrapping at 2^32. Compare ticks only by their
  // unsigned difference.
  virtual uint32_t TickMs() const = 0;

  // Microseconds since an arbitrary start, for measuring short spans finer than the tick;
  // the tick's resolution where nothing finer is had (the tests' clocks).
  virtual uint64_t MonotonicUs() const { return uint64_t{TickMs()} * 1000; }

  // Local date and time to the millisecond.
  virtual CivilTime LocalNow() const = 0;

  // Sets the local clock. False, with a reason in `error`, when the system refuses.
  [[nodiscard]] virtual bool SetLocalTime(const CivilTime& t, std::string* error) = 0;

  TDateTime Now() const { return EncodeDateTime(LocalNow()); }
};

// The operating system's clocks; safe to use from any thread.
class SystemClock final : public Clock {
 public:
  uint32_t TickMs() const override;
  uint64_t MonotonicUs() const override;
  CivilTime LocalNow() const override;
  [[nodiscard]] bool SetLocalTime(const CivilTime& t, std::string* error) override;
};

}  // namespace qarn
