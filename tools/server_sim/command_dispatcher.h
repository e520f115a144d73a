// Routes the operator's command lines to the link that knows them. "k7 ..." and "k8 ..." name
// the link; without a prefix a line goes to whichever link takes it, except words that both
// links know, which need the prefix.
#pragma once

#include <functional>
#include <string>

namespace qarn::sim {

class CommandDispatcher {
 public:
  // Takes one command line without its prefix; false when the line is no command of it.
  using Handler = std::function<bool(const std::string& line)>;
  using Print = std::function<void(const std::string& line)>;

  // An empty handler stands for a link that is switched off.
  CommandDispatcher(Handler k7, Handler k8, Print print)
      : k7_(std::move(k7)), k8_(std::move(k8)), print_(std::move(print)) {}

  // False when neither link took the line; the reason is printed.
  bool Dispatch(const std::string& line);

 private:
  bool ToLink(const char* link, const Handler& handler, const std::string& line);

  Handler k7_;
  Handler k8_;
  Print print_;
};

// The words that both links know, and so need a "k7 " or "k8 " prefix.
bool IsSharedCommandWord(const std::string& word);

}  // namespace qarn::sim
