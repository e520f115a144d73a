#include "gui/password_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

namespace qarn {
namespace {

// Typed digits show as '*', whatever the platform's style prefers.
class StarPasswordStyle final : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* data) const override {
    if (hint == SH_LineEdit_PasswordCharacter) return '*';
    return QProxyStyle::styleHint(hint, option, widget, data);
  }
};

}  // namespace

PasswordDialog::PasswordDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromUtf8("Закрытый доступ"));
  setModal(true);
  auto* prompt = new QLabel(QString::fromUtf8("Введите пароль для доступа"), this);
  field_ = new QLineEdit(this);
  auto* style = new StarPasswordStyle;
  style->setParent(field_);
  field_->setStyle(style);
  field_->setEchoMode(QLineEdit::Password);
  field_->setMaxLength(5);
  field_->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,5}")), field_));
  field_->setAlignment(Qt::AlignCenter);
  ok_ = new QPushButton(QString::fromUtf8("ОК"), this);
  cancel_ = new QPushButton(QString::fromUtf8("Отмена"), this);
  ok_->setDefault(true);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok_);
  buttons->addWidget(cancel_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(prompt);
  layout->addWidget(field_);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

void PasswordDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Typing replaces what was typed last time.
  field_->selectAll();
  field_->setFocus();
}

PasswordAnswer PasswordDialog::Ask(const std::string& password) {
  if (exec() != QDialog::Accepted) return PasswordAnswer::kCancelled;
  if (password.empty() || field_->text() == QString::fromStdString(password))
    return PasswordAnswer::kAccepted;
  return PasswordAnswer::kWrong;
}

}  // namespace qarn
