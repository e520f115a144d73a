#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include "platform/journal.h"

namespace qarn {
namespace {

class SystemdJournal final : public Journal {
 public:
  void Send(const JournalEntry& entry) override {
    std::vector<std::string> items;
    items.reserve(entry.fields.size() + 4);
    items.push_back("MESSAGE=" + entry.message);
    items.push_back(std::string("MESSAGE_ID=") + JournalKindOf(entry.kind).message_id);
    items.push_back("PRIORITY=" + std::to_string(entry.priority));
    items.push_back("SYSLOG_IDENTIFIER=qarn-driver");
    for (const auto& [name, value] : entry.fields) items.push_back(name + "=" + value);
    std::vector<iovec> iov;
    iov.reserve(items.size());
    for (std::string& item : items) iov.push_back({item.data(), item.size()});
    // A journal that does not take the entry cannot be told so anywhere better.
    (void)sd_journal_sendv(iov.data(), static_cast<int>(iov.size()));
  }
};

}  // namespace

std::unique_ptr<Journal> MakeSystemdJournal() { return std::make_unique<SystemdJournal>(); }

}  // namespace qarn
