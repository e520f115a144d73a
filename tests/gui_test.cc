// The operator window on the offscreen platform.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QToolButton>
#include <cstdlib>
#include <functional>
#include <set>

#include "fakes/fake_clock.h"
#include "fakes/fake_k7_client.h"
#include "fakes/fake_links.h"
#include "fakes/fake_main_loop.h"
#include "fakes/fake_station_port.h"
#include "fakes/scripted_connection.h"
#include "fakes/temp_dir.h"
#include "gui/indicator_picture.h"
#include "gui/main_window.h"
#include "gui/message_box_dialog.h"
#include "gui/password_dialog.h"
#include "gui/port_list_box.h"
#include "k7/k7_exchange.h"
#include "k8/port_state.h"
#include "platform/diag.h"
#include "shell/driver.h"

namespace qarn {
namespace {

using ::testing::ElementsAre;

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

// Indicator pixels, from the drawing rule: a frame at rows 2, 3, 14, 15 and columns 0, 15
// (the 2-pixel pen centred on the outline (0,3)-(16,15)), and the bar columns in rows 5..11.
void ExpectIndicator(const QImage& image, const std::set<int>& bar, bool up) {
  ASSERT_EQ(image.size(), QSize(16, 16));
  const QRgb colour = up ? qRgb(0, 128, 0) : qRgb(255, 0, 0);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      const bool frame = (y >= 2 && (x == 0 || x == 15)) || y == 2 || y == 3 || y == 14 || y == 15;
      const bool lit = frame || (bar.count(x) && y >= 5 && y <= 11);
      EXPECT_EQ(image.pixel(x, y) & 0xFFFFFF, (lit ? colour : qRgb(255, 255, 255)) & 0xFFFFFF)
          << "pixel " << x << "," << y;
    }
  }
}

TEST(IndicatorPictureTest, BarMovesAndWrapsInTheStateColour) {
  struct Case {
    int counter;
    std::set<int> bar;  // the x = 16 column does not show
  } cases[] = {
      {0, {0, 1, 2, 3, 4}},
      {12, {12, 13, 14, 15}},
      {13, {13, 14, 15, 1}},
      {16, {1, 2, 3, 4}},
  };
  for (const Case& c : cases) {
    for (bool up : {true, false}) {
      SCOPED_TRACE(::testing::Message() << "counter " << c.counter << " up " << up);
      ExpectIndicator(DrawIndicator(c.counter, up), c.bar, up);
    }
  }
}

// Acts on the next modal dialog once it shows; a dialog nobody acts on is closed after a
// while so that a broken test fails instead of hanging.
void OnNextModal(std::function<void(QWidget*)> act) {
  auto* timer = new QTimer;
  auto* deadline = new QElapsedTimer;
  deadline->start();
  QObject::connect(timer, &QTimer::timeout, [timer, deadline, act] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && modal->isVisible()) {
      timer->stop();
      timer->deleteLater();
      delete deadline;
      act(modal);
    } else if (deadline->elapsed() > 5000) {
      timer->stop();
      timer->deleteLater();
      delete deadline;
      ADD_FAILURE() << "no dialog showed";
    }
  });
  timer->start(5);
}

// Types `digits` into the password dialog and presses "ОК" (or "Отмена" when cancel).
void AnswerPassword(const QString& digits, bool cancel = false) {
  OnNextModal([digits, cancel](QWidget* w) {
    auto* dialog = dynamic_cast<PasswordDialog*>(w);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), Text("Закрытый доступ"));
    QTest::keyClicks(dialog->field(), digits);
    (cancel ? dialog->cancel_button() : dialog->ok_button())->click();
  });
}

// Records the message box's text and presses its "ОК".
void AnswerMessage(std::vector<std::string>* texts) {
  OnNextModal([texts](QWidget* w) {
    auto* box = dynamic_cast<MessageBoxDialog*>(w);
    ASSERT_NE(box, nullptr);
    texts->push_back(box->label()->text().toStdString());
    box->ok_button()->click();
  });
}

