#include "gui/indicator_picture.h"

namespace qarn {
namespace {

void Plot(QImage& image, int x, int y, QRgb colour) {
  // Whatever falls outside the picture (the column x = 16) does not show.
  if (x >= 0 && x < kIndicatorSize && y >= 0 && y < kIndicatorSize) image.setPixel(x, y, colour);
}

}  // namespace

QImage DrawIndicator(int counter, bool link_up) {
  QImage image(kIndicatorSize, kIndicatorSize, QImage::Format_RGB32);
  image.fill(qRgb(255, 255, 255));
  const QRgb colour = link_up ? qRgb(0, 128, 0) : qRgb(255, 0, 0);

  // The outline from (0, 3) to (16, 15) with a 2-pixel pen centred on it: each edge covers
  // the pixel on either side of its line (x -1..0 and 15..16, y 2..3 and 14..15).
  constexpr int kLeft = 0, kTop = 3, kRight = 16, kBottom = 15;
  for (int x = kLeft - 1; x <= kRight; ++x) {
    for (int y : {kTop - 1, kTop, kBottom - 1, kBottom}) Plot(image, x, y, colour);
  }
  for (int y = kTop - 1; y <= kBottom; ++y) {
    for (int x : {kLeft - 1, kLeft, kRight - 1, kRight}) Plot(image, x, y, colour);
  }

  // The activity bar: columns c .. c + 4, those above 16 wrapped to the left, rows 5..11.
  for (int i = 0; i < 5; ++i) {
    int x = counter + i;
    if (x > 16) x -= 16;
    for (int y = 5; y < 12; ++y) Plot(image, x, y, colour);
  }
  return image;
}

}  // namespace qarn
