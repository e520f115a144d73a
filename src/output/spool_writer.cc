#include "output/spool_writer.h"

#include "base/byte_order.h"
#include "output/spool_replay.h"
#include "output/time_stamp.h"

namespace qarn {
namespace {

// How many following names are tried when a name is taken: far more than the records of
// one burst, few enough to give up quickly on a directory that refuses every name.
constexpr int kMaxNameAttempts = 100000;

}  // namespace

SpoolWriter::SpoolWriter(FileSystem& fs, std::string prefix, int32_t n_abs, SpoolReplay* line,
                         Observer& observer)
    : fs_(fs), prefix_(std::move(prefix)), n_abs_(n_abs), line_(line), observer_(observer) {}

std::string SpoolWriter::K7Name(const std::string& prefix, const std::string& stamp,
                                int32_t n_abs) {
  return prefix + stamp + "_" + std::to_string(n_abs) + ".ddk";
}

std::string SpoolWriter::K8Name(const std::string& prefix, const std::string& stamp) {
  return prefix + stamp + ".dd8";
}

std::string SpoolWriter::NameFor(SpoolKind kind, const std::string& stamp) const {
  return kind == SpoolKind::kK7 ? K7Name(prefix_, stamp, n_abs_) : K8Name(prefix_, stamp);
}

std::optional<std::string> SpoolWriter::WriteK7(const K7Frame& frame, TDateTime now) {
  return Store(SpoolKind::kK7, frame, now);
}

std::optional<std::string> SpoolWriter::WriteK8(int32_t type, ByteView payload, TDateTime now) {
  Bytes content(4 + payload.size());
  PutI32(content.data(), type);
  std::copy(payload.begin(), payload.end(), content.begin() + 4);
  return Store(SpoolKind::kK8, content, now);
}

std::optional<std::string> SpoolWriter::Store(SpoolKind kind, ByteView content, TDateTime now) {
  FailureReporter& failures = kind == SpoolKind::kK7 ? k7_failures_ : k8_failures_;
  const auto value = TimeStampValue(now);
  if (!value) observer_.ErrorCode(11);
  // Without a time-stamp the name has an empty text, then counts on from 1 if taken.
  uint32_t next = value ? *value : 0;
  std::string stamp = value ? TimeStampText(next) : std::string();
  std::string error;
  bool failed_once = false;
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    const std::string path = NameFor(kind, stamp);
    error.clear();
    const StoreResult result = fs_.CreateDurable(path, content, &error);
    if (result == StoreResult::kStored) {
      failures.Succeeded("spool files are written again");
      if (line_) line_->Add(kind, path);
      return path;
    }
    if (result == StoreResult::kFailed) {
      // One more try under the next name (a flush failure may be local to the file), then
      // the record is reported lost.
      if (failed_once) break;
      failed_once = true;
    }
    stamp = TimeStampText(++next);
  }
  failures.Failed(error.empty() ? "no free name under " + prefix_ : error);
  return std::nullopt;
}

void SpoolWriter::RemoveStaleTemporaries() {
  for (const char* pattern : {"*.ddk", "*.dd8"}) {
    const std::string full = prefix_ + pattern + kTemporarySuffix;
    const size_t slash = full.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : full.substr(0, slash + 1);
    for (const std::string& entry : fs_.FindAll(full)) {
      if (fs_.Remove(dir + entry)) DiagError("removed unfinished spool file " + dir + entry);
    }
  }
}

}  // namespace qarn