class MainWindowTest : public ::testing::Test {
 protected:
  MainWindowTest() : loop_(&clock_) {
    dir_.Enter();
    SetDiagSink([](bool, const std::string&) {});
  }
  ~MainWindowTest() override { SetDiagSink(nullptr); }

  Driver& Start(const std::string& ini = "") {
    if (!ini.empty()) dir_.Write("sqarn.ini", ini);
    driver_ = std::make_unique<Driver>(Driver::Services{clock_, fs_, loop_, port_, window_,
                                                        testing::RefusedConnections(),
                                                        testing::FakeK7Clients(&k7_client_)});
    window_.Attach(driver_.get());
    driver_->StartUp();
    window_.CreateDialogs();
    driver_->SetMessageBoxReady();
    driver_->run_control().SetK8(&k8_);
    return *driver_;
  }
  std::vector<uint8_t> OpenFlags() const {
    std::vector<uint8_t> flags;
    for (const auto& p : k8_.packets) flags.push_back(p.payload.at(7));
    return flags;
  }

  testing::TempDir dir_;
  testing::FakeClock clock_;
  testing::FakeMainLoop loop_;
  testing::FakeStationPort port_;
  testing::FakeK7Client* k7_client_ = nullptr;  // no socket in these tests
  testing::FakeK8 k8_;
  PosixFileSystem fs_;
  MainWindow window_;
  std::unique_ptr<Driver> driver_;
};

TEST_F(MainWindowTest, LayoutAndFixedTexts) {
  Start("[main]\nSendK7=1\n");
  EXPECT_EQ(window_.windowTitle(), Text("Драйвер Qarn"));
  EXPECT_EQ(window_.size(), QSize(447, 331));
  EXPECT_EQ(window_.pages()->geometry(), QRect(0, 138, 447, 193));
  EXPECT_EQ(window_.station_indicator()->geometry(), QRect(176, 8, 16, 16));
  EXPECT_EQ(window_.k8_indicator()->geometry(), QRect(416, 8, 16, 16));
  EXPECT_EQ(window_.k7_indicator()->geometry(), QRect(416, 35, 16, 16));
  EXPECT_EQ(window_.log_area()->geometry(), QRect(7, 84, 432, 100));
  EXPECT_EQ(window_.password_text()->text().toStdString(), driver_->window().close_password);
  EXPECT_EQ(window_.start_time()->text(), Text("15.09.2010 14:05:07"));
  EXPECT_EQ(window_.port_list()->geometry(), QRect(18, 25, 103, 19));
  EXPECT_EQ(window_.run_button()->geometry(), QRect(143, 22, 94, 25));
  EXPECT_EQ(window_.rescan_button()->text(), Text("Сканировать заново"));
  EXPECT_EQ(window_.tray()->toolTip(), Text("Драйвер - Qarn"));
  QStringList menu;
  for (QAction* a : window_.tray_menu()->actions())
    menu << (a->isSeparator() ? QStringLiteral("-") : a->text());
  EXPECT_EQ(menu, QStringList({Text("Восстановить"), "-", Text("Закрыть")}));
  // The station picture stays empty until the first advance; K8 is drawn at start-up.
  EXPECT_TRUE(window_.station_indicator()->pixmap().isNull());
  EXPECT_FALSE(window_.k8_indicator()->pixmap().isNull());
  EXPECT_TRUE(window_.k7_indicator()->pixmap().isNull());
  driver_->facts().Activity(Indicator::kStation);
  EXPECT_EQ(window_.station_indicator()->pixmap().toImage().convertToFormat(QImage::Format_RGB32),
            DrawIndicator(1, false));
}

TEST_F(MainWindowTest, EveryTextFitsItsPlace) {
  Start("[main]\nSendK7=1\n");
  for (QLabel* label : window_.findChildren<QLabel*>()) {
    if (label->text().isEmpty() || label->window() != &window_) continue;
    EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width())
        << label->text().toStdString();
  }
  for (QPushButton* button : window_.findChildren<QPushButton*>()) {
    EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()) + 8, button->width())
        << button->text().toStdString();
  }
}

