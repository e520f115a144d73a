#include "base/tdatetime.h"

#include <cmath>
#include <cstdio>

namespace qarn {
namespace {

// Days from 1970-01-01 for a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int* y, int* m, int* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (*m <= 2));
}

// TDateTime day 0 is 1899-12-30, which is day -25569 of the Unix calendar.
constexpr int64_t kEpochOffsetDays = 25569;

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

}  // namespace

bool IsValid(const CivilTime& t) {
  return t.year >= 1 && t.year <= 9999 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
         t.day <= DaysInMonth(t.year, t.month) && t.hour >= 0 && t.hour < 24 && t.minute >= 0 &&
         t.minute < 60 && t.second >= 0 && t.second < 60 && t.millisecond >= 0 &&
         t.millisecond < 1000;
}

TDateTime EncodeDateTime(const CivilTime& t) {
  const int64_t days =
      DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) +
      kEpochOffsetDays;
  const double time =
      (((t.hour * 60.0 + t.minute) * 60.0 + t.second) * 1000.0 + t.millisecond) / kMsPerDay;
  // Before the epoch the fraction still counts forwards from midnight.
  return days >= 0 ? static_cast<double>(days) + time : static_cast<double>(days) - time;
}

std::optional<CivilTime> DecodeDateTime(TDateTime t) {
  if (!std::isfinite(t) || std::fabs(t) > 3.0e6) return std::nullopt;
  int64_t days = static_cast<int64_t>(std::trunc(t));
  int64_t ms = std::llround(std::fabs(t - std::trunc(t)) * kMsPerDay);
  if (ms >= static_cast<int64_t>(kMsPerDay)) {
    ms -= static_cast<int64_t>(kMsPerDay);
    days += t >= 0 ? 1 : -1;
  }
  CivilTime c;
  CivilFromDays(days - kEpochOffsetDays, &c.year, &c.month, &c.day);
  c.millisecond = static_cast<int>(ms % 1000);
  c.second = static_cast<int>(ms / 1000 % 60);
  c.minute = static_cast<int>(ms / 60000 % 60);
  c.hour = static_cast<int>(ms / 3600000);
  if (c.year < 1 || c.year > 9999) return std::nullopt;
  return c;
}

std::optional<TDateTime> ParseTimeOfDay(const std::string& text) {
  int part[4] = {0, 0, 0, 0};
  int count = 0;
  size_t i = 0;
  while (true) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
    int value = 0;
    int digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (++digits > 4) return std::nullopt;
      value = value * 10 + (text[i++] - '0');
    }
    part[count++] = value;
    if (i == text.size()) break;
    const char sep = text[i++];
    if (count < 3 && sep == ':') continue;
    if (count == 3 && sep == '.') continue;
    return std::nullopt;
  }
  if (count < 2) return std::nullopt;
  const int hour = part[0], minute = part[1], second = part[2], ms = part[3];
  if (hour > 23 || minute > 59 || second > 59 || ms > 999) return std::nullopt;
  return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + ms) / kMsPerDay;
}

std::string FormatDefaultDateTime(const CivilTime& t) {
  char buf[48];
  if (t.hour == 0 && t.minute == 0 && t.second == 0 && t.millisecond == 0) {
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", t.day, t.month, t.year);
  } else {
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d:%02d", t.day, t.month, t.year, t.hour,
                  t.minute, t.second);
  }
  return buf;
}

std::string FormatTimeWithMs(const CivilTime& t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", t.hour, t.minute, t.second, t.millisecond);
  return buf;
}

std::string FormatIso(const CivilTime& t) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond);
  return buf;
}

}  // namespace qarn
