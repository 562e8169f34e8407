#pragma once

// A browser for sign-in tests: it loads the URL it is given and follows redirects as a real one
// does, so a provider's authorization page sends it on to the flow's loopback listener. It can
// also refuse to open, or take the URL and never load it (a user who walks away).

#include <boost/url/parse.hpp>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "account/account_client.h"
#include "sdk/oauth/browser_opener.h"
#include "support/eventually.h"

namespace lumora::sdk::testing {

class FakeBrowserOpener : public BrowserOpener {
 public:
  enum class Behaviour { follow, refuse, stay };

  explicit FakeBrowserOpener(Behaviour first = Behaviour::follow) : behaviour(first) {}
  ~FakeBrowserOpener() override {
    for (auto& tab : tabs_) tab.join();
  }

  // What the next open() does.
  std::atomic<Behaviour> behaviour;

  void open(const std::string& url, std::function<void(bool shown)> finished) override {
    if (behaviour == Behaviour::refuse) return finished(false);
    finished(true);
    std::lock_guard guard(lock_);
    if (behaviour == Behaviour::follow) tabs_.emplace_back([this, url] { load(url); });
  }

  // The page the browser ended on (status 0 when loading failed), once there is one.
  std::optional<account::testing::Reply> shownPage() const {
    testing_support::eventually([&] {
      std::lock_guard guard(lock_);
      return page_.has_value();
    });
    std::lock_guard guard(lock_);
    return page_;
  }

 private:
  void load(std::string url) {
    account::testing::Reply reply;
    for (int hop = 0; hop < 10; ++hop) {
      auto parsed = boost::urls::parse_absolute_uri(url);
      if (!parsed) break;
      try {
        reply = account::testing::AccountClient(std::string(parsed->scheme()) + "://" +
                                                std::string(parsed->encoded_authority()))
                    .get(std::string(parsed->encoded_target()));
      } catch (const std::exception& error) {
        reply = {0, error.what(), {}};
        break;
      }
      if (reply.status / 100 != 3) break;
      url = reply.header("Location");
    }
    std::lock_guard guard(lock_);
    page_ = std::move(reply);
  }

  mutable std::mutex lock_;  // guards page_ and tabs_
  std::optional<account::testing::Reply> page_;
  std::vector<std::thread> tabs_;
};

}  // namespace lumora::sdk::testing
