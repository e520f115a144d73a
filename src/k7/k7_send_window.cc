#include "k7/k7_send_window.h"

namespace qarn {

void K7SendWindow::Took(const K7Frame& unit, std::string file) {
  sent_ += unit.size();
  units_.push_back({sent_, {unit, std::move(file)}});
}

uint64_t K7SendWindow::AcknowledgedBytes(long unacknowledged) const {
  if (unacknowledged <= 0) return sent_;
  const uint64_t waiting = static_cast<uint64_t>(unacknowledged);
  return waiting >= sent_ ? 0 : sent_ - waiting;
}

std::vector<std::string> K7SendWindow::Acknowledged(long unacknowledged) {
  std::vector<std::string> files;
  if (unacknowledged < 0) return files;
  const uint64_t acked = AcknowledgedBytes(unacknowledged);
  while (!units_.empty() && units_.front().end <= acked) {
    if (!units_.front().sent.file.empty()) files.push_back(std::move(units_.front().sent.file));
    units_.pop_front();
  }
  return files;
}

std::vector<K7SendWindow::Sent> K7SendWindow::TakeUnacknowledged(long unacknowledged) {
  (void)Acknowledged(unacknowledged);  // delivered units the caller did not ask about
  std::vector<Sent> out;
  out.reserve(units_.size());
  for (Entry& e : units_) out.push_back(std::move(e.sent));
  units_.clear();
  sent_ = 0;
  return out;
}

}  // namespace qarn
