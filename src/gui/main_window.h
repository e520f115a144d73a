// The operator window: the driver's state on two pages, the tray icon, and the dialogs.
// It shows what Driver holds and forwards the operator's clicks to it.
#pragma once

#include <QImage>
#include <QWidget>
#include <memory>

#include "shell/driver_view.h"

class QButtonGroup;
class QComboBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QSystemTrayIcon;
class QToolButton;

namespace qarn {

class Driver;
class MessageBoxDialog;
class PasswordDialog;
class PortListBox;

inline constexpr int kWindowWidth = 447;
inline constexpr int kWindowHeight = 331;
inline constexpr int kHeaderHeight = 57;
inline constexpr int kPageButtonsHeight = 81;
inline constexpr int kPageAreaHeight = 193;
inline constexpr int kHeaderButtonSize = 22;

class MainWindow final : public QWidget, public DriverView {
 public:
  MainWindow();
  ~MainWindow() override;

  // The driver is made with this window as its view, so it comes after the window.
  void Attach(Driver* driver);
  // The dialogs, made after the main window as at the driver's start.
  void CreateDialogs();
  // Centres the window on the screen and shows it normally.
  void ShowAtStartUp();

  // DriverView.
  void Update(ViewPart part) override;
  void ShowMessageBox(const std::string& text) override;
  PasswordAnswer AskPassword(const std::string& password) override;
  void CloseWindow() override;

  // Tray menu entries.
  void OnRestoreClicked();
  void OnCloseClicked();

  // For tests and screenshots.
  QPushButton* status_page_button() const { return status_page_button_; }
  QPushButton* setup_page_button() const { return setup_page_button_; }
  QStackedWidget* pages() const { return pages_; }
  QLabel* station_indicator() const { return station_indicator_; }
  QLabel* k7_indicator() const { return k7_indicator_; }
  QLabel* k8_indicator() const { return k8_indicator_; }
  QLabel* k7_label() const { return k7_label_; }
  QLabel* start_time() const { return start_time_; }
  QLabel* password_text() const { return password_text_; }
  QPlainTextEdit* log_area() const { return log_area_; }
  PortListBox* port_list() const { return port_list_; }
  QToolButton* minimize_button() const { return minimize_button_; }
  QToolButton* maximize_button() const { return maximize_button_; }
  QToolButton* close_button() const { return close_button_; }
  QPushButton* run_button() const { return run_button_; }
  QPushButton* rescan_button() const { return rescan_button_; }
  QSystemTrayIcon* tray() const { return tray_; }
  QMenu* tray_menu() const { return tray_menu_.get(); }
  PasswordDialog* password_dialog() const { return password_dialog_; }
  MessageBoxDialog* message_box() const { return message_box_; }
  // Whether minimising hides the window in the tray; found at construction.
  bool tray_available() const { return tray_available_; }
  void set_tray_available(bool available) { tray_available_ = available; }

 protected:
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  QWidget* MakeHeader();
  QWidget* MakePageButtons();
  QWidget* MakeMainPage();
  QWidget* MakeSetupPage();
  void MakeTray();
  void ShowPage(bool setup);
  void ShowIndicator(QLabel* label, int counter, bool link_up);
  void ShowSetupPage();
  void ShowLog();

  Driver* driver_ = nullptr;
  QPushButton* status_page_button_ = nullptr;
  QPushButton* setup_page_button_ = nullptr;
  QButtonGroup* page_group_ = nullptr;
  QStackedWidget* pages_ = nullptr;
  QLabel* station_indicator_ = nullptr;
  QLabel* k7_indicator_ = nullptr;
  QLabel* k8_indicator_ = nullptr;
  QLabel* k7_label_ = nullptr;
  QLabel* start_time_ = nullptr;
  QLabel* password_text_ = nullptr;
  QPlainTextEdit* log_area_ = nullptr;
  PortListBox* port_list_ = nullptr;
  QToolButton* minimize_button_ = nullptr;
  QToolButton* maximize_button_ = nullptr;
  QToolButton* close_button_ = nullptr;
  QPushButton* run_button_ = nullptr;
  QPushButton* rescan_button_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  std::unique_ptr<QMenu> tray_menu_;
  PasswordDialog* password_dialog_ = nullptr;
  MessageBoxDialog* message_box_ = nullptr;
  bool k7_shown_once_ = false;  // the first K7 update only hides or shows it
  bool filling_port_list_ = false;
  bool tray_available_ = false;
};

// The driver's icon: a small antenna mast with waves, drawn at `size` pixels.
QImage DrawDriverIcon(int size);

}  // namespace qarn
