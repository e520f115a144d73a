#include "output/time_stamp.h"

#include <cstdio>

namespace qarn {

std::optional<uint32_t> TimeStampValue(TDateTime t) {
  const auto c = DecodeDateTime(t);
  if (!c) return std::nullopt;
  const uint64_t v =
      ((static_cast<uint64_t>(c->day) * 86400 + c->hour * 3600 + c->minute * 60 + c->second) *
           1000 +
       c->millisecond);
  return static_cast<uint32_t>(v);
}

std::string TimeStampText(uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%X", value);
  return buf;
}

std::string MakeTimeStampText(TDateTime t) {
  const auto v = TimeStampValue(t);
  return v ? TimeStampText(*v) : std::string();
}

}  // namespace qarn
