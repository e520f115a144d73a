// The real driver binary under faults: a pseudo-terminal plays the station, the test's
// loopback servers play the message server, and the run counts every station event through
// the driver's lifetimes: sent, acknowledged to the station, delivered per link, left in
// spool files, lost (acknowledged yet neither delivered nor on disk) and duplicated.
#pragma once

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/byte_order.h"
#include "fakes/child_process.h"
#include "fakes/driver_station_side.h"
#include "fakes/temp_dir.h"
#include "output/event_record.h"
#include "platform/pseudo_terminal.h"
#include "station/station_frames.h"

namespace qarn::testing {

class FaultRun {
 public:
  using Ms = std::chrono::milliseconds;
  static constexpr int32_t kObjectBase = 40000;  // FirstNumber 4

  struct Links {
    int k7_port = 0;  // 0: SendK7 off
    int k8_port = 0;  // 0: SendK8 off
  };

  struct Counts {
    size_t sent = 0, acknowledged = 0, delivered_k8 = 0, delivered_k7 = 0, on_disk = 0;
    size_t lost = 0, duplicated = 0;
    std::string Text() const {
      std::ostringstream out;
      out << "sent " << sent << ", acknowledged " << acknowledged << ", delivered K8 "
          << delivered_k8 << ", delivered K7 " << delivered_k7 << ", on disk " << on_disk
          << ", lost " << lost << ", duplicated " << duplicated;
      return out.str();
    }
  };

  explicit FaultRun(std::string driver_path) : driver_path_(std::move(driver_path)) {
    std::string error;
    pty_ok_ = pty_.Open(&error);
  }

  // More [main] keys for every start, as "key=value\n" lines.
  void SetExtraMain(std::string keys) { extra_main_ = std::move(keys); }
  // More [ServerHost] keys, likewise.
  void SetExtraServerHost(std::string keys) { extra_server_host_ = std::move(keys); }
  // Spool files go to this subdirectory of the working directory, which the test makes.
  void SetMessageDir(const std::string& name) { message_dir_ = name; }
  std::string MessageDirPath() const {
    return message_dir_.empty() ? dir_.path() : dir_ / message_dir_;
  }
  const std::string& WorkingDir() const { return dir_.path(); }
  // Runs the driver through `wrapper` (a program and its arguments, the driver's path and
  // arguments follow), e.g. to run it as another user.
  void SetWrapper(std::vector<std::string> wrapper) { wrapper_ = std::move(wrapper); }
  const std::string& StationPath() const { return pty_.slave_path(); }

  // Starts the driver and waits until it answers the station (`answered`) or only until it
  // runs. False, with `why`, when not.
  bool Start(Links links, std::string* why, bool answered = true) {
    if (!pty_ok_) return Failed("no pseudo-terminal", why);
    const std::string message_path =
        message_dir_.empty() ? "" : "PathForSoob=" + message_dir_ + "/\n";
    dir_.Write("sqarn.ini", DriverTestIni(links.k7_port, links.k8_port, pty_.slave_path(),
                                          message_path + extra_main_, extra_server_host_));
    std::vector<std::string> args = wrapper_;
    args.insert(args.end(), {driver_path_, "--headless"});
    const std::string program = args.front();
    args.erase(args.begin());
    driver_ = std::make_unique<ChildProcess>(program, args, dir_.path(), false,
                                             std::vector<std::string>{kFastTimings});
    if (!driver_->WaitFor(2, "running headless", 5000)) return Failed("no start", why);
    station_in_.clear();
    if (!answered) return true;
    // The first poll of every start is answered with the clock frame.
    for (int i = 0; i < 50; ++i) {
      Write(kPollFrame);
      if (ReadUntil(ByteView(kClockAnswerStart), Ms(200))) return true;
    }
    return Failed("the driver never answered a poll frame", why);
  }

  void Kill() {
    driver_->Signal(SIGKILL);
    driver_->Wait();
  }
  // SIGTERM: the driver's exit status.
  int Stop() {
    driver_->Signal(SIGTERM);
    return driver_->Wait();
  }
  const std::string& errors() const { return driver_->err(); }
  // Waits until the driver's standard error holds `text`.
  bool WaitForError(const std::string& text, int timeout_ms) {
    return driver_->WaitFor(2, text, timeout_ms);
  }

