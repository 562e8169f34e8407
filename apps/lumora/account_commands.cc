// login, logout and devices: the account this user signs in to, and its device list.

#include <unistd.h>

#include <iostream>

#include "account_session.h"
#include "account_store.h"
#include "command.h"
#include "failure.h"
#include "net/http_client.h"
#include "sdk/account/auth_client.h"
#include "sdk/oauth/oauth_flow_error.h"
#include "sdk/oauth/oauth_sign_in.h"
#include "sdk/oauth/provider_directory.h"
#include "sdk/oauth/xdg_open_browser.h"

namespace lumora::cli {

namespace {

// The service's text on one line of the terminal: control characters are shown as "?".
std::string printable(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

// xdg-open, after saying where it goes: on a machine whose browser does not come up, the
// person can open the page elsewhere on this machine.
class AnnouncingBrowser : public sdk::BrowserOpener {
 public:
  void open(const std::string& url, std::function<void(bool shown)> finished) override {
    std::cout << "opening the sign-in page in the browser: " << url << std::endl;
    browser_.open(url, std::move(finished));
  }

 private:
  sdk::XdgOpenBrowser browser_;
};

// The credential the provider's sign-in gives, to hand to the account service.
sdk::SignInCredential providerCredential(const CommandContext& context, const std::string& provider,
                                         const std::string& serviceURL) {
  if (provider == "dev") return {*context.args().value("email"), std::nullopt};
  const bool standIns = context.args().has("dev");
  sdk::OAuthWebFlow flow(std::make_shared<AnnouncingBrowser>(), {});
  std::optional<sdk::SignInCredential> credential;
  try {
    // The service names its own clients; built-in defaults where it does not.
    const auto directory =
        standIns ? sdk::ProviderDirectory{} : sdk::ProviderDirectory::fetch(serviceURL);
    if (provider == "google") {
      credential = sdk::signInWithGoogle(
          flow, sdk::GoogleOAuth(standIns ? sdk::GoogleOAuth::Config::devService(serviceURL)
                                          : directory.applyTo(sdk::GoogleOAuth::Config())));
    } else {
      credential = sdk::signInWithGitHub(
          flow, sdk::GitHubOAuth(standIns ? sdk::GitHubOAuth::Config::devService(serviceURL)
                                          : directory.applyTo(sdk::GitHubOAuth::Config())));
    }
  } catch (...) {
    throw Failure("sign-in with " + provider + " failed: " + reasonOf(std::current_exception()));
  }
  if (!credential) throw Failure("sign-in with " + provider + " refused in the browser");
  return *credential;
}

int login(CommandContext& context) {
  const std::string provider = context.args().value("provider").value_or("google");
  if (provider != "google" && provider != "github" && provider != "dev") {
    throw UsageError("--provider must be google, github or dev");
  }
  if (provider == "dev" && !context.args().has("email")) {
    throw UsageError("--provider dev needs --email ADDRESS");
  }
  if (provider != "dev" && context.args().has("email")) {
    throw UsageError("--email goes with --provider dev only");
  }
  AccountStore store(AccountStore::defaultPath());
  StoredAccount account = store.load();
  const std::string serviceURL =
      accountServiceURL(context.args().value("account-service"), account);
  sdk::SignInCredential credential = providerCredential(context, provider, serviceURL);

  sdk::AuthClient auth(serviceURL, std::make_shared<net::HttpClient>("lumora-cli"));
  try {
    account.tokens = runToEnd(
        auth.login(provider, std::move(credential.token), std::move(credential.codeVerifier)));
  } catch (...) {
    throw Failure("login failed: " + reasonOf(std::current_exception()));
  }
  account.serviceURL = serviceURL;
  store.save(account);
  const auto& user = account.tokens->user;
  std::cout << "logged in as " << printable(user.email.value_or(user.displayName.value_or(user.id)))
            << " at " << serviceURL << "\n";
  return 0;
}

int logout(CommandContext&) {
  AccountStore store(AccountStore::defaultPath());
  StoredAccount account = store.load();
  if (!account.tokens) {
    std::cout << "not logged in\n";
    return 0;
  }
  // The service ends the sign-in's refresh chain first, so that a copy of the tokens left
  // anywhere stops working; the tokens are forgotten here whatever it answers.
  std::optional<std::string> untold;
  if (account.serviceURL) {
    sdk::AuthClient auth(*account.serviceURL, std::make_shared<net::HttpClient>("lumora-cli"));
    try {
      runToEnd(auth.logout(account.tokens->refreshToken));
    } catch (...) {
      untold = reasonOf(std::current_exception());
    }
  }
  account.tokens.reset();
  store.save(account);
  if (untold) {
    std::cerr << "lumora: the account service was not told, its sign-in stays open until it "
                 "expires: "
              << printable(*untold) << "\n";
  }
  std::cout << "logged out\n";
  return 0;
}

std::string hostName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || !host[0]) return "linux";
  return host;
}

int addDevice(CommandContext& context) {
  const auto agent = context.agent();
  const std::string name = context.wordCount() > 1 ? context.word(1) : hostName();
  AccountSession session(AccountStore(AccountStore::defaultPath()));
  try {
    auto device = session.registerDevice(name, agent.code);
    std::cout << "registered " << printable(device.name) << " (" << printable(device.id) << ")\n";
  } catch (const sdk::AccountServiceError& error) {
    if (error.kind() == sdk::AccountServiceError::Kind::http && error.status() == 409) {
      std::cout << "already registered\n";
      return 0;
    }
    throw Failure("cannot register the agent: " + reasonOf(std::current_exception()));
  }
  return 0;
}

std::string lastAddress(const sdk::DeviceSummary& device) {
  if (!device.lastHost) return "-";
  std::string address = *device.lastHost;
  if (device.lastControlPort) address += ":" + std::to_string(*device.lastControlPort);
  if (device.lastMediaPort) address += "/" + std::to_string(*device.lastMediaPort);
  return address;
}

int devices(CommandContext& context) {
  if (context.wordCount() > 0) {
    if (context.word(0) != "add")
      throw UsageError("unknown devices command '" + context.word(0) + "'");
    return addDevice(context);
  }
  if (context.args().has("link") || context.args().has("agent")) {
    throw UsageError("--link and --agent go with `devices add` only");
  }
  AccountSession session(AccountStore(AccountStore::defaultPath()));
  std::vector<sdk::DeviceSummary> listed;
  try {
    listed = session.listDevices();
  } catch (const sdk::AccountServiceError&) {
    throw Failure("cannot list devices: " + reasonOf(std::current_exception()));
  }
  if (listed.empty()) {
    std::cout << "no devices\n";
    return 0;
  }
  for (const auto& device : listed) {
    std::cout << printable(device.name) << "\t" << printable(device.status) << "\t"
              << printable(lastAddress(device)) << "\t" << printable(device.platform) << "\t"
              << printable(device.id) << "\n";
  }
  return 0;
}

}  // namespace

