// qarn-server-sim: a stand-in for the Morvex message server on both links, K7 and K8, for
// commissioning and demos.
#include <unistd.h>

#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>

#include "base/socket_error.h"
#include "k7_side.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/qt_main_loop.h"
#include "platform/signal_watcher.h"
#include "server_sim/command_dispatcher.h"
#include "server_sim/k8_side.h"

namespace {

constexpr const char* kIntro =
    "Usage: qarn-server-sim [options]\n"
    "\n"
    "Plays the Morvex message server for the Qarn driver on both of its links: listens for\n"
    "the driver's K7 and K8 connections, prints every unit and frame received, answers the\n"
    "K8 frames, and sends the server commands typed on standard input, one per line.\n"
    "Every output line starts with the link it is about (K7, K8, or K7/K8 for both) and goes\n"
    "to standard output at once; failures go to standard error.\n"
    "\n"
    "K7 link (the driver's [main] host and K7Port):\n"
    "  --k7-port N       listen on port N (default 7788; 0 lets the system pick one)\n"
    "  --k7-address A    listen on address A (default 127.0.0.1)\n"
    "  --no-k7           do not serve the K7 link\n"
    "\n";

constexpr const char* kBothOptions =
    "  --no-k8           do not serve the K8 link\n"
    "                    (--k8-port 0 lets the system pick the K8 port)\n"
    "\n"
    "Both links:\n"
    "  --listen A        listen on address A for both links\n"
    "  --help            print this text and exit\n"
    "\n"
    "Commands name their link with a prefix: \"k7 query\", \"k8 query\". The prefix may be\n"
    "left off for every command but query, which both links know.\n"
    "\n";

constexpr const char* kOtherCommands =
    "Other commands:\n"
    "  wait          hold the following lines until a driver is connected on K7 (for scripts)\n"
    "  sleep MS      hold the following lines MS milliseconds\n"
    "  help          print the commands\n"
    "  quit          end the simulator\n"
    "Lines starting with # are ignored. At the end of standard input the simulator keeps\n"
    "running until SIGINT, SIGTERM or \"quit\".\n";

void PrintHelp(FILE* out) {
  std::fputs(kIntro, out);
  std::fputs(qarn::sim::K8Side::Usage(), out);
  std::fputs(kBothOptions, out);
  std::fputs(qarn::kK7CommandHelp, out);
  std::fputc('\n', out);
  std::fputs(qarn::sim::K8Side::Commands(), out);
  std::fputc('\n', out);
  std::fputs(kOtherCommands, out);
  std::fflush(out);
}

// Standard input as command lines; "wait" and "sleep" hold back the lines after them.
class CommandReader {
 public:
  CommandReader(qarn::MainLoop& loop, qarn::K7Side* k7, qarn::sim::K8Side* k8)
      : loop_(loop),
        k7_(k7),
        dispatcher_(k7 ? [k7](const std::string& line) { return k7->HandleCommand(line); }
                       : qarn::sim::CommandDispatcher::Handler(),
                    k8 ? [k8](const std::string& line) { return k8->HandleCommand(line); }
                       : qarn::sim::CommandDispatcher::Handler(),
                    qarn::DiagOutput) {
    if (k7_) {
      k7_->SetOnConnected([this] {
        if (waiting_for_connection_) {
          waiting_for_connection_ = false;
          RunQueued();
        }
      });
    }
    watch_ = loop_.WatchFd(STDIN_FILENO, qarn::MainLoop::kReadable, [this](unsigned) { Read(); });
  }

  ~CommandReader() {
    if (watch_) loop_.UnwatchFd(watch_);
    if (sleep_timer_) loop_.StopTimer(sleep_timer_);
  }

