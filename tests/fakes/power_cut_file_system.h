// A file system in memory whose power can be cut. It keeps apart what the running process
// sees and what a disk would show after a cut, as the POSIX file system flushes it:
// CreateDurable and ReplaceDurable flush the content under a temporary name and then flush
// the directory that gives it its name; Remove and RenameNoReplace flush the directory too,
// RemoveUnflushed not until FlushDirectory;
// Append flushes nothing.
//
// Every change that reaches the disk or its cache is a step. A test may cut the power now
// (Cut) or after a number of further steps (CutAfter), so that a scenario can be cut after
// each of its steps in turn: a store is two steps (the temporary written, then named), so
// a cut may also fall inside one.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace qarn::testing {

class PowerCutFileSystem final : public FileSystem {
 public:
  struct File {
    Bytes data;
    int64_t mtime_ns = 0;
  };

  // A file a run before this one left on the disk.
  void Put(const std::string& path, ByteView data) {
    live_[path] = durable_[path] = File{Bytes(data.begin(), data.end()), ++clock_ns_};
    unflushed_.erase(path);
  }

  // The power goes: what was not on the disk is gone, appends not flushed are torn (half of
  // their bytes stay), and removals or renames whose directory was not flushed are undone.
  // Later calls see only what survived.
  void Cut() {
    for (auto& [path, bytes] : unflushed_) {
      Bytes& data = durable_[path].data;
      data.insert(data.end(), bytes.begin(), bytes.begin() + bytes.size() / 2);
    }
    unflushed_.clear();
    unflushed_removals_.clear();  // undone: those files come back
    live_ = durable_;
    ++cuts_;
    cut_in_.reset();
  }
  // The power goes once `steps` more steps are done (inside the call that makes the last
  // one, which then fails). The process that made the calls is gone, so until PowerOn
  // every call fails and changes nothing.
  void CutAfter(int steps) { cut_in_ = steps; }
  void PowerOn() { powered_ = true; }

  bool powered() const { return powered_; }
  int cuts() const { return cuts_; }
  int steps() const { return steps_; }
  // What the process sees.
  const std::map<std::string, File>& files() const { return live_; }

  // A full disk: no content is written, while removals and renames still work.
  bool refuse_writes = false;
  // False: the directory cannot be flushed (fsync fails), so the names given and removed
  // are not on the disk; CreateDurable then fails, as the POSIX one does.
  bool flush_directories = true;

  bool Append(const std::string& path, ByteView data, std::string* error) override {
    if (!powered_ || refuse_writes) return Fail(error);
    File& f = live_[path];
    f.data.insert(f.data.end(), data.begin(), data.end());
    f.mtime_ns = ++clock_ns_;
    Bytes& pending = unflushed_[path];
    pending.insert(pending.end(), data.begin(), data.end());
    return Step() || Fail(error);
  }
  bool ReadAll(const std::string& path, Bytes* out, std::string* error) override {
    const auto it = live_.find(path);
    if (!powered_ || it == live_.end()) return Fail(error);
    *out = it->second.data;
    return true;
  }
  bool Remove(const std::string& path) override {
    if (!powered_ || live_.erase(path) == 0) return false;
    if (flush_directories) {
      Forget(path);
      FlushRemovals();
    }
    return Step();
  }
  // Gone for the process; on the disk only once the directory is flushed (here or by the next
  // name given in it).
  bool RemoveUnflushed(const std::string& path) override {
    if (!powered_ || live_.erase(path) == 0) return false;
    unflushed_removals_.push_back(path);
    return Step();
  }
  void FlushDirectory(const std::string&) override {
    if (powered_ && flush_directories) FlushRemovals();
  }
  bool Exists(const std::string& path) override { return powered_ && live_.count(path) > 0; }
  std::optional<uint64_t> FileSize(const std::string& path) override {
    const auto it = live_.find(path);
    if (!powered_ || it == live_.end()) return std::nullopt;
    return it->second.data.size();
  }
  StoreResult CreateDurable(const std::string& path, ByteView data, std::string* error) override {
    if (!powered_) {
      Fail(error);
      return StoreResult::kFailed;
    }
    if (Exists(path)) return StoreResult::kExists;
    if (refuse_writes) {
      Fail(error);
      return StoreResult::kFailed;
    }
    if (!WriteTemporary(path + kTemporarySuffix, data) || !TakeName(path, error)) {
      Fail(error);
      return StoreResult::kFailed;
    }
    if (!flush_directories) {  // not durable: the name goes again, as the POSIX one does
      live_.erase(path);
      return StoreResult::kFailed;
    }
    return StoreResult::kStored;
  }
  bool ReplaceDurable(const std::string& path, ByteView data, std::string* error) override {
    if (!powered_ || refuse_writes) return Fail(error);
    return (WriteTemporary(path + kTemporarySuffix, data) && TakeName(path, error)) || Fail(error);
  }
  std::vector<Entry> ListEntries(const std::string& pattern) override {
    std::vector<Entry> entries;
    if (!powered_) return entries;
    std::string dir, mask;
    SplitPath(pattern, &dir, &mask);
    for (const auto& [path, file] : live_) {
      std::string file_dir, name;
      SplitPath(path, &file_dir, &name);
      if (file_dir == dir && WildcardMatch(mask, name)) {
        entries.push_back({name, file.mtime_ns, true});
      }
    }
    return entries;
  }
  bool RenameNoReplace(const std::string& from, const std::string& to) override {
    if (!powered_ || !live_.count(from) || live_.count(to)) return false;
    Rename(from, to);
    return Step();
  }

