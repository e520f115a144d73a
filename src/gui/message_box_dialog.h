// The modal message box: one centred line of text and "ОК", sized by the text's length.
#pragma once

#include <QDialog>
#include <string>

class QLabel;
class QPushButton;

namespace qarn {

// Per character of text: the label's font size (12 points) less 2, in pixels.
inline constexpr int kMessagePixelsPerChar = 10;
inline constexpr int kMessageButtonWidth = 72;

class MessageBoxDialog final : public QDialog {
 public:
  explicit MessageBoxDialog(QWidget* parent = nullptr);

  // Shows `text` modally, centred on the screen; returns when "ОК" is pressed.
  void ShowText(const std::string& text);
  // Sizes the box for `text` without showing it.
  void SetText(const std::string& text);

  QLabel* label() const { return label_; }
  QPushButton* ok_button() const { return ok_; }

 private:
  QLabel* label_;
  QPushButton* ok_;
};

}  // namespace qarn
