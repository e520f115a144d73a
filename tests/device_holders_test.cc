#include "platform/device_holders.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "fakes/temp_dir.h"
#include "platform/pseudo_terminal.h"

namespace qarn {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A /proc of three processes: 10 holds the device, 20 holds something else, 30 (this one)
// holds it too but does not count.
TEST(DeviceHoldersTest, FindsOtherProcessesByTheirOpenDescriptors) {
  testing::TempDir dir;
  dir.Write("device", "");
  dir.Write("other", "");
  const std::string proc = dir / "proc";
  const auto process = [&](const std::string& pid, const std::string& comm,
                           std::vector<std::string> targets) {
    std::filesystem::create_directories(proc + "/" + pid + "/fd");
    std::ofstream(proc + "/" + pid + "/comm") << comm << "\n";
    int n = 0;
    for (const std::string& t : targets) {
      std::filesystem::create_symlink(dir / t, proc + "/" + pid + "/fd/" + std::to_string(n++));
    }
  };
  process("10", "minicom", {"other", "device"});
  process("20", "bash", {"other"});
  process("30", "qarn-driver", {"device"});
  std::filesystem::create_directories(proc + "/self/fd");  // not a process number
  std::filesystem::create_directories(proc + "/40");       // no fd listing: not readable

  const std::vector<DeviceHolder> holders = FindDeviceHolders(dir / "device", proc, 30);
  ASSERT_EQ(holders.size(), 1u);
  EXPECT_EQ(holders[0].pid, 10);
  EXPECT_EQ(holders[0].name, "minicom");
  EXPECT_EQ(DescribeHolders(holders), "minicom (pid 10)");
  EXPECT_THAT(FindDeviceHolders(dir / "missing", proc, 30), IsEmpty());
}

// A real process that keeps a character device open without any lock is seen.
TEST(DeviceHoldersTest, SeesARealChildThatHoldsADevice) {
  const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    (void)!::write(ready[1], "y", 1);
    pause();
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  bool seen = false;
  for (const DeviceHolder& h : FindDeviceHolders("/dev/null", "/proc", getpid())) {
    if (h.pid == child) seen = true;
    EXPECT_NE(h.pid, getpid());
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  ::close(fd);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_TRUE(seen);
}

TEST(DeviceHoldersTest, PseudoTerminalsAreToldApart) {
  PseudoTerminal pty;
  std::string error;
  ASSERT_TRUE(pty.Open(&error)) << error;
  EXPECT_TRUE(IsPseudoTerminal(pty.slave_path()));
  EXPECT_FALSE(IsPseudoTerminal("/dev/null"));
  EXPECT_FALSE(IsPseudoTerminal("/no/such/device"));
}

}  // namespace
}  // namespace qarn
