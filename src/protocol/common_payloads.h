#pragma once

#include <boost/describe/class.hpp>

#include <string>

namespace lumora::protocol {

// The protocol version every envelope carries.
struct AgentProtocolVersion {
  static constexpr long long current = 1;
};

// Records without fields: each encodes as {} and decodes from any JSON value.
struct PingRequest {
  bool operator==(const PingRequest&) const = default;
};
BOOST_DESCRIBE_STRUCT(PingRequest, (), ())

struct Ack {
  bool operator==(const Ack&) const = default;
};
BOOST_DESCRIBE_STRUCT(Ack, (), ())

// The error reply: a snake-case code and an English message.
struct ProtocolError {
  std::string code;
  std::string message;
  bool operator==(const ProtocolError&) const = default;
};
BOOST_DESCRIBE_STRUCT(ProtocolError, (), (code, message))

}  // namespace lumora::protocol
