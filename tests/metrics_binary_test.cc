// The real qarn-driver binary serving its metrics: a pseudo-terminal plays the station, a
// loopback K8 server acknowledges, the K7 link stays down, and the test scrapes /metrics on a
// port it picked.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

#include "fakes/child_process.h"
#include "fakes/driver_station_side.h"
#include "fakes/k8_test_server.h"
#include "fakes/loopback_http.h"
#include "fakes/metrics_scrape.h"
#include "fakes/temp_dir.h"
#include "k8/k8_wire.h"
#include "platform/pseudo_terminal.h"
#include "platform/tcp_listener.h"
#include "station/station_frames.h"

namespace qarn {
namespace {

using std::chrono::milliseconds;
using testing::Sample;

constexpr const char* kDriver = QARN_DRIVER_PATH;

std::optional<Bytes> AckingServer(const K8TestServer::Received& r) {
  if (r.header.type == kK8Hello) return BuildK8Packet(kK8PollEnable, ByteView(), 0);
  return K8TestServer::DefaultReply(r);
}

// A port of 127.0.0.1 free a moment ago: the system's pick, let go for the driver to take.
int FreePort() {
  TcpListener listener;
  if (listener.Listen("127.0.0.1", 0) != 0) return 0;
  return listener.port();
}

std::string Scrape(int port) {
  const std::string answer = testing::AskLoopback(port, testing::kMetricsRequest);
  const size_t body = answer.find("\r\n\r\n");
  if (answer.rfind("HTTP/1.1 200", 0) != 0 || body == std::string::npos) return {};
  return answer.substr(body + 4);
}

std::string FindPromtool() {
  for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
    const std::string path = std::string(dir) + "/promtool";
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

class MetricsBinary : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(pty_.Open(&error)) << error;
  }

  // K7 used and down (its port refuses), K8 on `k8_port`.
  void StartDriver(int metrics_port, int k8_port) {
    dir_.Write("sqarn.ini",
               testing::OwnLinksIni("ComPort=COM1\nSetClock=0\nSendK7=1\nSendK8=1\nMetricsPort=" +
                                        std::to_string(metrics_port) + "\n",
                                    "[ports]\nCOM1=" + pty_.slave_path() + "\n", 0, k8_port));
    driver_ = std::make_unique<testing::ChildProcess>(
        kDriver, std::vector<std::string>{"--headless"}, dir_.path(), false,
        std::vector<std::string>{testing::kFastTimings});
    ASSERT_TRUE(driver_->WaitFor(2, "running headless")) << driver_->err();
  }
  void Send(ByteView frame) {
    ASSERT_EQ(write(pty_.master_fd(), frame.data(), frame.size()),
              static_cast<ssize_t>(frame.size()));
  }
  void WaitForStationLink() {
    static constexpr std::array<uint8_t, 2> kClockFrameStart = {0x84, 0x01};
    for (int i = 0; i < 50; ++i) {
      Send(kPollFrame);
      if (testing::ReadUntil(pty_.master_fd(), in_, ByteView(kClockFrameStart), milliseconds(200)))
        return;
    }
    FAIL() << "the driver never answered a poll frame\n" << driver_->err();
  }
  void SendEvent(uint16_t object) {
    Send(BuildStationEventFrame(object, 0x0A, 1));
    ASSERT_TRUE(testing::ReadUntil(pty_.master_fd(), in_, kAckFrame, milliseconds(2000)))
        << "event " << object << "\n"
        << driver_->err();
  }
  // Scrapes until `series` has `value`; the last scrape.
  std::string ScrapeUntil(int port, const std::string& series, double value) {
    std::string scrape;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      scrape = Scrape(port);
      if (Sample(scrape, series) == value) break;
      std::this_thread::sleep_for(milliseconds(20));
    }
    return scrape;
  }

  testing::TempDir dir_;
  PseudoTerminal pty_;
  std::unique_ptr<testing::ChildProcess> driver_;
  Bytes in_;
};

