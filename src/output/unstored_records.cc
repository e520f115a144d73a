#include "output/unstored_records.h"

#include "platform/diag.h"

namespace qarn {

void UnstoredRecords::Hold(SpoolKind kind, ByteView content, int32_t type) {
  const uint32_t now = clock_.TickMs();
  if (held_.empty()) {
    failing_since_ = clock_.Now();
    last_try_tick_ = now;
  }
  if (held_.size() >= kCapacity) {
    // Beyond the bound memory cannot help: counted and reported, never silent. The first
    // loss is told at once, later ones by the count in the minute's report.
    if (lost_++ == lost_reported_) {
      DiagState(JournalKind::kMemoryOverflowing, kDiagError,
                "a record is lost: " + std::to_string(kCapacity) +
                    " records already wait in memory for the disk",
                {{"QARN_REASON", "the memory hold is full"}});
    }
    return;
  }
  held_.push_back({kind, type, Bytes(content.begin(), content.end()), clock_.Now()});
  if (held_.size() == 1) Report();
}

bool UnstoredRecords::Store(const Record& r) {
  if (r.kind == SpoolKind::kK8) return spool_.WriteK8(r.type, r.content, r.time).has_value();
  if (r.content.size() != kK7FrameSize) return true;  // cannot happen: made from a frame
  K7Frame frame;
  std::copy(r.content.begin(), r.content.end(), frame.begin());
  return spool_.WriteK7(frame, r.time).has_value();
}

void UnstoredRecords::StoreAll() {
  last_try_tick_ = clock_.TickMs();
  const size_t before = held_.size();
  while (!held_.empty() && Store(held_.front())) held_.pop_front();
  if (before > 0 && held_.empty()) {
    DiagError("the disk takes spool files again: " + std::to_string(before) +
              " records kept in memory are stored");
  }
}

void UnstoredRecords::Tick(K7Channel* k7) {
  if (held_.empty()) return;
  if (k7 && k7->Connected()) {
    for (Record& r : held_) {
      if (r.kind != SpoolKind::kK7 || r.sent) continue;
      if (k7->SendUnit(r.content, std::string()) != r.content.size()) break;  // not now
      r.sent = true;
    }
  }
  const uint32_t now = clock_.TickMs();
  if (!held_.empty() && now - last_try_tick_ >= retry_ms_) StoreAll();
  if (!held_.empty() && now - last_report_tick_ >= kReportMs) Report();
}

std::string UnstoredRecords::StatusText() const {
  if (held_.empty()) return std::string();
  const auto since = DecodeDateTime(failing_since_);
  std::string text = std::to_string(held_.size()) +
                     " records waiting in memory, store failing since " +
                     (since ? FormatIso(*since) : std::string("?"));
  if (lost_ > 0) text += ", " + std::to_string(lost_) + " records lost";
  return text;
}

void UnstoredRecords::Report() {
  last_report_tick_ = clock_.TickMs();
  lost_reported_ = lost_;
  DiagError(StatusText());
}

}  // namespace qarn
