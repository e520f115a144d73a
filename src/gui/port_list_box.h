// The setup page's port list: an editable drop-down whose `picked` runs only for an entry
// chosen in the drop-down itself (a click, or Enter there). QComboBox::activated also fires
// when text typed into the field matches an entry and editing ends; that is no pick.
#pragma once

#include <QComboBox>
#include <functional>

namespace qarn {

class PortListBox final : public QComboBox {
 public:
  explicit PortListBox(QWidget* parent = nullptr);

  // The index of the entry picked.
  std::function<void(int)> picked;

  void showPopup() override;
  void hidePopup() override;

 private:
  // The drop-down closes before it reports the entry: the pick is the closing's own.
  bool popup_open_ = false;
  bool closing_ = false;
};

}  // namespace qarn
