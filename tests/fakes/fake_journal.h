// A journal in memory: while it lives, the driver's structured entries come here, as they
// would be handed to journald, instead of to standard error.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/diag.h"
#include "platform/journal.h"

namespace qarn::testing {

class FakeJournal final : public Journal {
 public:
  FakeJournal() { SetJournal(this); }
  ~FakeJournal() override { SetJournal(nullptr); }
  FakeJournal(const FakeJournal&) = delete;
  FakeJournal& operator=(const FakeJournal&) = delete;

  void Send(const JournalEntry& entry) override {
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
  }
  std::vector<JournalEntry> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  std::vector<JournalEntry> OfKind(JournalKind kind) const {
    std::vector<JournalEntry> out;
    for (const JournalEntry& e : entries())
      if (e.kind == kind) out.push_back(e);
    return out;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
  }

  // The value of field `name`, when the entry has it.
  static std::optional<std::string> Field(const JournalEntry& e, const std::string& name) {
    for (const auto& [n, v] : e.fields)
      if (n == name) return v;
    return std::nullopt;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<JournalEntry> entries_;
};

}  // namespace qarn::testing
