// What the parts of the driver tell as it runs: the facts the window, the status line, the
// log area, the journal and the metrics show. Each part is given one Observer and calls it
// where a fact arises, on the main thread; the driver fans the facts out to everyone who
// shows them. Every fact has an empty default, so an observer overrides only what it shows.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "output/event_record.h"
#include "output/links.h"
#include "output/server_choice.h"
#include "platform/metrics.h"

namespace qarn {

// The window's three activity indicators.
enum class Indicator { kStation, kK7, kK8 };

class Observer {
 public:
  virtual ~Observer() = default;

  // The station: every packet by kind; an event received, then acknowledged to it.
  virtual void FrameHeard(StationFrameKind kind) { (void)kind; }
  virtual void EventReceived(const StationEvent& event) { (void)event; }
  virtual void EventAcknowledged(const StationEvent& event) { (void)event; }
  // The station was heard again, or fell silent.
  virtual void StationHeard(bool heard) { (void)heard; }
  // The serial port opened or closed, or the setup page changed otherwise.
  virtual void PortChanged(bool open) { (void)open; }

  // Something went through an indicator's part of the road.
  virtual void Activity(Indicator indicator) { (void)indicator; }
  // A line for the log area.
  virtual void LogLine(const std::string& text) { (void)text; }
  // A code for the error file.
  virtual void ErrorCode(int code) { (void)code; }

  // A link came up on `server`, or went down.
  virtual void LinkChanged(SpoolKind link, bool up, Server server) {
    (void)link, (void)up, (void)server;
  }
  // A link is up on `server` at `address` ("host:port"), told before LinkChanged.
  virtual void OnServer(SpoolKind link, Server server, const std::string& address) {
    (void)link, (void)server, (void)address;
  }

  // A record's spool file was stored; the server has the record of one in flight.
  virtual void RecordStored(SpoolKind kind, const std::string& path) { (void)kind, (void)path; }
  virtual void RecordDelivered(SpoolKind kind, const std::string& path) { (void)kind, (void)path; }
  // A link's spool files: those on disk, the oldest, those the replay has sent in this run.
  virtual void SpoolChanged(SpoolKind kind, size_t files, const std::string& oldest,
                            size_t replayed) {
    (void)kind, (void)files, (void)oldest, (void)replayed;
  }
  // The records the disk refused, held in memory, and those lost so far.
  virtual void Held(size_t in_memory, size_t lost) { (void)in_memory, (void)lost; }

  // The close has begun, whoever ordered it.
  virtual void Closing() {}
};

// An observer that shows nothing.
Observer& NoObserver();

// Tells every observer added, in the order they were added.
class Observers final : public Observer {
 public:
  void Add(Observer& observer) { all_.push_back(&observer); }
  void Remove(Observer& observer) { std::erase(all_, &observer); }

  void FrameHeard(StationFrameKind kind) override { Tell(&Observer::FrameHeard, kind); }
  void EventReceived(const StationEvent& event) override { Tell(&Observer::EventReceived, event); }
  void EventAcknowledged(const StationEvent& event) override {
    Tell(&Observer::EventAcknowledged, event);
  }
  void StationHeard(bool heard) override { Tell(&Observer::StationHeard, heard); }
  void PortChanged(bool open) override { Tell(&Observer::PortChanged, open); }
  void Activity(Indicator indicator) override { Tell(&Observer::Activity, indicator); }
  void LogLine(const std::string& text) override { Tell(&Observer::LogLine, text); }
  void ErrorCode(int code) override { Tell(&Observer::ErrorCode, code); }
  void LinkChanged(SpoolKind link, bool up, Server server) override {
    Tell(&Observer::LinkChanged, link, up, server);
  }
  void OnServer(SpoolKind link, Server server, const std::string& address) override {
    Tell(&Observer::OnServer, link, server, address);
  }
  void RecordStored(SpoolKind kind, const std::string& path) override {
    Tell(&Observer::RecordStored, kind, path);
  }
  void RecordDelivered(SpoolKind kind, const std::string& path) override {
    Tell(&Observer::RecordDelivered, kind, path);
  }
  void SpoolChanged(SpoolKind kind, size_t files, const std::string& oldest,
                    size_t replayed) override {
    Tell(&Observer::SpoolChanged, kind, files, oldest, replayed);
  }
  void Held(size_t in_memory, size_t lost) override { Tell(&Observer::Held, in_memory, lost); }
  void Closing() override { Tell(&Observer::Closing); }

 private:
  template <typename Fact, typename... Args>
  void Tell(Fact fact, const Args&... args) {
    for (Observer* observer : all_) (observer->*fact)(args...);
  }

  std::vector<Observer*> all_;
};

}  // namespace qarn
