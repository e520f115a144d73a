// qarn-station-sim: plays a Qarn radio station on a pseudo-terminal (or a real serial
// device) and prints every frame it sends and every answer of the driver, decoded.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>

#include "answer_text.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/file_system.h"
#include "platform/ini_load.h"
#include "platform/pseudo_terminal.h"
#include "station/station_frame_reader.h"
#include "station/station_frames.h"
#include "station/station_session.h"

namespace qarn {
namespace {

constexpr const char* kUsage =
    "Usage: qarn-station-sim [options]\n"
    "\n"
    "Plays a Qarn radio station for the Qarn driver. It makes a pseudo-terminal and prints\n"
    "its path (\"pty: /dev/pts/N\"); map that path in the driver's sqarn.ini:\n"
    "\n"
    "  [main]\n"
    "  ComPort=COM1\n"
    "  [ports]\n"
    "  COM1=/dev/pts/N\n"
    "\n"
    "It sends poll frames (02 08 F6) at an interval, and command-12 frames (02 0C F2) and\n"
    "event frames (07 04 00 byte3 code object-high object-low checksum) at an interval or\n"
    "on a key press, keeping more than 40 ms between frames. It prints every frame it sends\n"
    "(->) and every answer it reads (<-), decoded: acknowledgement, clock frame (date,\n"
    "time, retranslators), retranslator query, nothing-to-send.\n"
    "\n"
    "Options:\n"
    "  --device PATH    use this serial device instead of a new pseudo-terminal\n"
    "  --ini FILE       write the pseudo-terminal's path into FILE as [ports] COMn=path\n"
    "  --com NAME       the port name for --ini (default COM1)\n"
    "  --poll-ms N      poll frame every N ms (default 1000; 0: only on key p)\n"
    "  --event-ms N     event frame every N ms (default 0: only on key e)\n"
    "  --cmd12-ms N     command-12 frame every N ms (default 0: only on key c)\n"
    "  --object N       object number of event frames, 0..65535 (default random 1..999)\n"
    "  --code N         event code byte, 0..255 (default random)\n"
    "  --byte3 N        byte 3 of event frames, 0..255 (default random 1..32)\n"
    "  --gap-ms N       least pause between frames, more than 40 (default 60)\n"
    "  --count N        end after N event frames, once their answers are in (or 2 s);\n"
    "                   the exit status is 0 when every event frame was acknowledged\n"
    "  --record FILE    write every frame sent into FILE, one a line: the milliseconds\n"
    "                   since the start, then its bytes in hexadecimal\n"
    "  --play FILE      send the frames of such a recording at their times, and no others;\n"
    "                   end once the last one's answers are in (or 2 s), with the exit\n"
    "                   status of --count\n"
    "  --help           print this text\n"
    "\n"
    "Numbers may be decimal or hexadecimal (0x..). Keys, when standard input is a\n"
    "terminal: e event frame, c command-12 frame, p poll frame, q quit. Ctrl-C ends it.\n";

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

using Ms = int64_t;
Ms NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string Stamp() { return FormatTimeWithMs(SystemClock().LocalNow()); }

void Print(const char* direction, const std::string& what, ByteView bytes) {
  std::printf("%s %s %-44s %s\n", Stamp().c_str(), direction, what.c_str(), HexDump(bytes).c_str());
  std::fflush(stdout);
}

struct Options {
  std::string device;
  std::string ini;
  std::string com = "COM1";
  Ms poll_ms = 1000, event_ms = 0, cmd12_ms = 0, gap_ms = 60;
  std::optional<int> object, code, byte3;
  long count = -1;
  std::string record, play;
  std::vector<SessionFrame> recording;  // from --play
};

bool ParseNumber(const char* text, long lo, long hi, long* out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 0);
  if (errno || end == text || *end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

int ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "qarn-station-sim: %s needs a value (see --help)\n", a.c_str());
      return 2;
    }
    const char* v = argv[++i];
    long n = 0;
    bool ok = true;
    if (a == "--device") {
      o->device = v;
    } else if (a == "--ini") {
      o->ini = v;
    } else if (a == "--com") {
      o->com = v;
    } else if (a == "--poll-ms" && (ok = ParseNumber(v, 0, 86400000, &n))) {
      o->poll_ms = n;
    } else if (a == "--event-ms" && (ok = ParseNumber(v, 0, 86400000, &n))) {
      o->event_ms = n;
    } else if (a == "--cmd12-ms" && (ok = ParseNumber(v, 0, 86400000, &n))) {
      o->cmd12_ms = n;
    } else if (a == "--gap-ms" && (ok = ParseNumber(v, 41, 60000, &n))) {
      o->gap_ms = n;
    } else if (a == "--object" && (ok = ParseNumber(v, 0, 65535, &n))) {
      o->object = static_cast<int>(n);
    } else if (a == "--code" && (ok = ParseNumber(v, 0, 255, &n))) {
      o->code = static_cast<int>(n);
    } else if (a == "--byte3" && (ok = ParseNumber(v, 0, 255, &n))) {
      o->byte3 = static_cast<int>(n);
    } else if (a == "--count" && (ok = ParseNumber(v, 1, 1000000000, &n))) {
      o->count = n;
    } else if (a == "--record") {
      o->record = v;
    } else if (a == "--play") {
      o->play = v;
    } else if (ok) {
      std::fprintf(stderr, "qarn-station-sim: unknown option %s (see --help)\n", a.c_str());
      return 2;
    }
    if (!ok) {
      std::fprintf(stderr, "qarn-station-sim: bad value %s for %s (see --help)\n", v, a.c_str());
      return 2;
    }
  }
  if (!o->play.empty()) {
    std::ifstream in(o->play, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::string error = in ? std::string() : std::strerror(errno);
    auto frames = error.empty() ? ParseSession(text, &error) : std::nullopt;
    if (!frames) {
      std::fprintf(stderr, "qarn-station-sim: cannot play %s: %s\n", o->play.c_str(),
                   error.c_str());
      return 2;
    }
    o->recording = std::move(*frames);
    o->poll_ms = o->event_ms = o->cmd12_ms = 0;  // the recording alone
    o->count = 0;
    for (const SessionFrame& f : o->recording) {
      o->count += f.bytes.size() > 1 && f.bytes[1] == kStationEventCommand;
    }
  }
  return -1;
}

