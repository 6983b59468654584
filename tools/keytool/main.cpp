// kn-apikey: stores, shows and clears the agent's API key.
#include <iostream>

#include "KeyTool.h"
#include "KeyToolTerminal.h"

int main(int argc, char** argv) {
  std::vector<std::string> args = kn::commandLineArguments(argc, argv);
  return kn::withInputEchoOff([&](bool terminal) {
    return kn::runKeyTool(args, std::cin, std::cout, std::cerr, terminal);
  });
}
