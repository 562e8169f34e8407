#pragma once

#include <stdexcept>
#include <string>

namespace lumora::testing_support {

// The `Error` that `call` throws. When it throws nothing, or something else, what is thrown from
// here instead fails the test that asked.
template <class Error, class Call>
Error failureOf(Call&& call) {
  try {
    call();
  } catch (const Error& error) {
    return error;
  } catch (const std::exception& other) {
    throw std::runtime_error(std::string("failed otherwise: ") + other.what());
  }
  throw std::runtime_error("the call succeeded");
}

}  // namespace lumora::testing_support