// Keys without Enter and without echo while the simulator runs.
class KeyboardMode {
 public:
  KeyboardMode() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios t = saved_;
    t.c_lflag &= ~(ICANON | ECHO);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0;
  }
  ~KeyboardMode() {
    if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  bool active() const { return active_; }

 private:
  termios saved_{};
  bool active_ = false;
};

class StationSim {
 public:
  StationSim(const Options& o, int fd) : o_(o), fd_(fd), random_(std::random_device{}()) {}

  int Run(bool keys) {
    const Ms start = NowMs();
    start_ = start;
    if (!o_.record.empty()) {
      record_ = std::fopen(o_.record.c_str(), "wb");
      if (!record_) {
        std::fprintf(stderr, "qarn-station-sim: cannot write %s: %s\n", o_.record.c_str(),
                     std::strerror(errno));
        return 2;
      }
    }
    size_t played = 0;
    Ms next_poll = o_.poll_ms ? start : -1;
    Ms next_event = o_.event_ms ? start + o_.event_ms : -1;
    Ms next_cmd12 = o_.cmd12_ms ? start + o_.cmd12_ms : -1;
    Ms last_send = start - o_.gap_ms;
    Ms done_at = -1;
    while (!g_stop) {
      const Ms now = NowMs();
      if (next_poll >= 0 && now >= next_poll) {
        QueuePoll();
        next_poll += o_.poll_ms;
      }
      if (next_event >= 0 && now >= next_event) {
        if (o_.count < 0 || events_queued_ < o_.count) QueueEvent();
        next_event += o_.event_ms;
      }
      if (next_cmd12 >= 0 && now >= next_cmd12) {
        Queue("command-12", Bytes(kCommand12Frame.begin(), kCommand12Frame.end()));
        next_cmd12 += o_.cmd12_ms;
      }
      while (played < o_.recording.size() && now - start >= o_.recording[played].at_ms) {
        Queue("recorded frame", o_.recording[played++].bytes);
      }
      const bool playing_done = played == o_.recording.size();
      if (!queue_.empty() && now - last_send >= o_.gap_ms) {
        SendFront();
        last_send = NowMs();
      }
      if (!o_.play.empty() && playing_done && events_sent_ >= o_.count && queue_.empty()) {
        if (done_at < 0) done_at = now;
        if (acks_ >= events_sent_ || now - done_at > 2000) break;
      }
      if (o_.play.empty() && o_.count > 0 && events_sent_ >= o_.count && queue_.empty()) {
        if (done_at < 0) done_at = now;
        if (acks_ >= events_sent_ || now - done_at > 2000) break;
      }

      pollfd fds[2] = {{fd_, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
      const int n = poll(fds, keys ? 2 : 1, 5);
      if (n < 0 && errno != EINTR) break;
      if (n <= 0) continue;
      if (fds[0].revents & POLLIN) ReadAnswers();
      if (keys && (fds[1].revents & POLLIN) && !HandleKey()) break;
    }
    std::printf(
        "%s station: %ld event frames sent, %ld acknowledgements, %ld clock frames, "
        "%ld retranslator queries, %ld nothing-to-send\n",
        Stamp().c_str(), events_sent_, acks_, clocks_, queries_, nothings_);
    std::fflush(stdout);
    if (record_) std::fclose(record_);
    return o_.count > 0 && acks_ < events_sent_ ? 1 : 0;
  }

 private:
  void Queue(const char* what, Bytes frame) { queue_.push_back({what, std::move(frame)}); }
  void QueuePoll() { Queue("poll", Bytes(kPollFrame.begin(), kPollFrame.end())); }

  void QueueEvent() {
    const int object = o_.object ? *o_.object : Uniform(1, 999);
    const int code = o_.code ? *o_.code : Uniform(0, 255);
    const int byte3 = o_.byte3 ? *o_.byte3 : Uniform(1, 32);
    char what[64];
    std::snprintf(what, sizeof what, "event object %d code %02X byte3 %d", object, code, byte3);
    queue_.push_back(
        {what, BuildStationEventFrame(static_cast<uint16_t>(object), static_cast<uint8_t>(code),
                                      static_cast<uint8_t>(byte3))});
    ++events_queued_;
  }

  int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random_); }

