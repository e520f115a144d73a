// Recorded station sessions as any text, the file the station simulator plays: a recording
// that reads gives frames in time order, none empty, and written back line by line it reads
// the same; one that does not read says which line and why. Frames of any bytes and times
// written as a recording read back as they were.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "station/station_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qarn;
  FuzzedDataProvider in(data, size);

  // Frames made up, written, read back.
  std::vector<SessionFrame> made;
  std::string written;
  int64_t at_ms = 0;
  for (size_t n = in.ConsumeIntegralInRange<size_t>(0, 8); n > 0; --n) {
    at_ms += in.ConsumeIntegralInRange<int64_t>(0, INT64_MAX / 16);
    SessionFrame frame{at_ms, in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(1, 64))};
    if (frame.bytes.empty()) break;
    written += FormatSessionLine(frame);
    made.push_back(std::move(frame));
  }
  std::string error;
  const auto back = ParseSession(written, &error);
  FUZZ_CHECK(back && *back == made);

  // Any text.
  const std::string text = in.ConsumeRemainingBytesAsString();
  error.clear();
  const auto frames = ParseSession(text, &error);
  if (!frames) {
    FUZZ_CHECK(error.rfind("line ", 0) == 0);
    const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    FUZZ_CHECK(std::stoul(error.substr(5)) - 1 < lines);
    return 0;
  }
  std::string again;
  for (size_t i = 0; i < frames->size(); ++i) {
    const SessionFrame& f = (*frames)[i];
    FUZZ_CHECK(!f.bytes.empty() && f.at_ms >= 0);
    FUZZ_CHECK(i == 0 || f.at_ms >= (*frames)[i - 1].at_ms);
    again += FormatSessionLine(f);
  }
  const auto reread = ParseSession(again, &error);
  FUZZ_CHECK(reread && *reread == *frames);
  return 0;
}
