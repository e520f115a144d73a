#include "serial/serial_port_driver.h"

#include <gtest/gtest.h>

#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_main_loop.h"
#include "fakes/fake_serial_device.h"
#include "fakes/fake_station_port.h"

namespace qarn {
namespace {

using testing::FakeClock;
using testing::FakeMainLoop;

using Packets = std::vector<std::vector<uint8_t>>;

class SerialPortDriverTest : public ::testing::Test {
 protected:
  SerialPortDriverTest() : loop_(clock_), port_(device_, clock_, loop_) {
    port_.SetReceiver(&receiver_);
  }

  FakeClock clock_;
  FakeMainLoop loop_;
  FakeSerialDevice device_;
  SerialPortDriver port_;
  Packets packets_;
  testing::PacketCalls receiver_{[this](ByteView p) { packets_.emplace_back(p.begin(), p.end()); }};
};

TEST_F(SerialPortDriverTest, PortNameWaitsWhileOpen) {
  EXPECT_EQ(port_.PortName(), "\\\\.\\COM1");
  EXPECT_FALSE(port_.IsOpen());
  port_.SetPortName("\\\\.\\COM2");
  ASSERT_TRUE(port_.OpenPort());
  EXPECT_EQ(device_.opened_name, "\\\\.\\COM2");
  port_.SetPortName("\\\\.\\COM7");
  EXPECT_EQ(port_.PortName(), "\\\\.\\COM2");
  // Opening again keeps the old name.
  EXPECT_TRUE(port_.OpenPort());
  EXPECT_EQ(device_.open_count, 1);
  port_.ClosePort();
  port_.SetPortName("\\\\.\\COM7");
  ASSERT_TRUE(port_.OpenPort());
  EXPECT_EQ(device_.opened_name, "\\\\.\\COM7");
}

TEST_F(SerialPortDriverTest, OpenAppliesLineAndWatchesTheDevice) {
  device_.Feed({1, 2, 3});
  ASSERT_TRUE(port_.OpenPort());
  EXPECT_TRUE(device_.in.empty());  // purged
  EXPECT_EQ(device_.line.bits_per_second, 9600u);
  EXPECT_TRUE(device_.line.dtr);
  EXPECT_EQ(device_.in_queue_size, 2048u);
  // Idle, nothing but the watch: no timer wakes the loop.
  EXPECT_EQ(loop_.watch_count(), 1u);
  EXPECT_EQ(loop_.timer_count(), 0u);

  port_.ClosePort();
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_FALSE(device_.open);
  EXPECT_EQ(loop_.watch_count(), 0u);
  port_.ClosePort();  // closing a closed port does nothing
}

TEST_F(SerialPortDriverTest, FailedOpenLeavesThePortClosedAndSaysWhy) {
  device_.openable = false;
  EXPECT_FALSE(port_.OpenPort());
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_EQ(port_.LastOpenError().fault, DeviceFault::kMissing);
  EXPECT_EQ(port_.LastOpenError().path, "/dev/ttyFAKE");
  device_.openable = true;
  device_.accept_settings = false;
  EXPECT_FALSE(port_.OpenPort());
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_FALSE(device_.open);
  EXPECT_EQ(port_.LastOpenError().fault, DeviceFault::kRefused);
  EXPECT_EQ(loop_.watch_count(), 0u);
}

TEST_F(SerialPortDriverTest, ClosedPortDoesNothing) {
  const uint8_t frame[] = {2, 0x88, 0x76};
  EXPECT_EQ(port_.Send(frame), 0u);
  port_.SetDtr(true);
  EXPECT_FALSE(device_.dtr);
  EXPECT_TRUE(device_.written.empty());
}

class ArrivalTest : public SerialPortDriverTest {
 protected:
  void SetUp() override { ASSERT_TRUE(port_.OpenPort()); }
  void Arrive(const std::vector<uint8_t>& bytes) {
    device_.Feed(bytes);
    loop_.SignalFd(FakeSerialDevice::kFd, MainLoop::kReadable);
  }
};

TEST_F(ArrivalTest, PacketGoesByOneTimerMoreThan40MsAfterItsFirstByte) {
  clock_.SetTick(5000);
  Arrive({2, 8});
  ASSERT_EQ(loop_.timer_count(), 1u);
  loop_.Advance(20);
  Arrive({0xF6});  // the same packet: the timer stays as it was
  EXPECT_EQ(loop_.timer_count(), 1u);
  loop_.Advance(20);
  EXPECT_TRUE(packets_.empty());
  loop_.Advance(1);  // 41 ms after the first byte
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(packets_[0], (std::vector<uint8_t>{2, 8, 0xF6}));
  EXPECT_EQ(loop_.timer_count(), 0u);

  // A flood: whole packets at once, the rest by the timer right after, nothing lost.
  Arrive(std::vector<uint8_t>(5000, 9));
  size_t bytes = 0;
  for (int i = 0; i < 100; ++i) {
    loop_.SignalFd(FakeSerialDevice::kFd, MainLoop::kReadable);
    loop_.Advance(1);
  }
  loop_.Advance(100);
  for (size_t i = 1; i < packets_.size(); ++i) bytes += packets_[i].size();
  EXPECT_EQ(bytes, 5000u);
  EXPECT_EQ(packets_[1].size(), 256u);
}

TEST_F(ArrivalTest, HandlerThatClosesThePortEndsTheArrival) {
  testing::PacketCalls closing([this](ByteView p) {
    packets_.emplace_back(p.begin(), p.end());
    port_.ClosePort();
  });
  port_.SetReceiver(&closing);
  Arrive(std::vector<uint8_t>(600, 1));
  EXPECT_EQ(packets_.size(), 1u);
  EXPECT_EQ(loop_.timer_count(), 0u);
  EXPECT_EQ(loop_.watch_count(), 0u);
}

TEST_F(ArrivalTest, FailingDeviceIsClosedReportedOnceAndItsPartialPacketLost) {
  std::vector<DeviceError> lost;
  port_.SetLostHandler([&](const DeviceError& e) { lost.push_back(e); });
  Arrive({2, 8});
  device_.fail_io = true;
  loop_.SignalFd(FakeSerialDevice::kFd, MainLoop::kReadable);
  // A hung-up descriptor keeps polling readable: it is no longer watched, so it cannot.
  loop_.SignalFd(FakeSerialDevice::kFd, MainLoop::kReadable);
  loop_.Advance(200);
  EXPECT_TRUE(packets_.empty());
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_FALSE(device_.open);
  EXPECT_EQ(device_.read_calls, 2);
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_EQ(lost[0].fault, DeviceFault::kHungUp);
  EXPECT_EQ(loop_.watch_count(), 0u);
  EXPECT_EQ(loop_.timer_count(), 0u);

  // Open again: the old bytes are gone, new ones frame as usual.
  device_.fail_io = false;
  ASSERT_TRUE(port_.OpenPort());
  Arrive({0xF6});
  loop_.Advance(41);
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(packets_[0], (std::vector<uint8_t>{0xF6}));
}

TEST(RxTransferTime, HalvesGoToTheEvenNeighbour) {
  struct Case {
    uint32_t bps, count, ms;
  } cases[] = {{9600, 256, 267}, {115200, 256, 22}, {20000, 1, 0},
               {20000, 3, 2},    {20000, 5, 2},     {9600, 0, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(RxTransferTime(c.count, c.bps), c.ms) << c.bps << " " << c.count;
  }
}

// A tick that moves on 1 ms at every reading, so that send loops see time pass.
class RunningClock final : public Clock {
 public:
  uint32_t TickMs() const override { return ++tick_; }
  CivilTime LocalNow() const override { return {}; }
  bool SetLocalTime(const CivilTime&, std::string*) override { return false; }

 private:
  mutable uint32_t tick_ = 0;
};

TEST(SerialPortDriverSend, ProgressAndAFullQueue) {
  RunningClock clock;
  FakeClock loop_clock;
  FakeMainLoop loop(loop_clock);
  FakeSerialDevice device;
  SerialPortDriver port(device, clock, loop);
  ASSERT_TRUE(port.OpenPort());
  const std::vector<uint8_t> frame = {0x14, 0x84, 1, 5, 0x0E, 0x0F, 9, 0x0A};

  EXPECT_EQ(port.Send(ByteView()), 0u);
  device.write_limit = 3;  // a write takes only part of the bytes
  EXPECT_EQ(port.Send(frame), frame.size());
  EXPECT_EQ(device.written, frame);

  device.written.clear();
  device.out_waiting = 2048;  // the output queue is full: no room
  EXPECT_EQ(port.Send(frame), 0u);
  EXPECT_TRUE(device.written.empty());

  device.out_waiting = 0;
  device.fail_io = true;  // writes fail: no progress, the time-out ends the send
  EXPECT_EQ(port.Send(frame), 0u);
  device.fail_io = false;
  port.SetDtr(false);
  EXPECT_FALSE(device.dtr);
}

}  // namespace
}  // namespace qarn
