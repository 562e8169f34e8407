#pragma once

#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace lumora::transport {

// The media channel's listening side as the connection manager starts and stops it; the media
// server implements it.
class MediaListener {
 public:
  virtual ~MediaListener() = default;
  // Binds every host on `port` and returns the bound port; throws when it cannot.
  virtual boost::asio::awaitable<std::uint16_t> start(std::uint16_t port,
                                                      std::vector<std::string> bindHosts) = 0;
  virtual void stop() = 0;
};

}  // namespace lumora::transport
