// The station simulator's side of the line: cuts the driver's answers out of the bytes read
// back, however they are split, and says what each one is.
#pragma once

#include <algorithm>
#include <array>
#include <functional>
#include <string>

#include "platform/file_system.h"

namespace qarn {

enum class AnswerPiece {
  kAnswer,       // a whole frame whose checksum holds
  kStrayByte,    // a byte that cannot start a frame (a length below 2)
  kBadChecksum,  // the first byte of a frame whose checksum fails; the search goes on after it
};

class AnswerReader {
 public:
  using Sink = std::function<void(AnswerPiece, ByteView)>;

  // Takes the bytes read and hands every whole answer and every skipped byte to `sink`, in
  // the order of the stream.
  void Feed(ByteView bytes, const Sink& sink);
  // Bytes of an answer still incomplete.
  size_t pending() const { return rx_.size(); }

 private:
  Bytes rx_;
};

template <size_t N>
bool IsFrame(ByteView frame, const std::array<uint8_t, N>& fixed) {
  return frame.size() == N && std::equal(fixed.begin(), fixed.end(), frame.begin());
}

// "acknowledgement", "clock 15.09.10 14:05, retranslators 1,2", ...
std::string DescribeAnswer(ByteView frame);

}  // namespace qarn
