#pragma once

#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/account_records.h"
#include "sdk/account/account_service_error.h"

namespace lumora::net {
class HttpClient;
}

namespace lumora::sdk {

// What a desktop of ours registers as its platform.
inline constexpr std::string_view kDevicePlatform = "linux";

// A device of the account as the registry lists it. Times are the service's text, unparsed.
using DeviceSummary = protocol::DeviceSummary;

// The account's device registry, for one access token: registers this desktop so that a phone
// signed in to the same account finds it, and lists, looks up, renames and removes devices.
//
// Requests go to the origin of `baseURL` as AuthClient's do, each with the access token as
// bearer and 60 seconds to answer; ids and fingerprints go into paths as given. Every
// operation fails with DeviceRegistryError, with AuthClientError's cases and one more:
// invalidPairingCode, before anything is sent. A pairing code never leaves the client: the
// service knows a device by its room fingerprint (the public half of the room key the secret
// gives, hashed), and registers one only with a proof that the client holds the secret. An
// expired token shows as http 401: run the calls through a SignedInSession, which refreshes it
// once and calls again. Nothing else is retried.
//
// Operations may run concurrently, on any executor, and each keeps what it needs: the client
// may go before they complete.
class DeviceRegistryClient {
 public:
  DeviceRegistryClient(std::string baseURL, std::string accessToken,
                       std::shared_ptr<const net::HttpClient> session);

  // With a pairing code, the device is registered with its room fingerprint: the client asks
  // the service for a nonce and signs it, with the account, with the room key (two requests).
  // Registering a device again with nothing new fails with http 409: it is already registered.
  boost::asio::awaitable<DeviceSummary> registerDevice(
      std::string name, std::string platform, std::optional<std::string> pairingCode) const;
  boost::asio::awaitable<std::vector<DeviceSummary>> listDevices() const;
  // The account's device paired with this code; nothing when there is none.
  boost::asio::awaitable<std::optional<DeviceSummary>> lookupDevice(std::string pairingCode) const;
  boost::asio::awaitable<DeviceSummary> renameDevice(std::string id, std::string name) const;
  boost::asio::awaitable<void> deleteDevice(std::string id) const;
  // Where the device serves now.
  boost::asio::awaitable<DeviceSummary> reportConnection(std::string deviceId, std::string host,
                                                         std::uint16_t controlPort,
                                                         std::uint16_t mediaPort) const;

 private:
  std::string baseURL_;
  std::string accessToken_;
  std::shared_ptr<const net::HttpClient> session_;
};

}  // namespace lumora::sdk
