#include "runtime/agent_runtime.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <boost/system/system_error.hpp>

#include <algorithm>
#include <atomic>
#include <stdexcept>

#include "platform/fitted_size.h"
#include "platform/linux/user_account.h"
#include "protocol/pairing_payload.h"
#include "protocol/relay_address.h"
#include "protocol/room_key.h"
#include "router/dispatcher.h"
#include "runtime/desktop_backend.h"
#include "runtime/unavailable_desktop.h"
#include "services/clipboard/clipboard_service.h"
#include "services/file/file_service.h"
#include "services/input/input_service.h"
#include "services/screen/screen_service.h"
#include "services/terminal/terminal_service.h"
#include "transport/connection_manager.h"
#include "transport/media_server.h"
#include "transport/pairing_store.h"
#include "transport/relay_connector.h"
#include "transport/relay_media_publisher.h"
#include "transport/stream_coordinator.h"
#include "transport/tailscale_locator.h"

namespace lumora::runtime {

namespace asio = boost::asio;

AgentRuntimeError AgentRuntimeError::make(Code code) {
  switch (code) {
    case alreadyRunning:
      return AgentRuntimeError(code, "the agent is already running");
    case invalidPort:
      return AgentRuntimeError(code, "control port 65535 leaves no port for the media channel");
  }
  return AgentRuntimeError(code, "agent runtime error");
}

// Everything one start builds, released again by stop.
struct AssembledAgent {
  // Why the desktop services cannot work, when no display server answered.
  std::optional<std::string> desktopUnavailable;
  std::shared_ptr<platform::Desktop> desktop;
  std::shared_ptr<platform::DisplayDirectory> displays;
  std::shared_ptr<platform::InputInjector> injector;
  std::shared_ptr<platform::PasteboardAccess> pasteboard;

  std::unique_ptr<services::screen::ScreenService> screen;
  std::shared_ptr<services::input::InputService> input;
  std::unique_ptr<services::FileService> file;
  std::unique_ptr<services::TerminalService> terminal;
  std::unique_ptr<services::ClipboardService> clipboard;
  std::vector<core::AgentService*> services;  // start order