TEST_F(MetricsBinary, CountersGaugesAndHistogramsMoveWithStationEventsWhileK7IsDown) {
  K8TestServer k8(AckingServer);
  const int port = FreePort();
  ASSERT_NE(port, 0);
  StartDriver(port, k8.port());
  ASSERT_TRUE(driver_->WaitFor(2, "metrics served")) << driver_->err();
  const std::string before = ScrapeUntil(port, "qarn_link_up{link=\"k8\"}", 1);
  EXPECT_EQ(Sample(before, "qarn_events_acknowledged_total"), 0);
  EXPECT_EQ(Sample(before, "qarn_last_event_timestamp_seconds"), 0);
  WaitForStationLink();

  constexpr int kEvents = 5;
  for (uint16_t i = 1; i <= kEvents; ++i) SendEvent(i);
  const std::string after = ScrapeUntil(port, "qarn_records_delivered_total{link=\"k8\"}", kEvents);
  auto value = [&](const std::string& series) { return Sample(after, series).value_or(-1); };
  EXPECT_EQ(value("qarn_station_frames_total{kind=\"event\"}"), kEvents) << after;
  EXPECT_GE(value("qarn_station_frames_total{kind=\"poll\"}"), 1);
  EXPECT_EQ(value("qarn_events_acknowledged_total"), kEvents);
  EXPECT_EQ(value("qarn_station_port_open"), 1);
  EXPECT_GT(value("qarn_last_event_timestamp_seconds"), 1.6e9);
  // Each record stored first on both links; only K8's delivered, K7's wait on disk with the
  // service frames that told the station heard.
  EXPECT_EQ(value("qarn_records_stored_total{link=\"k8\"}"), kEvents);
  EXPECT_GT(value("qarn_records_stored_total{link=\"k7\"}"), kEvents);
  EXPECT_EQ(value("qarn_records_delivered_total{link=\"k8\"}"), kEvents);
  EXPECT_EQ(value("qarn_records_delivered_total{link=\"k7\"}"), 0);
  EXPECT_EQ(value("qarn_spool_files{link=\"k7\"}"),
            value("qarn_records_stored_total{link=\"k7\"}"));
  EXPECT_EQ(value("qarn_spool_files{link=\"k8\"}"), 0);
  EXPECT_GT(value("qarn_spool_oldest_age_seconds{link=\"k7\"}"), 0);
  EXPECT_EQ(value("qarn_spool_oldest_age_seconds{link=\"k8\"}"), 0);
  EXPECT_EQ(value("qarn_link_up{link=\"k8\"}"), 1);
  EXPECT_EQ(value("qarn_link_up{link=\"k7\"}"), 0);
  EXPECT_EQ(value("qarn_link_connections_total{link=\"k8\",server=\"primary\"}"), 1);
  EXPECT_EQ(value("qarn_link_connections_total{link=\"k7\",server=\"primary\"}"), 0);
  EXPECT_EQ(value("qarn_link_server{link=\"k8\",server=\"primary\"}"), 1);
  EXPECT_EQ(value("qarn_link_server{link=\"k8\",server=\"backup\"}"), 0);
  EXPECT_EQ(value("qarn_records_in_memory"), 0);
  EXPECT_EQ(value("qarn_records_lost_total"), 0);
  EXPECT_EQ(value("qarn_ack_latency_seconds_count"), kEvents);
  EXPECT_EQ(value("qarn_ack_latency_seconds_bucket{le=\"+Inf\"}"), kEvents);
  EXPECT_GT(value("qarn_ack_latency_seconds_sum"), 0);
  EXPECT_EQ(value("qarn_delivery_latency_seconds_count{link=\"k8\"}"), kEvents);
  EXPECT_EQ(value("qarn_delivery_latency_seconds_count{link=\"k7\"}"), 0);
  EXPECT_EQ(value("qarn_build_info{version=\"8.1.3.171\"}"), 1);

  const std::string promtool = FindPromtool();
  if (promtool.empty()) {
    std::puts("promtool not installed: the scrape's format is not checked (Debian: prometheus)");
  } else {
    dir_.Write("scrape.txt", after);
    const std::string command = promtool + " check metrics < '" + (dir_ / "scrape.txt") + "' 2>&1";
    FILE* p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string said;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) said += buf;
    EXPECT_EQ(pclose(p), 0) << said;
    EXPECT_EQ(said, "");
  }
  EXPECT_NE(
      testing::AskLoopback(port, "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n")
          .rfind("HTTP/1.1 200", 0),
      0u);
  driver_->Signal(SIGTERM);
  EXPECT_EQ(driver_->Wait(), 0) << driver_->err();
}

// A port that another program holds: said once, and the station is answered as ever. Then
// on a port of its own, clients that connect and send nothing, or never end their request,
// take the exposer's threads but not the driver's.
TEST_F(MetricsBinary, ATakenPortOrClientsThatNeverAskLeaveTheStationAnswered) {
  K8TestServer k8(AckingServer);
  {
    TcpListener holder;
    ASSERT_EQ(holder.Listen("127.0.0.1", 0), 0);
    StartDriver(holder.port(), k8.port());
    ASSERT_TRUE(driver_->WaitFor(2, "cannot serve the metrics")) << driver_->err();
    WaitForStationLink();
    SendEvent(1);
    const std::string err = driver_->err();
    EXPECT_EQ(err.find("metrics"), err.rfind("metrics")) << err;
    driver_->Signal(SIGTERM);
    EXPECT_EQ(driver_->Wait(), 0) << driver_->err();
  }

  const int port = FreePort();
  ASSERT_NE(port, 0);
  StartDriver(port, k8.port());
  ASSERT_TRUE(driver_->WaitFor(2, "metrics served")) << driver_->err();
  std::vector<int> clients;
  for (int i = 0; i < 64; ++i) {
    const int fd = testing::ConnectLoopback(port);
    if (fd >= 0) clients.push_back(fd);
  }
  for (int i = 0; i < 4 && i < static_cast<int>(clients.size()); ++i) {
    const std::string part = "GET /metrics HTTP/1.1\r\nHost: ";
    ASSERT_EQ(write(clients[static_cast<size_t>(i)], part.data(), part.size()),
              static_cast<ssize_t>(part.size()));
  }
  WaitForStationLink();
  for (uint16_t i = 1; i <= 5; ++i) SendEvent(i);
  for (int fd : clients) close(fd);
  driver_->Signal(SIGTERM);
  EXPECT_EQ(driver_->Wait(), 0) << driver_->err();
}

}  // namespace
}  // namespace qarn
