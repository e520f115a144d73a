// A file system in memory, for runs that must not touch the disk (fuzzing, fault tests):
// files by full path, in name order, with their times; a file may be "sparse", reporting a
// size larger than the bytes it holds, as a large file costs nothing until it is read.
#pragma once

#include <algorithm>
#include <map>

#include "platform/file_system.h"

namespace qarn::testing {

class MemoryFileSystem final : public FileSystem {
 public:
  struct File {
    Bytes data;
    int64_t mtime_ns = 0;
    bool regular = true;
    uint64_t sparse_size = 0;  // when larger than data: the size, zeros past the data
  };

  bool Append(const std::string& path, ByteView data, std::string* error) override {
    if (fail_writes) return Fail(error);
    File& f = files[path];
    f.data.insert(f.data.end(), data.begin(), data.end());
    f.mtime_ns = ++clock_ns;
    return true;
  }
  bool ReadAll(const std::string& path, Bytes* out, std::string* error) override {
    const auto it = files.find(path);
    if (it == files.end() || !it->second.regular) return Fail(error);
    *out = it->second.data;
    if (it->second.sparse_size > out->size()) out->resize(it->second.sparse_size, 0);
    largest_read = std::max<uint64_t>(largest_read, out->size());
    return true;
  }
  bool Remove(const std::string& path) override { return !fail_removes && files.erase(path) > 0; }
  bool Exists(const std::string& path) override { return files.count(path) > 0; }
  std::optional<uint64_t> FileSize(const std::string& path) override {
    const auto it = files.find(path);
    if (it == files.end() || !it->second.regular) return std::nullopt;
    return std::max<uint64_t>(it->second.data.size(), it->second.sparse_size);
  }
  StoreResult CreateDurable(const std::string& path, ByteView data, std::string* error) override {
    if (Exists(path)) return StoreResult::kExists;
    if (fail_writes) {
      Fail(error);
      return StoreResult::kFailed;
    }
    files[path] = File{Bytes(data.begin(), data.end()), ++clock_ns};
    return StoreResult::kStored;
  }
  bool ReplaceDurable(const std::string& path, ByteView data, std::string* error) override {
    if (fail_writes) return Fail(error);
    files[path] = File{Bytes(data.begin(), data.end()), ++clock_ns};
    return true;
  }
  std::vector<Entry> ListEntries(const std::string& pattern) override {
    std::string dir, mask;
    SplitPath(pattern, &dir, &mask);
    std::vector<Entry> entries;
    for (const auto& [path, file] : files) {
      std::string file_dir, name;
      SplitPath(path, &file_dir, &name);
      if (file_dir == dir && WildcardMatch(mask, name)) {
        entries.push_back({name, file.mtime_ns, file.regular});
      }
    }
    return entries;
  }
  bool RenameNoReplace(const std::string& from, const std::string& to) override {
    if (fail_writes || !Exists(from) || Exists(to)) return false;
    files[to] = std::move(files[from]);
    files.erase(from);
    return true;
  }

  std::map<std::string, File> files;
  bool fail_writes = false;   // a full or read-only disk
  bool fail_removes = false;  // a read-only disk, or files held
  int64_t clock_ns = 0;       // the time the next change takes
  uint64_t largest_read = 0;

 private:
  static bool Fail(std::string* error) {
    if (error) *error = "no such file or no room";
    return false;
  }
};

}  // namespace qarn::testing
