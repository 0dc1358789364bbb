// Helpers shared by the test programs.
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "SwCore.h"

namespace skeinwork {

// The whole content of a file; empty when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
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

}  // namespace skeinwork
