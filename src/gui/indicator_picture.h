// The 16 x 16 picture of a status indicator: a frame and a five-line activity bar, green
// while the link is up and red while it is down.
#pragma once

#include <QImage>

namespace qarn {

inline constexpr int kIndicatorSize = 16;

// `counter` is the indicator's activity counter, 0..16.
QImage DrawIndicator(int counter, bool link_up);

}  // namespace qarn
