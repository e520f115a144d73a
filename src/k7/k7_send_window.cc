#include "k7/k7_send_window.h"

namespace qarn {

void K7SendWindow::Took(const K7Frame& unit) {
  sent_ += unit.size();
  units_.push_back({sent_, unit});
}

uint64_t K7SendWindow::AcknowledgedBytes(long unacknowledged) const {
  if (unacknowledged <= 0) return sent_;
  const uint64_t waiting = static_cast<uint64_t>(unacknowledged);
  return waiting >= sent_ ? 0 : sent_ - waiting;
}

void K7SendWindow::Acknowledged(long unacknowledged) {
  if (unacknowledged < 0) return;
  const uint64_t acked = AcknowledgedBytes(unacknowledged);
  while (!units_.empty() && units_.front().end <= acked) units_.pop_front();
}

std::vector<K7Frame> K7SendWindow::TakeUnacknowledged(long unacknowledged) {
  Acknowledged(unacknowledged);
  std::vector<K7Frame> out;
  out.reserve(units_.size());
  for (const Entry& e : units_) out.push_back(e.unit);
  units_.clear();
  sent_ = 0;
  return out;
}

}  // namespace qarn
