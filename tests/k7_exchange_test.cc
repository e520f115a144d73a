#include "k7/k7_exchange.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>

#include "base/port_name.h"
#include "fakes/fake_clock.h"
#include "fakes/loopback_server.h"
#include "fakes/qt_test_loop.h"
#include "platform/async_tcp_client.h"

namespace qarn {
namespace {

Bytes UnitBytes(uint8_t b0, uint8_t b1, uint8_t command) {
  Bytes unit(555, 0);
  unit[0] = b0;
  unit[1] = b1;
  unit[2] = command;
  return unit;
}

Bytes Join(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

TEST(K7Units, GreetingsAndServerUnitsAreLaidOutByteForByte) {
  const K7Frame greeting = BuildGreetingUnit();
  EXPECT_EQ(greeting[0], 0xFF);
  EXPECT_EQ(greeting[1], 0xFF);
  EXPECT_EQ(greeting[2], 0x14);
  EXPECT_EQ(greeting[3], 0x02);
  const K7Frame port = BuildPortGreetingUnit(12);
  EXPECT_EQ(port[2], 0x32);
  EXPECT_EQ(port[3], 12);
  // 1 March 2011 12:00:00.000 is 40603.5: 00 00 00 00 70 D3 E3 40 at bytes 30 to 37.
  const K7Frame clock = BuildServerUnit(kK7SetClock, 40603.5);
  EXPECT_EQ(Bytes(clock.begin() + 30, clock.begin() + 38),
            (Bytes{0x00, 0x00, 0x00, 0x00, 0x70, 0xD3, 0xE3, 0x40}));
  EXPECT_EQ(clock[2], 4);
  EXPECT_EQ(K7FrameTime(clock), 40603.5);
}

// The K7 port greeting carries the number of the port's device name.
TEST(K7Units, PortGreetingNumberComesFromTheDeviceName) {
  EXPECT_EQ(ComPort::ParseDevice("\\\\.\\COM3"), ComPort(3));
  EXPECT_EQ(ComPort::ParseDevice("\\\\.\\com12"), ComPort(12));
  EXPECT_EQ(ComPort::ParseDevice("\\\\.\\COM255"), ComPort(255));  // no port
  EXPECT_EQ(ComPort::ParseDevice("\\\\.\\COM007"), ComPort(7));
  EXPECT_EQ(ComPort::ParseDevice("\\\\.\\COM999999999"), ComPort(999999999));
  for (const char* name : {"\\\\.\\COM", "\\\\.\\COMx", "\\\\.\\COM1x", "\\\\.\\COM1234567890",
                           "COM3", "\\\\.\\/dev/ttyUSB0", ""}) {
    EXPECT_EQ(ComPort::ParseDevice(name), std::nullopt) << name;
  }
  for (int n = ComPort::kScanFirst; n <= ComPort::kScanLast; ++n) {
    EXPECT_EQ(ComPort::Parse(ComPort(n).Name()), ComPort(n));
    EXPECT_EQ(ComPort::ParseDevice(ComPort(n).DeviceName()), ComPort(n));
  }
  EXPECT_EQ(ComPort(3).DeviceName(), "\\\\.\\COM3");
}

TEST(K7Units, BufferCutsJoinedPiecesIntoUnits) {
  K7UnitBuffer buffer;
  const Bytes unit = UnitBytes(0xFF, 0xFF, 7);
  buffer.Append(ByteView(unit).first(300));
  EXPECT_FALSE(buffer.Next());
  buffer.Append(ByteView(unit).subspan(300));
  const auto whole = buffer.Next();
  ASSERT_TRUE(whole);
  EXPECT_TRUE(std::equal(whole->begin(), whole->end(), unit.begin()));
  EXPECT_EQ(buffer.size(), 0u);

  buffer.Append(Join(Join(unit, unit), Bytes(10, 1)));
  EXPECT_TRUE(buffer.Next());
  EXPECT_TRUE(buffer.Next());
  EXPECT_FALSE(buffer.Next());
  EXPECT_EQ(buffer.size(), 10u);
}

// The exchange over a real loopback connection, what it tells counted.
class ExchangeTest : public ::testing::Test {
 protected:
  ExchangeTest() { EnsureQtApplication(); }

  void Start(bool send_k7, const std::string& device = "\\\\.\\COM3") {
    client_.SetHost("127.0.0.1");
    client_.SetPort(server_.port());
    listener_.device = device;
    exchange_ =
        std::make_unique<K7Exchange>(client_, clock_, K7Exchange::Settings{send_k7}, listener_);
    Connect();
  }

  void Connect() {
    exchange_->KeepUp();
    bool accepted = false;
    ASSERT_TRUE(RunUntil([&] { return accepted = accepted || server_.TryAccept(); }));
    ASSERT_TRUE(RunUntil([&] { return link_; }));
  }

  bool RunUntil(const std::function<bool()>& done) { return RunLoopUntil(loop_, done); }

  // Waits until the server has `size` bytes from the driver.
  void ReceiveAtLeast(size_t size) {
    ASSERT_TRUE(RunUntil([&] {
      server_.Poll();
      return server_.received().size() >= size;
    }));
  }

  testing::FakeClock clock_;
  QtMainLoop loop_;
  LoopbackServer server_;
  AsyncTcpClient client_{loop_};
  // What the exchange tells, counted.
  struct Listener final : K7Exchange::Listener {
    explicit Listener(ExchangeTest& test) : t(test) {}
    void LinkChanged(bool up) override { t.link_ = up; }
    void UnitReceived() override { ++t.advances_; }
    void SetClock(TDateTime time) override { t.clock_times_.push_back(time); }
    void RetQuery() override { ++t.ret_queries_; }
    void Close() override { ++t.closes_; }
    std::string DeviceName() override { return device; }
    ExchangeTest& t;
    std::string device;
  };
  Listener listener_{*this};
  std::unique_ptr<K7Exchange> exchange_;
  bool link_ = false;
  int advances_ = 0;
  int ret_queries_ = 0;
  int closes_ = 0;
  std::vector<TDateTime> clock_times_;
};

TEST_F(ExchangeTest, GreetingsWithSendK7On) {
  Start(true, "\\\\.\\COM3");
  ReceiveAtLeast(1110);
  Bytes expected(1110, 0);
  expected[0] = expected[1] = 0xFF;
  expected[2] = 0x14;
  expected[3] = 0x02;
  expected[555] = expected[556] = 0xFF;
  expected[557] = 0x32;
  expected[558] = 0x03;
  EXPECT_EQ(server_.received(), expected);
  EXPECT_EQ(advances_, 0);  // greetings do not move the indicator
}

TEST_F(ExchangeTest, OnlyTheFirstGreetingWithSendK7Off) {
  Start(false);
  ReceiveAtLeast(555);
  // A round trip: had a second greeting been sent, it would be here by now.
  server_.Send(UnitBytes(0xFF, 0xFF, 99));
  ASSERT_TRUE(RunUntil([&] { return advances_ == 1; }));
  server_.Poll();
  Bytes expected(555, 0);
  expected[0] = expected[1] = 0xFF;
  expected[2] = 0x14;
  expected[3] = 0x02;
  EXPECT_EQ(server_.received(), expected);
}

TEST_F(ExchangeTest, UnitInTwoPiecesIsCarriedOutOnceWhole) {
  Start(false);
  const Bytes unit = UnitBytes(0xFF, 0xFF, kK7RetQuery);
  server_.Send(ByteView(unit).first(300));
  ASSERT_TRUE(RunUntil([&] { return exchange_->buffered() == 300; }));
  EXPECT_EQ(ret_queries_, 0);
  server_.Send(ByteView(unit).subspan(300));
  ASSERT_TRUE(RunUntil([&] { return ret_queries_ == 1; }));
  EXPECT_EQ(exchange_->buffered(), 0u);
  EXPECT_EQ(advances_, 1);
}

TEST_F(ExchangeTest, BatchOfTwoRetQueryUnits) {
  Start(false);
  const Bytes unit = UnitBytes(0xFF, 0xFF, kK7RetQuery);
  server_.Send(Join(unit, unit));
  ASSERT_TRUE(RunUntil([&] { return ret_queries_ == 2; }));
  EXPECT_EQ(advances_, 2);
  EXPECT_EQ(exchange_->buffered(), 0u);
}

TEST_F(ExchangeTest, UnitWithoutMarkerIsSkippedWhole) {
  Start(false);
  server_.Send(UnitBytes(0xFF, 0xFE, kK7Close));
  server_.Send(UnitBytes(0xFF, 0xFF, kK7RetQuery));
  ASSERT_TRUE(RunUntil([&] { return ret_queries_ == 1; }));
  EXPECT_EQ(advances_, 1);
  EXPECT_EQ(closes_, 0);
  EXPECT_EQ(exchange_->buffered(), 0u);
}

TEST_F(ExchangeTest, ClockAndCloseCommandsAndUnitsAfterTheClose) {
  Start(false);
  const K7Frame clock = BuildServerUnit(kK7SetClock, 40603.5);
  const Bytes units = Join(Join(Bytes(clock.begin(), clock.end()), UnitBytes(0xFF, 0xFF, kK7Close)),
                           UnitBytes(0xFF, 0xFF, kK7RetQuery));
  server_.Send(units);
  ASSERT_TRUE(RunUntil([&] { return ret_queries_ == 1; }));
  EXPECT_EQ(clock_times_, std::vector<TDateTime>{40603.5});
  EXPECT_EQ(closes_, 1);
  EXPECT_EQ(advances_, 3);
}

TEST_F(ExchangeTest, ANewConnectionStartsWithAnEmptyBuffer) {
  Start(false);
  // The first 300 bytes of a close order, then the connection drops.
  server_.Send(ByteView(UnitBytes(0xFF, 0xFF, kK7Close)).first(300));
  ASSERT_TRUE(RunUntil([&] { return exchange_->buffered() == 300; }));
  server_.CloseGracefully();
  ASSERT_TRUE(RunUntil([&] { return !link_; }));
  Connect();
  EXPECT_EQ(exchange_->buffered(), 0u);
  server_.Send(UnitBytes(0xFF, 0xFF, kK7RetQuery));
  ASSERT_TRUE(RunUntil([&] { return ret_queries_ == 1; }));
  EXPECT_EQ(closes_, 0);
  EXPECT_EQ(exchange_->buffered(), 0u);
}

TEST_F(ExchangeTest, UnitNotTakenWholeDropsTheConnection) {
  Start(false);
  // Small buffers on both sides, and a server that reads nothing: the socket soon fills.
  const int small = 4096;
  setsockopt(client_.socket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(server_.connection()->fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const K7Frame unit = BuildServiceFrame(kK7StationSilent);
  size_t taken = kK7FrameSize;
  for (int i = 0; i < 100000 && taken == kK7FrameSize; ++i) taken = exchange_->SendUnit(unit, "");
  EXPECT_LT(taken, kK7FrameSize);
  EXPECT_FALSE(exchange_->Connected());
  EXPECT_FALSE(link_);
}

}  // namespace
}  // namespace qarn
