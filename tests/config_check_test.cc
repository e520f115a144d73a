// The configuration check on sample files, as an installer writes them.
#include "shell/config_check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "fakes/temp_dir.h"

namespace qarn {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

class ConfigCheckTest : public ::testing::Test {
 protected:
  ConfigCheckTest() { dir_.Enter(); }

  ConfigCheck Check(const std::string& ini) {
    dir_.Write("sqarn.ini", ini);
    return CheckConfig(fs_, "sqarn.ini");
  }
  static const ConfigCheck::Value* Find(const ConfigCheck& c, const std::string& key) {
    for (const auto& v : c.values)
      if (v.key == key) return &v;
    return nullptr;
  }

  testing::TempDir dir_;
  PosixFileSystem fs_;
};

TEST_F(ConfigCheckTest, ACleanFileIsOkAndEachValueSaysWhereItCameFrom) {
  dir_.Write("ttyFAKE", "");
  const ConfigCheck c = Check(
      "; the station\n[Main]\ncomport=COM3\nFirstNumber=$10\nret=1,2,32\nQARNRetOpr=01:30:00\n"
      "\n[ServerHost]\nPort=0x3000\n[ports]\nCOM3=" +
      (dir_ / "ttyFAKE") + "\n");
  EXPECT_THAT(c.problems, IsEmpty());
  EXPECT_TRUE(c.ok());
  EXPECT_EQ(c.config.com_port, "COM3");
  EXPECT_EQ(Find(c, "ComPort")->line, 3u);
  EXPECT_EQ(Find(c, "FirstNumber")->value, "16");
  EXPECT_EQ(Find(c, "Port")->value, "12288");
  EXPECT_EQ(Find(c, "n_abs")->line, 0u);  // default
  EXPECT_EQ(Find(c, "COM3")->line, 11u);
  const std::string report = FormatConfigCheck(c);
  EXPECT_THAT(report, HasSubstr("ComPort=COM3"));
  EXPECT_THAT(report, HasSubstr("; line 3"));
  EXPECT_THAT(report, HasSubstr("no problems"));
}

TEST_F(ConfigCheckTest, FindsEachKindOfMistake) {
  const ConfigCheck c = Check(
      "[main]\n"
      "ComPrt=COM3\n"                    // 2: a typo
      "SendK7=yes\n"                     // 3: not a number
      "Log=true\n"                       // 4
      "QARNRetOpr=25:00:00\n"            // 5: not a time
      "ret=1, 2,33,05,7\n"               // 6: three bad entries
      "Address=10.0.0.1\n"               // 7: the wrong section
      "K7Port=99999\n"                   // 8: no TCP port
      "ReplayRate=-1\n"                  // 9: no rate
      "[mian]\n"                         // 10
      "x=1\n"                            // 11: in the unknown section: not reported again
      "[ports]\n"                        // 12
      "COM4=/dev/qarn-no-such-device\n"  // 13
      "TTY1=/dev/null\n"                 // 14
      "[MAIN]\n"                         // 15: a second [main]
      "SendK7=1\n"                       // 16
      "[ServerHost]\n"                   // 17
      "port=1\n"                         // 18
      "Port=2\n"                         // 19: given again
      "what is this\n"                   // 20
      "; a comment\n");
  EXPECT_THAT(
      c.problems,
      ElementsAre("line 2: unknown key ComPrt in [main] (did you mean ComPort?)",
                  "line 3: SendK7=yes is not a number; the default 0 is used",
                  "line 4: Log=true is not a number; the default 0 is used",
                  "line 5: QARNRetOpr=25:00:00 is not a time of day hh:mm:ss below 24:00:00; "
                  "the default 03:00:00 is used",
                  "line 6: ret: ignored \" 2\", \"33\", \"05\": a retranslator number is 1..32, "
                  "written without spaces or leading zeros",
                  "line 7: unknown key Address in [main] (it belongs in [ServerHost])",
                  "line 8: K7Port=99999 is not a TCP port (1..65535)",
                  "line 9: ReplayRate=-1 is below 0; the default 5 is used",
                  "line 10: unknown section [mian] (did you mean [main]?)",
                  "line 13: [ports] COM4=/dev/qarn-no-such-device: no such device",
                  "line 14: [ports] key TTY1 is no port name COMn",
                  "line 15: section [MAIN] appears again (first at line 1); only the first counts",
                  "line 19: Port given again in [ServerHost] (first at line 18); only the first "
                  "counts",
                  "line 20: \"what is this\" is neither [section] nor key=value; ignored"));
  EXPECT_FALSE(c.ok());
  // The values are those start-up uses: the first of each, defaults for bad numbers.
  EXPECT_FALSE(c.config.send_k7);
  EXPECT_EQ(c.server_host.port, 1);
  EXPECT_EQ(Find(c, "QARNRetOpr")->value, "03:00:00");
}

// The backup servers' keys, their defaults (the primary's port) and the backups that cannot
// serve: each said once, the port's range by its key alone.
TEST_F(ConfigCheckTest, BackupServersAndTheOnesThatCannotServe) {
  ConfigCheck c = Check(
      "[main]\nhost=10.0.0.1\nK7Port=7000\nBackupHost=10.0.0.2\n"
      "[ServerHost]\nAddress=a.example\nBackupAddress=b.example\n");
  EXPECT_THAT(c.problems, IsEmpty());
  EXPECT_EQ(Find(c, "BackupHost")->line, 4u);
  EXPECT_EQ(Find(c, "BackupK7Port")->value, "7000");  // K7Port's
  EXPECT_EQ(Find(c, "BackupK7Port")->line, 0u);
  EXPECT_EQ(Find(c, "BackupAddress")->value, "b.example");
  EXPECT_EQ(Find(c, "BackupPort")->value, "12543");

  dir_.Write("sqarn.ini",
             "[main]\nhost=LocalHost\nBackupHost=localhost\n"
             "[ServerHost]\nAddress=a.example\nBackupAddress=nowhere.invalid\nBackupPort=99999\n");
  c = CheckConfig(fs_, "sqarn.ini",
                  [](const std::string& host) { return host != "nowhere.invalid"; });
  EXPECT_THAT(c.problems,
              ElementsAre("line 7: BackupPort=99999 is not a TCP port (1..65535)",
                          "K7: the backup localhost:7788 is the primary itself; the link runs on "
                          "the primary alone"));
  dir_.Write("sqarn.ini", "[ServerHost]\nBackupAddress=nowhere.invalid\n");
  c = CheckConfig(fs_, "sqarn.ini",
                  [](const std::string& host) { return host != "nowhere.invalid"; });
  EXPECT_THAT(c.problems, ElementsAre("K8: the backup nowhere.invalid resolves to nothing; the "
                                      "link runs on the primary alone"));
}

TEST_F(ConfigCheckTest, TheMetricsPortIsATcpPortOrZeroForNone) {
  ConfigCheck c = Check("[main]\nMetricsPort=9418\nMetricsAddress=::1\n");
  EXPECT_THAT(c.problems, IsEmpty());
  EXPECT_EQ(c.config.metrics_port, 9418);
  EXPECT_EQ(Find(c, "MetricsPort")->line, 2u);
  EXPECT_EQ(Find(c, "MetricsAddress")->value, "::1");
  EXPECT_EQ(Check("[main]\nMetricsPort=0\n").problems.size(), 0u);
  c = Check("[main]\nMetricsPort=70000\n");
  EXPECT_THAT(c.problems, ElementsAre("line 2: MetricsPort=70000 is not a TCP port (1..65535, or 0 "
                                      "for none); the default 0 is used"));
  EXPECT_EQ(c.config.metrics_port, 0);  // off, as start-up reads it
  c = Check("");
  EXPECT_EQ(Find(c, "MetricsPort")->value, "0");
  EXPECT_EQ(Find(c, "MetricsAddress")->value, "127.0.0.1");
}

TEST_F(ConfigCheckTest, AMissingOrUnreadableFileIsAProblemAndGivesTheDefaults) {
  ConfigCheck missing = CheckConfig(fs_, "sqarn.ini");
  EXPECT_FALSE(missing.file_read);
  EXPECT_FALSE(missing.ok());
  EXPECT_THAT(missing.problems, ElementsAre(HasSubstr("no sqarn.ini")));
  EXPECT_EQ(missing.config.com_port, "COM255");

  std::filesystem::create_directory(dir_ / "sqarn.ini");
  ConfigCheck directory = CheckConfig(fs_, "sqarn.ini");
  EXPECT_FALSE(directory.ok());
  EXPECT_THAT(directory.problems, ElementsAre(HasSubstr("cannot be read")));
  EXPECT_TRUE(directory.config.send_k8);
}

TEST_F(ConfigCheckTest, MessageDirectoryThatTakesNoFilesIsFoundByAProbeThatLeavesNothing) {
  dir_.Write("blocker", "");  // a file where a directory should be
  ConfigCheck c = Check("[main]\nPathForSoob=blocker/\n");
  EXPECT_THAT(c.message_dir_error, Not(IsEmpty()));
  EXPECT_FALSE(c.ok());
  EXPECT_THAT(MessageDirProblem(c), HasSubstr("blocker/ cannot take spool files"));
  EXPECT_THAT(FormatConfigCheck(c), HasSubstr("1 problem:"));

  std::filesystem::create_directory(dir_ / "soob");
  c = Check("[main]\nPathForSoob=soob\n");  // files would land beside it, named soob*
  EXPECT_TRUE(c.message_dir_error.empty());
  EXPECT_THAT(c.problems, ElementsAre(HasSubstr("does not end with '/'")));
  c = Check("[main]\nPathForSoob=soob/\n");
  EXPECT_TRUE(c.ok());
  EXPECT_THAT(dir_.List(), ElementsAre("blocker", "soob", "sqarn.ini"));
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "soob"));
}

