// The close-password dialog: five masked digits, "ОК" and "Отмена", modal.
#pragma once

#include <QDialog>
#include <string>

#include "shell/driver_view.h"

class QLineEdit;
class QPushButton;

namespace qarn {

class PasswordDialog final : public QDialog {
 public:
  explicit PasswordDialog(QWidget* parent = nullptr);

  // Shows the dialog modally and compares what was typed with `password`; an empty
  // password accepts anything.
  PasswordAnswer Ask(const std::string& password);

  QLineEdit* field() const { return field_; }
  QPushButton* ok_button() const { return ok_; }
  QPushButton* cancel_button() const { return cancel_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QLineEdit* field_;
  QPushButton* ok_;
  QPushButton* cancel_;
};

}  // namespace qarn
