// The station simulator reading the driver's answers: however the bytes are split, the same
// answers and skipped bytes come out, in the stream's order, and together with the
// incomplete rest they are exactly the bytes read.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <utility>
#include <vector>

#include "answer_text.h"
#include "fuzz/fuzz_check.h"
#include "station/station_frame_reader.h"
#include "station/station_frames.h"

namespace {

using Pieces = std::vector<std::pair<qarn::StationFrameReader::Item, qarn::Bytes>>;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qarn;
  FuzzedDataProvider in(data, size);
  std::vector<size_t> cuts;
  const size_t count = in.ConsumeIntegralInRange<size_t>(0, 8);
  for (size_t i = 0; i < count; ++i) cuts.push_back(in.ConsumeIntegralInRange<size_t>(1, 300));
  const Bytes stream = in.ConsumeRemainingBytes<uint8_t>();

  auto collect = [](Pieces* out) {
    return [out](StationFrameReader::Item piece, ByteView b) {
      out->emplace_back(piece, Bytes(b.begin(), b.end()));
    };
  };
  StationFrameReader whole_reader, split_reader;
  Pieces whole, split;
  whole_reader.Feed(stream, collect(&whole));
  for (size_t at = 0, i = 0; at < stream.size(); ++i) {
    const size_t n =
        cuts.empty() ? stream.size() : std::min(cuts[i % cuts.size()], stream.size() - at);
    split_reader.Feed(ByteView(stream).subspan(at, n), collect(&split));
    at += n;
  }
  FUZZ_CHECK(whole == split);
  FUZZ_CHECK(whole_reader.pending() == split_reader.pending() && whole_reader.pending() < 256);

  Bytes joined;
  for (const auto& [piece, bytes] : whole) {
    if (piece == StationFrameReader::Item::kFrame) {
      FUZZ_CHECK(IsWellFormedFrame(bytes));
      (void)DescribeAnswer(bytes);
    } else {
      FUZZ_CHECK(bytes.size() == 1);
    }
    joined.insert(joined.end(), bytes.begin(), bytes.end());
  }
  FUZZ_CHECK(joined.size() + whole_reader.pending() == stream.size());
  FUZZ_CHECK(std::equal(joined.begin(), joined.end(), stream.begin()));
  return 0;
}
