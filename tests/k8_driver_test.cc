// The driver with its K8 link against a loopback server: start-up makes the link, the close
// stops it and keeps the live events it had not sent.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "fakes/inline_main_loop.h"
#include "fakes/k8_test_server.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "serial/station_port.h"
#include "shell/driver.h"

namespace qarn {
namespace {

class RecordingView final : public DriverView {
 public:
  void Update(ViewPart) override {}
  void ShowMessageBox(const std::string&) override {}
  PasswordAnswer AskPassword(const std::string&) override { return PasswordAnswer::kAccepted; }
};

TEST(K8Driver, CloseSpoolsTheLiveEventsStillQueued) {
  // Greeting packets are answered, station events never: the rest wait in the ring.
  K8TestServer server([](const K8TestServer::Received& r) -> std::optional<Bytes> {
    if (r.header.type == kK8StationEventType) return std::nullopt;
    return K8TestServer::DefaultReply(r);
  });
  const auto dir = std::filesystem::path(::testing::TempDir()) /
                   ("k8_driver_close_" + std::to_string(std::random_device{}()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const auto old_dir = std::filesystem::current_path();
  std::filesystem::current_path(dir);  // the driver works in its current directory
  std::ofstream("sqarn.ini") << "[main]\nSendK8=1\nSetClock=0\nFirstNumber=7\n"
                             << "[ServerHost]\nAddress=127.0.0.1\nPort=" << server.port() << "\n";

  SystemClock clock;
  PosixFileSystem fs;
  InlineMainLoop loop;
  NoStationPort port;
  RecordingView view;
  {
    Driver driver({clock, fs, loop, port, view});
    driver.StartUp();
    ASSERT_NE(driver.k8_link_thread(), nullptr);
    ASSERT_TRUE(server.WaitForPackets(4));
    EXPECT_EQ(server.received()[1].packet.back(), 0);  // the port is closed
    EXPECT_EQ(server.received()[2].packet.back(), 7);  // FirstNumber
    ASSERT_TRUE(driver.k8_link());

    StationEvent event{70001, 3, 0x0A, clock.Now()};
    for (int i = 0; i < 3; ++i) driver.output()->DeliverStationEvent(event);
    // A replayed packet is not written again at close: its file still exists.
    driver.k8_link_thread()->QueuePacket(kK8StationEventType, BuildK8Event(event), "old.dd8");
    ASSERT_TRUE(server.WaitForPackets(5));
    EXPECT_TRUE(fs.FindAll("*.dd8").empty());

    driver.CloseOnSignal();
    EXPECT_TRUE(driver.k8_link_thread()->finished());
    EXPECT_FALSE(driver.k8_link());
    EXPECT_EQ(driver.log_lines().back().find("выход - "), 20u);  // after the date and time
  }
  const auto spooled = fs.FindAll("*.dd8");
  EXPECT_EQ(spooled.size(), 2u);
  for (const auto& name : spooled) {
    Bytes content;
    ASSERT_TRUE(fs.ReadAll(name, &content, nullptr));
    ASSERT_EQ(content.size(), 22u);
    EXPECT_EQ(Bytes(content.begin(), content.begin() + 4), (Bytes{0x1C, 0x00, 0x00, 0x03}));
  }
  std::filesystem::current_path(old_dir);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qarn
