// The serial port and the station link over real pseudo-terminals and Qt's event loop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "fakes/fake_k7_client.h"
#include "fakes/fake_station_port.h"
#include "fakes/loopback_server.h"
#include "fakes/qt_test_loop.h"
#include "fakes/scripted_connection.h"
#include "fakes/temp_dir.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/file_system.h"
#include "platform/pseudo_terminal.h"
#include "platform/qt_main_loop.h"
#include "platform/termios_serial_device.h"
#include "serial/serial_port_driver.h"
#include "shell/driver.h"
#include "station/station_frames.h"

namespace qarn {
namespace {

using Packets = std::vector<Bytes>;

void WriteAll(int fd, ByteView bytes) {
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

class SerialPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureQtApplication();
    std::string error;
    ASSERT_TRUE(pty_.Open(&error)) << error;
    port_.SetPortName(pty_.slave_path());
    port_.SetReceiver(&receiver_);
  }

  // Runs the loop until `done`, or at most a few seconds so that a fault fails, not hangs.
  bool RunUntil(const std::function<bool()>& done) {
    const uint32_t start = clock_.TickMs();
    loop_.RunUntil([&] { return done() || clock_.TickMs() - start > 5000; });
    return done();
  }

  SystemClock clock_;
  PosixFileSystem fs_;
  QtMainLoop loop_;
  PseudoTerminal pty_;
  TermiosSerialDevice device_;
  SerialPortDriver port_{device_, clock_, loop_};
  Packets packets_;
  testing::PacketCalls receiver_{[this](ByteView p) { packets_.emplace_back(p.begin(), p.end()); }};
};

TEST_F(SerialPtyTest, FramingBySilence) {
  ASSERT_TRUE(port_.OpenPort());
  const Bytes poll(kPollFrame.begin(), kPollFrame.end());
  // Three frames 100 ms apart give three packets.
  int written = 0;
  const MainLoop::Id writer = loop_.StartTimer(100, [&] {
    if (written < 3) WriteAll(pty_.master_fd(), poll);
    ++written;
  });
  ASSERT_TRUE(RunUntil([&] { return packets_.size() == 3; }));
  loop_.StopTimer(writer);
  for (const Bytes& p : packets_) EXPECT_EQ(p, poll);

  // Two frames closer than the time-out give one.
  packets_.clear();
  const Bytes command12(kCommand12Frame.begin(), kCommand12Frame.end());
  WriteAll(pty_.master_fd(), poll);
  WriteAll(pty_.master_fd(), command12);
  ASSERT_TRUE(RunUntil([&] { return !packets_.empty(); }));
  EXPECT_EQ(packets_[0], (Bytes{0x02, 0x08, 0xF6, 0x02, 0x0C, 0xF2}));
}

TEST_F(SerialPtyTest, SendReachesTheOtherEnd) {
  ASSERT_TRUE(port_.OpenPort());
  EXPECT_EQ(port_.Send(kAckFrame), 3u);
  uint8_t got[8] = {};
  ssize_t n = 0;
  ASSERT_TRUE(RunUntil([&] {
    const ssize_t k = ::read(pty_.master_fd(), got + n, sizeof got - n);
    if (k > 0) n += k;
    return n >= 3;
  }));
  EXPECT_EQ(Bytes(got, got + n), Bytes(kAckFrame.begin(), kAckFrame.end()));
  port_.SetDtr(false);  // a pseudo-terminal has no modem lines: nothing happens
  EXPECT_TRUE(port_.IsOpen());
}

TEST_F(SerialPtyTest, OpenCloseAndOpenAgain) {
  ASSERT_TRUE(port_.OpenPort());
  port_.ClosePort();
  EXPECT_FALSE(port_.IsOpen());
  // The device takes a rate without a B-constant too.
  ASSERT_TRUE(device_.Open(pty_.slave_path()));
  LineSettings custom;
  custom.bits_per_second = 14400;
  EXPECT_TRUE(device_.ApplyLineSettings(custom));
  device_.Close();
  ASSERT_TRUE(port_.OpenPort());
  WriteAll(pty_.master_fd(), kPollFrame);
  ASSERT_TRUE(RunUntil([&] { return !packets_.empty(); }));
  EXPECT_EQ(packets_[0], Bytes(kPollFrame.begin(), kPollFrame.end()));
}

TEST_F(SerialPtyTest, PortHeldByAnotherProgramDoesNotOpen) {
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(release[1]);
    const int fd = ::open(pty_.slave_path().c_str(), O_RDWR | O_NOCTTY);
    const char ok = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
    (void)!::write(ready[1], &ok, 1);
    char c;
    (void)!::read(release[0], &c, 1);
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 'y');
  EXPECT_FALSE(port_.OpenPort());
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_EQ(port_.LastOpenError().fault, DeviceFault::kHeld);
  close(release[1]);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  EXPECT_TRUE(port_.OpenPort());

