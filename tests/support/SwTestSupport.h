// Helpers shared by the test programs.
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <string>

#include "SwCore.h"

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
