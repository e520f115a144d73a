// qarn-driver: the resident driver between the Qarn station and the message server.
#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/version.h"
#include "platform/async_tcp_client.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/display_probe.h"
#include "platform/file_system.h"
#include "platform/instance_lock.h"
#include "platform/prometheus_metrics.h"
#include "platform/qt_main_loop.h"
#include "platform/service_notifier.h"
#include "platform/signal_watcher.h"
#include "platform/tcp_socket.h"
#include "platform/termios_serial_device.h"
#include "serial/serial_port_driver.h"
#include "shell/config_check.h"
#include "shell/driver.h"
#include "shell/service_status.h"

#ifdef QARN_GUI
#include <QApplication>

#include "gui/main_window.h"
#endif

namespace {

constexpr const char* kUsage =
    "Usage: qarn-driver [--headless] [--check-config] [--version] [--help]\n"
    "\n"
    "The Qarn driver: answers the Qarn radio station on its serial port and delivers its\n"
    "events to the Morvex message server over the K7 and K8 links, spooling them to files\n"
    "while a link is down.\n"
    "\n"
    "It works in the current directory: it reads sqarn.ini there and writes error.txt,\n"
    "qarn.log and (by default) the spool files *.ddk and *.dd8 there. One driver runs per\n"
    "directory (the lock file qarn-driver.pid names it).\n"
    "\n"
    "  --headless      run without a window (also the case when no display can be opened);\n"
    "                  SIGTERM or SIGINT closes the driver in order, SIGHUP is ignored\n"
    "  --check-config  print every setting of sqarn.ini with where it came from, and every\n"
    "                  problem; exit status 0 only when the file exists and has none\n"
    "  --version       print the version and exit\n"
    "  --help          print this text and exit\n";

// The lock file that keeps a second driver out of the same working directory.
constexpr const char* kLockFileName = "qarn-driver.pid";

// What the driver runs on, with or without a window; made once the application exists.
struct Platform {
  Platform() : device(qarn::PortsOfFile(fs, qarn::kIniFileName)), port(device, clock, loop) {}
  qarn::SystemClock clock;
  qarn::PosixFileSystem fs;
  qarn::QtMainLoop loop;
  qarn::TermiosSerialDevice device;
  qarn::SerialPortDriver port;
  // Kept whether or not they are served; served once "sqarn.ini" is read.
  qarn::PrometheusMetrics metrics;
};

// Serves the metrics where "sqarn.ini" says; a port that is taken or not allowed is said once,
// and the driver runs on without them.
void ServeMetrics(Platform& p, const qarn::Config& config) {
  if (config.metrics_port == 0) return;
  std::string error;
  if (p.metrics.Serve(config.metrics_address, config.metrics_port, &error)) {
    qarn::DiagInfo("metrics served at " + config.metrics_address + " port " +
                   std::to_string(config.metrics_port) + ", /metrics");
  } else {
    qarn::DiagError("cannot serve the metrics: " + error + "; the driver runs without them");
  }
}

// Starts the driver, tells the service manager, runs the loop until the close, and returns
// the exit status. `after_start_up` brings up what the window adds.
template <typename AfterStartUp>
int Run(Platform& p, qarn::Driver& driver, const AfterStartUp& after_start_up) {
  const std::unique_ptr<qarn::ServiceNotifier> notifier = qarn::MakeSystemdNotifier();
  qarn::ServiceStatus service(p.loop, *notifier,
                              [&] { return qarn::FormatStatusLine(driver.status_facts()); });
  qarn::SignalWatcher signals(p.loop, [&](int signal) {
    if (signal == SIGHUP) {
      qarn::DiagWarning(
          "SIGHUP ignored: sqarn.ini is read at start-up only; restart the driver "
          "to apply a change");
      return;
    }
    driver.CloseOnSignal();
    p.loop.Quit(0);
  });
  driver.AddObserver(service);
  driver.StartUp();
  ServeMetrics(p, driver.config());
  after_start_up();
  service.Ready();
  const int status = QCoreApplication::exec();
  driver.RemoveObserver(service);  // the driver outlives this function
  return status;
}

int RunHeadless(int argc, char** argv, const qarn::DriverTimings& timings) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QString::fromUtf8("Драйвер Qarn"));
  Platform p;
  qarn::HeadlessView view;
  qarn::Driver driver({p.clock, p.fs, p.loop, p.port, view, qarn::PosixTcpClientFactory(),
                       qarn::AsyncTcpClientFactory(), p.metrics, timings});
  return Run(p, driver, [&] {
    driver.SetMessageBoxReady();
    qarn::DiagInfo(std::string("qarn-driver ") + qarn::kVersionText + " running headless");
  });
}

