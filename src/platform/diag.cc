#include "platform/diag.h"

#include <cstdio>
#include <mutex>

namespace qarn {
namespace {

std::mutex& DiagMutex() {
  static std::mutex m;
  return m;
}

DiagSink& Sink() {
  static DiagSink sink;
  return sink;
}

void Write(bool is_error, const std::string& line) {
  std::lock_guard lock(DiagMutex());
  if (Sink()) {
    Sink()(is_error, line);
    return;
  }
  FILE* f = is_error ? stderr : stdout;
  std::fwrite(line.data(), 1, line.size(), f);
  std::fputc('\n', f);
  std::fflush(f);
}

}  // namespace

void DiagError(const std::string& line) { Write(true, line); }
void DiagOutput(const std::string& line) { Write(false, line); }

void SetDiagSink(DiagSink sink) {
  std::lock_guard lock(DiagMutex());
  Sink() = std::move(sink);
}

std::string HexDump(std::span<const uint8_t> bytes, size_t max_bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  const size_t n = bytes.size() < max_bytes ? bytes.size() : max_bytes;
  out.reserve(n * 3 + 4);
  for (size_t i = 0; i < n; ++i) {
    if (i) out.push_back(' ');
    out.push_back(kHex[bytes[i] >> 4]);
    out.push_back(kHex[bytes[i] & 15]);
  }
  if (n < bytes.size()) out += " ...";
  return out;
}

void FailureReporter::Failed(const std::string& detail) {
  if (failing_) return;
  failing_ = true;
  DiagError(what_ + ": " + detail);
}

void FailureReporter::Succeeded(const char* recovered) {
  if (!failing_) return;
  failing_ = false;
  if (recovered) DiagError(what_ + ": " + recovered);
}

}  // namespace qarn