  // Held by this driver, the port does not open a second time either.
  TermiosSerialDevice other;
  EXPECT_FALSE(other.Open(pty_.slave_path()));
}

TEST_F(SerialPtyTest, EachOpenFailureNamesItsReason) {
  testing::TempDir dir;
  // Missing.
  port_.SetPortName(dir.path() + "/ttyNONE");
  EXPECT_FALSE(port_.OpenPort());
  EXPECT_EQ(port_.LastOpenError().fault, DeviceFault::kMissing);
  EXPECT_EQ(port_.LastOpenError().path, dir.path() + "/ttyNONE");
  // Not a terminal.
  const std::string plain = dir.path() + "/plain";
  std::ofstream(plain) << "x";
  port_.SetPortName(plain);
  EXPECT_FALSE(port_.OpenPort());
  EXPECT_EQ(port_.LastOpenError().fault, DeviceFault::kNotSerial);
  // No permission: only a user without the right can see it (root has every right).
  if (geteuid() != 0) {
    ::chmod(plain.c_str(), 0);
    EXPECT_FALSE(port_.OpenPort());
    EXPECT_EQ(port_.LastOpenError().fault, DeviceFault::kNoPermission);
    EXPECT_FALSE(port_.LastOpenError().detail.empty());  // the group that owns it
  }
  // Held by a program that keeps it open without a lock: not opened at all.
  TermiosSerialDevice watched({}, [](const std::string&) {
    return std::vector<DeviceHolder>{{4242, "minicom"}};
  });
  SerialPortDriver held(watched, clock_, loop_);
  held.SetPortName(pty_.slave_path());
  EXPECT_FALSE(held.OpenPort());
  EXPECT_EQ(held.LastOpenError().fault, DeviceFault::kHeld);
  EXPECT_EQ(held.LastOpenError().detail, "minicom (pid 4242)");
}

TEST(SerialDevicePath, MapsPortNames) {
  const IniFile ini("[main]\nComPort=COM3\n[Ports]\ncom3 = /dev/ttyUSB0\nCOM4=\n");
  struct Case {
    const char* name;
    const char* path;
  } cases[] = {
      {"\\\\.\\COM3", "/dev/ttyUSB0"},
      {"COM3", "/dev/ttyUSB0"},
      {"\\\\.\\COM1", "/dev/ttyS0"},
      {"\\\\.\\COM12", "/dev/ttyS11"},
      {"\\\\.\\COM4", "/dev/ttyS3"},
      {"/dev/pts/7", "/dev/pts/7"},
      {"COM0", "COM0"},
  };
  for (const Case& c : cases) EXPECT_EQ(SerialDevicePath(c.name, PortsOf(ini)), c.path) << c.name;
}

