// TDateTime: days since 30 December 1899 00:00 local time, the fraction being the time of
// day. This is the time value of the driver's records and of both server links.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qarn {

using TDateTime = double;

inline constexpr double kMsPerDay = 86400000.0;
inline constexpr double kSecond = 1.0 / 86400.0;

// A calendar date and time to the millisecond, without a time zone.
struct CivilTime {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;

  bool operator==(const CivilTime&) const = default;
};

// Whether the fields form a real date (years 1..9999) and time of day.
bool IsValid(const CivilTime& t);

// Calendar value to TDateTime. The caller passes a valid value.
TDateTime EncodeDateTime(const CivilTime& t);

// TDateTime to calendar value, rounded to the millisecond. Negative values count days
// backwards while their fraction is still the time of day. Empty for values outside years
// 1..9999 and for NaN or infinity.
std::optional<CivilTime> DecodeDateTime(TDateTime t);

// "HH:MM:SS" (hours 0..23) as a duration in days; empty when the text is not such a time.
// Also accepts "H:MM", "H:MM:SS.zzz" as a time-of-day editor would.
std::optional<TDateTime> ParseTimeOfDay(const std::string& text);

// The driver's default date-time text: "dd.MM.yyyy HH:mm:ss", the time left out at exactly
// midnight.
std::string FormatDefaultDateTime(const CivilTime& t);

// "HH:MM:SS.zzz".
std::string FormatTimeWithMs(const CivilTime& t);

// ISO 8601 to the millisecond: "yyyy-MM-ddTHH:mm:ss.zzz".
std::string FormatIso(const CivilTime& t);

}  // namespace qarn
