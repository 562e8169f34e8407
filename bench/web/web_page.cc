#include "web_page.h"

#include <stdexcept>

#include "protocol/room_key.h"

namespace lumora::bench {

std::string deviceRow(const testing_support::AgentProcess& agent) {
  return "li.device[data-fingerprint=\"" + protocol::RoomKey::derive(agent.secret()).fingerprint() +
         "\"]";
}

void openComputerInPage(testing_support::BrowserPhone& phone, const std::string& origin,
                        const std::string& email, const testing_support::AgentProcess& agent) {
  phone.goTo(origin + "/app/");
  if (!phone.waitFor("#view-signin")) throw std::runtime_error(phone.lastWaitError());
  phone.fill("#dev-email", email);
  phone.tap("button[data-provider=\"dev\"]");
  if (!phone.waitFor(deviceRow(agent))) {
    throw std::runtime_error("no device list: " + phone.lastWaitError());
  }
  phone.goTo("about:blank");
  phone.goTo(origin + "/app/#pair=" + agent.secret().code());
  if (!phone.waitFor("#view-screen")) {
    throw std::runtime_error("the computer did not open: " + phone.lastWaitError());
  }
}

}  // namespace lumora::bench
