#include "answer_reader.h"

#include <cstdio>

#include "station/station_frames.h"

namespace qarn {

void AnswerReader::Feed(ByteView bytes, const Sink& sink) {
  rx_.insert(rx_.end(), bytes.begin(), bytes.end());
  // One pass over the bytes with an offset: skipping junk byte by byte costs no copying.
  size_t at = 0;
  while (at < rx_.size()) {
    const size_t length = static_cast<size_t>(rx_[at]) + 1;
    if (length < 3) {
      sink(AnswerPiece::kStrayByte, ByteView(&rx_[at], 1));
      ++at;
      continue;
    }
    if (rx_.size() - at < length) break;
    const ByteView frame(&rx_[at], length);
    if (!IsWellFormedFrame(frame)) {
      sink(AnswerPiece::kBadChecksum, frame.first(1));
      ++at;
      continue;
    }
    sink(AnswerPiece::kAnswer, frame);
    at += length;
  }
  rx_.erase(rx_.begin(), rx_.begin() + static_cast<long>(at));
}

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
