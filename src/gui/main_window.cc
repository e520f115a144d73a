#include "gui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>

#include "gui/indicator_picture.h"
#include "gui/message_box_dialog.h"
#include "gui/password_dialog.h"
#include "gui/port_list_box.h"
#include "shell/driver.h"

namespace qarn {
namespace {

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

// A narrow face: the fixed layout leaves about 6 pixels per character.
QFont BaseFont(int pixel_size = 11, bool bold = false) {
  QFont font;
  font.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans Narrow"),
                    QStringLiteral("Arial Narrow"), QStringLiteral("Arial")});
  font.setStretch(QFont::Condensed);
  font.setPixelSize(pixel_size);
  font.setBold(bold);
  return font;
}

QLabel* AddLabel(QWidget* page, const char* text, int x, int y, int width) {
  auto* label = new QLabel(Text(text), page);
  label->setGeometry(x, y, width, 18);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return label;
}

QLabel* AddIndicator(QWidget* page, int x, int y) {
  auto* label = new QLabel(page);
  label->setGeometry(x, y, kIndicatorSize, kIndicatorSize);
  return label;
}

constexpr const char* kStyleSheet = R"(
  QWidget#header { background: qlineargradient(x1:0, y1:0, x2:1, y2:0,
                   stop:0 #1f3c64, stop:1 #3b6ea5); }
  QLabel#headerText { color: white; font-weight: bold; }
  QWidget#header QToolButton { color: white; font-weight: bold; border: none; }
  QWidget#header QToolButton:hover { background: rgba(255, 255, 255, 60); }
  QWidget#pageButtons { background: #dfe6ee; border-bottom: 1px solid #a9b7c6; }
  QPushButton#pageButton { background: #f4f7fa; border: 1px solid #a9b7c6; border-radius: 4px;
                           color: #1f3c64; font-weight: bold; }
  QPushButton#pageButton:hover { background: #ffffff; }
  QPushButton#pageButton:checked { background: #3b6ea5; border-color: #1f3c64; color: white; }
  QLabel#value { color: #1f3c64; font-weight: bold; }
)";

}  // namespace

QImage DrawDriverIcon(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size / 32.0;
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x1f, 0x3c, 0x64));
  p.drawRoundedRect(QRectF(1 * s, 1 * s, 30 * s, 30 * s), 6 * s, 6 * s);
  // A mast with two pairs of waves.
  QPen pen(Qt::white, 2.2 * s, Qt::SolidLine, Qt::RoundCap);
  p.setPen(pen);
  p.drawLine(QPointF(16 * s, 13 * s), QPointF(11 * s, 27 * s));
  p.drawLine(QPointF(16 * s, 13 * s), QPointF(21 * s, 27 * s));
  p.drawLine(QPointF(13 * s, 22 * s), QPointF(19 * s, 22 * s));
  p.setBrush(Qt::NoBrush);
  pen.setColor(QColor(0x7f, 0xe0, 0x7f));
  p.setPen(pen);
  for (int r : {5, 9}) {
    const QRectF arc(16 * s - r * s, 11 * s - r * s, 2 * r * s, 2 * r * s);
    p.drawArc(arc, -40 * 16, 80 * 16);
    p.drawArc(arc, 140 * 16, 80 * 16);
  }
  p.setBrush(Qt::white);
  p.setPen(Qt::NoPen);
  p.drawEllipse(QPointF(16 * s, 11 * s), 2 * s, 2 * s);
  return image;
}

