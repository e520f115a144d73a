// A pseudo-terminal pair in raw mode: the master end for a simulated station, the slave's
// path for the driver to open as its port.
#pragma once

#include <string>

namespace qarn {

class PseudoTerminal {
 public:
  PseudoTerminal() = default;
  ~PseudoTerminal();

  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // The slave end stays open here too, so that the pair survives the driver closing it.
  [[nodiscard]] bool Open(std::string* error);

  int master_fd() const { return master_; }
  // The station end goes away: the slave's reads fail from now on.
  void CloseMaster();
  const std::string& slave_path() const { return slave_path_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
};

// Raw 8-bit, no echo, non-blocking reads: what a serial line to a station needs.
[[nodiscard]] bool MakeRawTerminal(int fd);

}  // namespace qarn
