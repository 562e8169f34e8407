// lumora-agent: serves this desktop to paired phones until SIGINT or SIGTERM.

#include <malloc.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/agent_status.h"
#include "command_line/cli_args.h"
#include "core/service_kind.h"
#include "core/terminal_qr_code.h"
#include "protocol/relay_address.h"
#include "runtime/agent_runtime.h"

namespace {

namespace asio = boost::asio;
using lumora::runtime::AgentRuntime;

constexpr std::string_view kVersion = "0.1.0";

const std::vector<lumora::command_line::OptionSpec> kOptions = {
    {"port", "N", "control port (1-65534; 0 lets the system choose)"},
    {"reset-pairing", "", "make a new pairing code; every paired phone must pair again"},
    {"relay-base", "URL",
     "also serve through the relay of the account service at URL (its https:// or http:// "
     "origin, or wss:// / ws://), end-to-end protected by the pairing secret"},
    {"no-qr", "", "do not print the pairing QR code"},
    {"encoder", "KIND",
     "the screen stream's H.264 encoder: auto (VAAPI where the machine has it, else x264; the "
     "default), software (x264) or vaapi (the hardware encoder or no stream)"},
    {"encoder-preset", "NAME",
     "x264 speed preset for the screen stream (ultrafast ... veryslow; default ultrafast); a "
     "hardware encoder ignores it"},
    {"command-key", "KEY",
     "what the phone's Command key presses: control (the default, so Command+C copies) or "
     "super"},
    {"backend", "NAME",
     "which desktop to serve: x11, wayland (through the desktop's screen-cast and "
     "remote-desktop portals) or auto (Wayland where its portal answers, else X11; the "
     "default)"},
    {"help,h", "", "show this text"},
    {"version", "", "show the version"}};

constexpr std::string_view kUsage =
    "usage: lumora-agent [--port N] [--reset-pairing] [--relay-base URL] [--no-qr]\n"
    "                    [--encoder KIND] [--encoder-preset NAME] [--command-key KEY]\n"
    "                    [--backend NAME]\n"
    "\n"
    "Serves this desktop to paired phones on the tailnet address (or loopback when there is\n"
    "none): the control channel on port N (default 47800) and the media channel on N + 1.\n"
    "\n";

struct Arguments {
  std::uint16_t port = lumora::core::AgentConfig::kDefaultControlPort;
  bool resetPairing = false;
  std::optional<std::string> relayBase;
  bool showQR = true;
  std::string encoderPreset = lumora::services::screen::EncoderSettings{}.preset;
  lumora::services::screen::EncoderSettings::Encoder encoder =
      lumora::services::screen::EncoderSettings::Encoder::automatic;
  lumora::platform::CommandKey commandKey = lumora::platform::CommandKey::control;
  lumora::runtime::DesktopBackend backend = lumora::runtime::DesktopBackend::automatic;
};

bool isEncoderPreset(std::string_view name) {
  constexpr std::string_view kPresets[] = {"ultrafast", "superfast", "veryfast", "faster",  "fast",
                                           "medium",    "slow",      "slower",   "veryslow"};
  return std::find(std::begin(kPresets), std::end(kPresets), name) != std::end(kPresets);
}

// The arguments, or an exit code when the program should end here.
std::variant<Arguments, int> parse(int argc, char** argv) {
  Arguments arguments;
  try {
    const auto parsed =
        lumora::command_line::parseArgs(std::vector<std::string>(argv + 1, argv + argc), kOptions);
    if (parsed.has("help")) {
      std::cout << kUsage << lumora::command_line::describeOptions(kOptions);
      return 0;
    }
    if (parsed.has("version")) {
      std::cout << "lumora-agent " << kVersion << "\n";
      return 0;
    }
    if (!parsed.positionals.empty()) {
      throw lumora::command_line::UsageError("unexpected word '" + parsed.positionals.front() +
                                             "'");
    }
    arguments.resetPairing = parsed.has("reset-pairing");
    arguments.showQR = !parsed.has("no-qr");
    if (auto relay = parsed.value("relay-base")) {
      // Refused now rather than failing to join for ever in the background.
      arguments.relayBase = lumora::protocol::relayOriginOf(*relay);
      if (!arguments.relayBase) {
        throw lumora::command_line::UsageError(
            "--relay-base wants the account service's origin (https://, "
            "http://, wss:// or ws://), not '" +
            *relay + "'");
      }
    }
    if (auto port = parsed.integer("port", 0, 65534)) {
      arguments.port = static_cast<std::uint16_t>(*port);
    }
    if (auto preset = parsed.value("encoder-preset")) {
      if (!isEncoderPreset(*preset)) {
        throw lumora::command_line::UsageError(
            "unknown encoder preset '" + *preset +
            "' (expected ultrafast, superfast, veryfast, faster, fast, "
            "medium, slow, slower or veryslow)");
      }
      arguments.encoderPreset = *preset;
    }
    if (auto encoder = parsed.value("encoder")) {
      using Encoder = lumora::services::screen::EncoderSettings::Encoder;
      if (*encoder == "auto") {
        arguments.encoder = Encoder::automatic;
      } else if (*encoder == "software") {
        arguments.encoder = Encoder::software;
      } else if (*encoder == "vaapi") {
        arguments.encoder = Encoder::vaapi;
      } else {
        throw lumora::command_line::UsageError("unknown encoder '" + *encoder +
                                               "' (expected auto, software or vaapi)");
      }
    }
    if (auto key = parsed.value("command-key")) {
      if (*key == "control") {
        arguments.commandKey = lumora::platform::CommandKey::control;
      } else if (*key == "super") {
        arguments.commandKey = lumora::platform::CommandKey::super;
      } else {
        throw lumora::command_line::UsageError("unknown command key '" + *key +
                                               "' (expected control or super)");
      }
    }
    if (auto name = parsed.value("backend")) {
      auto backend = lumora::runtime::parseDesktopBackend(*name);
      if (!backend) {
        throw lumora::command_line::UsageError("unknown backend '" + *name +
                                               "' (expected auto, x11 or wayland)");
      }
      arguments.backend = *backend;
    }
  } catch (const lumora::command_line::UsageError& e) {
    std::cerr << "lumora-agent: " << e.what() << " (see lumora-agent --help)\n";
    return 2;
  }
  return arguments;
}

void printPairing(const lumora::runtime::AgentServingInfo& info, bool showQR) {
  std::cout << "\nPair your phone with this agent:\n";
  if (info.pairingLink) {
    if (showQR) {
      if (auto qr = lumora::core::TerminalQRCode::asciiString(*info.pairingLink, 2)) {
        std::cout << *qr << "\n";
      }
    }
    std::cout << "  link: " << *info.pairingLink << "\n";
  }
  std::cout << "  host: " << info.controlAddress << "  control port: " << info.controlPort
            << "  media port: "
            << (info.mediaPort ? std::to_string(*info.mediaPort) : std::string("-")) << "\n"
            << "  code: " << info.pairingCode << "\n";
  if (info.relayURL) std::cout << "  relay: " << *info.relayURL << "\n";
  if (info.webPairingLink) std::cout << "  web: " << *info.webPairingLink << "\n";
  std::cout << "\n" << std::flush;
}

}  // namespace

