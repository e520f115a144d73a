#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/clock.h"

namespace qarn {

uint32_t SystemClock::TickMs() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

uint64_t SystemClock::MonotonicUs() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

CivilTime SystemClock::LocalNow() const {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  CivilTime t;
  t.year = local.tm_year + 1900;
  t.month = local.tm_mon + 1;
  t.day = local.tm_mday;
  t.hour = local.tm_hour;
  t.minute = local.tm_min;
  t.second = local.tm_sec > 59 ? 59 : local.tm_sec;  // a leap second stays in its minute
  t.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
  return t;
}

bool SystemClock::SetLocalTime(const CivilTime& t, std::string* error) {
  if (!IsValid(t)) {
    if (error) *error = "invalid date or time";
    return false;
  }
  tm local{};
  local.tm_year = t.year - 1900;
  local.tm_mon = t.month - 1;
  local.tm_mday = t.day;
  local.tm_hour = t.hour;
  local.tm_min = t.minute;
  local.tm_sec = t.second;
  local.tm_isdst = -1;
  const time_t secs = mktime(&local);
  if (secs == static_cast<time_t>(-1)) {
    if (error) *error = "time not representable";
    return false;
  }
  timespec ts{secs, static_cast<long>(t.millisecond) * 1000000L};
  if (clock_settime(CLOCK_REALTIME, &ts) != 0) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace qarn
