// Files as the driver uses them: small whole-file reads and writes, appends, deletions,
// and the first match of a wildcard pattern. Paths are used as given, relative ones against
// the current directory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.h"

namespace qarn {

enum class StoreResult {
  kStored,  // the file exists under its name with the whole content, on the disk
  kExists,  // a file of that name already exists; nothing was changed
  kFailed,  // nothing was stored
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens for writing at the end, creating the file if needed, and writes all bytes.
  [[nodiscard]] virtual bool Append(const std::string& path, ByteView data, std::string* error) = 0;

  // Reads the whole regular file.
  [[nodiscard]] virtual bool ReadAll(const std::string& path, Bytes* out, std::string* error) = 0;

  [[nodiscard]] virtual bool Remove(const std::string& path) = 0;
  // Removes without flushing the directory, for many removals that FlushDirectory then makes
  // durable at once; a power cut before it may bring the file back.
  [[nodiscard]] virtual bool RemoveUnflushed(const std::string& path) { return Remove(path); }
  // Makes the names given and removed in `dir` durable.
  virtual void FlushDirectory(const std::string& dir) { (void)dir; }

  virtual bool Exists(const std::string& path) = 0;

  // The size of a regular file (symbolic links followed); empty for anything else.
  virtual std::optional<uint64_t> FileSize(const std::string& path) = 0;
  // When a file was last written, Unix time in nanoseconds; empty when it is not known.
  virtual std::optional<int64_t> ModifiedNs(const std::string& path) {
    (void)path;
    return std::nullopt;
  }

  // Stores a new file durably and atomically: its content goes to a temporary name first
  // (see kTemporarySuffix), is flushed to the disk, and is then given its final name, which
  // never replaces an existing file; kStored only once that name is flushed too.
  virtual StoreResult CreateDurable(const std::string& path, ByteView data, std::string* error) = 0;

  // Replaces the whole file atomically: the new content goes to a temporary name, is flushed
  // to the disk, and then takes the file's name, so a crash leaves the old file or the new.
  // A symbolic link is followed and its target replaced; the file keeps its mode and owner.
  [[nodiscard]] virtual bool ReplaceDurable(const std::string& path, ByteView data,
                                            std::string* error) = 0;

  struct Entry {
    std::string name;
    int64_t mtime_ns = 0;  // last modification
    bool regular = false;
  };
  // Every entry matching `pattern`, a path whose last component may hold * and ? wildcards,
  // with its time and type, in the directory's order. Entries of any type match.
  virtual std::vector<Entry> ListEntries(const std::string& pattern) = 0;

  // Every entry name matching `pattern`, in the directory's order: ListEntries' names, which
  // a file system may find without looking at each entry.
  virtual std::vector<std::string> FindAll(const std::string& pattern) {
    std::vector<std::string> names;
    for (Entry& e : ListEntries(pattern)) names.push_back(std::move(e.name));
    return names;
  }

  // Renames without replacing an existing file.
  [[nodiscard]] virtual bool RenameNoReplace(const std::string& from, const std::string& to) = 0;
};

// CreateDurable writes to the final name followed by this suffix, so that no spool pattern
// ("*.ddk", "*.dd8") ever matches a file that is still being written.
inline constexpr const char* kTemporarySuffix = ".tmp";

// The POSIX file system.
class PosixFileSystem final : public FileSystem {
 public:
  [[nodiscard]] bool Append(const std::string& path, ByteView data, std::string* error) override;
  [[nodiscard]] bool ReadAll(const std::string& path, Bytes* out, std::string* error) override;
  [[nodiscard]] bool Remove(const std::string& path) override;
  [[nodiscard]] bool RemoveUnflushed(const std::string& path) override;
  void FlushDirectory(const std::string& dir) override;
  bool Exists(const std::string& path) override;
  std::optional<uint64_t> FileSize(const std::string& path) override;
  std::optional<int64_t> ModifiedNs(const std::string& path) override;
  StoreResult CreateDurable(const std::string& path, ByteView data, std::string* error) override;
  [[nodiscard]] bool ReplaceDurable(const std::string& path, ByteView data,
                                    std::string* error) override;
  std::vector<std::string> FindAll(const std::string& pattern) override;
  std::vector<Entry> ListEntries(const std::string& pattern) override;
  [[nodiscard]] bool RenameNoReplace(const std::string& from, const std::string& to) override;
};

// Splits a pattern or path at its last '/' into the directory ("." when there is none) and
// the last component.
void SplitPath(const std::string& path, std::string* dir, std::string* name);

// Wildcard match of * (any run) and ? (any one character), case-sensitive.
[[nodiscard]] bool WildcardMatch(const std::string& pattern, const std::string& name);

}  // namespace qarn
