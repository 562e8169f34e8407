#include "app/linux_parts.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

#include "app/account_adapters.h"
#include "app/app_config.h"
#include "app/runtime_agent_server.h"
#include "net/http_client.h"
#include "platform/linux/device_name.h"
#include "platform/linux/secret_store.h"
#include "platform/linux/xdg_autostart_login_item.h"
#include "platform/wayland/system_access_wayland.h"
#include "platform/x11/system_access_x11.h"
#include "runtime/desktop_backend.h"

namespace lumora::app {

namespace {

// LUMORA_CONTROL_PORT moves the agent off the usual port, for a second agent on one machine
// (or a test); anything but a port number from 1 to 65534 leaves it on 47800.
std::uint16_t controlPort() {
  const char* text = std::getenv("LUMORA_CONTROL_PORT");
  if (!text) return core::AgentConfig::kDefaultControlPort;
  unsigned value = 0;
  const auto end = text + std::strlen(text);
  const auto [stop, error] = std::from_chars(text, end, value);
  if (error != std::errc() || stop != end || value < 1 || value > 65534) {
    return core::AgentConfig::kDefaultControlPort;
  }
  return static_cast<std::uint16_t>(value);
}

}  // namespace

AgentAppCoordinator::Parts linuxParts(boost::asio::any_io_executor network,
                                      boost::asio::any_io_executor work,
                                      std::function<void()> terminate) {
  AgentAppCoordinator::Parts parts;
  runtime::AgentRuntime::Options options;
  options.config = core::AgentConfig{controlPort(), core::mvpDefaultServiceKinds()};
  parts.server = std::make_shared<RuntimeAgentServer>(std::move(options), network, work);
  parts.loginItem = std::make_shared<platform::linux_os::XdgAutostartLoginItem>();
  if (runtime::resolveDesktopBackend(runtime::DesktopBackend::automatic) ==
      runtime::DesktopBackend::wayland) {
    parts.system =
        std::make_shared<platform::wayland::SystemAccessWayland>(runtime::portalRestoreTokenFile());
  } else {
    parts.system = std::make_shared<platform::x11::SystemAccessX11>();
  }
  auto session = std::make_shared<net::HttpClient>("lumora-tray");
  parts.authenticator =
      std::make_shared<AuthClientAuthenticator>(AppConfig::authBaseURL(), network, session);
  parts.registrar =
      std::make_shared<DeviceRegistryRegistrar>(AppConfig::apiBaseURL(), network, session);
  parts.tokenStore = std::make_shared<SecretTokenStore>(
      platform::linux_os::openSecretStore("halden.lumora.agent", "auth-tokens", "tokens.json"));
  parts.deviceNameProvider = [] { return platform::linux_os::defaultDeviceName(); };
  parts.webFlow = std::make_shared<sdk::OAuthWebFlow>();
  parts.google = sdk::GoogleOAuth(sdk::GoogleOAuth::Config::fromEnvironment());
  parts.github = sdk::GitHubOAuth(sdk::GitHubOAuth::Config::fromEnvironment());
  parts.providerDirectory = [] { return sdk::ProviderDirectory::fetch(AppConfig::authBaseURL()); };
  parts.terminate = std::move(terminate);
  return parts;
}

}  // namespace lumora::app
