// K7 batches split anywhere: the units cut from them are the same however the bytes come,
// and every unit the server may send (and the simulator prints) is decoded without harm.
// The simulator's time commands read back what they print.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <vector>

#include "base/tdatetime.h"
#include "fuzz/fuzz_check.h"
#include "k7/k7_exchange.h"
#include "k7_side.h"

namespace qarn {
namespace {}  // namespace
}  // namespace qarn

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qarn;
  FuzzedDataProvider in(data, size);
  const std::string time_text = in.ConsumeRandomLengthString(32);
  if (const auto t = ParseIsoTime(time_text)) {
    const auto decoded = DecodeDateTime(EncodeDateTime(*t));
    FUZZ_CHECK(decoded && *decoded == *t);
    const auto again = ParseIsoTime(FormatIso(*t));
    FUZZ_CHECK(again && *again == *t);
  }

  // Split points, then the stream; short inputs are repeated up to a few units.
  std::vector<size_t> pieces;
  const size_t count = in.ConsumeIntegralInRange<size_t>(0, 16);
  for (size_t i = 0; i < count; ++i) pieces.push_back(in.ConsumeIntegralInRange<size_t>(1, 700));
  const Bytes tail = in.ConsumeRemainingBytes<uint8_t>();
  Bytes stream;
  while (!tail.empty() && stream.size() < 3 * kK7FrameSize) {
    stream.insert(stream.end(), tail.begin(), tail.end());
  }

  K7UnitBuffer whole, split;
  whole.Append(stream);
  std::vector<K7Frame> expected, got;
  while (auto unit = whole.Next()) expected.push_back(*unit);
  size_t at = 0;
  for (size_t i = 0; at < stream.size(); ++i) {
    const size_t n =
        std::min(stream.size() - at, pieces.empty() ? stream.size() : pieces[i % pieces.size()]);
    split.Append(ByteView(stream).subspan(at, n));
    split.Append(ByteView());
    at += n;
    while (auto unit = split.Next()) got.push_back(*unit);
    if (pieces.empty()) break;
  }
  FUZZ_CHECK(expected.size() == stream.size() / kK7FrameSize);
  FUZZ_CHECK(got == expected);
  FUZZ_CHECK(split.size() == stream.size() % kK7FrameSize && whole.size() == split.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    FUZZ_CHECK(
        std::equal(expected[i].begin(), expected[i].end(), stream.begin() + i * kK7FrameSize));
    (void)DescribeK7Unit(expected[i]);
    if (const auto time = DecodeDateTime(K7FrameTime(expected[i]))) (void)FormatIso(*time);
  }
  return 0;
}
