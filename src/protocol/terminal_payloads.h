#pragma once

#include <boost/describe/class.hpp>

#include <cstdint>
#include <optional>
#include <string>

#include "protocol/bytes.h"

namespace lumora::protocol {

// Without a shell the agent picks the user's login shell.
struct TerminalRunRequest {
  std::string command;
  std::optional<std::string> shell;
  bool operator==(const TerminalRunRequest&) const = default;
};
BOOST_DESCRIBE_STRUCT(TerminalRunRequest, (), (command, shell))

struct TerminalRunResult {
  std::int32_t exitCode = 0;
  std::string stdout;
  std::string stderr;
  bool operator==(const TerminalRunResult&) const = default;
};
BOOST_DESCRIBE_STRUCT(TerminalRunResult, (), (exitCode, stdout, stderr))

struct TerminalOpenRequest {
  std::optional<std::string> shell;
  std::uint16_t cols = 80;
  std::uint16_t rows = 24;
  bool operator==(const TerminalOpenRequest&) const = default;
};
BOOST_DESCRIBE_STRUCT(TerminalOpenRequest, (), (shell, cols, rows))

// Session ids are upper-case canonical UUIDs. The key is spelled "sessionId" on the wire.
struct TerminalOpened {
  std::string sessionId;
  bool operator==(const TerminalOpened&) const = default;
};
BOOST_DESCRIBE_STRUCT(TerminalOpened, (), (sessionId))

struct TerminalInput {
  std::string sessionId;
  Bytes data;
  bool operator==(const TerminalInput&) const = default;
};
BOOST_DESCRIBE_STRUCT(TerminalInput, (), (sessionId, data))

struct TerminalOutput {
  std::string sessionId;
  Bytes data;
  bool operator==(const TerminalOutput&) const = default;
};
BOOST_DESCRIBE_STRUCT(TerminalOutput, (), (sessionId, data))

struct TerminalResize {
  std::string sessionId;
  std::uint16_t cols = 0;
  std::uint16_t rows = 0;
  bool operator==(const TerminalResize&) const = default;
};
BOOST_DESCRIBE_STRUCT(TerminalResize, (), (sessionId, cols, rows))

struct TerminalCloseRequest {
  std::string sessionId;
  bool operator==(const TerminalCloseRequest&) const = default;
};
BOOST_DESCRIBE_STRUCT(TerminalCloseRequest, (), (sessionId))

struct TerminalExit {
  std::string sessionId;
  std::int32_t exitCode = 0;
  bool operator==(const TerminalExit&) const = default;
};
BOOST_DESCRIBE_STRUCT(TerminalExit, (), (sessionId, exitCode))

}  // namespace lumora::protocol
