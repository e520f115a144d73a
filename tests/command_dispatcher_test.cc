#include "server_sim/command_dispatcher.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace qarn::sim {
namespace {

// A link that knows a fixed set of first words and records the lines it took.
struct FakeLink {
  std::set<std::string> words;
  std::vector<std::string> taken;
  CommandDispatcher::Handler Handler() {
    return [this](const std::string& line) {
      if (!words.count(line.substr(0, line.find(' ')))) return false;
      taken.push_back(line);
      return true;
    };
  }
};

TEST(CommandDispatcher, RoutesEachLineToTheLinkThatKnowsIt) {
  const struct {
    const char* line;
    bool k7_on, k8_on;
    bool handled;
    const char* k7_took;  // "" when nothing
    const char* k8_took;
    const char* printed;  // start of what is printed, "" when nothing
  } cases[] = {
      {"k7 query", true, true, true, "query", "", ""},
      {"k8 query", true, true, true, "", "query", ""},
      {"K8  delay 100", true, true, true, "", "delay 100", ""},
      {"query", true, true, false, "", "", "K7/K8 query is a command of both links"},
      {"clock 2026-12-09T12:00:00", true, true, true, "clock 2026-12-09T12:00:00", "", ""},
      {"retquery", true, true, true, "", "retquery", ""},
      {"k7 retquery", true, true, false, "", "", "K7 unknown command: retquery"},
      {"k8 query", true, false, false, "", "", "K8 link is off"},
      {"clock", false, true, false, "", "", "K7/K8 unknown command: clock (try help; the K7"},
      {"bogus", true, true, false, "", "", "K7/K8 unknown command: bogus"},
  };
  for (const auto& c : cases) {
    FakeLink k7{{"clock", "query", "close"}, {}};
    FakeLink k8{{"query", "retquery", "delay"}, {}};
    std::vector<std::string> printed;
    CommandDispatcher dispatcher(c.k7_on ? k7.Handler() : nullptr, c.k8_on ? k8.Handler() : nullptr,
                                 [&](const std::string& line) { printed.push_back(line); });
    EXPECT_EQ(dispatcher.Dispatch(c.line), c.handled) << c.line;
    EXPECT_EQ(k7.taken,
              *c.k7_took ? std::vector<std::string>{c.k7_took} : std::vector<std::string>{})
        << c.line;
    EXPECT_EQ(k8.taken,
              *c.k8_took ? std::vector<std::string>{c.k8_took} : std::vector<std::string>{})
        << c.line;
    if (*c.printed) {
      ASSERT_EQ(printed.size(), 1u) << c.line;
      EXPECT_EQ(printed[0].rfind(c.printed, 0), 0u) << printed[0];
    } else {
      EXPECT_TRUE(printed.empty()) << c.line;
    }
  }
}

}  // namespace
}  // namespace qarn::sim
