// The Secret Service side of the secret store, through libsecret.
//
// Each operation opens its own SecretService rather than using libsecret's process-wide one: the
// shared proxy keeps the session bus connection it was made on for the life of the process, so a
// keyring daemon or bus that restarted (or, in the tests, a private bus per test) would be
// answered by a dead connection. These operations are rare, so the few extra round trips cost
// nothing the user notices.

#include <libsecret/secret.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/linux/secret_store.h"

namespace lumora::platform::linux_os {
namespace {

struct ObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct ErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
struct HashTableUnref {
  void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
struct ValueUnref {
  void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using ServicePtr = std::unique_ptr<SecretService, ObjectUnref>;
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;
using AttributesPtr = std::unique_ptr<GHashTable, HashTableUnref>;
using ValuePtr = std::unique_ptr<SecretValue, ValueUnref>;

// Items are found by their two attributes alone, not by the schema name libsecret stores beside
// them, so an item someone made by hand with secret-tool for the same service and account is
// the same item to us.
const SecretSchema& lumoraSchema() {
  static const SecretSchema schema = [] {
    SecretSchema s{};
    s.name = "org.lumora.Secret";
    s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
    s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return s;
  }();
  return schema;
}

// Without an address GLib would try to autolaunch a bus (dbus-launch, which wants an X display
// and can hang without one); no address means no session bus worth asking.
bool sessionBusConfigured() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  return address != nullptr && *address != '\0';
}

ServicePtr openService(ErrorPtr& error) {
  GError* raw = nullptr;
  ServicePtr service(
      secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE, nullptr, &raw));
  error.reset(raw);
  return service;
}

class SecretServiceStore : public SecretStore {
 public:
  SecretServiceStore(std::string service, std::string account)
      : service_(std::move(service)), account_(std::move(account)) {}

  void save(const std::string& secret) override {
    if (!sessionBusConfigured()) throw std::runtime_error("No session bus to reach the keyring");
    ErrorPtr error;
    ServicePtr service = openService(error);
    if (service) {
      AttributesPtr attributes = makeAttributes();
      ValuePtr value(
          secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "text/plain"));
      GError* raw = nullptr;
      secret_service_store_sync(service.get(), &lumoraSchema(), attributes.get(),
                                SECRET_COLLECTION_DEFAULT, "Lumora sign-in", value.get(), nullptr,
                                &raw);
      error.reset(raw);
    }
    if (error) {
      throw std::runtime_error(std::string("Cannot keep the sign-in in the keyring: ") +
                               error->message);
    }
  }

  std::optional<std::string> load() override {
    if (!sessionBusConfigured()) return std::nullopt;
    ErrorPtr error;
    ServicePtr service = openService(error);
    if (!service) return std::nullopt;
    AttributesPtr attributes = makeAttributes();
    GError* raw = nullptr;
    ValuePtr value(secret_service_lookup_sync(service.get(), &lumoraSchema(), attributes.get(),
                                              nullptr, &raw));
    error.reset(raw);
    if (!value) return std::nullopt;
    gsize length = 0;
    const gchar* data = secret_value_get(value.get(), &length);
    return std::string(data, length);
  }

  void clear() override {
    if (!sessionBusConfigured()) return;
    ErrorPtr error;
    ServicePtr service = openService(error);
    if (!service) return;
    AttributesPtr attributes = makeAttributes();
    GError* raw = nullptr;
    secret_service_clear_sync(service.get(), &lumoraSchema(), attributes.get(), nullptr, &raw);
    error.reset(raw);
  }

 private:
  AttributesPtr makeAttributes() const {
    return AttributesPtr(secret_attributes_build(&lumoraSchema(), "service", service_.c_str(),
                                                 "account", account_.c_str(), nullptr));
  }

  std::string service_;
  std::string account_;
};

}  // namespace

std::unique_ptr<SecretStore> makeSecretServiceStore(std::string service, std::string account) {
  return std::make_unique<SecretServiceStore>(std::move(service), std::move(account));
}

bool secretServiceAvailable() {
  if (!sessionBusConfigured()) return false;
  ErrorPtr error;
  ServicePtr service = openService(error);
  if (!service) return false;
  // The proxy is made even when nothing owns the name (after the bus tried to start a keyring
  // that it may know how to activate); only an owner answers.
  gchar* owner = g_dbus_proxy_get_name_owner(reinterpret_cast<GDBusProxy*>(service.get()));
  const bool answers = owner != nullptr;
  g_free(owner);
  return answers;
}

}  // namespace lumora::platform::linux_os
