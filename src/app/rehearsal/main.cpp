// dravlin-sim: the rehearsal program.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "app/rehearsal/rehearsal.h"

// After a C library header, which says whether this is glibc.
#if defined(__GLIBC__)
#include <malloc.h>
#endif

int main(int argc, char** argv) {
#if defined(__GLIBC__)
  // A whole PC's registry is tens of millions of small blocks freed together at the end; with
  // fast bins glibc re-scans them at every large free, which costs a fifth of the run.
  mallopt(M_MXFAST, 0);
#endif
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
  auto options = parsed.options;
  options.progress = isatty(STDERR_FILENO) != 0;
  return dravlin::rehearsal::Run(options, std::cout, std::cerr);
}
