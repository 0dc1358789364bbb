// Where the benchmarks find the inputs of gen_bench_data.py: in SKEINWORK_BENCH_DATA, else in
// bench-data in the working folder; the set is made on first use.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace skeinwork {

// The path of one generated input, or an empty path when the set cannot be made.
inline std::filesystem::path BenchInputPath(const char* name) {
  const char* dir = std::getenv("SKEINWORK_BENCH_DATA");
  const std::filesystem::path folder = dir ? std::filesystem::path(dir) : std::filesystem::path("bench-data");
  std::filesystem::path path = folder / name;
  if (!std::filesystem::exists(path)) {
    std::string command = "python3 " SKEINWORK_BENCH_GENERATOR " " + folder.string() + " > /dev/null";
    if (std::system(command.c_str()) != 0) return {};
  }
  return path;
}

}  // namespace skeinwork
