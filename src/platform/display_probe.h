// Whether the display named by the environment can be opened, asked before the window
// toolkit tries: it aborts the program when it cannot.
#pragma once

#include <string>

namespace qarn {

// True when QT_QPA_PLATFORM names a platform without a display server (offscreen), or the
// Wayland or X11 display that the environment names accepts a connection. Otherwise false, with
// `*why` telling what failed (empty when no display is named at all).
bool CanOpenDisplay(std::string* why);

}  // namespace qarn
