#include "gui/message_box_dialog.h"

#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <algorithm>

namespace qarn {
namespace {

constexpr int kLabelLeft = 2;
constexpr int kLabelTop = 8;
constexpr int kLabelHeight = 28;
constexpr int kButtonTop = 44;
constexpr int kButtonHeight = 25;
constexpr int kBoxHeight = kButtonTop + kButtonHeight + 10;
// Keeps the button inside the box for texts shorter than it.
constexpr int kMinBoxWidth = kMessageButtonWidth + 2 * kLabelLeft;

}  // namespace

MessageBoxDialog::MessageBoxDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromUtf8("Драйвер Qarn"));
  setModal(true);
  label_ = new QLabel(this);
  QFont font;
  font.setFamilies({QStringLiteral("Times New Roman"), QStringLiteral("Liberation Serif"),
                    QStringLiteral("DejaVu Serif")});
  font.setBold(true);
  font.setPixelSize(16);
  // Where Times New Roman is missing, a narrow serif keeps the text within 10 pixels per
  // character.
  font.setStretch(QFont::Condensed);
  label_->setFont(font);
  label_->setAlignment(Qt::AlignCenter);
  ok_ = new QPushButton(QString::fromUtf8("ОК"), this);
  ok_->setDefault(true);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
}

void MessageBoxDialog::SetText(const std::string& text) {
  const QString q = QString::fromStdString(text);
  label_->setText(q);
  const int width = std::max(static_cast<int>(q.size()) * kMessagePixelsPerChar, kMinBoxWidth);
  setFixedSize(width, kBoxHeight);
  label_->setGeometry(kLabelLeft, kLabelTop, width, kLabelHeight);
  ok_->setGeometry((width - kMessageButtonWidth) / 2, kButtonTop, kMessageButtonWidth,
                   kButtonHeight);
}

void MessageBoxDialog::ShowText(const std::string& text) {
  SetText(text);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame = rect();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
  ok_->setFocus();
  exec();
}

}  // namespace qarn
