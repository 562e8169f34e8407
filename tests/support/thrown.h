#pragma once

#include <exception>
#include <string>

namespace lumora::testing_support {

// The message of the `Error` that `action` throws, "(nothing thrown)" when it throws none; an
// exception of another type goes on and fails the test.
template <class Error = std::exception, class Action>
std::string messageThrownBy(Action action) {
  try {
    action();
  } catch (const Error& error) {
    return error.what();
  }
  return "(nothing thrown)";
}

}  // namespace lumora::testing_support