TEST_F(MainWindowTest, K7RowHiddenWithoutTheK7Link) {
  Start();
  window_.show();
  driver_->facts().Activity(Indicator::kK7);
  EXPECT_FALSE(window_.k7_label()->isVisible());
  EXPECT_FALSE(window_.k7_indicator()->isVisible());
}

TEST_F(MainWindowTest, PageButtonsKeepExactlyOneDown) {
  Start();
  window_.show();
  EXPECT_TRUE(window_.status_page_button()->isChecked());
  EXPECT_EQ(window_.pages()->currentWidget()->objectName(), "Default");
  window_.setup_page_button()->click();
  EXPECT_FALSE(window_.status_page_button()->isChecked());
  EXPECT_TRUE(window_.setup_page_button()->isChecked());
  EXPECT_EQ(window_.pages()->currentWidget()->objectName(), "setup");
  EXPECT_TRUE(driver_->window().setup_page_shown);
  window_.setup_page_button()->click();  // pressing the down one keeps it down
  EXPECT_TRUE(window_.setup_page_button()->isChecked());
  window_.status_page_button()->click();
  EXPECT_TRUE(window_.status_page_button()->isChecked());
  EXPECT_FALSE(window_.setup_page_button()->isChecked());
  EXPECT_EQ(window_.pages()->currentWidget()->objectName(), "Default");
}

TEST_F(MainWindowTest, LogAreaKeepsTheNewestHundredLines) {
  Start();
  for (int i = 1; i <= 101; ++i) driver_->facts().LogLine("line " + std::to_string(i));
  QPlainTextEdit* log = window_.log_area();
  EXPECT_EQ(log->document()->blockCount(), 100);
  EXPECT_TRUE(log->document()->firstBlock().text().endsWith(" line 2"));
  EXPECT_TRUE(log->document()->lastBlock().text().endsWith(" line 101"));
}

TEST_F(MainWindowTest, RunButtonStartsAndStopsBehindThePassword) {
  Start();
  port_.opens = [](const std::string& name) { return name == "\\\\.\\COM2"; };
  EXPECT_EQ(window_.run_button()->text(), Text("Запустить"));
  EXPECT_TRUE(window_.rescan_button()->isEnabled());
  window_.rescan_button()->click();
  EXPECT_EQ(window_.port_list()->count(), 1);
  EXPECT_EQ(window_.port_list()->currentText(), "COM2");

  window_.run_button()->click();
  EXPECT_EQ(window_.run_button()->text(), Text("Остановить"));
  EXPECT_FALSE(window_.port_list()->isEnabled());
  EXPECT_FALSE(window_.rescan_button()->isEnabled());
  EXPECT_TRUE(port_.dtr);

  std::vector<std::string> messages;
  AnswerPassword("11111");
  QTimer::singleShot(0, [&] { AnswerMessage(&messages); });
  window_.run_button()->click();
  EXPECT_THAT(messages, ElementsAre("Неправильный пароль. В доступе отказано"));
  EXPECT_EQ(window_.run_button()->text(), Text("Остановить"));
  EXPECT_TRUE(port_.IsOpen());

  AnswerPassword(QString::fromStdString(driver_->window().close_password));
  window_.run_button()->click();
  EXPECT_EQ(window_.run_button()->text(), Text("Запустить"));
  EXPECT_TRUE(window_.port_list()->isEnabled());
  EXPECT_FALSE(port_.IsOpen());
  // Scan, start, refused stop, stop.
  EXPECT_THAT(OpenFlags(), ElementsAre(0, 1, 1, 0));
}

