// Models a data file with a script and prints how many nodes the result tree has; on a mismatch
// prints the error and where in the input it happened.
#include <skeinwork/skeinwork.h>

#include <iostream>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: count_nodes SCRIPT DATA\n";
    return 2;
  }
  try {
    auto runner = skeinwork::TSwRunner::Load(argv[1]);
    skeinwork::TSwRunResult result = runner->ModelFile(argv[2]);
    if (!result.Ok()) {
      std::cerr << result.Error()->ClassName() << ": " << result.Error()->Message() << '\n';
      if (const skeinwork::TSwMismatchInfo* where = result.Mismatch())
        std::cerr << "at offset " << where->Current.Position << '\n';
      return 1;
    }
    std::cout << skeinwork::SwCountNodes(result.Root()) << " nodes\n";
  } catch (const skeinwork::ESkeinwork& error) {  // a script that cannot be read
    std::cerr << error.ClassName() << ": " << error.Message() << '\n';
    return 1;
  }
}
