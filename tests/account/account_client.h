#pragma once

// A small client of the account service for tests: HTTP requests through the product's HTTP
// client, relay WebSocket connections over Beast, and the self-signed certificate a service
// under test presents.

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/pairing_secret.h"
#include "protocol/room_key.h"
#include "support/temp_dir.h"

namespace lumora::net {
class HttpClient;
}

namespace lumora::account::testing {

struct Reply {
  int status = 0;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // The body as JSON (null when it is not).
  boost::json::value json() const;
  std::string header(const std::string& name) const;
};

class AccountClient {
 public:
  // `url`: http://host:port or https://host:port. `from` picks the local address requests
  // leave from ("127.0.0.2" plays a second client machine); the system's choice when empty.
  // `trustedCertificate`: the PEM certificate an https service is checked against.
  explicit AccountClient(std::string url, std::string from = {},
                         std::string trustedCertificate = {});

  Reply request(const std::string& method, const std::string& target, const std::string& body = {},
                const std::string& bearer = {},
                const std::vector<std::pair<std::string, std::string>>& headers = {}) const;
  Reply get(const std::string& target, const std::string& bearer = {}) const {
    return request("GET", target, {}, bearer);
  }
  Reply post(const std::string& target, const boost::json::value& body,
             const std::string& bearer = {}) const;

  // Signs in with the "dev" provider (the service must run with --dev); the token reply.
  boost::json::object signInAs(const std::string& email) const;
  // Signs `email` in and registers a device "desk" whose agent pairs with `secret`, proving the
  // secret as its computer does: the access token, for relayToken().
  std::string signInWithDevice(const std::string& email,
                               const protocol::PairingSecret& secret) const;
  // Registers the device `name` paired with `secret` for the holder of `access`: asks for a
  // nonce and signs it with the room key. The service's answer to the registration.
  Reply registerDevice(const std::string& access, const std::string& name,
                       const protocol::PairingSecret& secret) const;
  // The body of such a registration, proved with `key` over a challenge issued to the holder
  // of `access`; throws when none is issued.
  boost::json::object registration(const std::string& access, const std::string& name,
                                   const protocol::RoomKey& key) const;
  // A token that opens the relay room `fingerprint` to the holder of `access`.
  std::string relayToken(const std::string& access, const std::string& fingerprint) const;

 private:
  std::string url_;
  std::string from_;
  std::shared_ptr<const net::HttpClient> http_;
};

// One relay WebSocket connection; status() tells how the upgrade was answered.
class RelayClient {
 public:
  RelayClient(const std::string& serviceUrl, const std::string& target);
  ~RelayClient();

  // Joins `room` (a fingerprint, or one with "-media") as its host, answering the relay's
  // challenge with `key`; throws when the relay does not admit it.
  static std::unique_ptr<RelayClient> host(const std::string& serviceUrl, const std::string& room,
                                           const protocol::RoomKey& key);

  // The HTTP status of the upgrade's answer: 101 when the relay took the connection.
  int status() const { return status_; }

  void sendBinary(const std::string& message);
  void sendText(const std::string& message);
  // Whether the relay has sent something not yet received (looked at without reading it).
  bool hasUnreadBytes();

  struct Message {
    bool binary = false;
    std::string data;
  };
  // The next message; nothing when the connection was closed (closeCode() then tells how).
  // Throws when nothing comes within `limit`.
  std::optional<Message> receive(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Waits for the connection to end, skipping messages; false when it does not within `limit`.
  bool closedWithin(std::chrono::milliseconds limit);
  // The close code the relay sent (0 when it dropped the connection without one).
  int closeCode() const;
  void close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int status_ = 0;
};

// A self-signed certificate for this machine under `names` (localhost only unless told), made
// before the service that presents it.
struct LocalhostCertificate {
  explicit LocalhostCertificate(const std::string& names = "DNS:localhost") {
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost"
        " -addext subjectAltName=" +
        names + " -keyout " + key + " -out " + certificate + " 2>/dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl req failed");
  }
  testing_support::TempDir folder;
  std::string key = folder / "key.pem";
  std::string certificate = folder / "cert.pem";
};

}  // namespace lumora::account::testing
