#include "base/ini_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "shell/config.h"

namespace qarn {
namespace {

TEST(IniFile, NamesAreCaseInsensitiveAndValuesTrimmed) {
  const IniFile ini("[MAIN]\r\n  comport =  COM3  \r\nPathForSoob= /var/spool/qarn/ \r\n");
  EXPECT_EQ(ini.ReadString("main", "ComPort", "x"), "COM3");
  EXPECT_EQ(ini.ReadString("Main", "PATHFORSOOB", "x"), "/var/spool/qarn/");
  EXPECT_EQ(ini.ReadString("main", "missing", "dflt"), "dflt");
  EXPECT_EQ(ini.ReadString("other", "ComPort", "dflt"), "dflt");
}

TEST(IniFile, IntegersInDecimalOrHexOtherwiseTheDefault) {
  const IniFile ini(
      "[main]\nA=0x1F\nB=$ff\nC=-12\nD=12abc\nE=\nF= 42 \nG=$FFFFFFFF\nH=99999999999\n");
  EXPECT_EQ(ini.ReadInteger("main", "A", 0), 31);
  EXPECT_EQ(ini.ReadInteger("main", "B", 0), 255);
  EXPECT_EQ(ini.ReadInteger("main", "C", 0), -12);
  EXPECT_EQ(ini.ReadInteger("main", "D", 7), 7);
  EXPECT_EQ(ini.ReadInteger("main", "E", 7), 7);
  EXPECT_EQ(ini.ReadInteger("main", "F", 7), 42);
  EXPECT_EQ(ini.ReadInteger("main", "G", 7), -1);
  EXPECT_EQ(ini.ReadInteger("main", "H", 7), 7);
}

TEST(IniFile, BooleansAreIntegers) {
  const IniFile ini("[main]\nLog=true\nSendK7=1\nSendK8=0\nX=0x10\n");
  EXPECT_FALSE(ini.ReadBool("main", "Log", false));  // not a number: the default
  EXPECT_TRUE(ini.ReadBool("main", "Log", true));
  EXPECT_TRUE(ini.ReadBool("main", "SendK7", false));
  EXPECT_FALSE(ini.ReadBool("main", "SendK8", true));
  EXPECT_TRUE(ini.ReadBool("main", "X", false));
}

TEST(IniFile, FirstSectionAndKeyWinAndLongValuesAreCut) {
  const std::string long_value(3000, 'v');
  const IniFile ini("[main]\nk=1\nk=2\n[other]\nk=3\n[main]\nk=4\nlong=" + long_value + "\n");
  EXPECT_EQ(ini.ReadString("main", "k", ""), "1");
  EXPECT_EQ(ini.ReadString("other", "k", ""), "3");
  EXPECT_EQ(ini.ReadString("main", "long", "").size(), 0u);  // in the second [main]
  const IniFile single("[main]\nlong=" + long_value + "\n");
  EXPECT_EQ(single.ReadString("main", "long", "").size(), kIniValueMax);
}

TEST(IniFile, WritingOneKeyKeepsEveryOtherLine) {
  IniFile ini(
      "; the station\r\n[Main]\r\nComPort = COM1\r\nLog=1\r\n\r\n[ServerHost]\r\nPort=1\r\n");
  ini.WriteString("main", "ComPort", "COM3");
  EXPECT_EQ(ini.text(),
            "; the station\r\n[Main]\r\nComPort=COM3\r\nLog=1\r\n\r\n[ServerHost]\r\nPort=1\r\n");
  ini.WriteString("main", "NewKey", "5");
  EXPECT_EQ(ini.text(),
            "; the station\r\n[Main]\r\nComPort=COM3\r\nLog=1\r\nNewKey=5\r\n\r\n"
            "[ServerHost]\r\nPort=1\r\n");
  IniFile empty;
  empty.WriteString("main", "ComPort", "COM2");
  EXPECT_EQ(empty.text(), "[main]\nComPort=COM2\n");
}

TEST(Config, MissingFileGivesTheDefaults) {
  std::string warning;
  const Config c = ReadConfig(IniFile(), &warning);
  EXPECT_EQ(c.com_port, "COM255");
  EXPECT_EQ(c.first_number, 4);
  EXPECT_EQ(c.n_abs, -1);
  EXPECT_EQ(c.host, "localhost");
  EXPECT_DOUBLE_EQ(c.query_interval, 3.0 / 24);
  EXPECT_FALSE(c.send_k7);
  EXPECT_TRUE(c.send_k8);
  EXPECT_FALSE(c.log);
  EXPECT_FALSE(c.not_send_to_disk_k8);
  EXPECT_TRUE(c.ret_enabled.none());
  EXPECT_EQ(c.k7_port, 7788);
  EXPECT_TRUE(c.set_clock);
  EXPECT_TRUE(warning.empty());
}

TEST(Config, BadQueryIntervalKeepsTheOtherKeys) {
  std::string warning;
  const Config c =
      ReadConfig(IniFile("[main]\nQARNRetOpr=soon\nSendK7=1\nLog=1\nret=1,2\n"), &warning);
  EXPECT_DOUBLE_EQ(c.query_interval, 3.0 / 24);
  EXPECT_NE(warning.find("QARNRetOpr"), std::string::npos);
  EXPECT_TRUE(c.send_k7);
  EXPECT_TRUE(c.log);
  EXPECT_TRUE(c.ret_enabled[1] && c.ret_enabled[2]);
}

TEST(Config, RetranslatorList) {
  struct Case {
    const char* ret;
    std::vector<int> enabled;
  } cases[] = {
      {"1,2,5", {1, 2, 5}}, {"1, 2,5", {1, 5}},  // the space breaks the match of 2
      {"33,0", {}},         {"32", {32}},       {",7,", {7}}, {"01,3", {3}}, {"", {}},
  };
  for (const auto& c : cases) {
    const Config config = ReadConfig(IniFile(std::string("[main]\nret=") + c.ret + "\n"), nullptr);
    std::vector<int> got;
    for (int i = 0; i <= 32; ++i) {
      if (config.ret_enabled[i]) got.push_back(i);
    }
    EXPECT_EQ(got, c.enabled) << c.ret;
  }
}

}  // namespace
}  // namespace qarn
