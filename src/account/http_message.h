#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/json/value.hpp>

namespace lumora::account {

// A request as the routes see it, free of the HTTP library's types.
struct HttpRequest {
  std::string method;
  std::string target;  // origin form: path and query
  std::string authorization;
  std::string contentType;
  std::string body;
  std::string clientAddress;  // the peer's IP address, as the server's socket sees it
};

struct HttpResponse {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // beyond type and length
};

// A refusal: the status and the snake-case code and English text of the JSON error body.
struct ApiError {
  int status = 400;
  std::string code;
  std::string message;
};

HttpResponse jsonResponse(int status, const boost::json::value& body);
// {"error": code, "message": text}
HttpResponse errorResponse(const ApiError& error);

// The bearer token of an Authorization header, or empty.
std::string_view bearerToken(std::string_view authorization);

}  // namespace lumora::account
