// What event output needs of the two server links.
#pragma once

#include <cstdint>
#include <string>

#include "base/bytes.h"
#include "base/tdatetime.h"

namespace qarn {

// The two links, and the spool files each keeps: .ddk for K7, .dd8 for K8.
enum class SpoolKind { kK7, kK8 };

// How the delivery of a spool file's record ended.
enum class PacketEnd {
  kAcknowledged,  // the server has it (K8: its acknowledgement; K7: its TCP's): file deleted
  kRefused,       // the K8 server answered it with something else
  kReleased,      // no answer: the connection went, or the link stopped; it goes again
};

class K7Channel {
 public:
  virtual ~K7Channel() = default;
  virtual bool Connected() const = 0;
  // Sends one unit, held by `spool_file` (empty: a unit held in memory only); the count of
  // bytes the connection took. A unit taken whole is reported later as acknowledged or
  // released.
  virtual size_t SendUnit(ByteView unit, const std::string& spool_file) = 0;
};

class K8Channel {
 public:
  virtual ~K8Channel() = default;
  virtual bool Connected() const = 0;
  // Queues a packet for the link thread. False when the queue is full; the packet is then
  // not queued. `spool_file` names the .dd8 file a replayed packet comes from.
  virtual bool QueuePacket(int32_t type, ByteView payload, const std::string& spool_file) = 0;
};

// Where the links report how the delivery of a spool file's record ended; main thread.
class DeliveryReports {
 public:
  virtual ~DeliveryReports() = default;
  virtual void Ended(SpoolKind link, const std::string& spool_file, PacketEnd end) = 0;
};

// What a link's greeting tells the server of the serial port.
struct PortGreeting {
  std::string device_name;  // "\\.\COMn"
  std::string port_name;    // "COMn", as the setup page shows it
  bool port_open = false;
  int32_t first_number = 4;
};

// What the links ask of the driver: the server's orders, and the facts of their greetings.
// Main thread, but RequestRetQuery.
class LinkHost {
 public:
  virtual ~LinkHost() = default;
  virtual void SetClock(TDateTime time) = 0;
  // A retranslator query for the station's next poll frame. Any thread.
  virtual void RequestRetQuery() = 0;
  virtual void CloseByServer() = 0;
  virtual PortGreeting Greeting() const = 0;
};

}  // namespace qarn
