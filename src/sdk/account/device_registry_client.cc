#include "sdk/account/device_registry_client.h"

#include "protocol/base64.h"
#include "protocol/pairing_secret.h"
#include "protocol/room_key.h"
#include "sdk/internal/account_call.h"

namespace lumora::sdk {

using internal::AccountCall;
using internal::callFor;
using internal::encodeBody;

namespace {

struct RegistrationBody {
  std::string name;
  std::string platform;
  // That this client knows the pairing secret: the room key it gives and its signature over
  // the account and the service's nonce.
  std::optional<std::string> roomKey;
  std::optional<std::string> nonce;
  std::optional<std::string> signature;
};
BOOST_DESCRIBE_STRUCT(RegistrationBody, (), (name, platform, roomKey, nonce, signature))

// A nonce the service issued for the account to sign.
struct RegistrationChallenge {
  std::string nonce;
  std::string account;
};
BOOST_DESCRIBE_STRUCT(RegistrationChallenge, (), (nonce, account))

struct RenameBody {
  std::string name;
};
BOOST_DESCRIBE_STRUCT(RenameBody, (), (name))

struct ConnectionReport {
  std::string host;
  std::uint16_t controlPort = 0;
  std::uint16_t mediaPort = 0;
};
BOOST_DESCRIBE_STRUCT(ConnectionReport, (), (host, controlPort, mediaPort))

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
    RegistrationBody body, protocol::RoomKey key) {
  auto asking = callFor<RegistrationChallenge, DeviceRegistryError>(
      session, baseURL, {"POST", "/devices/challenge", accessToken, std::nullopt});
  const RegistrationChallenge challenge = co_await std::move(asking);
  body.roomKey = protocol::base64Encode(key.publicKey());
  body.nonce = challenge.nonce;
  body.signature =
      protocol::base64Encode(key.registrationProof(challenge.account, challenge.nonce));
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
  RegistrationBody body{std::move(name), std::move(platform), {}, {}, {}};
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
      {"PATCH", "/devices/" + id, accessToken_, encodeBody(RenameBody{std::move(name)})});
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
       encodeBody(ConnectionReport{std::move(host), controlPort, mediaPort})});
}

}  // namespace lumora::sdk
