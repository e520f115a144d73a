#include "serial/serial_port_driver.h"

#include <gtest/gtest.h>

#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_main_loop.h"
#include "fakes/fake_serial_device.h"

namespace qarn {
namespace {

using testing::FakeClock;
using testing::FakeMainLoop;

using Packets = std::vector<std::vector<uint8_t>>;

class SerialPortDriverTest : public ::testing::Test {
 protected:
  SerialPortDriverTest() : loop_(clock_), port_(device_, clock_, loop_) {
    port_.SetPacketHandler([this](ByteView p) { packets_.emplace_back(p.begin(), p.end()); });
  }

  // The station port's values in the driver.
  void UseStationSettings() { SetStationPortValues(port_); }

  FakeClock clock_;
  FakeMainLoop loop_;
  FakeSerialDevice device_;
  SerialPortDriver port_;
  Packets packets_;
};

TEST_F(SerialPortDriverTest, Defaults) {
  EXPECT_EQ(port_.PortName(), "\\\\.\\COM1");
  EXPECT_EQ(port_.baud_rate_value(), 9600u);
  EXPECT_EQ(port_.in_buf_size(), 2048u);
  EXPECT_EQ(port_.packet_size(), -1);
  EXPECT_EQ(port_.packet_timeout(), -1);
  EXPECT_EQ(port_.packet_mode(), PacketMode::pmDiscard);
  EXPECT_EQ(port_.polling_delay(), 50);
  EXPECT_EQ(port_.output_timeout(), 500);
  EXPECT_EQ(port_.hw_flow(), HwFlowControl::hfNONERTSON);
  EXPECT_FALSE(port_.IsOpen());
}

TEST_F(SerialPortDriverTest, SetterRules) {
  port_.SetPort(PortNumber::pnCOM12);
  EXPECT_EQ(port_.PortName(), "\\\\.\\COM12");
  port_.SetPortName("\\\\.\\COM3");
  EXPECT_EQ(port_.port(), PortNumber::pnCustom);
  port_.SetPort(PortNumber::pnCustom);
  EXPECT_EQ(port_.PortName(), "\\\\.\\COM3");

  port_.SetBaudRate(BaudRate::br115200);
  EXPECT_EQ(port_.baud_rate_value(), 115200u);
  port_.SetBaudRateValue(31250);
  EXPECT_EQ(port_.baud_rate(), BaudRate::brCustom);

  port_.SetPollingDelay(1);
  EXPECT_EQ(port_.polling_delay(), 5);
  port_.SetInBufSize(20000);
  EXPECT_EQ(port_.in_buf_size(), 8192u);
  port_.SetOutBufSize(10);
  EXPECT_EQ(port_.out_buf_size(), 128u);
  port_.SetInBufSize(2048);
  port_.SetPacketSize(3000);
  EXPECT_EQ(port_.in_buf_size(), 3000u);
  EXPECT_EQ(port_.packet_size(), 3000);
  port_.SetPacketSize(10000);
  EXPECT_EQ(port_.packet_size(), 8192);
  EXPECT_EQ(port_.in_buf_size(), 8192u);
  // A smaller read buffer is raised again by the packet size it must hold.
  port_.SetPacketSize(256);
  port_.SetInBufSize(100);
  EXPECT_EQ(port_.in_buf_size(), 256u);

  for (int16_t size : {0, -5, -1}) {
    port_.SetPacketSize(size);
    EXPECT_EQ(port_.packet_size(), -1) << size;
  }
  for (int32_t ms : {0, -7}) {
    port_.SetPacketTimeout(ms);
    EXPECT_EQ(port_.packet_timeout(), -1) << ms;
  }
}

TEST_F(SerialPortDriverTest, PortNameAndQueuesWaitWhileOpen) {
  port_.SetPortName("\\\\.\\COM2");
  ASSERT_TRUE(port_.OpenPort());
  EXPECT_EQ(device_.opened_name, "\\\\.\\COM2");
  port_.SetPortName("\\\\.\\COM7");
  port_.SetPort(PortNumber::pnCOM9);
  port_.SetInBufSize(4096);
  port_.SetOutBufSize(4096);
  EXPECT_EQ(port_.PortName(), "\\\\.\\COM2");
  EXPECT_EQ(port_.in_buf_size(), 2048u);
  EXPECT_EQ(port_.out_buf_size(), 2048u);
  // Opening again keeps the old name.
  EXPECT_TRUE(port_.OpenPort());
  EXPECT_EQ(device_.open_count, 1);
  port_.ClosePort();
  port_.SetPortName("\\\\.\\COM7");
  ASSERT_TRUE(port_.OpenPort());
  EXPECT_EQ(device_.opened_name, "\\\\.\\COM7");
}

TEST_F(SerialPortDriverTest, OpenAppliesLineAndWatchesTheDevice) {
  UseStationSettings();
  device_.Feed({1, 2, 3});
  ASSERT_TRUE(port_.OpenPort());
  EXPECT_TRUE(device_.in.empty());  // purged
  EXPECT_EQ(device_.line.bits_per_second, 9600u);
  EXPECT_EQ(device_.line.data_bits, 8);
  EXPECT_EQ(device_.line.parity, Parity::ptNONE);
  EXPECT_EQ(device_.line.stop_bits, StopBits::sb1BITS);
  EXPECT_EQ(device_.line.hw_flow, HwFlowControl::hfRTSTOG);
  EXPECT_EQ(device_.line.sw_flow, SwFlowControl::sfNONE);
  EXPECT_TRUE(device_.line.dtr);
  EXPECT_EQ(device_.line.xon_limit, 512u);
  EXPECT_EQ(device_.line.xoff_limit, 512u);
  EXPECT_EQ(device_.in_queue_size, 2048u);
  // Idle, nothing but the watch: no timer wakes the loop.
  EXPECT_EQ(loop_.watch_count(), 1u);
  EXPECT_EQ(loop_.timer_count(), 0u);

  // Line values apply at once while open.
  port_.SetDataBits(DataBits::db7BITS);
  EXPECT_EQ(device_.line.data_bits, 7);

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
  EXPECT_FALSE(port_.PurgeQueues(true, true));
  EXPECT_EQ(port_.ModemLines(), 0u);
  port_.SetDtr(true);
  EXPECT_FALSE(device_.dtr);
  EXPECT_TRUE(device_.written.empty());
}

class ArrivalTest : public SerialPortDriverTest {
 protected:
  void SetUp() override {
    UseStationSettings();
    ASSERT_TRUE(port_.OpenPort());
  }
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
  EXPECT_EQ(port_.first_byte_tick(), kNoFirstByte);

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
  port_.SetPacketHandler([this](ByteView p) {
    packets_.emplace_back(p.begin(), p.end());
    port_.ClosePort();
  });
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

TEST_F(SerialPortDriverTest, NoPacketsDeliversData) {
  Packets data;
  port_.SetOnReceiveData([&](ByteView d) { data.emplace_back(d.begin(), d.end()); });
  port_.SetPacketTimeout(40);
  for (int16_t size : {0, -5}) {
    port_.SetPacketSize(size);
    ASSERT_TRUE(port_.OpenPort());
    device_.Feed({1, 2, 3, 4, 5});
    loop_.SignalFd(FakeSerialDevice::kFd, MainLoop::kReadable);
    ASSERT_EQ(data.size(), 1u) << size;
    EXPECT_EQ(data[0].size(), 5u);
    EXPECT_TRUE(packets_.empty());
    data.clear();
    port_.ClosePort();
  }
}

TEST(RxTransferTime, HalvesGoToTheEvenNeighbour) {
  FakeClock clock;
  FakeMainLoop loop(clock);
  FakeSerialDevice device;
  SerialPortDriver port(device, clock, loop);
  struct Case {
    uint32_t bps, count, ms;
  } cases[] = {{9600, 256, 267}, {115200, 256, 22}, {20000, 1, 0},
               {20000, 3, 2},    {20000, 5, 2},     {9600, 0, 0}};
  for (const Case& c : cases) {
    port.SetBaudRateValue(c.bps);
    EXPECT_EQ(port.RxTransferTime(c.count), c.ms) << c.bps << " " << c.count;
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

TEST(SerialPortDriverSend, ProgressFullQueueAndLineStatus) {
  RunningClock clock;
  FakeClock loop_clock;
  FakeMainLoop loop(loop_clock);
  FakeSerialDevice device;
  SerialPortDriver port(device, clock, loop);
  ASSERT_TRUE(port.OpenPort());
  const std::vector<uint8_t> frame = {0x14, 0x84, 1, 5, 0x0E, 0x0F, 9, 0x0A};

  EXPECT_EQ(port.SendTimed(ByteView(), 40), 0u);
  device.write_limit = 3;  // a write takes only part of the bytes
  EXPECT_EQ(port.Send(frame), frame.size());
  EXPECT_EQ(device.written, frame);

  device.written.clear();
  device.out_waiting = 2048;  // the output queue is full: no room
  EXPECT_EQ(port.OutputRoom(), 0);
  EXPECT_EQ(port.SendTimed(frame, 40), 0u);
  device.out_waiting = 2000;
  EXPECT_EQ(port.OutputRoom(), 48);

  device.out_waiting = 0;
  device.fail_io = true;  // writes fail: no progress, the time-out ends the send
  EXPECT_EQ(port.Send(frame), 0u);
  device.fail_io = false;
  port.SetCheckLineStatus(true);
  EXPECT_EQ(port.Send(frame), 0u);
  device.modem_lines = kCts | kDsr;
  EXPECT_EQ(port.ModemLines(), kCts | kDsr);
  EXPECT_EQ(port.Send(frame), frame.size());
  port.SetDtr(false);
  EXPECT_FALSE(device.dtr);
}

}  // namespace
}  // namespace qarn
