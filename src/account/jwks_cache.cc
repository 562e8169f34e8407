#include "account/jwks_cache.h"

#include <boost/json/parse.hpp>

namespace lumora::account {
namespace {

constexpr Millis kRefreshAfter = 60 * 60 * 1000;
constexpr Millis kRetryAfter = 60 * 1000;

}  // namespace

JwksCache::JwksCache(std::shared_ptr<const net::HttpClient> client, std::string url, Clock clock)
    : client_(std::move(client)), url_(std::move(url)), clock_(std::move(clock)) {}

std::optional<boost::json::object> JwksCache::cached(const std::string& keyId, bool& fetchNow) {
  std::lock_guard guard(lock_);
  const Millis now = clock_();
  auto found = keys_.find(keyId);
  const bool stale = now - fetchedAt_ > kRefreshAfter;
  fetchNow = (found == keys_.end() || stale) && now - triedAt_ >= kRetryAfter;
  if (fetchNow) triedAt_ = now;
  if (found == keys_.end()) return std::nullopt;
  return found->second;
}

boost::asio::awaitable<std::optional<boost::json::object>> JwksCache::key(std::string keyId) {
  bool fetchNow = false;
  auto known = cached(keyId, fetchNow);
  if (!fetchNow) co_return known;
  net::FetchRequest request;
  request.url = url_;
  request.headers = {{"Accept", "application/json"}};
  net::FetchResult result;
  try {
    auto fetching = client_->fetch(std::move(request));
    result = co_await std::move(fetching);
  } catch (const std::exception&) {
    co_return known;  // a stale key beats none while the provider is away
  }
  boost::system::error_code ec;
  auto document = boost::json::parse(result.body, ec);
  const auto* keys = !ec && result.status == 200 && document.is_object()
                         ? document.as_object().if_contains("keys")
                         : nullptr;
  if (keys == nullptr || !keys->is_array()) co_return known;
  std::map<std::string, boost::json::object> fresh;
  for (const auto& entry : keys->get_array()) {
    const auto* kid = entry.is_object() ? entry.get_object().if_contains("kid") : nullptr;
    if (kid != nullptr && kid->is_string())
      fresh[std::string(kid->get_string())] = entry.get_object();
  }
  std::lock_guard guard(lock_);
  keys_ = std::move(fresh);
  fetchedAt_ = clock_();
  auto found = keys_.find(keyId);
  if (found == keys_.end()) co_return std::nullopt;
  co_return found->second;
}

}  // namespace lumora::account
