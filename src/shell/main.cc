// qarn-driver: the resident driver between the Qarn station and the message server.
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/file_system.h"
#include "platform/qt_main_loop.h"
#include "platform/signal_watcher.h"
#include "platform/termios_serial_device.h"
#include "platform/version.h"
#include "serial/serial_port_driver.h"
#include "shell/driver.h"

#ifdef QARN_GUI
#include <QApplication>

#include "gui/main_window.h"
#endif

namespace {

constexpr const char* kUsage =
    "Usage: qarn-driver [--headless] [--version] [--help]\n"
    "\n"
    "The Qarn driver: answers the Qarn radio station on its serial port and delivers its\n"
    "events to the Morvex message server over the K7 and K8 links, spooling them to files\n"
    "while a link is down.\n"
    "\n"
    "It works in the current directory: it reads sqarn.ini there and writes error.txt,\n"
    "qarn.log and (by default) the spool files *.ddk and *.dd8 there.\n"
    "\n"
    "  --headless  run without a window (also the case when there is no display);\n"
    "              SIGTERM or SIGINT closes the driver in order\n"
    "  --version   print the version and exit\n"
    "  --help      print this text and exit\n";

bool HasDisplay() {
  const char* qpa = std::getenv("QT_QPA_PLATFORM");
  if (qpa && *qpa) return true;
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (wayland && *wayland);
}

// What the driver runs on, with or without a window; made once the application exists.
struct Platform {
  Platform() : device(fs, qarn::kIniFileName), port(device, clock, loop) {
    qarn::SetStationPortValues(port);
  }
  qarn::SystemClock clock;
  qarn::PosixFileSystem fs;
  qarn::QtMainLoop loop;
  qarn::TermiosSerialDevice device;
  qarn::SerialPortDriver port;
};

int RunHeadless(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QString::fromUtf8("Драйвер Qarn"));
  Platform p;
  qarn::HeadlessView view;
  qarn::Driver driver({p.clock, p.fs, p.loop, p.port, view});
  qarn::SignalWatcher termination(p.loop, [&](int) {
    driver.CloseOnSignal();
    p.loop.Quit(0);
  });
  driver.StartUp();
  driver.SetMessageBoxReady();
  qarn::DiagError(std::string("qarn-driver ") + qarn::kVersionText + " running headless");
  return QCoreApplication::exec();
}

#ifdef QARN_GUI
int RunWithWindow(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8("Драйвер Qarn"));
  // The window hides in the tray and dialogs come and go: only an accepted close ends the
  // program.
  QApplication::setQuitOnLastWindowClosed(false);
  Platform p;
  qarn::MainWindow window;
  qarn::Driver driver({p.clock, p.fs, p.loop, p.port, window});
  window.Attach(&driver);
  qarn::SignalWatcher termination(p.loop, [&](int) {
    driver.CloseOnSignal();
    p.loop.Quit(0);
  });
  driver.StartUp();
  window.CreateDialogs();
  driver.SetMessageBoxReady();
  window.ShowAtStartUp();
  return QApplication::exec();
}
#endif

}  // namespace

int main(int argc, char** argv) {
  qarn::BlockTerminationSignals();
  bool headless = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("%s\n", qarn::kVersionText);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--headless") == 0) {
      headless = true;
    } else {
      std::fprintf(stderr, "qarn-driver: unknown option %s\n\n%s", argv[i], kUsage);
      return 2;
    }
  }
  if (!headless && !HasDisplay()) headless = true;
#ifdef QARN_GUI
  if (!headless) return RunWithWindow(argc, argv);
#endif
  return RunHeadless(argc, argv);
}