int main(int argc, char** argv) {
  auto parsed = parse(argc, argv);
  if (auto* exitCode = std::get_if<int>(&parsed)) return *exitCode;
  const Arguments arguments = std::get<Arguments>(parsed);

  // A peer that disconnects mid-write must not kill the agent.
  std::signal(SIGPIPE, SIG_IGN);
  // File chunks make for envelopes of a few hundred KiB; by default glibc maps and unmaps each
  // such buffer and hands freed memory back at once, so every message pays page faults anew
  // (encode and decode of a 256 KiB chunk run at about a third of their speed). Keeping up to a
  // few tens of MiB mapped is the better trade for an agent.
  ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 64 << 20);

  asio::io_context network;
  asio::thread_pool work(4);
  AgentRuntime::Options options;
  options.config =
      lumora::core::AgentConfig{arguments.port, lumora::core::mvpDefaultServiceKinds()};
  options.resetPairing = arguments.resetPairing;
  options.relayBase = arguments.relayBase;
  options.encoder.preset = arguments.encoderPreset;
  options.encoder.encoder = arguments.encoder;
  options.commandKey = arguments.commandKey;
  options.desktopBackend = arguments.backend;
  AgentRuntime runtime(options, network.get_executor(), work.get_executor());
  lumora::app::AgentStatusStore::write(lumora::app::AgentStatus::stopped());

  int exitCode = 0;
  asio::signal_set signals(network, SIGINT, SIGTERM);
  asio::co_spawn(
      network,
      [&]() -> asio::awaitable<void> {
        try {
          auto info = co_await runtime.start();
          lumora::app::AgentStatusStore::write(lumora::app::AgentStatus::serving(info));
          printPairing(info, arguments.showQR);
        } catch (const std::exception& e) {
          std::cerr << "lumora-agent: could not start: " << e.what() << "\n";
          exitCode = 1;
        }
        if (exitCode == 0) co_await signals.async_wait(asio::use_awaitable);
        co_await runtime.stop();
        lumora::app::AgentStatusStore::write(lumora::app::AgentStatus::stopped());
        signals.cancel();
        network.stop();
      },
      asio::detached);
  network.run();
  work.join();
  return exitCode;
}