TEST_F(ConfigCheckTest, AnyBytesAreReadWithoutACrashAndShownOnOneLine) {
  // Control bytes and no line end at all.
  ConfigCheck c = Check(std::string("[main]\nComPort=COM1\x01\x7f", 21));
  ASSERT_EQ(c.problems.size(), 1u);  // the device of "COM1\x01\x7f" does not exist
  EXPECT_THAT(c.problems[0], HasSubstr("COM1\\x01\\x7F"));
  EXPECT_THAT(FormatConfigCheck(c), Not(HasSubstr("\x01")));
  // A message directory that does not exist, named with an escape sequence: the system's
  // error names it shown too.
  c = Check(std::string("[main]\nPathForSoob=no\x1b[2Jdir/\n[ports]\n\x1b[1mCOM1=x\n"));
  EXPECT_THAT(c.message_dir_error, HasSubstr("no\\x1B[2Jdir/qarn-driver.probe"));
  EXPECT_THAT(FormatConfigCheck(c), Not(HasSubstr("\x1b")));
  // A very long line: shown cut.
  c = Check("[main]\n" + std::string(100000, 'K') + "=1\n");
  ASSERT_EQ(c.problems.size(), 1u);
  EXPECT_LT(c.problems[0].size(), 200u);
  // Many bad lines: the first hundred are listed, the rest counted.
  std::string many = "[main]\n";
  for (int i = 0; i < 5000; ++i) many += "key" + std::to_string(i) + "=1\n";
  c = Check(many);
  ASSERT_EQ(c.problems.size(), 101u);
  EXPECT_EQ(c.problems.back(), "and 4900 more problems of the same kinds");
  // Random bytes, many times over.
  std::mt19937 random(7);
  for (int i = 0; i < 60; ++i) {
    std::string bytes(random() % 300, '\0');
    for (char& b : bytes) b = "[]=;\n\r mainportsCOM1$0x"[random() % 21];
    if (!bytes.empty() && i % 3 == 0) bytes[random() % bytes.size()] = '\0';
    c = Check(bytes);
    for (const auto& p : c.problems) EXPECT_EQ(p.find('\n'), std::string::npos);
  }
}

}  // namespace
}  // namespace qarn