 private:
  void Read() {
    char buffer[1024];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
      loop_.UnwatchFd(watch_);  // end of input: keep serving the driver
      watch_ = 0;
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
    const size_t end = line.find_last_not_of(" \t");
    const std::string text = line.substr(start, end - start + 1);
    if (text == "wait" || text == "k7 wait") {
      if (!k7_) {
        qarn::DiagOutput("K7 link is off; nothing to wait for");
        return;
      }
      waiting_for_connection_ = !k7_->connected();
    } else if (text.rfind("sleep", 0) == 0) {
      const int ms = std::atoi(text.c_str() + 5);
      if (ms > 0) {
        sleeping_ = true;
        sleep_timer_ = loop_.StartTimer(ms, [this] {
          loop_.StopTimer(sleep_timer_);
          sleep_timer_ = 0;
          sleeping_ = false;
          RunQueued();
        });
      }
    } else if (text == "help") {
      PrintHelp(stdout);
    } else if (text == "quit") {
      qarn::DiagOutput("K7/K8 quit: ending");
      loop_.Quit(0);
    } else {
      dispatcher_.Dispatch(text);
    }
  }

  qarn::MainLoop& loop_;
  qarn::K7Side* k7_;
  qarn::sim::CommandDispatcher dispatcher_;
  qarn::MainLoop::Id watch_ = 0;
  qarn::MainLoop::Id sleep_timer_ = 0;
  std::string partial_;
  std::deque<std::string> queued_;
  bool waiting_for_connection_ = false;
  bool sleeping_ = false;
};

int Fail(const std::string& why) {
  std::fprintf(stderr, "qarn-server-sim: %s\n", why.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  qarn::BlockTerminationSignals();  // before the K8 thread starts, so it inherits the mask
  bool k7_on = true;
  bool k8_on = true;
  std::string k7_address = "127.0.0.1";
  long k7_port = qarn::kDefaultK7Port;
  qarn::sim::K8Side::Options k8_options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintHelp(stdout);
      return 0;
    }
    if (arg == "--no-k7" || arg == "--no-k8") {
      (arg == "--no-k7" ? k7_on : k8_on) = false;
      continue;
    }
    if (arg == "--k7-port" || arg == "--k7-address" || arg == "--listen") {
      if (i + 1 >= argc) return Fail(arg + " needs a value");
      const std::string value = argv[++i];
      if (arg == "--listen") {
        k7_address = k8_options.address = value;
      } else if (arg == "--k7-address") {
        k7_address = value;
      } else {
        char* end = nullptr;
        k7_port = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end || k7_port < 0 || k7_port > 65535) {
          return Fail("not a port: " + value);
        }
      }
      continue;
    }
    std::string error;
    if (qarn::sim::K8Side::ParseOption(argc, argv, &i, &k8_options, &error)) {
      if (!error.empty()) return Fail(error);
      continue;
    }
    std::fprintf(stderr, "qarn-server-sim: unknown option %s (see --help)\n", arg.c_str());
    return 2;
  }
  if (!k7_on && !k8_on) return Fail("--no-k7 and --no-k8 leave nothing to serve");

  QCoreApplication app(argc, argv);
  qarn::QtMainLoop loop;
  qarn::SystemClock clock;
  std::unique_ptr<qarn::K7Side> k7;
  if (k7_on) {
    k7 = std::make_unique<qarn::K7Side>(loop, clock, qarn::DiagOutput);
    if (const int error = k7->Listen(k7_address, static_cast<uint16_t>(k7_port))) {
      qarn::DiagError("K7: cannot listen on " + k7_address + ":" + std::to_string(k7_port) + ": " +
                      qarn::SocketErrorText(error));
      return 1;
    }
  }
  std::unique_ptr<qarn::sim::K8Side> k8;
  if (k8_on) {
    k8 = std::make_unique<qarn::sim::K8Side>(k8_options);
    if (!k8->Start()) return 1;
  }
  int status = 0;
  {
    CommandReader reader(loop, k7.get(), k8.get());
    qarn::SignalWatcher termination(loop, [&](int signal) {
      qarn::DiagOutput(std::string("K7/K8 ") +
                       (signal == SIGINT   ? "SIGINT"
                        : signal == SIGHUP ? "SIGHUP"
                                           : "SIGTERM") +
                       ": ending");
      loop.Quit(0);
    });
    status = QCoreApplication::exec();
  }
  k8.reset();  // joins the K8 thread: its connection closes before the process ends
  k7.reset();
  qarn::DiagOutput("K7/K8 simulator ended");
  return status;
}
