// What the window shows of the driver: the close password, the start time, the indicators,
// the log area and the page shown. The driver keeps it and alone changes it, then tells the
// view which part to redraw.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include "output/server_choice.h"

namespace qarn {

inline constexpr size_t kLogAreaLines = 100;

// An indicator's activity counter: 0..16, wrapping to 0 after 16.
inline int AdvanceCounter(int counter) { return counter >= 16 ? 0 : counter + 1; }

// An indicator's hint: the server its link is on.
inline std::string ServerHint(Server server, const std::string& address) {
  return std::string(server == Server::kPrimary ? "Основной сервер " : "Резервный сервер ") +
         address;
}

struct WindowModel {
  std::string close_password;
  std::string start_time_text;
  std::deque<std::string> log_lines;  // the last kLogAreaLines, oldest first
  int station_counter = 0;
  int k7_counter = 0;
  int k8_counter = 0;
  bool station_link = false;
  bool k7_link = false;
  bool k8_link = false;
  bool k7_indicator_visible = false;  // the K7 link is used
  // The indicators' hints: the server a link is on, as ServerHint makes it.
  std::string k7_hint;
  std::string k8_hint;
  bool setup_page_shown = false;
};

}  // namespace qarn
