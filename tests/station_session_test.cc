// Recorded station sessions: the recording format, and one recorded session played through
// the serial port driver, the station protocol and the event output on virtual time, whose
// answers, K7 units, K8 packets and spool files must stay as they were recorded.
#include "station/station_session.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "fakes/fake_clock.h"
#include "fakes/fake_links.h"
#include "fakes/fake_main_loop.h"
#include "fakes/fake_serial_device.h"
#include "fakes/temp_dir.h"
#include "output/event_output.h"
#include "platform/diag.h"
#include "serial/serial_port_driver.h"
#include "station/station_frame_reader.h"
#include "station/station_protocol.h"

namespace qarn {
namespace {

TEST(StationSession, LinesReadBackAndFaultsNameTheirLine) {
  const std::vector<SessionFrame> frames = {
      {0, {0x02, 0x08, 0xF6}}, {1250, {0x07, 0x04, 0x00, 0x05, 0x30, 0x00, 0x2A, 0xC6}}};
  std::string text = "# a comment\n\n";
  for (const auto& f : frames) text += FormatSessionLine(f);
  EXPECT_EQ(text, "# a comment\n\n0 02 08 F6\n1250 07 04 00 05 30 00 2A C6\n");
  EXPECT_EQ(ParseSession(text, nullptr), frames);
  EXPECT_EQ(ParseSession("  7\t02 08 f6\r\n", nullptr),
            (std::vector<SessionFrame>{{7, {0x02, 0x08, 0xF6}}}));

  const struct {
    const char* text;
    const char* error;
  } bad[] = {
      {"0 02 08\nx 02\n", "line 2: no time in milliseconds"},
      {"5 02\n4 02\n", "line 2: the time goes back"},
      {"5\n", "line 1: no bytes"},
      {"5 2 08\n", "line 1: not a byte in two hexadecimal digits at column 3"},
      {"5 0208\n", "line 1: not a byte in two hexadecimal digits at column 3"},
      {"5 02 0G\n", "line 1: not a byte in two hexadecimal digits at column 6"},
      {"99999999999999999999 02\n", "line 1: the time is too large"},
  };
  for (const auto& b : bad) {
    std::string error;
    EXPECT_FALSE(ParseSession(b.text, &error)) << b.text;
    EXPECT_EQ(error, b.error) << b.text;
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The driver's station side and event output with both links up, on virtual time.
class SessionPlayer {
 public:
  SessionPlayer()
      : loop_(clock_),
        port_(device_, clock_, loop_),
        replay_(fs_, clock_, dir_.path() + "/"),
        spool_(fs_, dir_.path() + "/", -1, &replay_, NoObserver()),
        output_({.send_k7 = true, .send_k8 = true}, spool_, replay_, clock_, NoObserver()) {
    k7_.connected = k8_.connected = true;
    output_.SetLinks(&k7_, &k8_);
    StationProtocol::Settings settings;
    settings.send_k7 = true;
    settings.ret_enabled = ParseRetEnabled("1,2,5");
    station_ = std::make_unique<StationProtocol>(settings, port_, output_, NoObserver(), clock_,
                                                 fs_, clock_.Now());
    EXPECT_TRUE(port_.OpenPort());
  }

  // Plays the frames at their times, then lets a second pass; what came of them, a line each.
  std::string Play(const std::vector<SessionFrame>& frames) {
    int64_t now = 0;
    for (const SessionFrame& f : frames) {
      loop_.Advance(f.at_ms - now);
      now = f.at_ms;
      device_.Feed(f.bytes);
      loop_.SignalFd(FakeSerialDevice::kFd, MainLoop::kReadable);
    }
    loop_.Advance(1000);

    std::ostringstream out;
    StationFrameReader reader;
    reader.Feed(device_.written, [&](StationFrameReader::Item item, ByteView bytes) {
      out << (item == StationFrameReader::Item::kFrame ? "answer " : "stray ")
          << HexDump(bytes, SIZE_MAX) << "\n";
    });
    for (const Bytes& unit : k7_.units) out << "k7 " << HexDump(unit, SIZE_MAX) << "\n";
    for (const auto& p : k8_.packets) {
      out << "k8 " << std::hex << p.type << std::dec << " " << HexDump(p.payload, SIZE_MAX) << " "
          << std::filesystem::path(p.spool_file).filename().string() << "\n";
    }
    for (const std::string& name : dir_.List()) {
      out << "file " << name << " " << dir_.Read(name).size() << "\n";
    }
    return out.str();
  }

 private:
  testing::FakeClock clock_;
  testing::FakeMainLoop loop_;
  FakeSerialDevice device_;
  SerialPortDriver port_;
  testing::TempDir dir_;
  PosixFileSystem fs_;
  SpoolReplay replay_;
  SpoolWriter spool_;
  testing::FakeK7 k7_;
  testing::FakeK8 k8_;
  EventOutput output_;
  std::unique_ptr<StationProtocol> station_;
};

// QARN_UPDATE_EXPECTED=1 writes the expected file anew after a deliberate change; read the
// difference before committing it.
TEST(StationSession, RecordedSessionGivesTheRecordedOutput) {
  const std::string data = QARN_TEST_DATA_DIR;
  std::string error;
  const auto frames = ParseSession(ReadFile(data + "/station_session.txt"), &error);
  ASSERT_TRUE(frames) << error;
  ASSERT_FALSE(frames->empty());
  const std::string got = SessionPlayer().Play(*frames);
  const std::string expected_path = data + "/station_session.expected";
  if (std::getenv("QARN_UPDATE_EXPECTED")) std::ofstream(expected_path, std::ios::binary) << got;
  std::istringstream want(ReadFile(expected_path)), have(got);
  std::string want_line, have_line;
  for (int line = 1; std::getline(want, want_line); ++line) {
    ASSERT_TRUE(std::getline(have, have_line)) << "output ends before expected line " << line;
    ASSERT_EQ(have_line, want_line) << "line " << line;
  }
  EXPECT_FALSE(std::getline(have, have_line)) << "more output than expected: " << have_line;
}

}  // namespace
}  // namespace qarn
