// Helpers shared by the test programs.
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <string>

namespace skeinwork {

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

}  // namespace skeinwork
