// dravlin-sim: the rehearsal program.
#include <iostream>
#include <string>
#include <vector>

#include "app/rehearsal/rehearsal.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const auto parsed = dravlin::rehearsal::ParseArgs(args);
  if (!parsed.error.empty()) {
    std::cerr << "dravlin-sim: " << parsed.error << "\n\n" << dravlin::rehearsal::Usage();
    return dravlin::rehearsal::kExitBadInput;
  }
  if (parsed.help) {
    std::cout << dravlin::rehearsal::Usage();
    return dravlin::rehearsal::kExitOk;
  }
  return dravlin::rehearsal::Run(parsed.options, std::cout, std::cerr);
}
