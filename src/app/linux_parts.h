#pragma once

#include <boost/asio/any_io_executor.hpp>

#include <functional>

#include "app/agent_app_coordinator.h"

namespace lumora::app {

// What the coordinator is made of on a Linux desktop: the agent runtime on control port 47800
// (LUMORA_CONTROL_PORT moves it) with the default services (no relay, pairing kept), the XDG
// autostart entry, the X server's answers on the two permissions, the account service at
// AppConfig's URLs, the tokens in the Secret Service (a private file where none answers), and the
// system's browser for sign-in.
//
// `network` must be an io_context's executor run by one thread (the runtime's sockets and the
// account calls run there); `work` runs the services' work. `terminate` ends the application.
AgentAppCoordinator::Parts linuxParts(boost::asio::any_io_executor network,
                                      boost::asio::any_io_executor work,
                                      std::function<void()> terminate);

}  // namespace lumora::app
