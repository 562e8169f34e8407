// lumora-account-service: signs users in, keeps their device lists and runs the relay, until
// SIGTERM or SIGINT.

#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include <chrono>
#include <csignal>
#include <functional>
#include <iostream>
#include <sstream>
#include <thread>
#include <variant>

#include "account/account_service.h"
#include "core/agent_log.h"

namespace {

// Every relay room holds two connections: allow as many as the system lets this process have.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  namespace asio = boost::asio;
  auto parsed = lumora::account::parseServiceArguments(argc, argv, std::cout, std::cerr);
  if (auto* exitCode = std::get_if<int>(&parsed)) return *exitCode;
  auto config = std::get<lumora::account::ServiceConfig>(std::move(parsed));

  // Whatever the service creates (its database and the folders it makes for it hold the
  // token-signing key) is for its own user; the store sets these modes itself as well.
  ::umask(077);
  std::signal(SIGPIPE, SIG_IGN);
  raiseDescriptorLimit();
  // A relayed message lives in a buffer of its own from its read to its last write. glibc maps
  // each one of more than 128 KiB afresh and hands it back at once, so every megabyte relayed
  // paid for page faults on both sides of the copy; keep freed memory for the next message.
  ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 64 << 20);
  const lumora::core::AgentLog log("account");

  asio::io_context network;
  asio::thread_pool worker(config.workerThreads);
  lumora::account::AccountService service(config, network.get_executor(), worker.get_executor());
  try {
    const std::string url = service.start();
    std::cout << url << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "lumora-account-service: could not start: " << e.what() << "\n";
    worker.join();
    return 1;
  }
  if (!service.metricsUrl().empty()) log.info("metrics at " + service.metricsUrl() + "/metrics");
  log.info("serving on " + service.url() + " with database " +
           (config.database.starts_with("postgres") ? std::string("postgresql") : config.database));
  if (config.dev) {
    log.error(
        "DEV MODE: anyone can sign in as any e-mail address (provider \"dev\"), and "
        "Google and GitHub sign-in go to built-in stand-ins at " +
        service.url() + "/dev/. Never expose this instance.");
  }

  // The first signal drains: no new connections, /healthz answers 503 so the load balancer
  // sends nothing new, and the relay's rooms close with 1012 so that agents and phones join
  // again at once on another instance. The process ends when the rooms and the requests being
  // answered are gone, after --drain-seconds, or at a second signal.
  asio::signal_set signals(network, SIGINT, SIGTERM);
  asio::steady_timer watch(network);
  const auto finish = [&] {
    signals.cancel();
    watch.cancel();
    service.stop();
    network.stop();
  };
  std::function<void()> watchDrain;
  std::chrono::steady_clock::time_point deadline;
  watchDrain = [&] {
    if (service.drained()) {
      log.info("drained: stopping");
      finish();
      return;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      std::ostringstream seconds;
      seconds << config.drainSeconds;
      log.info("stopping after " + seconds.str() + " s of draining, with " +
               std::to_string(service.relayRoomCount()) + " relay rooms still open");
      finish();
      return;
    }
    watch.expires_after(std::chrono::milliseconds(50));
    watch.async_wait([&](const boost::system::error_code& ec) {
      if (!ec) watchDrain();
    });
  };
  std::function<void(const boost::system::error_code&, int)> onSignal;
  onSignal = [&](const boost::system::error_code& ec, int) {
    if (ec) return;
    if (service.drained() || deadline != std::chrono::steady_clock::time_point{}) {
      log.info("stopping at once");
      finish();
      return;
    }
    log.info("draining: closing the relay's rooms with 1012 (service restart)");
    deadline = std::chrono::steady_clock::now() +
               std::chrono::milliseconds(static_cast<long long>(config.drainSeconds * 1000));
    service.drain();
    signals.async_wait(onSignal);
    watchDrain();
  };
  signals.async_wait(onSignal);
  // Two threads share the sockets (a busy room and the HTTP routes use both cores); the
  // database calls have their own pool.
  std::thread second([&] { network.run(); });
  network.run();
  second.join();
  worker.join();
  return 0;
}
