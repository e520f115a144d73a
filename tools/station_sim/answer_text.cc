#include "answer_text.h"

#include <cstdio>

#include "station/station_frames.h"

namespace qarn {

std::string DescribeAnswer(ByteView frame) {
  if (IsFrame(frame, kAckFrame)) return "acknowledgement";
  if (IsFrame(frame, kNothingToSendFrame)) return "nothing to send";
  if (IsFrame(frame, kRetQueryFrame)) return "retranslator query";
  if (auto clock = ParseClockFrame(frame)) {
    char text[64];
    std::snprintf(text, sizeof text, "clock %02d.%02d.%02d %02d:%02d, retranslators", clock->day,
                  clock->month, clock->year2, clock->hour, clock->minute);
    std::string out = text;
    bool any = false;
    for (int i = 1; i <= 32; ++i) {
      if (!clock->retranslators.test(i)) continue;
      out += (any ? "," : " ") + std::to_string(i);
      any = true;
    }
    return any ? out : out + " none";
  }
  char text[48];
  std::snprintf(text, sizeof text, "unknown frame, command %02X", frame.size() > 1 ? frame[1] : 0);
  return text;
}

}  // namespace qarn
