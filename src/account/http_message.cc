#include "account/http_message.h"

#include <boost/json/serialize.hpp>

namespace lumora::account {

HttpResponse jsonResponse(int status, const boost::json::value& body) {
  HttpResponse response;
  response.status = status;
  response.body = boost::json::serialize(body);
  return response;
}

HttpResponse errorResponse(const ApiError& error) {
  return jsonResponse(error.status, {{"error", error.code}, {"message", error.message}});
}

std::string_view bearerToken(std::string_view authorization) {
  constexpr std::string_view kScheme = "Bearer ";
  if (authorization.size() <= kScheme.size()) return {};
  // The scheme name is case-insensitive.
  for (std::size_t i = 0; i < kScheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(authorization[i])) !=
        std::tolower(static_cast<unsigned char>(kScheme[i]))) {
      return {};
    }
  }
  authorization.remove_prefix(kScheme.size());
  while (!authorization.empty() && authorization.front() == ' ') authorization.remove_prefix(1);
  while (!authorization.empty() && authorization.back() == ' ') authorization.remove_suffix(1);
  return authorization;
}

}  // namespace lumora::account
