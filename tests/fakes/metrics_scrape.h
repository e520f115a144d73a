// Reads samples out of a scrape in the Prometheus text format.
#pragma once

#include <optional>
#include <sstream>
#include <string>

namespace qarn::testing {

// The value of `series` exactly as written in the scrape (`name{label="v",...}`), or none.
inline std::optional<double> Sample(const std::string& scrape, const std::string& series) {
  std::istringstream lines(scrape);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.size() > series.size() && line.compare(0, series.size(), series) == 0 &&
        line[series.size()] == ' ') {
      return std::stod(line.substr(series.size() + 1));
    }
  }
  return std::nullopt;
}

}  // namespace qarn::testing
