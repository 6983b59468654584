// kn-apikey: stores, shows and clears the agent's API key.
#include <iostream>

#include "KeyTool.h"

int main(int argc, char** argv) {
  return kn::runKeyTool(std::vector<std::string>(argv + 1, argv + argc), std::cin, std::cout, std::cerr);
}
