// Runs a fuzz program's LLVMFuzzerTestOneInput once on each input file without libFuzzer, so
// that ordinary builds replay the corpus as a test. Arguments are files or folders (every
// regular file in a folder, in name order). A failing input shows up as a crash, a sanitizer
// report or an escaped exception; the name of the input being run is printed first.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool ReadFile(const std::filesystem::path& path, std::string& bytes) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return !file.bad();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path path(argv[i]);
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::directory_iterator(path))
        if (entry.is_regular_file()) files.push_back(entry.path());
      std::sort(files.begin(), files.end());
      inputs.insert(inputs.end(), files.begin(), files.end());
    } else if (std::filesystem::is_regular_file(path, error)) {
      inputs.push_back(path);
    } else {
      std::cerr << "No such input file or folder: " << path.string() << '\n';
      return 2;
    }
  }
  if (inputs.empty()) {
    std::cerr << "Usage: " << (argc ? argv[0] : "fuzz") << " FILE_OR_FOLDER...\n(no inputs found)\n";
    return 2;
  }
  for (const auto& path : inputs) {
    std::string bytes;
    if (!ReadFile(path, bytes)) {
      std::cerr << "Cannot read " << path.string() << '\n';
      return 2;
    }
    std::cout << "Running " << path.string() << " (" << bytes.size() << " bytes)" << std::endl;
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  std::cout << "Replayed " << inputs.size() << " inputs\n";
  return 0;
}
