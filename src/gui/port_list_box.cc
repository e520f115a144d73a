#include "gui/port_list_box.h"

#include <QTimer>

namespace qarn {

PortListBox::PortListBox(QWidget* parent) : QComboBox(parent) {
  connect(this, &QComboBox::activated, this, [this](int index) {
    if ((popup_open_ || closing_) && picked) picked(index);
  });
}

void PortListBox::showPopup() {
  QComboBox::showPopup();
  popup_open_ = true;
}

void PortListBox::hidePopup() {
  QComboBox::hidePopup();
  if (!popup_open_) return;
  popup_open_ = false;
  closing_ = true;
  QTimer::singleShot(0, this, [this] { closing_ = false; });
}

}  // namespace qarn
