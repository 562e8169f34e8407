#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "account/records.h"
#include "net/http_client.h"

namespace lumora::account {

// A provider's signing keys (its JWKS), fetched over HTTP(S) and kept by key id. A key id not
// seen before makes it fetch again, at most once a minute, so tokens with made-up key ids
// cannot make the service hammer the provider; known keys are fetched again after an hour.
//
// Threads: safe from any coroutine; fetches run on the caller's executor.
class JwksCache {
 public:
  JwksCache(std::shared_ptr<const net::HttpClient> client, std::string url, Clock clock);

  // The key with this id, or nothing if the provider does not publish it (or cannot be
  // reached: the caller refuses the token either way).
  boost::asio::awaitable<std::optional<boost::json::object>> key(std::string keyId);

 private:
  std::optional<boost::json::object> cached(const std::string& keyId, bool& fetchNow);

  std::shared_ptr<const net::HttpClient> client_;
  std::string url_;
  Clock clock_;
  std::mutex lock_;  // guards the three below
  std::map<std::string, boost::json::object> keys_;
  Millis fetchedAt_ = 0;
  Millis triedAt_ = 0;
};

}  // namespace lumora::account