// The driver's mapping reads the file at every open: an edited [ports] takes effect at the next.
TEST(SerialDevicePath, FileMappingIsReadAtEveryOpen) {
  testing::TempDir dir;
  PosixFileSystem fs;
  const PortMapping mapping = PortsOfFile(fs, dir / "sqarn.ini");
  EXPECT_EQ(SerialDevicePath("COM2", mapping), "/dev/ttyS1");  // no file yet
  dir.Write("sqarn.ini", "[ports]\nCOM2=/dev/ttyUSB1\n");
  EXPECT_EQ(SerialDevicePath("COM2", mapping), "/dev/ttyUSB1");
  dir.Write("sqarn.ini", "[ports]\nCOM2=/dev/ttyACM0\n");
  EXPECT_EQ(SerialDevicePath("\\\\.\\COM2", mapping), "/dev/ttyACM0");
}

// The driver as it starts: sqarn.ini in the current directory maps COM1 to the pty.
class StationLinkTest : public SerialPtyTest {
 protected:
  void SetUp() override {
    SerialPtyTest::SetUp();
    dir_.Enter();
    std::ofstream("sqarn.ini") << "[main]\nComPort=COM1\nSendK7=0\nSendK8=0\nret=1,2,5\n"
                               << "[ports]\nCOM1=" << pty_.slave_path() << "\n";
    answers_watch_ = loop_.WatchFd(pty_.master_fd(), MainLoop::kReadable, [this](unsigned) {
      uint8_t chunk[256];
      const ssize_t n = ::read(pty_.master_fd(), chunk, sizeof chunk);
      if (n > 0) answers_.insert(answers_.end(), chunk, chunk + n);
    });
  }
  void TearDown() override { loop_.UnwatchFd(answers_watch_); }

  TermiosSerialDevice station_device_{PortsOfFile(fs_, kIniFileName)};
  testing::FakeK7Client* k7_client_ = nullptr;  // no socket in these tests
  SerialPortDriver station_port_{station_device_, clock_, loop_};
  HeadlessView view_;
  testing::TempDir dir_;
  MainLoop::Id answers_watch_ = 0;
  Bytes answers_;
};

TEST_F(StationLinkTest, ClockAtFirstPollThenAcksAndNothingToSend) {
  Driver driver({clock_, fs_, loop_, station_port_, view_, testing::RefusedConnections(),
                 testing::FakeK7Clients(&k7_client_)});
  driver.StartUp();
  ASSERT_TRUE(station_port_.IsOpen());
  EXPECT_TRUE(driver.run_control().page().running);

  WriteAll(pty_.master_fd(), kPollFrame);
  ASSERT_TRUE(RunUntil([&] { return answers_.size() >= 21; }));
  const auto clock = ParseClockFrame(answers_);
  ASSERT_TRUE(clock.has_value()) << HexDump(answers_);
  EXPECT_EQ(answers_[0], 0x14);  // three retranslators listed
  EXPECT_TRUE(clock->retranslators.test(1) && clock->retranslators.test(2) &&
              clock->retranslators.test(5));

  answers_.clear();
  WriteAll(pty_.master_fd(), BuildStationEventFrame(300, 0x0A, 7));
  ASSERT_TRUE(RunUntil([&] { return answers_.size() >= 3; }));
  EXPECT_EQ(answers_, Bytes(kAckFrame.begin(), kAckFrame.end()));

  answers_.clear();
  WriteAll(pty_.master_fd(), kPollFrame);
  ASSERT_TRUE(RunUntil([&] { return answers_.size() >= 3; }));
  EXPECT_EQ(answers_, Bytes(kNothingToSendFrame.begin(), kNothingToSendFrame.end()));

  driver.CloseOnSignal();
  EXPECT_FALSE(station_port_.IsOpen());
}

// Reads what the driver answered on a station end, without waiting.
void ReadAnswers(int master_fd, Bytes* answers) {
  uint8_t chunk[256];
  ssize_t n;
  while ((n = ::read(master_fd, chunk, sizeof chunk)) > 0)
    answers->insert(answers->end(), chunk, chunk + n);
}