  std::shared_ptr<transport::MediaTicketStore> mediaTickets;
  std::shared_ptr<transport::MediaServer> mediaServer;
  std::shared_ptr<transport::RelayMediaPublisher> relayMediaPublisher;
  // Who watches the stream: peers of the media server, and a proven viewer in the relay's media
  // room.
  struct Receivers {
    std::atomic<std::size_t> direct{0};
    std::atomic<std::size_t> relayed{0};
    std::size_t total() const { return direct + relayed; }
  };
  std::shared_ptr<Receivers> receivers = std::make_shared<Receivers>();
  std::shared_ptr<transport::StreamCoordinator> streamCoordinator;
  std::unique_ptr<router::Dispatcher> dispatcher;
  std::shared_ptr<transport::ControlServer> controlServer;
  std::unique_ptr<transport::ConnectionManager> manager;
};

namespace {

// The agent's one way to a frame source: its desktop's, for the still pictures of the screen
// service and for the streams alike.
services::screen::FrameSourceFactory frameSources(std::shared_ptr<platform::Desktop> desktop) {
  return [desktop](std::optional<int> maxWidth, std::optional<int> maxHeight,
                   std::optional<std::uint32_t> displayID, int fps) {
    return desktop->makeFrameSource({maxWidth, maxHeight, displayID, fps});
  };
}

// Streams capture the requested display at 30 frames per second, at most 3840 × 2160 unless the
// request sets its own box (a side of 0 sets none).
transport::StreamCoordinator::SourceFactory streamSources(
    services::screen::FrameSourceFactory makeSource) {
  return [makeSource](const protocol::CaptureFrameRequest& request) {
    auto side = [](std::optional<std::int64_t> wanted, int fallback) {
      return platform::requestedBoxSide(wanted, fallback, platform::PixelBuffer::kMaxSide);
    };
    return std::shared_ptr<platform::FrameSource>(makeSource(
        side(request.maxWidth, 3840), side(request.maxHeight, 2160), request.displayID, 30));
  };
}

// A phone that leaves mid-drag, directly or through the relay, must not leave the button down.
std::function<void(core::PeerID)> heldButtonReleaser(
    std::weak_ptr<services::input::InputService> input) {
  return [input](core::PeerID peer) {
    if (auto service = input.lock()) {
      asio::co_spawn(asio::system_executor(), service->releaseHeldButton(peer), asio::detached);
    }
  };
}

// The relay room named `room` on the relay of `relayBase`; nothing without a base, or for a base
// that is no relay's (lumora-agent refuses one at start).
std::optional<std::string> relayRoomURL(const std::optional<std::string>& relayBase,
                                        std::string_view room) {
  if (!relayBase) return std::nullopt;
  auto origin = protocol::relayOriginOf(*relayBase);
  if (!origin) return std::nullopt;
  return protocol::relayRoomURL(*origin, room);
}

// `room` is the fingerprint of the room key `secret` gives: what the relay names its rooms after.
std::unique_ptr<AssembledAgent> assemble(const AgentRuntime::Options& options,
                                         const protocol::PairingSecret& secret,
                                         const std::string& room, asio::any_io_executor network,
                                         asio::any_io_executor work) {
  auto agent = std::make_unique<AssembledAgent>();
  try {
    agent->desktop =
        openDesktop({options.desktopBackend, options.displayName.value_or(""), options.commandKey});
  } catch (const std::exception& e) {
    agent->desktopUnavailable = e.what();
    agent->desktop = UnavailableDesktop::make(e.what());
  }
  agent->displays = agent->desktop->displays();
  agent->injector = agent->desktop->injector();
  agent->pasteboard = agent->desktop->pasteboard();

  const auto makeSource = frameSources(agent->desktop);
  agent->screen =
      std::make_unique<services::screen::ScreenService>(work, agent->displays, makeSource);
  agent->input = std::make_shared<services::input::InputService>(work, agent->injector);
  agent->file = std::make_unique<services::FileService>(work);
  agent->terminal = std::make_unique<services::TerminalService>(network);
  agent->clipboard = std::make_unique<services::ClipboardService>(work, agent->pasteboard);
  agent->services = {agent->screen.get(), agent->input.get(), agent->file.get(),
                     agent->terminal.get(), agent->clipboard.get()};

  agent->mediaTickets = std::make_shared<transport::MediaTicketStore>(std::chrono::seconds(30));
  agent->mediaServer = std::make_shared<transport::MediaServer>(network, agent->mediaTickets,
                                                                std::chrono::seconds(5));
  std::vector<std::shared_ptr<transport::MediaSink>> sinks{agent->mediaServer};
  if (auto url = relayRoomURL(options.relayBase, room + "-media")) {
    agent->relayMediaPublisher =
        std::make_shared<transport::RelayMediaPublisher>(network, *url, secret);
    sinks.push_back(agent->relayMediaPublisher);
  }
  agent->streamCoordinator =
      transport::StreamCoordinator::make(work, streamSources(makeSource), std::move(sinks),
                                         options.encoder, transport::StreamCoordinator::Options{});
  std::weak_ptr<transport::StreamCoordinator> coordinator = agent->streamCoordinator;
  agent->mediaServer->setKeyFrameRequester([coordinator] {
    if (auto stream = coordinator.lock()) stream->requestKeyFrame();
  });
  // A viewer through the relay counts as a receiver too, so its stream is not stopped as idle,
  // and it starts with a key frame made for it at once.
  agent->mediaServer->setOnReceiverCountChanged(
      [coordinator, receivers = agent->receivers](std::size_t count) {
        receivers->direct = count;
        if (auto stream = coordinator.lock()) stream->receiverCountChanged(receivers->total());
      });
  if (agent->relayMediaPublisher) {
    agent->relayMediaPublisher->setOnViewerChanged(
        [coordinator, receivers = agent->receivers](bool present) {
          receivers->relayed = present ? 1 : 0;
          auto stream = coordinator.lock();
          if (!stream) return;
          stream->receiverCountChanged(receivers->total());
          if (present) stream->requestKeyFrame();
        });
  }

  router::Dispatcher::Services services;
  services.file = agent->file.get();
  services.terminal = agent->terminal.get();
  services.input = agent->input.get();
  services.screen = agent->screen.get();
  services.clipboard = agent->clipboard.get();
  services.displays = agent->displays;
  services.screenStream = agent->streamCoordinator.get();
  services.defaultShell = platform::linux_os::loginShell;
  agent->dispatcher = std::make_unique<router::Dispatcher>(std::move(services));
  return agent;
}

bool needsDesktop(const core::AgentService* service, const AssembledAgent& agent) {
  return service == agent.screen.get() || service == agent.input.get() ||
         service == agent.clipboard.get();
}

}  // namespace

AgentRuntime::AgentRuntime(Options options, asio::any_io_executor networkExecutor,
                           asio::any_io_executor workExecutor)
    : options_(std::move(options)),
      networkExecutor_(std::move(networkExecutor)),
      workExecutor_(std::move(workExecutor)) {}

AgentRuntime::~AgentRuntime() = default;

asio::awaitable<AgentServingInfo> AgentRuntime::start() {
  if (started_) throw AgentRuntimeError::make(AgentRuntimeError::alreadyRunning);
  if (options_.config.controlPort == 65535) {
    throw AgentRuntimeError::make(AgentRuntimeError::invalidPort);
  }

  const transport::PairingStore store = transport::PairingStore::defaultStore();
  const protocol::PairingSecret secret =
      options_.resetPairing ? store.reset() : store.loadOrCreate();

  // The fingerprint the account service and the relay know the agent by: its room key's.
  const std::string room = protocol::RoomKey::derive(secret).fingerprint();
  assembled_ = assemble(options_, secret, room, networkExecutor_, workExecutor_);
  AssembledAgent& agent = *assembled_;
  for (core::AgentService* service : agent.services) {
    if (agent.desktopUnavailable && needsDesktop(service, agent)) {
      log_.error("failed to start " + service->name() + ": " + *agent.desktopUnavailable);
      continue;
    }
    try {
      co_await service->start();
    } catch (const std::exception& e) {
      log_.error("failed to start " + service->name() + ": " + e.what());
    }
  }

  transport::ConnectionContext::Dependencies dependencies;
  dependencies.dispatcher = agent.dispatcher.get();
  dependencies.authenticator = transport::Authenticator{secret};
  dependencies.mediaTickets = agent.mediaTickets;
  dependencies.terminalExecutor = networkExecutor_;
  dependencies.defaultShell = platform::linux_os::loginShell;
  agent.controlServer = std::make_shared<transport::ControlServer>(networkExecutor_, dependencies);
  const auto releaseHeldButton = heldButtonReleaser(agent.input);
  agent.controlServer->setOnConnectionClosed(releaseHeldButton);
  agent.manager = std::make_unique<transport::ConnectionManager>(
      agent.controlServer, agent.mediaServer.get(), transport::ConnectionMode::tailscale,
      workExecutor_, [] { return transport::TailscaleLocator::currentIPv4(); });

  const std::uint16_t port = options_.config.controlPort;
  const std::uint16_t mediaPort = static_cast<std::uint16_t>(port == 0 ? 0 : port + 1);
  transport::ConnectionInfo connection;
  try {
    connection = co_await agent.manager->start(port, mediaPort);
  } catch (const boost::system::system_error& error) {
    // A port in use and the like: the system's words, without the source location Boost adds
    // to what().
    throw std::runtime_error(error.code().message());
  }

  AgentServingInfo info;
  info.controlAddress = connection.advertiseAddress.value_or("0.0.0.0");
  info.controlPort = connection.port;
  info.mediaPort = connection.mediaPort;
  info.mode = std::string(transport::rawValue(connection.mode));
  info.pairingCode = secret.code();
  info.pairingFingerprint = room;
  if (connection.advertiseAddress && connection.mediaPort) {
    info.pairingLink = protocol::PairingPayload{*connection.advertiseAddress, connection.port,
                                                *connection.mediaPort, info.pairingCode}
                           .url();
  }
  // Joining happens in the background: a relay that cannot be reached does not hold the start up.
  if (auto url = relayRoomURL(options_.relayBase, info.pairingFingerprint)) {
    relayConnector_ =
        std::make_unique<transport::RelayConnector>(networkExecutor_, *url, dependencies);
    relayConnector_->setOnPeerChanged([releaseHeldButton](bool present, core::PeerID peer) {
      if (!present) releaseHeldButton(peer);
    });
    relayConnector_->connect();
    if (agent.relayMediaPublisher) agent.relayMediaPublisher->connect();
    info.relayURL = *url;
    info.webPairingLink = protocol::webPairingLink(*options_.relayBase, info.pairingCode);
  }
  started_ = true;
  log_.info("serving control=" + info.controlAddress + ":" + std::to_string(info.controlPort) +
            " media=" + (info.mediaPort ? std::to_string(*info.mediaPort) : std::string("-")) +
            " via " + info.mode);
  co_return info;
}

asio::awaitable<void> AgentRuntime::stop() {
  if (relayConnector_) {
    co_await relayConnector_->stop();
    relayConnector_.reset();
  }
  if (assembled_) {
    AssembledAgent& agent = *assembled_;
    if (agent.relayMediaPublisher) co_await agent.relayMediaPublisher->stop();
    if (agent.manager) {
      agent.manager->stop();
      // Connections close on their own strands; give them a moment to let go of the
      // dispatcher and services before those are released.
      asio::steady_timer pause(networkExecutor_);
      for (int i = 0; i < 150 && agent.controlServer->connectionCount() > 0; ++i) {
        pause.expires_after(std::chrono::milliseconds(20));
        co_await pause.async_wait(asio::use_awaitable);
      }
    }
    // The desktop is not captured for anyone once the agent has stopped.
    co_await agent.streamCoordinator->stopStream();
    for (core::AgentService* service : agent.services) co_await service->stop();
    assembled_.reset();
  }
  started_ = false;
  log_.info("runtime stopped");
}

}  // namespace lumora::runtime
