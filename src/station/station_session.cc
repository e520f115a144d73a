#include "station/station_session.h"

#include <cctype>

namespace qarn {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// "<ms> <hex bytes>" without its line end; empty when it is not one.
std::optional<SessionFrame> ParseLine(std::string_view line, std::string* why) {
  size_t i = 0;
  const auto skip_spaces = [&] {
    while (i < line.size() && IsSpace(line[i])) ++i;
  };
  skip_spaces();
  SessionFrame frame;
  const size_t digits_from = i;
  for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
    if (frame.at_ms > (INT64_MAX - 9) / 10) {
      *why = "the time is too large";
      return std::nullopt;
    }
    frame.at_ms = frame.at_ms * 10 + (line[i] - '0');
  }
  if (i == digits_from) {
    *why = "no time in milliseconds";
    return std::nullopt;
  }
  for (;;) {
    const size_t before = i;
    skip_spaces();
    if (i == line.size()) break;
    if (i == before || i + 1 >= line.size() || HexDigit(line[i]) < 0 || HexDigit(line[i + 1]) < 0 ||
        (i + 2 < line.size() && !IsSpace(line[i + 2]))) {
      *why = "not a byte in two hexadecimal digits at column " + std::to_string(i + 1);
      return std::nullopt;
    }
    frame.bytes.push_back(static_cast<uint8_t>(HexDigit(line[i]) * 16 + HexDigit(line[i + 1])));
    i += 2;
  }
  if (frame.bytes.empty()) {
    *why = "no bytes";
    return std::nullopt;
  }
  return frame;
}

}  // namespace

std::string FormatSessionLine(const SessionFrame& frame) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string line = std::to_string(frame.at_ms);
  for (const uint8_t b : frame.bytes) {
    line.push_back(' ');
    line.push_back(kHex[b >> 4]);
    line.push_back(kHex[b & 15]);
  }
  line.push_back('\n');
  return line;
}

std::optional<std::vector<SessionFrame>> ParseSession(std::string_view text, std::string* error) {
  std::vector<SessionFrame> frames;
  size_t number = 0;
  while (!text.empty()) {
    ++number;
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    size_t first = 0;
    while (first < line.size() && IsSpace(line[first])) ++first;
    if (first == line.size() || line[first] == '#') continue;
    std::string why;
    std::optional<SessionFrame> frame = ParseLine(line, &why);
    if (frame && !frames.empty() && frame->at_ms < frames.back().at_ms) {
      frame.reset();
      why = "the time goes back";
    }
    if (!frame) {
      if (error) *error = "line " + std::to_string(number) + ": " + why;
      return std::nullopt;
    }
    frames.push_back(std::move(*frame));
  }
  return frames;
}

}  // namespace qarn
