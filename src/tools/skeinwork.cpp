// The skeinwork command-line program: see SwCommandLine.h for the commands.
#include <unistd.h>

#include <iostream>

#include "SwCommandLine.h"
#include "SwModelling.h"

int main(int argc, char** argv) {
  using namespace skeinwork;
  // The trees printed can be large; unsynchronised streams buffer them.
  std::ios::sync_with_stdio(false);
  // Mismatches carry the input around their position, which the error report shows.
  SwInstallMismatchInfoHook();
  TSwCommandLineEnvironment environment;
  environment.ErrIsTerminal = ::isatty(STDERR_FILENO) == 1;
  int code = SwRunCommandLine(argc, argv, std::cout, std::cerr, environment);
  std::cout.flush();
  return code;
}