  // Sends the event frame of object kObjectBase + `object`; true when the acknowledgement
  // came within `timeout`.
  bool SendEvent(uint16_t object, Ms timeout) {
    Write(BuildStationEventFrame(object, 0x30, 1));
    sent_.insert(kObjectBase + object);
    if (!ReadUntil(kAckFrame, timeout)) return false;
    acknowledged_.insert(kObjectBase + object);
    return true;
  }

  // After a kill: an acknowledgement of the last event that the driver wrote before it died.
  bool LateAcknowledgement(uint16_t object) {
    if (!ReadUntil(kAckFrame, Ms(50))) return false;
    acknowledged_.insert(kObjectBase + object);
    return true;
  }

  // The object numbers held in spool files now.
  std::vector<int32_t> OnDisk(const std::string& extension) const {
    std::vector<int32_t> objects;
    for (const auto& name : SpoolNames(extension)) {
      std::ifstream in(MessageDirPath() + "/" + name, std::ios::binary);
      const Bytes content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      if (extension == ".dd8" && content.size() == 4 + kK8EventSize) {
        objects.push_back(GetI32(content.data() + 4));
      } else if (extension == ".ddk" && content.size() == kK7FrameSize) {
        K7Frame frame;
        std::copy(content.begin(), content.end(), frame.begin());
        objects.push_back(ParseEventFrame(frame).object_number);
      }
    }
    return objects;
  }
  size_t SpoolFiles(const std::string& extension) const { return SpoolNames(extension).size(); }

  // Counts what became of the events: every acknowledged event must have reached each
  // enabled link or its spool files.
  Counts Count(Links links, const std::vector<int32_t>& k8, const std::vector<int32_t>& k7) const {
    Counts c;
    c.sent = sent_.size();
    c.acknowledged = acknowledged_.size();
    c.delivered_k8 = Distinct(k8).size();
    c.delivered_k7 = Distinct(k7).size();
    c.duplicated = k8.size() - c.delivered_k8 + k7.size() - c.delivered_k7;
    const auto dd8 = OnDisk(".dd8"), ddk = OnDisk(".ddk");
    c.on_disk = dd8.size() + ddk.size();
    for (const int32_t object : acknowledged_) {
      const bool k8_lost =
          links.k8_port && !Distinct(k8).count(object) && !Distinct(dd8).count(object);
      const bool k7_lost =
          links.k7_port && !Distinct(k7).count(object) && !Distinct(ddk).count(object);
      c.lost += k8_lost || k7_lost;
    }
    return c;
  }

 private:
  std::vector<std::string> SpoolNames(const std::string& extension) const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(MessageDirPath(), ec)) {
      if (e.path().extension() == extension) names.push_back(e.path().filename().string());
    }
    return names;
  }
  static std::set<int32_t> Distinct(const std::vector<int32_t>& v) { return {v.begin(), v.end()}; }
  static bool Failed(const char* text, std::string* why) {
    if (why) *why = text;
    return false;
  }
  void Write(ByteView frame) {
    if (write(pty_.master_fd(), frame.data(), frame.size()) < 0) return;
  }
  bool ReadUntil(ByteView expected, Ms timeout) {
    return testing::ReadUntil(pty_.master_fd(), station_in_, expected, timeout);
  }

  // The clock frame's first bytes after L: command 0x84, sub-command 1.
  static constexpr std::array<uint8_t, 2> kClockAnswerStart = {0x84, 0x01};

  std::string driver_path_;
  TempDir dir_;
  PseudoTerminal pty_;
  bool pty_ok_ = false;
  std::string message_dir_;
  std::string extra_main_;
  std::string extra_server_host_;
  std::vector<std::string> wrapper_;
  std::unique_ptr<ChildProcess> driver_;
  Bytes station_in_;
  std::set<int32_t> sent_, acknowledged_;
};

}  // namespace qarn::testing
