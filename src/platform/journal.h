// Structured entries for the systemd journal: each change of the driver's state, and each step
// of a station event's road, is one entry with a MESSAGE_ID of its kind and QARN_* fields, so
// that `journalctl QARN_OBJECT=1234` shows one event's road and `journalctl -x` explains each
// change from the catalog the package ships (packaging/qarn-driver.catalog).
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qarn {

enum class JournalKind {
  // Changes of state.
  kLinkUp,
  kLinkDown,
  kLinkSwitched,
  kPortLost,
  kPortBack,
  kStoreFailing,
  kStoreRecovered,
  kMemoryOverflowing,
  kDrainStarted,
  kDrainFinished,
  // The road of a station event.
  kEventReceived,
  kEventAcknowledged,
  kRecordStored,
  kRecordDelivered,
};

struct JournalKindInfo {
  JournalKind kind;
  const char* name;        // as the catalog's comment names it
  const char* message_id;  // 128 bits in hex, fixed for ever: dashboards and alerts use it
};

// Every kind, in the order of the enum.
inline constexpr JournalKindInfo kJournalKinds[] = {
    {JournalKind::kLinkUp, "link up", "39d236cb12094d7e9d32da0a7dd58e36"},
    {JournalKind::kLinkDown, "link down", "d75298de532242a29038cf018f9536aa"},
    {JournalKind::kLinkSwitched, "link switched", "6f8e38bf901c4b67b17e906088f06ca6"},
    {JournalKind::kPortLost, "port lost", "a9069bab637c4ae5b6dbdd2f778de34b"},
    {JournalKind::kPortBack, "port back", "ca8cede742484623b8e0200f03337703"},
    {JournalKind::kStoreFailing, "store failing", "a9edfb1edd2244eda671113188c4ef2f"},
    {JournalKind::kStoreRecovered, "store recovered", "b29767bbd85544079fd03bf33651cd5e"},
    {JournalKind::kMemoryOverflowing, "memory hold overflowing",
     "dbc719ba640a48f68547597c1407603e"},
    {JournalKind::kDrainStarted, "drain started", "af0a89ef0e684022af6454af4db0a02f"},
    {JournalKind::kDrainFinished, "drain finished", "a8e237bd58314d6dae8967665038b6bb"},
    {JournalKind::kEventReceived, "event received", "01839f6c39b24361abdb98c2de308c33"},
    {JournalKind::kEventAcknowledged, "event acknowledged", "c6e930db7f97475691d28af66eb81c84"},
    {JournalKind::kRecordStored, "record stored", "0408459ea08a4202ae259793c38f8284"},
    {JournalKind::kRecordDelivered, "record delivered", "f69202694b7b42d4b9bcc95ef72eb734"},
};

inline const JournalKindInfo& JournalKindOf(JournalKind kind) {
  return kJournalKinds[static_cast<size_t>(kind)];
}

using JournalFields = std::vector<std::pair<std::string, std::string>>;

struct JournalEntry {
  JournalKind kind;
  int priority;  // syslog: 3 error, 4 warning, 6 info
  std::string message;
  JournalFields fields;  // QARN_LINK, QARN_REASON, ...: name and value
};

class Journal {
 public:
  virtual ~Journal() = default;
  // Any thread.
  virtual void Send(const JournalEntry& entry) = 0;
};

// journald's native protocol, through libsystemd (sd_journal_sendv).
std::unique_ptr<Journal> MakeSystemdJournal();

}  // namespace qarn
