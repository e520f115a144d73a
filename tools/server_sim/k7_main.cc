// qarn-server-sim-k7: the K7 side of the message-server simulator on its own.
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#include "k7/socket_errors.h"
#include "k7_side.h"
#include "platform/clock.h"
#include "platform/qt_main_loop.h"
#include "platform/signal_watcher.h"

namespace {

constexpr const char* kUsage =
    "Usage: qarn-server-sim-k7 [--k7-port N] [--listen ADDRESS] [--help]\n"
    "\n"
    "Plays the Morvex message server's K7 side for the Qarn driver: listens for the driver's\n"
    "K7 connection, prints every 555-byte unit it sends (the greetings with the serial port\n"
    "number, station events with object number, event code and time, service frames 7, 72\n"
    "and 73), and sends the server's commands typed on standard input.\n"
    "\n"
    "  --k7-port N       port to listen on (default 7788; 0 lets the system pick one)\n"
    "  --listen ADDRESS  address to listen on (default 127.0.0.1)\n"
    "  --help            print this text and exit\n"
    "\n";

constexpr const char* kScriptHelp =
    "Other commands:\n"
    "  wait          hold the following lines until a driver is connected (for scripts)\n"
    "  sleep MS      hold the following lines MS milliseconds\n"
    "  help          print the commands\n"
    "  quit          end the simulator\n"
    "\n"
    "At the end of standard input the simulator keeps running until SIGINT or SIGTERM or\n"
    "\"quit\". Output lines go to standard output, flushed at once.\n";

void Print(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Standard input as command lines; "wait" and "sleep" hold back the lines after them.
class CommandReader {
 public:
  CommandReader(qarn::MainLoop& loop, qarn::K7Side& k7) : loop_(loop), k7_(k7) {
    k7_.SetOnConnected([this] {
      if (waiting_for_connection_) {
        waiting_for_connection_ = false;
        RunQueued();
      }
    });
    watch_ = loop_.WatchFd(STDIN_FILENO, qarn::MainLoop::kReadable, [this](unsigned) { Read(); });
  }

 private:
  void Read() {
    char buffer[1024];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
      loop_.UnwatchFd(watch_);  // end of input: keep serving the driver
      return;
    }
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] == '\n') {
        queued_.push_back(partial_);
        partial_.clear();
      } else if (buffer[i] != '\r') {
        partial_ += buffer[i];
      }
    }
    RunQueued();
  }

  void RunQueued() {
    while (!queued_.empty() && !waiting_for_connection_ && !sleeping_) {
      const std::string line = queued_.front();
      queued_.pop_front();
      Run(line);
    }
  }

  void Run(const std::string& line) {
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') return;
    const std::string text = line.substr(start);
    if (k7_.HandleCommand(text)) return;
    if (text == "wait") {
      waiting_for_connection_ = !k7_.connected();
    } else if (text.rfind("sleep", 0) == 0) {
      const int ms = std::atoi(text.c_str() + 5);
      if (ms > 0) {
        sleeping_ = true;
        sleep_timer_ = loop_.StartTimer(ms, [this] {
          loop_.StopTimer(sleep_timer_);
          sleeping_ = false;
          RunQueued();
        });
      }
    } else if (text == "help") {
      std::fputs(qarn::kK7CommandHelp, stdout);
      std::fputs(kScriptHelp, stdout);
      std::fflush(stdout);
    } else if (text == "quit") {
      loop_.Quit(0);
    } else {
      Print("unknown command: " + text + " (try help)");
    }
  }

  qarn::MainLoop& loop_;
  qarn::K7Side& k7_;
  qarn::MainLoop::Id watch_ = 0;
  qarn::MainLoop::Id sleep_timer_ = 0;
  std::string partial_;
  std::deque<std::string> queued_;
  bool waiting_for_connection_ = false;
  bool sleeping_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  qarn::BlockTerminationSignals();
  std::string address = "127.0.0.1";
  long port = qarn::kDefaultK7Port;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::fputs(qarn::kK7CommandHelp, stdout);
      std::fputs(kScriptHelp, stdout);
      return 0;
    }
    if ((arg == "--k7-port" || arg == "--listen") && i + 1 < argc) {
      const std::string value = argv[++i];
      if (arg == "--listen") {
        address = value;
        continue;
      }
      char* end = nullptr;
      port = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end || port < 0 || port > 65535) {
        std::fprintf(stderr, "qarn-server-sim-k7: not a port: %s\n", value.c_str());
        return 2;
      }
      continue;
    }
    std::fprintf(stderr, "qarn-server-sim-k7: unknown option %s\n\n%s", arg.c_str(), kUsage);
    return 2;
  }

  QCoreApplication app(argc, argv);
  qarn::QtMainLoop loop;
  qarn::SystemClock clock;
  qarn::K7Side k7(loop, clock, Print);
  const int error = k7.Listen(address, static_cast<uint16_t>(port));
  if (error) {
    std::fprintf(stderr, "qarn-server-sim-k7: cannot listen on %s:%ld: %s\n", address.c_str(), port,
                 qarn::SocketErrorText(error));
    return 1;
  }
  CommandReader reader(loop, k7);
  qarn::SignalWatcher termination(loop, [&](int) { loop.Quit(0); });
  return QCoreApplication::exec();
}
