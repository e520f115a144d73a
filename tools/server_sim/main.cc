// qarn-server-sim: a stand-in for the Morvex message server, for commissioning and demos.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "server_sim/k8_side.h"

namespace {

void PrintUsage(FILE* out) {
  std::fputs(
      "Usage: qarn-server-sim [options]\n"
      "\n"
      "Plays the message server for the Qarn driver: accepts its links, prints every frame\n"
      "decoded, acknowledges station events and sends server commands typed on standard\n"
      "input, one per line.\n"
      "\n",
      out);
  std::fputs(qarn::sim::K8Side::Usage(), out);
  std::fputs("  --help            print this text and exit\n\n", out);
  std::fputs(qarn::sim::K8Side::Commands(), out);
  std::fputs("  quit         end the simulator\n", out);
}

}  // namespace

int main(int argc, char** argv) {
  qarn::sim::K8Side::Options k8;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      PrintUsage(stdout);
      return 0;
    }
    std::string error;
    if (qarn::sim::K8Side::ParseOption(argc, argv, &i, &k8, &error)) {
      if (!error.empty()) {
        std::fprintf(stderr, "qarn-server-sim: %s\n", error.c_str());
        return 2;
      }
      continue;
    }
    std::fprintf(stderr, "qarn-server-sim: unknown option %s\n\n", argv[i]);
    PrintUsage(stderr);
    return 2;
  }

  qarn::sim::K8Side k8_side(k8);
  if (!k8_side.Start()) return 1;

  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.empty()) continue;
    if (line == "quit") return 0;
    if (!k8_side.HandleCommand(line)) std::fprintf(stderr, "unknown command: %s\n", line.c_str());
  }
  // Without an operator (input closed) it serves until it is killed.
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