 private:
  static bool Fail(std::string* error) {
    if (error) *error = "no such file, no room or no power";
    return false;
  }

  // One more step done; false when the power went with it.
  bool Step() {
    ++steps_;
    if (cut_in_ && --*cut_in_ == 0) {
      Cut();
      powered_ = false;
    }
    return powered_;
  }

  // The disk holds nothing more of `path`.
  void Forget(const std::string& path) {
    durable_.erase(path);
    unflushed_.erase(path);
  }

  // The content is written under the temporary name: a cut in the middle of the writing
  // keeps it half written, until its flush, which the naming step includes.
  bool WriteTemporary(const std::string& temp, ByteView data) {
    live_[temp] = File{Bytes(data.begin(), data.end()), ++clock_ns_};
    durable_[temp] = File{Bytes(data.begin(), data.begin() + data.size() / 2), clock_ns_};
    unflushed_.erase(temp);
    return Step();
  }

  // The flushed temporary takes the final name (replacing what was there); the name is on
  // the disk once its directory is flushed.
  void FlushRemovals() {
    for (const std::string& removed : unflushed_removals_) {
      if (!live_.count(removed)) Forget(removed);
    }
    unflushed_removals_.clear();
  }
  bool TakeName(const std::string& path, std::string* error) {
    const std::string temp = path + kTemporarySuffix;
    durable_[temp] = live_[temp];
    Rename(temp, path);
    if (flush_directories) FlushRemovals();  // the same flush makes them durable
    if (!flush_directories && error) *error = "cannot flush directory";
    return Step();
  }

  void Rename(const std::string& from, const std::string& to) {
    live_[to] = std::move(live_[from]);
    live_.erase(from);
    if (!flush_directories) return;
    const auto it = durable_.find(from);
    durable_[to] = it == durable_.end() ? File{{}, live_[to].mtime_ns} : std::move(it->second);
    durable_.erase(from);
    unflushed_.erase(to);
    if (const auto pending = unflushed_.find(from); pending != unflushed_.end()) {
      unflushed_[to] = std::move(pending->second);
      unflushed_.erase(from);
    }
  }

  std::map<std::string, File> live_;        // what the process sees
  std::map<std::string, File> durable_;     // what a cut leaves, before the torn appends
  std::map<std::string, Bytes> unflushed_;  // bytes appended and not flushed, by file
  std::vector<std::string> unflushed_removals_;
  bool powered_ = true;
  int cuts_ = 0;
  int steps_ = 0;
  std::optional<int> cut_in_;
  int64_t clock_ns_ = 0;
};

}  // namespace qarn::testing
