#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace lumora::cli {

// A failure the program reports as one line and a non-zero exit status.
class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The reason an operation failed, in words for a person: the agent's own message for an
// error reply, "connection to the agent lost", the system's text, ...
std::string reasonOf(const std::exception_ptr& error);

// Waits for `future` and returns its value; a failure becomes Failure("<what>: <reason>").
template <class Future>
auto await(Future&& future, const std::string& what) {
  try {
    return future.get();
  } catch (...) {
    throw Failure(what + ": " + reasonOf(std::current_exception()));
  }
}

}  // namespace lumora::cli