// The port's device is a link that the test makes, removes and points elsewhere, as udev
// does with /dev/serial/by-id when an adapter comes and goes.
class ComingAndGoingTest : public StationLinkTest {
 protected:
  void SetUp() override {
    StationLinkTest::SetUp();
    loop_.UnwatchFd(answers_watch_);  // the test reads the answers itself
    answers_watch_ = 0;
    link_ = dir_ / "station";
    std::ofstream("sqarn.ini") << "[main]\nComPort=COM1\nSendK7=0\nSendK8=0\n[ports]\nCOM1="
                               << link_ << "\n";
    SetDiagSink([this](bool, const std::string& line) { diag_.push_back(line); });
  }
  void TearDown() override {
    SetDiagSink(nullptr);
    StationLinkTest::TearDown();
  }
  // The port is tried again every 250 ms instead of every 2 s.
  static DriverTimings FastPortRetry() {
    DriverTimings timings;
    timings.port_retry_ms = 250;
    return timings;
  }
  // Polls the station end until the driver answers, within `ms`.
  bool AnswersWithin(int master_fd, uint32_t ms) {
    Bytes answers;
    WriteAll(master_fd, kPollFrame);
    const uint32_t start = clock_.TickMs();
    loop_.RunUntil([&] {
      ReadAnswers(master_fd, &answers);
      return !answers.empty() || clock_.TickMs() - start > ms;
    });
    return !answers.empty();
  }

  std::string link_;
  std::vector<std::string> diag_;
};

TEST_F(ComingAndGoingTest, DeviceThatAppearsAfterStartIsOpenedAndAnswers) {
  Driver driver({clock_, fs_, loop_, station_port_, view_, testing::RefusedConnections(),
                 testing::FakeK7Clients(&k7_client_), NoMetrics(), FastPortRetry()});
  driver.StartUp();
  EXPECT_FALSE(station_port_.IsOpen());
  // Among the start's lines (the configuration check's word on the missing device first).
  const std::string said = "station port COM1 (" + link_ + "): cannot open: no such device";
  EXPECT_TRUE(std::any_of(diag_.begin(), diag_.end(), [&](const std::string& line) {
    return line.find(said) != std::string::npos;
  }));

  bool appeared = false;
  const MainLoop::Id later = loop_.StartTimer(100, [&] {
    if (!appeared) std::filesystem::create_symlink(pty_.slave_path(), link_);
    appeared = true;
  });
  ASSERT_TRUE(RunUntil([&] { return appeared; }));
  loop_.StopTimer(later);
  const uint32_t since = clock_.TickMs();
  ASSERT_TRUE(RunUntil([&] { return station_port_.IsOpen(); }));
  EXPECT_TRUE(AnswersWithin(pty_.master_fd(), 5000 - (clock_.TickMs() - since)));
  EXPECT_TRUE(driver.run_control().page().running);
  driver.CloseOnSignal();
}

// Acknowledgements read back for `count` event frames sent one after another.
int AcknowledgedEvents(QtMainLoop& loop, const Clock& clock, int master_fd, int count) {
  int acked = 0;
  for (int i = 0; i < count; ++i) {
    WriteAll(master_fd, BuildStationEventFrame(static_cast<uint16_t>(100 + i), 0x0A, 7));
    Bytes answers;
    const uint32_t start = clock.TickMs();
    loop.RunUntil([&] {
      ReadAnswers(master_fd, &answers);
      return answers.size() >= kAckFrame.size() || clock.TickMs() - start > 2000;
    });
    acked += answers == Bytes(kAckFrame.begin(), kAckFrame.end());
  }
  return acked;
}

size_t OpenDescriptors() {
  size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) n += !e.path().empty();
  return n;
}