TEST_F(MainWindowTest, OnlyAPickInTheDropDownSelectsAPort) {
  Start();
  window_.show();
  port_.opens = [](const std::string& name) {
    return name == "\\\\.\\COM2" || name == "\\\\.\\COM3";
  };
  window_.rescan_button()->click();
  ASSERT_EQ(window_.port_list()->count(), 2);
  ASSERT_EQ(driver_->run_control().ComPortName(), "COM2");
  k8_.packets.clear();

  // Text typed into the field that matches an entry, then Enter: no pick.
  QLineEdit* field = window_.port_list()->lineEdit();
  field->selectAll();
  QTest::keyClicks(field, "COM3");
  QTest::keyClick(field, Qt::Key_Return);
  field->clearFocus();
  QCoreApplication::processEvents();
  EXPECT_EQ(driver_->run_control().ComPortName(), "COM2");
  EXPECT_TRUE(k8_.packets.empty());
  EXPECT_EQ(driver_->run_control().page().chosen, "COM3");  // a start would open it as typed

  // The keyboard's choice in the drop-down: a pick.
  window_.port_list()->showPopup();
  QAbstractItemView* view = window_.port_list()->view();
  view->setCurrentIndex(view->model()->index(1, 0));
  QTest::keyClick(view, Qt::Key_Return);
  QCoreApplication::processEvents();
  EXPECT_EQ(driver_->run_control().ComPortName(), "COM3");
  EXPECT_EQ(OpenFlags(), std::vector<uint8_t>{0});
  EXPECT_EQ(dir_.Read("sqarn.ini"),
            (std::vector<uint8_t>{'[', 'm', 'a', 'i', 'n', ']', '\n', 'C', 'o', 'm',
                                  'P', 'o', 'r', 't', '=', 'C', 'O',  'M', '3', '\n'}));
}

TEST_F(MainWindowTest, HeaderStripCarriesTheWindowButtons) {
  Start();
  window_.set_tray_available(true);
  window_.show();
  for (QToolButton* b :
       {window_.minimize_button(), window_.maximize_button(), window_.close_button()}) {
    const QRect r = b->geometry();
    EXPECT_TRUE(QRect(0, 0, kWindowWidth, kHeaderHeight).contains(r)) << r.x() << "," << r.y();
    EXPECT_TRUE(b->isVisible());
  }
  window_.minimize_button()->click();
  QTRY_VERIFY_WITH_TIMEOUT(window_.isHidden(), 2000);
  window_.OnRestoreClicked();

  bool asked = false;
  OnNextModal([&asked](QWidget* w) {
    asked = true;
    static_cast<PasswordDialog*>(w)->cancel_button()->click();
  });
  window_.close_button()->click();
  EXPECT_TRUE(asked);
  EXPECT_TRUE(window_.isVisible());
}

TEST_F(MainWindowTest, CloseAsksForThePassword) {
  Start();
  std::vector<std::string> messages;
  AnswerPassword("", /*cancel=*/true);
  EXPECT_FALSE(driver_->HandleCloseRequest());

  AnswerPassword("12");
  QTimer::singleShot(0, [&] { AnswerMessage(&messages); });
  EXPECT_FALSE(driver_->HandleCloseRequest());
  EXPECT_THAT(messages, ElementsAre("Не правильный пароль."));

  // The field's text is selected when the dialog shows again, so typing replaces it.
  OnNextModal([this](QWidget* w) {
    auto* dialog = static_cast<PasswordDialog*>(w);
    EXPECT_EQ(dialog->field()->selectedText(), "12");
    EXPECT_EQ(dialog->field()->echoMode(), QLineEdit::Password);
    QTest::keyClicks(dialog->field(), QString::fromStdString(driver_->window().close_password));
    dialog->ok_button()->click();
  });
  EXPECT_TRUE(driver_->HandleCloseRequest());
  EXPECT_TRUE(driver_->shut_down());
}

TEST_F(MainWindowTest, ServerOrderClosesTheWindowWithoutThePassword) {
  Start();
  window_.show();
  // The server's close order, on the K7 link.
  k7_client_->Connect();
  const K7Frame close = BuildServerUnit(kK7Close);
  k7_client_->Arrive(Bytes(close.begin(), close.end()));
  EXPECT_TRUE(driver_->close_by_server());
  EXPECT_FALSE(window_.isVisible());
  EXPECT_EQ(window_.password_dialog()->isVisible(), false);
}

