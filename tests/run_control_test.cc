#include "shell/run_control.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "fakes/fake_links.h"
#include "fakes/fake_main_loop.h"
#include "fakes/fake_station_port.h"
#include "fakes/temp_dir.h"
#include "k8/k8_wire.h"
#include "k8/port_state.h"
#include "platform/diag.h"

namespace qarn {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// The port-state payload for `name` (at most six characters) and the open flag.
Bytes PortState(const std::string& name, uint8_t open) {
  Bytes b(8, 0);
  b[0] = static_cast<uint8_t>(name.size());
  for (size_t i = 0; i < name.size(); ++i) b[1 + i] = static_cast<uint8_t>(name[i]);
  b[7] = open;
  return b;
}

TEST(PortStatePayloadTest, NameCutToSixCharactersAndOpenFlag) {
  struct Case {
    std::string name;
    bool open;
    Bytes expected;
  } cases[] = {
      {"COM3", true, {0x04, 'C', 'O', 'M', '3', 0, 0, 0x01}},
      {"COM255", false, {0x06, 'C', 'O', 'M', '2', '5', '5', 0x00}},
      {"COM1234", true, {0x06, 'C', 'O', 'M', '1', '2', '3', 0x01}},
      {"", false, {0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BuildPortStatePayload(c.name, c.open), c.expected) << c.name;
  }
}

class RunControlTest : public ::testing::Test {
 protected:
  RunControlTest() {
    SetDiagSink([this](bool, const std::string& line) { diag_.push_back(line); });
    run_.SetK8(&k8_);
    run_.SetComPortName("COM255");
  }
  ~RunControlTest() override { SetDiagSink(nullptr); }

  // Only the named ports open.
  void Free(std::vector<std::string> names) {
    port_.opens = [names](const std::string& device) {
      for (const auto& n : names)
        if (device == "\\\\.\\" + n) return true;
      return false;
    };
  }
  std::string Ini() const {
    const Bytes b = dir_.Read("sqarn.ini");
    return std::string(b.begin(), b.end());
  }
  std::vector<Bytes> Payloads() const {
    std::vector<Bytes> out;
    for (const auto& p : k8_.packets) {
      EXPECT_EQ(p.type, 0x02200062);
      out.push_back(p.payload);
    }
    return out;
  }
  // Scans with `port` the only free one and starts it.
  void StartOn(const std::string& port) {
    Free({port});
    run_.OnRescanClicked();
    run_.OnRunClicked();
    ASSERT_TRUE(run_.page().running);
    k8_.packets.clear();
  }

  testing::TempDir dir_;
  testing::FakeClock clock_;
  testing::FakeMainLoop loop_{clock_};
  testing::FakeStationPort port_;
  testing::FakeK8 k8_;
  PosixFileSystem fs_;
  std::vector<std::string> messages_;
  std::vector<int> errors_;
  std::vector<std::string> diag_;
  int pages_changed_ = 0;
  int password_prompts_ = 0;
  bool accept_password_ = false;
  // The operator at the window, and the facts the page tells.
  struct Person final : RunControl::Operator, Observer {
    explicit Person(RunControlTest& test) : t(test) {}
    bool PasswordAccepted() override {
      ++t.password_prompts_;
      return t.accept_password_;
    }
    void ShowMessage(const std::string& text) override { t.messages_.push_back(text); }
    void ErrorCode(int code) override { t.errors_.push_back(code); }
    void PortChanged(bool) override { ++t.pages_changed_; }
    RunControlTest& t;
  };
  Person person_{*this};
  RunControl run_{port_, loop_, fs_, dir_ / "sqarn.ini", person_, person_};
};

TEST_F(RunControlTest, ScanListsTheFreePortsAndStoresTheFirst) {
  dir_.Write("sqarn.ini", "; station PC\r\n[main]\r\nComPort=COM255\r\nSendK8=1\r\n[x]\r\na=b\r\n");
  Free({"COM7", "COM3"});
  run_.OnRescanClicked();
  EXPECT_THAT(run_.page().ports, ElementsAre("COM3", "COM7"));
  EXPECT_EQ(run_.page().chosen, "COM3");
  EXPECT_EQ(run_.ComPortName(), "COM3");
  EXPECT_EQ(Ini(), "; station PC\r\n[main]\r\nComPort=COM3\r\nSendK8=1\r\n[x]\r\na=b\r\n");
  EXPECT_THAT(Payloads(), ElementsAre(PortState("COM3", 0)));
  EXPECT_FALSE(port_.IsOpen());  // each free port is closed again at once
  EXPECT_EQ(port_.close_calls, 2);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "sqarn.ini.tmp"));
  EXPECT_THAT(messages_, IsEmpty());
}

