#include "sdk/account/device_registry_client.h"

#include "protocol/pairing_secret.h"
#include "protocol/room_key.h"
#include "sdk/internal/account_call.h"

namespace lumora::sdk {

using internal::AccountCall;
using internal::callFor;
using internal::encodeBody;

namespace {

// 404 is the registry's answer when no device has the fingerprint.
boost::asio::awaitable<std::optional<DeviceSummary>> lookUp(
    std::shared_ptr<const net::HttpClient> session, std::string baseURL, AccountCall call) {
  auto calling =
      internal::callAccountService(std::move(session), std::move(baseURL), std::move(call));
  internal::AccountReply reply = co_await std::move(calling);
  if (!reply.failure && reply.status == 404) co_return std::nullopt;
  co_return internal::decodeBody<std::optional<DeviceSummary>, DeviceRegistryError>(
      internal::successBody<DeviceRegistryError>(std::move(reply)));
}

// Asks the service for a nonce, proves the secret with it, then registers.
boost::asio::awaitable<DeviceSummary> registerWithProof(
    std::shared_ptr<const net::HttpClient> session, std::string baseURL, std::string accessToken,
    protocol::DeviceRegistration body, protocol::RoomKey key) {
  auto asking = callFor<protocol::RegistrationChallenge, DeviceRegistryError>(
      session, baseURL, {"POST", "/devices/challenge", accessToken, std::nullopt});
  const protocol::RegistrationChallenge challenge = co_await std::move(asking);
  body.roomKey = key.publicKey();
  body.nonce = challenge.nonce;
  body.signature = key.registrationProof(challenge.account, challenge.nonce);
  auto registering = callFor<DeviceSummary, DeviceRegistryError>(
      std::move(session), std::move(baseURL),
      {"POST", "/devices", std::move(accessToken), encodeBody(body)});
  co_return co_await std::move(registering);
}

}  // namespace

DeviceRegistryClient::DeviceRegistryClient(std::string baseURL, std::string accessToken,
                                           std::shared_ptr<const net::HttpClient> session)
    : baseURL_(std::move(baseURL)),
      accessToken_(std::move(accessToken)),
      session_(std::move(session)) {}

boost::asio::awaitable<DeviceSummary> DeviceRegistryClient::registerDevice(
    std::string name, std::string platform, std::optional<std::string> pairingCode) const {
  protocol::DeviceRegistration body{std::move(name), std::move(platform), {}, {}, {}};
  if (pairingCode) {
    auto secret = protocol::PairingSecret::fromCode(*pairingCode);
    if (!secret) {
      return internal::failWith<DeviceSummary>(DeviceRegistryError::invalidPairingCode());
    }
    return registerWithProof(session_, baseURL_, accessToken_, std::move(body),
                             protocol::RoomKey::derive(*secret));
  }
  return callFor<DeviceSummary, DeviceRegistryError>(
      session_, baseURL_, {"POST", "/devices", accessToken_, encodeBody(body)});
}

boost::asio::awaitable<std::vector<DeviceSummary>> DeviceRegistryClient::listDevices() const {
  return callFor<std::vector<DeviceSummary>, DeviceRegistryError>(
      session_, baseURL_, {"GET", "/devices", accessToken_, std::nullopt});
}

boost::asio::awaitable<std::optional<DeviceSummary>> DeviceRegistryClient::lookupDevice(
    std::string pairingCode) const {
  auto secret = protocol::PairingSecret::fromCode(pairingCode);
  if (!secret) {
    return internal::failWith<std::optional<DeviceSummary>>(
        DeviceRegistryError::invalidPairingCode());
  }
  return lookUp(
      session_, baseURL_,
      {"GET", "/devices/lookup?fingerprint=" + protocol::RoomKey::derive(*secret).fingerprint(),
       accessToken_, std::nullopt});
}

boost::asio::awaitable<DeviceSummary> DeviceRegistryClient::renameDevice(std::string id,
                                                                         std::string name) const {
  return callFor<DeviceSummary, DeviceRegistryError>(
      session_, baseURL_,
      {"PATCH", "/devices/" + id, accessToken_,
       encodeBody(protocol::DeviceRename{std::move(name)})});
}

boost::asio::awaitable<void> DeviceRegistryClient::deleteDevice(std::string id) const {
  return callFor<void, DeviceRegistryError>(
      session_, baseURL_, {"DELETE", "/devices/" + id, accessToken_, std::nullopt});
}

boost::asio::awaitable<DeviceSummary> DeviceRegistryClient::reportConnection(
    std::string deviceId, std::string host, std::uint16_t controlPort,
    std::uint16_t mediaPort) const {
  return callFor<DeviceSummary, DeviceRegistryError>(
      session_, baseURL_,
      {"POST", "/devices/" + deviceId + "/connection", accessToken_,
       encodeBody(protocol::ConnectionReport{std::move(host), controlPort, mediaPort})});
}

}  // namespace lumora::sdk
