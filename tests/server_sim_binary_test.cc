// The real qarn-server-sim binary, serving both links at once.
#include <gtest/gtest.h>

#include <regex>

#include "fakes/child_process.h"
#include "fakes/temp_dir.h"
#include "k8/k8_wire.h"
#include "platform/blocking_tcp_client.h"

namespace qarn {
namespace {

constexpr const char* kServerSim = QARN_SERVER_SIM_PATH;

// The port in the line "<link>...listening on 127.0.0.1:N", once printed.
int ListeningPort(testing::ChildProcess& sim, const std::string& link) {
  const std::regex line(link + ":? listening on 127\\.0\\.0\\.1:([0-9]+)\n");
  for (int tries = 0; tries < 100; ++tries) {
    std::smatch m;
    if (std::regex_search(sim.out(), m, line)) return std::stoi(m[1]);
    sim.WaitFor(1, "\x01", 100);  // reads what came within 100 ms
  }
  return -1;
}

std::unique_ptr<PosixBlockingTcpClient> ConnectTo(int port) {
  TcpClientOptions options;
  options.host = "127.0.0.1";
  options.port = port;
  auto client = std::make_unique<PosixBlockingTcpClient>(options);
  EXPECT_EQ(client->Connect(), 0) << "port " << port;
  return client;
}

TEST(ServerSimBinary, ServesBothLinksAndEndsOnQuit) {
  testing::TempDir dir;
  testing::ChildProcess sim(kServerSim, {"--k7-port", "0", "--k8-port", "0"}, dir.path(),
                            /*pipe_input=*/true);
  const int k7_port = ListeningPort(sim, "K7");
  const int k8_port = ListeningPort(sim, "K8");
  ASSERT_GT(k7_port, 0);
  ASSERT_GT(k8_port, 0);

  // The driver's first K7 greeting unit: FF FF 14 02, then 551 bytes of no value.
  auto k7 = ConnectTo(k7_port);
  Bytes greeting(555, 0);
  greeting[0] = greeting[1] = 0xFF;
  greeting[2] = 0x14;
  greeting[3] = 0x02;
  ASSERT_EQ(k7->WriteAll(greeting), 0);
  EXPECT_TRUE(sim.WaitFor(1, "K7 greeting (type 20, 2)\n")) << sim.out();

  // The driver's first K8 greeting packet, K8Hello with payload 14 00.
  auto k8 = ConnectTo(k8_port);
  ASSERT_EQ(k8->WriteAll(BuildK8Frame(BuildK8Packet(kK8Hello, Bytes{0x14, 0x00}, 1))), 0);
  EXPECT_TRUE(sim.WaitFor(1, "K8 <- K8Hello seq=1 hello=20\n")) << sim.out();
  uint8_t header[21];
  size_t got = 0;
  EXPECT_EQ(k8->ReadExactly(header, sizeof header, &got), 0);  // it answers every frame

  // Every line names its link.
  const std::string out = sim.out();
  for (size_t at = 0; at < out.size();) {
    const size_t end = out.find('\n', at);
    const std::string line = out.substr(at, end - at);
    EXPECT_TRUE(line.rfind("K7", 0) == 0 || line.rfind("K8", 0) == 0) << line;
    at = end == std::string::npos ? out.size() : end + 1;
  }

  ASSERT_TRUE(sim.Send("quit\n"));
  EXPECT_EQ(sim.Wait(), 0) << sim.err();
  EXPECT_NE(sim.out().find("K7/K8 simulator ended\n"), std::string::npos) << sim.out();
}

TEST(ServerSimBinary, RefusesToServeNothingAndExplainsItself) {
  testing::TempDir dir;
  testing::ChildProcess nothing(kServerSim, {"--no-k7", "--no-k8"}, dir.path());
  EXPECT_EQ(nothing.Wait(), 2);
  testing::ChildProcess help(kServerSim, {"--help"}, dir.path());
  EXPECT_EQ(help.Wait(), 0);
  for (const char* word :
       {"--k7-port", "--k8-port", "--no-k7", "--no-k8", "k7 query", "k8 query"}) {
    EXPECT_NE(help.out().find(word), std::string::npos) << word;
  }
}

}  // namespace
}  // namespace qarn
