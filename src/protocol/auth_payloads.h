#pragma once

#include <boost/describe/class.hpp>

#include <string>

#include "protocol/bytes.h"

namespace lumora::protocol {

// deviceID is free text chosen by the phone.
struct AuthBegin {
  std::string deviceID;
  bool operator==(const AuthBegin&) const = default;
};
BOOST_DESCRIBE_STRUCT(AuthBegin, (), (deviceID))

// A fresh random 32-byte nonce.
struct AuthChallenge {
  Bytes nonce;
  bool operator==(const AuthChallenge&) const = default;
};
BOOST_DESCRIBE_STRUCT(AuthChallenge, (), (nonce))

// HMAC-SHA256 over the latest nonce, keyed with the pairing secret.
struct AuthComplete {
  Bytes mac;
  bool operator==(const AuthComplete&) const = default;
};
BOOST_DESCRIBE_STRUCT(AuthComplete, (), (mac))

}  // namespace lumora::protocol
