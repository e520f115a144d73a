#include "server_sim/command_dispatcher.h"

namespace qarn::sim {
namespace {

std::string FirstWord(const std::string& line) { return line.substr(0, line.find(' ')); }

}  // namespace

bool IsSharedCommandWord(const std::string& word) { return word == "query"; }

bool CommandDispatcher::ToLink(const char* link, const Handler& handler, const std::string& line) {
  if (!handler) {
    print_(std::string(link) + " link is off; not done: " + line);
    return false;
  }
  if (handler(line)) return true;
  print_(std::string(link) + " unknown command: " + line + " (try help)");
  return false;
}

bool CommandDispatcher::Dispatch(const std::string& line) {
  const std::string word = FirstWord(line);
  const size_t rest = line.find_first_not_of(' ', word.size());
  const std::string tail = rest == std::string::npos ? "" : line.substr(rest);
  if (word == "k7" || word == "K7") return ToLink("K7", k7_, tail);
  if (word == "k8" || word == "K8") return ToLink("K8", k8_, tail);
  if (IsSharedCommandWord(word)) {
    print_("K7/K8 " + word + " is a command of both links: say k7 " + line + " or k8 " + line);
    return false;
  }
  if (k7_ && k7_(line)) return true;
  if (k8_ && k8_(line)) return true;
  std::string why = "K7/K8 unknown command: " + line + " (try help";
  if (!k7_) why += "; the K7 link is off";
  if (!k8_) why += "; the K8 link is off";
  print_(why + ")");
  return false;
}

}  // namespace qarn::sim