TEST_F(ComingAndGoingTest, DeviceThatHangsUpAndComesBackIsReopenedAndLosesNothing) {
  // Records go to .dd8 files: the K8 server refuses.
  LoopbackServer refusing;
  const uint16_t refused_port = refusing.port();
  refusing.StopListening();
  std::ofstream("sqarn.ini") << "[main]\nComPort=COM1\nSendK7=0\nSendK8=1\n[ports]\nCOM1=" << link_
                             << "\n[ServerHost]\nAddress=127.0.0.1\nPort=" << refused_port << "\n";
  std::filesystem::create_symlink(pty_.slave_path(), link_);
  Driver driver({clock_, fs_, loop_, station_port_, view_, testing::RefusedConnections(),
                 testing::FakeK7Clients(&k7_client_), NoMetrics(), FastPortRetry()});
  driver.StartUp();
  ASSERT_TRUE(station_port_.IsOpen());
  ASSERT_TRUE(AnswersWithin(pty_.master_fd(), 2000));
  int acked = AcknowledgedEvents(loop_, clock_, pty_.master_fd(), 3);
  const size_t descriptors = OpenDescriptors();

  // The adapter goes: its line hangs up. A new one comes under the same name.
  pty_.CloseMaster();
  ASSERT_TRUE(RunUntil([&] { return !station_port_.IsOpen(); }));
  PseudoTerminal replacement;
  std::string error;
  ASSERT_TRUE(replacement.Open(&error)) << error;
  std::filesystem::remove(link_);
  std::filesystem::create_symlink(replacement.slave_path(), link_);
  const uint32_t since = clock_.TickMs();
  ASSERT_TRUE(RunUntil([&] { return station_port_.IsOpen(); }));
  EXPECT_TRUE(AnswersWithin(replacement.master_fd(), 5000 - (clock_.TickMs() - since)));
  acked += AcknowledgedEvents(loop_, clock_, replacement.master_fd(), 3);
  // The old master went, the new pair came: one more, and no descriptor of the old line.
  EXPECT_EQ(OpenDescriptors(), descriptors + 1);

  // Reported once going, once back.
  int lost = 0, back = 0;
  for (const std::string& line : diag_) {
    lost += line.find(": lost: ") != std::string::npos;
    back += line.find(": open again") != std::string::npos;
  }
  EXPECT_EQ(lost, 1);
  EXPECT_EQ(back, 1);
  EXPECT_TRUE(driver.run_control().page().running);
  driver.CloseOnSignal();
  // Every acknowledged event is on disk; none lost.
  EXPECT_EQ(acked, 6);
  EXPECT_EQ(fs_.FindAll(dir_ / "*.dd8").size(), 6u);
}

TEST_F(ComingAndGoingTest, DeviceHeldByAnotherProgramIsNotListed) {
  PseudoTerminal second;
  std::string error;
  ASSERT_TRUE(second.Open(&error)) << error;
  std::ofstream("sqarn.ini") << "[ports]\nCOM1=" << pty_.slave_path()
                             << "\nCOM2=" << second.slave_path() << "\n";
  const std::string held_path = pty_.slave_path();
  TermiosSerialDevice device(PortsOfFile(fs_, kIniFileName), [held_path](const std::string& path) {
    return path == held_path ? std::vector<DeviceHolder>{{99, "picocom"}}
                             : std::vector<DeviceHolder>{};
  });
  SerialPortDriver port(device, clock_, loop_);
  struct Nobody final : RunControl::Operator {
    bool PasswordAccepted() override { return false; }
    void ShowMessage(const std::string&) override {}
  } nobody;
  RunControl run(port, loop_, fs_, kIniFileName, nobody, NoObserver());
  run.OnRescanClicked();
  EXPECT_EQ(run.page().ports, std::vector<std::string>{"COM2"});
  EXPECT_EQ(run.ComPortName(), "COM2");
  EXPECT_FALSE(port.IsOpen());
}

}  // namespace
}  // namespace qarn