std::vector<Command> accountCommands() {
  return {
      {"login",
       "[--provider NAME]",
       "sign in to the Lumora account service",
       "Opens the provider's sign-in page in the browser (xdg-open) and waits for it to come\n"
       "back to this machine. The tokens and the service are kept in\n"
       "~/.config/lumora/account.json, readable only by you. The service is --account-service,\n"
       "else $LUMORA_API_BASE_URL, else the one of the last login. Against a service started\n"
       "with --dev, --dev signs in through its stand-ins of the provider pages, and\n"
       "--provider dev --email ADDRESS signs in as that address without a browser.",
       {{"provider", "NAME", "google (the default), github or dev"},
        {"email", "ADDRESS", "with --provider dev: the address to sign in as"},
        {"account-service", "URL", "the account service, e.g. https://accounts.example"},
        {"dev", "", "use the --dev service's stand-ins of the Google and GitHub pages"}},
       0,
       0,
       false,
       login},
      {"logout",
       "",
       "sign out: end the sign-in on the account service and forget the tokens",
       "Tells the account service to end this sign-in (its refresh tokens stop working), then\n"
       "forgets the stored tokens; when the service cannot be reached, the tokens are forgotten\n"
       "all the same and one line says that the service was not told.",
       {},
       0,
       0,
       false,
       logout},
      {"devices",
       "[add [NAME]]",
       "list the account's devices, or add the paired agent to them",
       "Without a word: each device of the account with its state and last address.\n"
       "`devices add [NAME]` registers the paired agent (--link, --agent or the current one)\n"
       "under NAME, by default this machine's host name, so that `--relay` reaches it.",
       {},
       0,
       2,
       false,
       devices},
  };
}

}  // namespace lumora::cli
