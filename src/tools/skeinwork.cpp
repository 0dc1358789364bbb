// The skeinwork command-line program.
#include <cstring>
#include <iostream>

#include "SwCore.h"

int main(int argc, char** argv) {
  using namespace skeinwork;
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::cout << "Skeinwork " << SwVersionText(SwLibraryVersion) << "\n";
    return 0;
  }
  std::cerr << "usage: skeinwork --version\n";
  return 2;
}