TEST_F(RunControlTest, ScanWithoutAFreePortStoresAnEmptyName) {
  port_.can_open = false;
  run_.OnRescanClicked();
  EXPECT_THAT(run_.page().ports, IsEmpty());
  EXPECT_EQ(run_.page().chosen, "");
  EXPECT_EQ(Ini(), "[main]\nComPort=\n");
  EXPECT_THAT(Payloads(), ElementsAre(PortState("", 0)));
}

TEST_F(RunControlTest, StartOpensRaisesDtrAndLocksTheList) {
  Free({"COM2"});
  run_.OnRescanClicked();
  k8_.packets.clear();
  run_.OnRunClicked();
  EXPECT_TRUE(run_.page().running);
  EXPECT_TRUE(port_.IsOpen());
  EXPECT_TRUE(port_.dtr);
  EXPECT_EQ(port_.opened.back(), "\\\\.\\COM2");
  EXPECT_THAT(Payloads(), ElementsAre(PortState("COM2", 1)));
  // Locked while running: neither a scan nor a pick changes anything.
  run_.OnRescanClicked();
  run_.OnPortSelected("COM9");
  EXPECT_EQ(run_.page().chosen, "COM2");
  EXPECT_EQ(run_.ComPortName(), "COM2");
  EXPECT_THAT(Payloads(), ElementsAre(PortState("COM2", 1)));
}

TEST_F(RunControlTest, FailedStartSaysSoAndRescans) {
  Free({"COM4", "COM5"});
  run_.OnRescanClicked();
  run_.OnPortSelected("COM5");
  k8_.packets.clear();
  Free({"COM4"});  // another program took COM5
  run_.OnRunClicked();
  EXPECT_FALSE(run_.page().running);
  EXPECT_THAT(messages_, ElementsAre("Порт уже занят!"));
  EXPECT_THAT(run_.page().ports, ElementsAre("COM4"));
  EXPECT_EQ(run_.ComPortName(), "COM4");
  EXPECT_EQ(Ini(), "[main]\nComPort=COM4\n");
  // One from the scan's selection, one from the press.
  EXPECT_THAT(Payloads(), ElementsAre(PortState("COM4", 0), PortState("COM4", 0)));
}

TEST_F(RunControlTest, StopNeedsThePassword) {
  StartOn("COM1");
  // Refused (wrong or cancelled): the port keeps running.
  run_.OnRunClicked();
  EXPECT_TRUE(run_.page().running);
  EXPECT_TRUE(port_.IsOpen());
  EXPECT_THAT(messages_, ElementsAre("Неправильный пароль. В доступе отказано"));
  EXPECT_THAT(Payloads(), ElementsAre(PortState("COM1", 1)));

  accept_password_ = true;
  run_.OnRunClicked();
  EXPECT_FALSE(run_.page().running);
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_EQ(password_prompts_, 2);
  EXPECT_EQ(messages_.size(), 1u);
  EXPECT_THAT(Payloads(), ElementsAre(PortState("COM1", 1), PortState("COM1", 0)));
}

TEST_F(RunControlTest, TypedNameOpensButIsNotStored) {
  StartOn("COM1");
  accept_password_ = true;
  run_.OnRunClicked();
  Free({"COM9"});
  run_.SetChosenText("COM9");
  run_.OnRunClicked();
  EXPECT_EQ(port_.opened.back(), "\\\\.\\COM9");
  EXPECT_EQ(run_.ComPortName(), "COM1");
  EXPECT_EQ(Ini(), "[main]\nComPort=COM1\n");
  EXPECT_THAT(Payloads(), ElementsAre(PortState("COM1", 0), PortState("COM1", 1)));
}