TEST_F(MainWindowTest, MinimisingHidesInTheTray) {
  Start();
  window_.set_tray_available(true);
  window_.show();
  window_.setWindowState(Qt::WindowMinimized);
  QTRY_VERIFY_WITH_TIMEOUT(window_.isHidden(), 2000);
  window_.OnRestoreClicked();
  EXPECT_TRUE(window_.isVisible());
  EXPECT_FALSE(window_.isMinimized());

  // Without a tray it minimises as usual and stays in the taskbar.
  window_.set_tray_available(false);
  window_.setWindowState(Qt::WindowMinimized);
  QCoreApplication::processEvents();
  EXPECT_FALSE(window_.isHidden());
}

TEST_F(MainWindowTest, TrayCloseWhileHiddenAsksForThePassword) {
  Start();
  window_.hide();
  bool asked = false;
  OnNextModal([&asked](QWidget* w) {
    asked = true;
    static_cast<PasswordDialog*>(w)->cancel_button()->click();
  });
  window_.OnCloseClicked();
  EXPECT_TRUE(asked);
  EXPECT_FALSE(driver_->shut_down());
}

TEST(MessageBoxDialogTest, TenPixelsPerCharacterAndTheButtonCentred) {
  MessageBoxDialog box;
  box.SetText("Порт уже занят!");  // 15 characters
  EXPECT_EQ(box.width(), 150);
  EXPECT_EQ(box.windowTitle(), Text("Драйвер Qarn"));
  EXPECT_EQ(box.label()->geometry().left(), 2);
  EXPECT_EQ(box.label()->width(), 150);
  EXPECT_TRUE(box.label()->font().bold());
  EXPECT_EQ(box.label()->font().pixelSize(), 16);
  EXPECT_EQ(box.ok_button()->geometry().left(), 39);
  EXPECT_EQ(box.ok_button()->width(), 72);
  box.SetText("Не правильный пароль.");  // 21
  EXPECT_EQ(box.width(), 210);
  EXPECT_EQ(box.ok_button()->geometry().left(), 69);
  for (const char* text :
       {"Порт уже занят!", "Не правильный пароль.", "Порт уже занят. Смените его.",
        "Неправильный пароль. В доступе отказано"}) {
    box.SetText(text);
    EXPECT_LE(box.label()->fontMetrics().horizontalAdvance(box.label()->text()), box.width())
        << text;
  }
}

// Renders `w` at `scale` (1 for 100 %, 2 for 200 %).
QImage Render(QWidget* w, qreal scale) {
  QImage image(w->size() * scale, QImage::Format_ARGB32);
  image.setDevicePixelRatio(scale);
  image.fill(Qt::white);
  w->render(&image);
  return image;
}

TEST_F(MainWindowTest, SavesScreenshotsOfBothPages) {
  Driver& d = Start("[main]\nComPort=COM3\nSendK7=1\n");
  for (int i = 0; i < 6; ++i) d.facts().Activity(Indicator::kStation);
  for (int i = 0; i < 9; ++i) d.facts().Activity(Indicator::kK8);
  d.facts().Activity(Indicator::kK7);
  d.facts().LogLine("Соединение...");
  d.facts().LogLine("Соединение...");
  window_.show();
  const QString dir = QStringLiteral(QARN_SCREENSHOT_DIR);
  QDir().mkpath(dir);
  for (qreal scale : {1.0, 2.0}) {
    const QString suffix = scale == 1.0 ? "" : "@2x";
    window_.status_page_button()->click();
    ASSERT_TRUE(Render(&window_, scale).save(dir + "/main" + suffix + ".png"));
    window_.setup_page_button()->click();
    ASSERT_TRUE(Render(&window_, scale).save(dir + "/setup" + suffix + ".png"));
  }
  MessageBoxDialog box;
  box.SetText("Порт уже занят!");
  ASSERT_TRUE(Render(&box, 1).save(dir + "/message.png"));
  PasswordDialog password;
  password.adjustSize();
  ASSERT_TRUE(Render(&password, 1).save(dir + "/password.png"));
}

}  // namespace
}  // namespace qarn

int main(int argc, char** argv) {
  // Test discovery runs without ctest's environment.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
