#pragma once

// The page's way to an agent that the benches share: signed in with the service's dev provider,
// then the agent's web link opened as a link from another app opens (a new page load).

#include <string>

#include "support/agent_process.h"
#include "support/browser_phone.h"

namespace lumora::bench {

// The device list's row of `agent`.
std::string deviceRow(const testing_support::AgentProcess& agent);

// Signs the page in as `email` and opens `agent`'s computer view; throws when it does not show.
void openComputerInPage(testing_support::BrowserPhone& phone, const std::string& origin,
                        const std::string& email, const testing_support::AgentProcess& agent);

}  // namespace lumora::bench