MainWindow::MainWindow() {
  setWindowTitle(Text("Драйвер Qarn"));
  setWindowIcon(QIcon(QPixmap::fromImage(DrawDriverIcon(64))));
  // A fixed single border: the size never changes.
  setFixedSize(kWindowWidth, kWindowHeight);
  setWindowFlags(Qt::Window | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setStyleSheet(Text(kStyleSheet));

  QWidget* header = MakeHeader();
  header->setGeometry(0, 0, kWindowWidth, kHeaderHeight);
  QWidget* buttons = MakePageButtons();
  buttons->setGeometry(0, kHeaderHeight, kWindowWidth, kPageButtonsHeight);
  pages_ = new QStackedWidget(this);
  pages_->setGeometry(0, kHeaderHeight + kPageButtonsHeight, kWindowWidth, kPageAreaHeight);
  pages_->addWidget(MakeMainPage());
  pages_->addWidget(MakeSetupPage());
  ShowPage(false);
  MakeTray();
  // Under a style sheet fonts do not pass from parent to child: set each one.
  const QFont base = BaseFont();
  setFont(base);
  for (QWidget* w : findChildren<QWidget*>()) {
    if (!w->testAttribute(Qt::WA_SetFont)) w->setFont(base);
  }
}

MainWindow::~MainWindow() = default;

QWidget* MainWindow::MakeHeader() {
  auto* header = new QWidget(this);
  header->setObjectName(QStringLiteral("header"));
  header->setAttribute(Qt::WA_StyledBackground);
  auto* icon = new QLabel(header);
  icon->setPixmap(QPixmap::fromImage(DrawDriverIcon(64))
                      .scaled(32, 32, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  icon->setGeometry(12, 12, 32, 32);
  auto* text = new QLabel(Text("КПО Morvex 2008 - Драйвер Qarn"), header);
  text->setObjectName(QStringLiteral("headerText"));
  text->setFont(BaseFont(17, true));
  text->setGeometry(54, 0, kWindowWidth - 60 - 3 * kHeaderButtonSize, kHeaderHeight);
  text->setAlignment(Qt::AlignVCenter | Qt::AlignLeft);
  // The window's own buttons, in the strip's top right corner.
  const auto add_button = [&](const char* glyph, const char* name, int slot) {
    auto* button = new QToolButton(header);
    button->setObjectName(QString::fromUtf8(name));
    button->setText(Text(glyph));
    button->setAutoRaise(true);
    button->setGeometry(kWindowWidth - (3 - slot) * kHeaderButtonSize - 4, 4, kHeaderButtonSize,
                        kHeaderButtonSize);
    return button;
  };
  minimize_button_ = add_button("\u2013", "minimizeButton", 0);
  maximize_button_ = add_button("\u25a1", "maximizeButton", 1);
  close_button_ = add_button("\u00d7", "closeButton", 2);
  connect(minimize_button_, &QToolButton::clicked, this, [this] { showMinimized(); });
  connect(maximize_button_, &QToolButton::clicked, this,
          [this] { isMaximized() ? showNormal() : showMaximized(); });
  connect(close_button_, &QToolButton::clicked, this, [this] { close(); });
  return header;
}

QWidget* MainWindow::MakePageButtons() {
  auto* strip = new QWidget(this);
  strip->setObjectName(QStringLiteral("pageButtons"));
  strip->setAttribute(Qt::WA_StyledBackground);
  status_page_button_ = new QPushButton(Text("Состояние"), strip);
  setup_page_button_ = new QPushButton(Text("Настройки"), strip);
  const QFont f = BaseFont(15, true);
  int x = 9;
  for (QPushButton* b : {status_page_button_, setup_page_button_}) {
    b->setObjectName(QStringLiteral("pageButton"));
    b->setCheckable(true);
    b->setFont(f);
    b->setGeometry(x, 10, 130, kPageButtonsHeight - 20);
    b->setFocusPolicy(Qt::TabFocus);
    x += 138;
  }
  // Exclusive: exactly one of the two stays down.
  page_group_ = new QButtonGroup(strip);
  page_group_->setExclusive(true);
  page_group_->addButton(status_page_button_);
  page_group_->addButton(setup_page_button_);
  connect(status_page_button_, &QPushButton::clicked, this, [this] {
    if (driver_) driver_->ShowSetupPage(false);
    ShowPage(false);
  });
  connect(setup_page_button_, &QPushButton::clicked, this, [this] {
    if (driver_) driver_->ShowSetupPage(true);
    ShowPage(true);
  });
  return strip;
}

QWidget* MainWindow::MakeMainPage() {
  auto* page = new QWidget;
  page->setObjectName(QStringLiteral("Default"));
  AddLabel(page, "Контроль связи со станцией", 8, 10, 166);
  station_indicator_ = AddIndicator(page, 176, 8);
  AddLabel(page, "Связь с сервером сообщений", 256, 10, 158);
  k8_indicator_ = AddIndicator(page, 416, 8);
  AddLabel(page, "Дата и время запуска", 7, 37, 111)->setAlignment(Qt::AlignRight | Qt::AlignTop);
  start_time_ = AddLabel(page, "", 124, 37, 130);
  start_time_->setObjectName(QStringLiteral("value"));
  k7_label_ = AddLabel(page, "Связь с сервером сообщений", 256, 37, 158);
  k7_indicator_ = AddIndicator(page, 416, 35);
  AddLabel(page, "Пароль для закрытия", 7, 65, 115);
  password_text_ = AddLabel(page, "", 124, 65, 100);
  password_text_->setObjectName(QStringLiteral("value"));
  log_area_ = new QPlainTextEdit(page);
  log_area_->setGeometry(7, 84, 432, 100);
  log_area_->setReadOnly(true);
  log_area_->setMaximumBlockCount(static_cast<int>(kLogAreaLines));
  log_area_->setLineWrapMode(QPlainTextEdit::NoWrap);
  return page;
}

QWidget* MainWindow::MakeSetupPage() {
  auto* page = new QWidget;
  page->setObjectName(QStringLiteral("setup"));
  auto* group = new QGroupBox(Text("Com порт"), page);
  group->setGeometry(9, 3, 428, 62);
  port_list_ = new PortListBox(group);
  port_list_->setGeometry(18, 25, 103, 19);
  port_list_->setEditable(true);
  port_list_->setInsertPolicy(QComboBox::NoInsert);
  port_list_->setMaxVisibleItems(8);
  run_button_ = new QPushButton(Text("Остановить"), group);
  run_button_->setGeometry(143, 22, 94, 25);
  rescan_button_ = new QPushButton(Text("Сканировать заново"), group);
  rescan_button_->setGeometry(243, 22, 170, 25);
  // As designed, until start-up sets the run state.
  port_list_->setEnabled(false);
  rescan_button_->setEnabled(false);

  port_list_->picked = [this](int index) {
    if (driver_ && !filling_port_list_)
      driver_->run_control().OnPortSelected(port_list_->itemText(index).toStdString());
  };
  connect(port_list_, &QComboBox::editTextChanged, this, [this](const QString& text) {
    if (driver_ && !filling_port_list_) driver_->run_control().SetChosenText(text.toStdString());
  });
  connect(run_button_, &QPushButton::clicked, this, [this] {
    if (driver_) driver_->run_control().OnRunClicked();
  });
  connect(rescan_button_, &QPushButton::clicked, this, [this] {
    if (driver_) driver_->run_control().OnRescanClicked();
  });
  return page;
}

void MainWindow::MakeTray() {
  tray_menu_ = std::make_unique<QMenu>();
  QAction* restore = tray_menu_->addAction(Text("Восстановить"));
  tray_menu_->addSeparator();
  QAction* close = tray_menu_->addAction(Text("Закрыть"));
  connect(restore, &QAction::triggered, this, [this] { OnRestoreClicked(); });
  connect(close, &QAction::triggered, this, [this] { OnCloseClicked(); });
  tray_ = new QSystemTrayIcon(windowIcon(), this);
  tray_->setToolTip(Text("Драйвер - Qarn"));
  tray_->setContextMenu(tray_menu_.get());
  connect(tray_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
              OnRestoreClicked();
          });
  tray_available_ = QSystemTrayIcon::isSystemTrayAvailable();
  if (tray_available_) tray_->show();
}

void MainWindow::CreateDialogs() {
  password_dialog_ = new PasswordDialog(this);
  message_box_ = new MessageBoxDialog(this);
}

void MainWindow::ShowAtStartUp() {
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame(QPoint(0, 0), size());
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
  showNormal();
}

void MainWindow::Attach(Driver* driver) { driver_ = driver; }

void MainWindow::ShowPage(bool setup) {
  (setup ? setup_page_button_ : status_page_button_)->setChecked(true);
  pages_->setCurrentIndex(setup ? 1 : 0);
}

void MainWindow::ShowIndicator(QLabel* label, int counter, bool link_up) {
  label->setPixmap(QPixmap::fromImage(qarn::DrawIndicator(counter, link_up)));
}

void MainWindow::Update(ViewPart part) {
  if (!driver_) return;
  const Driver& d = *driver_;
  switch (part) {
    case ViewPart::kPassword:
      password_text_->setText(QString::fromStdString(d.window().close_password));
      break;
    case ViewPart::kStartTime:
      start_time_->setText(QString::fromStdString(d.window().start_time_text));
      break;
    case ViewPart::kStationIndicator:
      ShowIndicator(station_indicator_, d.window().station_counter, d.window().station_link);
      break;
    case ViewPart::kK7Indicator:
      k7_label_->setVisible(d.window().k7_indicator_visible);
      k7_indicator_->setVisible(d.window().k7_indicator_visible);
      // Start-up only decides whether it shows; the picture stays empty until the first
      // connection attempt ends.
      if (k7_shown_once_) ShowIndicator(k7_indicator_, d.window().k7_counter, d.window().k7_link);
      k7_indicator_->setToolTip(QString::fromStdString(d.window().k7_hint));
      k7_shown_once_ = true;
      break;
    case ViewPart::kK8Indicator:
      // Without the K8 link the picture stays empty.
      if (d.config().send_k8)
        ShowIndicator(k8_indicator_, d.window().k8_counter, d.window().k8_link);
      k8_indicator_->setToolTip(QString::fromStdString(d.window().k8_hint));
      break;
    case ViewPart::kLog:
      ShowLog();
      break;
    case ViewPart::kSetupPage:
      ShowSetupPage();
      break;
  }
}

void MainWindow::ShowLog() {
  QStringList lines;
  for (const std::string& line : driver_->window().log_lines) lines << QString::fromStdString(line);
  log_area_->setPlainText(lines.join(QLatin1Char('\n')));
  log_area_->verticalScrollBar()->setValue(log_area_->verticalScrollBar()->maximum());
}

void MainWindow::ShowSetupPage() {
  const SetupPage& page = driver_->run_control().page();
  filling_port_list_ = true;
  port_list_->clear();
  for (const std::string& port : page.ports) port_list_->addItem(QString::fromStdString(port));
  port_list_->setEditText(QString::fromStdString(page.chosen));
  filling_port_list_ = false;
  run_button_->setText(page.running ? Text("Остановить") : Text("Запустить"));
  port_list_->setEnabled(!page.running);
  rescan_button_->setEnabled(!page.running);
}

void MainWindow::ShowMessageBox(const std::string& text) {
  if (message_box_) message_box_->ShowText(text);
}

PasswordAnswer MainWindow::AskPassword(const std::string& password) {
  if (!password_dialog_) return PasswordAnswer::kCancelled;
  return password_dialog_->Ask(password);
}

void MainWindow::CloseWindow() { close(); }

void MainWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || !isMinimized()) return;
  // Only the tray icon remains; without a tray the window minimises as usual.
  if (tray_available_) QTimer::singleShot(0, this, [this] { hide(); });
}

void MainWindow::OnRestoreClicked() {
  showNormal();
  raise();
  activateWindow();
}

void MainWindow::OnCloseClicked() { close(); }

void MainWindow::closeEvent(QCloseEvent* event) {
  if (driver_ && !driver_->HandleCloseRequest()) {
    event->ignore();
    return;
  }
  event->accept();
  tray_->hide();
  QCoreApplication::quit();
}

}  // namespace qarn