#ifdef QARN_GUI
int RunWithWindow(int argc, char** argv, const qarn::DriverTimings& timings) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8("Драйвер Qarn"));
  // The window hides in the tray and dialogs come and go: only an accepted close ends the
  // program.
  QApplication::setQuitOnLastWindowClosed(false);
  Platform p;
  qarn::MainWindow window;
  qarn::Driver driver({p.clock, p.fs, p.loop, p.port, window, qarn::PosixTcpClientFactory(),
                       qarn::AsyncTcpClientFactory(), p.metrics, timings});
  window.Attach(&driver);
  return Run(p, driver, [&] {
    window.CreateDialogs();
    driver.SetMessageBoxReady();
    window.ShowAtStartUp();
  });
}
#endif

// The protocol's pauses, or those a test of the binary sets (a service never does); nothing,
// with the reason on standard error, when the setting has a mistake.
std::optional<qarn::DriverTimings> TimingsFromEnvironment() {
  const char* text = std::getenv(qarn::kTestTimingsVariable);
  if (!text) return qarn::DriverTimings();
  std::string why;
  std::optional<qarn::DriverTimings> timings = qarn::ParseDriverTimings(text, &why);
  if (!timings)
    std::fprintf(stderr, "qarn-driver: %s: %s\n", qarn::kTestTimingsVariable, why.c_str());
  return timings;
}

int CheckConfigOnly() {
  qarn::PosixFileSystem fs;
  const qarn::ConfigCheck check = qarn::CheckConfig(
      fs, qarn::kIniFileName,
      [](const std::string& host) { return qarn::ResolveIPv4(host).has_value(); });
  std::fputs(qarn::FormatConfigCheck(check).c_str(), stdout);
  return check.ok() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  qarn::BlockTerminationSignals();
  bool headless = false;
  bool check_config = false;
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
    } else if (std::strcmp(argv[i], "--check-config") == 0) {
      check_config = true;
    } else {
      std::fprintf(stderr, "qarn-driver: unknown option %s\n\n%s", argv[i], kUsage);
      return 2;
    }
  }
  if (check_config) return CheckConfigOnly();
  const std::optional<qarn::DriverTimings> timings = TimingsFromEnvironment();
  if (!timings) return 2;
  qarn::DetectJournalOnStderr();
  if (const std::string changed = qarn::DescribeDriverTimings(*timings); !changed.empty()) {
    qarn::DiagWarning(std::string(qarn::kTestTimingsVariable) + ": pauses shortened for tests (" +
                      changed + ")");
  }

  qarn::InstanceLock lock;
  pid_t holder = 0;
  std::string error;
  switch (lock.Acquire(kLockFileName, &holder, &error)) {
    case qarn::InstanceLock::Result::kAcquired:
      break;
    case qarn::InstanceLock::Result::kHeld:
      qarn::DiagError("another qarn-driver" +
                      (holder > 0 ? " (process " + std::to_string(holder) + ")" : std::string()) +
                      " already runs in this directory; exiting");
      return 1;
    case qarn::InstanceLock::Result::kFailed:
      qarn::DiagError(error + "; exiting");
      return 1;
  }

#ifdef QARN_GUI
  if (!headless) {
    std::string why;
    if (qarn::CanOpenDisplay(&why)) return RunWithWindow(argc, argv, *timings);
    // Without a display named at all the driver is a service; a display that fails is news.
    if (!why.empty()) qarn::DiagWarning("cannot open the display (" + why + "); running headless");
  }
#endif
  (void)headless;
  return RunHeadless(argc, argv, *timings);
}