TEST_F(RunControlTest, WithoutTheK8LinkNothingIsQueued) {
  run_.SetK8(nullptr);
  Free({"COM3"});
  run_.OnRescanClicked();
  run_.OnRunClicked();
  EXPECT_TRUE(run_.page().running);
  EXPECT_EQ(Ini(), "[main]\nComPort=COM3\n");
  EXPECT_THAT(errors_, IsEmpty());
}

TEST_F(RunControlTest, SelectionErrorsGoToTheErrorLog) {
  // A configuration that cannot be read is never overwritten.
  std::filesystem::create_directory(dir_ / "sqarn.ini");
  run_.OnPortSelected("COM2");
  EXPECT_THAT(errors_, ElementsAre(19));
  EXPECT_EQ(run_.ComPortName(), "COM255");
  EXPECT_THAT(k8_.packets, IsEmpty());
  EXPECT_THAT(messages_, IsEmpty());
  std::filesystem::remove(dir_ / "sqarn.ini");

  k8_.full = true;
  run_.OnPortSelected("COM2");
  EXPECT_THAT(errors_, ElementsAre(19, 19));
  EXPECT_EQ(run_.ComPortName(), "COM2");
}

TEST_F(RunControlTest, FailedStartNamesItsReason) {
  port_.can_open = false;
  port_.open_error = {DeviceFault::kNoPermission, "/dev/ttyUSB0", "dialout"};
  run_.SetChosenText("COM3");
  run_.OnRunClicked();
  EXPECT_THAT(messages_, ElementsAre("Нет доступа к порту!"));
  EXPECT_THAT(diag_, ::testing::Contains("station port COM3 (/dev/ttyUSB0): cannot open: no "
                                         "permission (the user must be in group dialout, which "
                                         "owns the device)"));
}

TEST_F(RunControlTest, StopThenStartReopensTheConfiguredPort) {
  run_.SetComPortName("COM6");
  Free({"COM6"});
  ASSERT_TRUE(run_.OpenAtStartUp());
  EXPECT_EQ(run_.page().chosen, "COM6");  // the field shows it
  accept_password_ = true;
  run_.OnRunClicked();
  ASSERT_FALSE(run_.page().running);
  run_.OnRunClicked();
  EXPECT_TRUE(run_.page().running);
  EXPECT_THAT(port_.opened, ElementsAre("\\\\.\\COM6", "\\\\.\\COM6"));
  EXPECT_THAT(messages_, IsEmpty());
  EXPECT_FALSE(std::filesystem::exists(dir_ / "sqarn.ini"));  // nothing stored
  EXPECT_THAT(Payloads(), ElementsAre(PortState("COM6", 0), PortState("COM6", 1)));
}

TEST_F(RunControlTest, LostPortIsReportedOnceRetriedAndReopened) {
  StartOn("COM1");
  diag_.clear();
  port_.can_open = false;
  port_.opens = nullptr;
  port_.Lose({DeviceFault::kHungUp, "/dev/ttyUSB0", "the line hung up"});
  EXPECT_TRUE(run_.page().running);  // still meant to run
  EXPECT_TRUE(run_.page().retrying);
  EXPECT_THAT(Payloads(), ElementsAre(PortState("COM1", 0)));
  const int attempts = port_.open_attempts;
  // Every 2 s for the first minute, then every 10 s; silent meanwhile but for the reason
  // the first try gives, which is not the loss's.
  port_.open_error = {DeviceFault::kMissing, "/dev/ttyUSB0", ""};
  loop_.Advance(60000);
  EXPECT_EQ(port_.open_attempts - attempts, 30);
  loop_.Advance(60000);
  EXPECT_EQ(port_.open_attempts - attempts, 36);
  ASSERT_EQ(diag_.size(), 2u);
  EXPECT_NE(diag_[0].find("station port COM1 (/dev/ttyUSB0): lost: the device went away"),
            std::string::npos);
  EXPECT_NE(diag_[1].find("station port COM1 (/dev/ttyUSB0): cannot open: no such device; "
                          "trying again every 2 s"),
            std::string::npos);

  port_.can_open = true;
  loop_.Advance(10000);
  EXPECT_TRUE(port_.IsOpen());
  EXPECT_EQ(port_.opened.back(), "\\\\.\\COM1");
  EXPECT_FALSE(run_.page().retrying);
  EXPECT_THAT(Payloads(), ElementsAre(PortState("COM1", 0), PortState("COM1", 1)));
  EXPECT_EQ(diag_.size(), 3u);
  const int after = port_.open_attempts;
  loop_.Advance(60000);
  EXPECT_EQ(port_.open_attempts, after);  // no more tries once open
}

