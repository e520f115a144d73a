// The simulator's K7 side against the driver's own K7 exchange.
#include <gtest/gtest.h>

#include "fakes/fake_clock.h"
#include "fakes/qt_test_loop.h"
#include "k7_side.h"
#include "platform/async_tcp_client.h"

namespace qarn {
namespace {

TEST(ServerSimK7, DescribesTheDriversUnits) {
  EXPECT_EQ(DescribeK7Unit(BuildGreetingUnit()), "K7 greeting (type 20, 2)");
  EXPECT_EQ(DescribeK7Unit(BuildPortGreetingUnit(12)), "K7 port greeting: serial port COM12");
  EXPECT_EQ(DescribeK7Unit(BuildEventFrame({40012, 3, 0x0A, 40603.5})),
            "K7 event: object 40012, code 0A, byte3 3, time 2011-03-01T12:00:00.000");
  EXPECT_EQ(DescribeK7Unit(BuildServiceFrame(72)), "K7 service frame 72: the station is silent");
}

TEST(ServerSimK7, ParsesTimes) {
  EXPECT_EQ(ParseIsoTime("2011-03-01T12:00:00.250"), (CivilTime{2011, 3, 1, 12, 0, 0, 250}));
  EXPECT_EQ(ParseIsoTime("2011-03-01 12:30"), (CivilTime{2011, 3, 1, 12, 30, 0, 0}));
  EXPECT_EQ(ParseIsoTime("2011-02-30T12:00:00"), std::nullopt);
  EXPECT_EQ(ParseIsoTime("noon"), std::nullopt);
}

TEST(ServerSimK7, TalksToTheDriversExchange) {
  EnsureQtApplication();
  QtMainLoop loop;
  testing::FakeClock clock;
  std::vector<std::string> lines;
  K7Side side(loop, clock, [&](const std::string& line) { lines.push_back(line); });
  ASSERT_EQ(side.Listen("127.0.0.1", 0), 0);

  AsyncTcpClient client(loop);
  client.SetHost("127.0.0.1");
  client.SetPort(side.port());
  struct Driver final : K7Exchange::Listener {
    void RetQuery() override { ++ret_queries; }
    void SetClock(TDateTime time) override { clock_times.push_back(time); }
    std::string DeviceName() override { return "\\\\.\\COM3"; }
    int ret_queries = 0;
    std::vector<TDateTime> clock_times;
  } driver;
  int& ret_queries = driver.ret_queries;
  std::vector<TDateTime>& clock_times = driver.clock_times;
  K7Exchange exchange(client, clock, K7Exchange::Settings{true}, driver);
  exchange.KeepUp();
  const auto has = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  ASSERT_TRUE(RunLoopUntil(loop, [&] { return has("K7 port greeting: serial port COM3"); }));
  EXPECT_TRUE(has("K7 greeting (type 20, 2)"));

  EXPECT_TRUE(side.HandleCommand("split 300"));
  EXPECT_TRUE(side.HandleCommand("query"));
  ASSERT_TRUE(RunLoopUntil(loop, [&] { return ret_queries == 1; }));
  EXPECT_TRUE(has("K7: sent command 7: remaining 255 bytes"));
  EXPECT_TRUE(side.HandleCommand("clock 2011-03-01T12:00:00.000"));
  ASSERT_TRUE(RunLoopUntil(loop, [&] { return !clock_times.empty(); }));
  EXPECT_EQ(clock_times, std::vector<TDateTime>{40603.5});
  EXPECT_FALSE(side.HandleCommand("hello"));

  (void)exchange.SendUnit(BuildServiceFrame(73), "");
  ASSERT_TRUE(
      RunLoopUntil(loop, [&] { return has("K7 service frame 73: the station is heard again"); }));
}

}  // namespace
}  // namespace qarn
