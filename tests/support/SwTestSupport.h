// Helpers shared by the test programs.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "SwCore.h"

namespace skeinwork {

// The whole content of a file; empty when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The names of the entries directly in a folder, sorted.
inline std::vector<std::string> FolderNames(const std::filesystem::path& folder) {
  std::vector<std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) out.push_back(entry.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// A folder of the test's own under the temporary folder: empty at first and removed with the
// object, so that files left behind show.
class TScratchDir {
 public:
  explicit TScratchDir(const std::string& name)
      : mPath(std::filesystem::temp_directory_path() / ("skeinwork-" + name + "-" + std::to_string(::getpid()))) {
    std::filesystem::remove_all(mPath);
    std::filesystem::create_directories(mPath);
  }
  ~TScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(mPath, ignored);
  }
  std::filesystem::path operator/(const std::string& name) const { return mPath / name; }
  const std::filesystem::path& Path() const { return mPath; }
  // The names of the entries directly in the folder, sorted.
  std::vector<std::string> Names() const { return FolderNames(mPath); }

 private:
  std::filesystem::path mPath;
};

inline void WriteFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

#ifdef SKEINWORK_EXAMPLES_DIR
// A bundled example's path.
inline std::string ExamplePath(const std::string& name) { return std::string(SKEINWORK_EXAMPLES_DIR) + "/" + name; }
#endif

// Runs `action`, expecting an exception of class E with exactly `message`.
template <class E, class F>
void ExpectError(F action, const std::string& message) {
  try {
    action();
    ADD_FAILURE() << "no exception, expected: " << message;
  } catch (const E& e) {
    EXPECT_EQ(e.Message(), message);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "other exception: " << e.what() << "; expected: " << message;
  }
}

// "EClass: message" of the error `action` raises, or "no error".
template <class F>
std::string ErrorText(F action) {
  try {
    action();
  } catch (const ESkeinwork& e) {
    return e.ClassName() + ": " + e.Message();
  }
  return "no error";
}

// What `action` returns, or "EClass: message" of the error it raises.
template <class F>
std::string ResultOrError(F action) {
  std::string result;
  std::string error = ErrorText([&] { result = action(); });
  return error == "no error" ? result : error;
}

// Collects the errors an object hands to its error handler, which lets the work go on.
struct TErrorLog {
  std::vector<std::string> Messages;  // the messages alone
  std::vector<std::string> Errors;    // "EClass: message"
  void Handle(TSwObject*, const ESkeinwork& error) {
    Messages.push_back(error.Message());
    Errors.push_back(error.ClassName() + ": " + error.Message());
  }
  TSwErrorHandler Handler() { return TSwErrorHandler::Of<&TErrorLog::Handle>(this); }
};

// The unsigned little-endian 32-bit number at `at`.
inline uint32_t Le32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

}  // namespace skeinwork
