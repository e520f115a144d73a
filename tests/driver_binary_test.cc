// The real qarn-driver binary, started in a directory of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/child_process.h"
#include "fakes/temp_dir.h"

namespace qarn {
namespace {

using ::testing::IsEmpty;

constexpr const char* kDriver = QARN_DRIVER_PATH;

TEST(DriverBinary, PrintsItsVersionAndHelp) {
  testing::TempDir dir;
  testing::ChildProcess version(kDriver, {"--version"}, dir.path());
  EXPECT_EQ(version.Wait(), 0);
  EXPECT_EQ(version.out(), "8.1.3.171\n");
  testing::ChildProcess help(kDriver, {"--help"}, dir.path());
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_NE(help.out().find("--headless"), std::string::npos);
  testing::ChildProcess bad(kDriver, {"--bogus"}, dir.path());
  EXPECT_EQ(bad.Wait(), 2);
}

TEST(DriverBinary, RunsHeadlessInAnEmptyDirectoryUntilSignalled) {
  for (int sig : {SIGTERM, SIGINT}) {
    testing::TempDir dir;
    testing::ChildProcess driver(kDriver, {}, dir.path());  // no display: headless by itself
    ASSERT_TRUE(driver.WaitFor(2, "running headless")) << driver.err();
    driver.Signal(sig);
    EXPECT_EQ(driver.Wait(), 0) << driver.err();
    EXPECT_THAT(dir.List(), IsEmpty());  // nothing to spool, nothing to log
  }
}

TEST(DriverBinary, BadQueryIntervalIsReportedAndStartUpGoesOn) {
  testing::TempDir dir;
  dir.Write("sqarn.ini", "[main]\nQARNRetOpr=later\n");
  testing::ChildProcess driver(kDriver, {"--headless"}, dir.path());
  ASSERT_TRUE(driver.WaitFor(2, "running headless")) << driver.err();
  EXPECT_NE(driver.err().find("QARNRetOpr"), std::string::npos);
  driver.Signal(SIGTERM);
  EXPECT_EQ(driver.Wait(), 0);
}

}  // namespace
}  // namespace qarn