  void SendFront() {
    const Pending p = std::move(queue_.front());
    queue_.pop_front();
    size_t done = 0;
    while (done < p.frame.size()) {
      const ssize_t n = ::write(fd_, p.frame.data() + done, p.frame.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        std::fprintf(stderr, "qarn-station-sim: write: %s\n", std::strerror(errno));
        return;
      } else {
        pollfd out{fd_, POLLOUT, 0};
        poll(&out, 1, 10);
      }
    }
    if (p.frame.size() > 1 && p.frame[1] == kStationEventCommand) ++events_sent_;
    Print("->", p.what, p.frame);
    if (record_) {
      const std::string line = FormatSessionLine({NowMs() - start_, p.frame});
      std::fputs(line.c_str(), record_);
      std::fflush(record_);
    }
  }

  void ReadAnswers() {
    uint8_t chunk[512];
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n <= 0) return;
    // Answers may come back to back (clock then query): cut them by their length byte.
    reader_.Feed(ByteView(chunk, static_cast<size_t>(n)),
                 [this](StationFrameReader::Item item, ByteView bytes) {
                   switch (item) {
                     case StationFrameReader::Item::kStrayByte:
                       Print("<-", "stray byte", bytes);
                       break;
                     case StationFrameReader::Item::kBadChecksum:
                       Print("<-", "bad checksum, skipping a byte", bytes);
                       break;
                     case StationFrameReader::Item::kFrame:
                       Count(bytes);
                       Print("<-", DescribeAnswer(bytes), bytes);
                       break;
                   }
                 });
  }

  void Count(ByteView frame) {
    if (IsFrame(frame, kAckFrame)) ++acks_;
    if (IsFrame(frame, kNothingToSendFrame)) ++nothings_;
    if (IsFrame(frame, kRetQueryFrame)) ++queries_;
    if (ParseClockFrame(frame)) ++clocks_;
  }

  bool HandleKey() {
    char c = 0;
    if (::read(STDIN_FILENO, &c, 1) != 1) return true;
    switch (c) {
      case 'e':
        QueueEvent();
        break;
      case 'c':
        Queue("command-12", Bytes(kCommand12Frame.begin(), kCommand12Frame.end()));
        break;
      case 'p':
        QueuePoll();
        break;
      case 'q':
        return false;
      default:
        break;
    }
    return true;
  }

  struct Pending {
    std::string what;
    Bytes frame;
  };

  const Options& o_;
  int fd_;
  Ms start_ = 0;
  FILE* record_ = nullptr;
  std::mt19937 random_;
  std::deque<Pending> queue_;
  StationFrameReader reader_;
  long events_queued_ = 0, events_sent_ = 0, acks_ = 0, clocks_ = 0, queries_ = 0, nothings_ = 0;
};

// Replaces the file by a new one with `text`, so that the driver never reads half of it.
bool WriteText(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".sim-new";
  FILE* f = std::fopen(temporary.c_str(), "wb");
  if (!f) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0 || !written) return false;
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

int Main(int argc, char** argv) {
  Options o;
  if (int rc = ParseOptions(argc, argv, &o); rc >= 0) return rc;

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  PseudoTerminal pty;
  int fd = -1;
  if (!o.device.empty()) {
    fd = ::open(o.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || !MakeRawTerminal(fd)) {
      std::fprintf(stderr, "qarn-station-sim: cannot use %s: %s\n", o.device.c_str(),
                   std::strerror(errno));
      return 1;
    }
    std::printf("device: %s\n", o.device.c_str());
  } else {
    std::string error;
    if (!pty.Open(&error)) {
      std::fprintf(stderr, "qarn-station-sim: %s\n", error.c_str());
      return 1;
    }
    fd = pty.master_fd();
    std::printf("pty: %s\n", pty.slave_path().c_str());
    if (!o.ini.empty()) {
      PosixFileSystem fs;
      IniFile ini = LoadIniFile(fs, o.ini);
      ini.WriteString("ports", o.com, pty.slave_path());
      if (!WriteText(o.ini, ini.text())) {
        std::fprintf(stderr, "qarn-station-sim: cannot write %s: %s\n", o.ini.c_str(),
                     std::strerror(errno));
        return 1;
      }
      std::printf("mapped: [ports] %s=%s in %s\n", o.com.c_str(), pty.slave_path().c_str(),
                  o.ini.c_str());
    }
  }
  std::fflush(stdout);

  KeyboardMode keyboard;
  StationSim sim(o, fd);
  const int rc = sim.Run(keyboard.active());
  if (!o.device.empty()) ::close(fd);
  return rc;
}

}  // namespace
}  // namespace qarn

int main(int argc, char** argv) { return qarn::Main(argc, argv); }
