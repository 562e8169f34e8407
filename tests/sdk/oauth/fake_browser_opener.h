#pragma once

// A browser for sign-in tests: it loads the URL it is given and follows redirects as a real one
// does, so a provider's authorization page sends it on to the flow's loopback listener. It can
// also refuse to open, or take the URL and never load it (a user who walks away).

#include <boost/url/parse.hpp>

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

  struct Page {
    std::string url;
    int status = 0;  // 0 when loading failed
    std::string body;
  };

  explicit FakeBrowserOpener(Behaviour behaviour = Behaviour::follow) : behaviour_(behaviour) {}
  ~FakeBrowserOpener() override {
    for (auto& tab : tabs_) tab.join();
  }

  void setBehaviour(Behaviour behaviour) {
    std::lock_guard guard(lock_);
    behaviour_ = behaviour;
  }

  void open(const std::string& url, std::function<void(bool shown)> finished) override {
    std::unique_lock guard(lock_);
    const Behaviour behaviour = behaviour_;
    if (behaviour == Behaviour::refuse) {
      guard.unlock();
      finished(false);
      return;
    }
    tabs_.emplace_back([this, url, behaviour, finished = std::move(finished)] {
      finished(true);
      if (behaviour == Behaviour::follow) load(url);
    });
  }

  // The page the browser ended on, once it has one.
  std::optional<Page> shownPage() const {
    std::optional<Page> page;
    testing_support::eventually([&] {
      std::lock_guard guard(lock_);
      if (!pages_.empty()) page = pages_.back();
      return page.has_value();
    });
    return page;
  }

 private:
  void load(std::string url) {
    Page page;
    for (int hop = 0; hop < 10; ++hop) {
      page = {url, 0, {}};
      auto parsed = boost::urls::parse_absolute_uri(url);
      if (!parsed) break;
      const std::string origin =
          std::string(parsed->scheme()) + "://" + std::string(parsed->encoded_authority());
      try {
        const account::testing::Reply reply =
            account::testing::AccountClient(origin).get(std::string(parsed->encoded_target()));
        page.status = reply.status;
        page.body = reply.body;
        if (reply.status / 100 != 3) break;
        url = reply.header("Location");
      } catch (const std::exception& error) {
        page.body = error.what();
        break;
      }
    }
    std::lock_guard guard(lock_);
    pages_.push_back(std::move(page));
  }

  mutable std::mutex lock_;  // guards behaviour_ and pages_
  Behaviour behaviour_;
  std::vector<Page> pages_;
  std::vector<std::thread> tabs_;  // opened from the flow's callers, joined at the end
};

}  // namespace lumora::sdk::testing