// While the port is tried again, each new reason it does not open is said once: another
// program (here a second driver) taking the device is not hidden behind the first reason.
TEST_F(RunControlTest, EachNewReasonOfTheRetriesIsSaidOnce) {
  run_.SetComPortName("COM1");
  port_.can_open = false;
  port_.open_error = {DeviceFault::kMissing, "/dev/ttyUSB0", ""};
  ASSERT_FALSE(run_.OpenAtStartUp());
  loop_.Advance(6000);
  port_.open_error = {DeviceFault::kHeld, "/dev/ttyUSB0", "qarn-driver (pid 4242)"};
  loop_.Advance(6000);
  port_.open_error = {DeviceFault::kMissing, "/dev/ttyUSB0", ""};
  loop_.Advance(6000);
  ASSERT_EQ(diag_.size(), 3u);
  EXPECT_THAT(diag_[0], HasSubstr("cannot open: no such device; trying again every 2 s"));
  EXPECT_THAT(diag_[1], HasSubstr("cannot open: held by another program: qarn-driver (pid 4242)"));
  EXPECT_THAT(diag_[2], HasSubstr("cannot open: no such device"));
}

// A shortened retry pause (tests of the binary) is kept to and said as it is.
TEST_F(RunControlTest, AShortenedRetryPauseIsKeptAndSaid) {
  run_.SetRetryMs(250);
  run_.SetComPortName("COM1");
  port_.can_open = false;
  port_.open_error = {DeviceFault::kMissing, "/dev/ttyUSB0", ""};
  ASSERT_FALSE(run_.OpenAtStartUp());
  const int attempts = port_.open_attempts;
  loop_.Advance(1000);
  EXPECT_EQ(port_.open_attempts, attempts + 4);
  ASSERT_EQ(diag_.size(), 1u);
  EXPECT_THAT(diag_[0], HasSubstr("cannot open: no such device; trying again every 250 ms"));
}

TEST_F(RunControlTest, StopOrAnotherPickEndsTheRetries) {
  StartOn("COM1");
  port_.can_open = false;
  port_.opens = nullptr;
  port_.Lose({DeviceFault::kHungUp, "/dev/ttyUSB0", ""});
  accept_password_ = true;
  run_.OnRunClicked();
  EXPECT_FALSE(run_.page().running);
  EXPECT_FALSE(run_.page().retrying);
  int attempts = port_.open_attempts;
  port_.can_open = true;
  loop_.Advance(20000);
  EXPECT_EQ(port_.open_attempts, attempts);

  // A port missing at start-up is tried again until another one is picked.
  run_.SetComPortName("COM2");
  port_.can_open = false;
  EXPECT_FALSE(run_.OpenAtStartUp());
  EXPECT_TRUE(run_.page().retrying);
  run_.OnPortSelected("COM2");  // the same port: still tried
  EXPECT_TRUE(run_.page().retrying);
  run_.OnPortSelected("COM5");
  EXPECT_FALSE(run_.page().retrying);
  attempts = port_.open_attempts;
  loop_.Advance(20000);
  EXPECT_EQ(port_.open_attempts, attempts);
}

TEST_F(RunControlTest, StartUpOpensTheNamedPortSilently) {
  run_.SetComPortName("COM6");
  run_.Reset();
  Free({"COM6"});
  EXPECT_TRUE(run_.OpenAtStartUp());
  EXPECT_TRUE(run_.page().running);
  EXPECT_THAT(run_.page().ports, IsEmpty());
  EXPECT_THAT(k8_.packets, IsEmpty());
  EXPECT_GT(pages_changed_, 0);
}

}  // namespace
}  // namespace qarn
