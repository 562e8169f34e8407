// lumora-tray: the desktop application. A tray icon whose panel shows the agent's state, the
// pairing code and its QR code, the account and the settings; it starts and stops the agent in
// this process. `lumora-tray lumora://start|stop|quit` hands the URLs to a running instance.

#include <QApplication>
#include <QIcon>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_future.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "agent_menu_bar_scene.h"
#include "app/agent_app_coordinator.h"
#include "app/linux_parts.h"
#include "instance_channel.h"
#include "menu_bar_content_view.h"
#include "qt_executor.h"

namespace {

namespace asio = boost::asio;
using namespace lumora;

constexpr const char* kUsage =
    "usage: lumora-tray [URL...]\n"
    "Shows the agent in the desktop's tray (or in a window where there is no tray). URLs\n"
    "lumora://start, lumora://stop and lumora://quit are carried out in order, by the instance\n"
    "already running if there is one.\n";

// The network thread: the agent's sockets and the account service's requests.
class NetworkThread {
 public:
  NetworkThread() : thread_([this] { io_.run(); }) {}
  ~NetworkThread() { stop(); }
  void stop() {
    io_.stop();
    if (thread_.joinable()) thread_.join();
  }
  asio::any_io_executor executor() { return io_.get_executor(); }

 private:
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> urls;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argument.starts_with("-")) {
      std::fprintf(stderr, "lumora-tray: unknown option %s (try --help)\n", argument.c_str());
      return 2;
    }
    urls.push_back(argument);
  }

  // A socket that is not safely this user's ends the start: its commands must reach no one else.
  const auto refused = [](const tray::InstanceChannel::RefusedError& error) {
    std::fprintf(stderr, "lumora-tray: %s\n", error.what());
    return 1;
  };
  std::string socketPath;
  // Started again without URLs (from the menu, say): the running instance shows its panel.
  const std::vector<std::string> handed =
      urls.empty() ? std::vector<std::string>{tray::InstanceChannel::kShowPanel} : urls;
  try {
    socketPath = tray::InstanceChannel::socketPath();
    if (tray::InstanceChannel::handOver(socketPath, handed)) return 0;
  } catch (const tray::InstanceChannel::RefusedError& error) {
    return refused(error);
  }

  // Qt would abort with a core dump; over ssh, say, one line does better.
  const auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
  };
  if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM")) {
    std::fputs(
        "lumora-tray: no desktop to show the tray on (DISPLAY is not set); lumora-agent serves "
        "without one\n",
        stderr);
    return 1;
  }

  std::signal(SIGPIPE, SIG_IGN);
  QApplication application(argc, argv);
  QApplication::setApplicationName("lumora-tray");
  QApplication::setDesktopFileName("lumora-tray");
  QApplication::setWindowIcon(QIcon(":/icons/lumora.svg"));

  tray::QtExecutionContext mainContext;
  const asio::any_io_executor main = mainContext.get_executor();
  NetworkThread network;
  asio::thread_pool work(2);

  // Queued, so that a quit URL given on the command line ends the loop once it runs.
  auto quit = [] {
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
  };
  // Listening comes first, so that a second start from here on finds this instance; what it
  // hands over waits in the socket until the loop runs, by when the coordinator is there.
  std::unique_ptr<app::AgentAppCoordinator> coordinator;
  std::unique_ptr<tray::AgentMenuBarScene> scene;
  tray::InstanceServer instances([&coordinator, &scene](const std::string& line) {
    if (line == tray::InstanceChannel::kShowPanel) {
      scene->showPanel();
    } else {
      coordinator->handle(line);
    }
  });
  try {
    if (!instances.listen(socketPath)) {
      // Another instance came up meanwhile: it takes the URLs.
      if (tray::InstanceChannel::handOver(socketPath, handed)) return 0;
      std::fprintf(stderr, "lumora-tray: cannot listen at %s; command URLs will not reach us\n",
                   socketPath.c_str());
    }
  } catch (const tray::InstanceChannel::RefusedError& error) {
    return refused(error);
  }
  auto parts = app::linuxParts(network.executor(), work.get_executor(), quit);
  const std::shared_ptr<app::AgentServer> agent = parts.server;
  coordinator = std::make_unique<app::AgentAppCoordinator>(main, std::move(parts));
  tray::MenuBarContentView::Actions actions;
  actions.signInWithGitHub = [&coordinator] { coordinator->signInWithGitHub(); };
  actions.signInWithGoogle = [&coordinator] { coordinator->signInWithGoogle(); };
  actions.quit = quit;
  scene = std::make_unique<tray::AgentMenuBarScene>(new tray::MenuBarContentView(
      coordinator->controller(), coordinator->settings(), coordinator->account(), actions, main));

  for (const auto& url : urls) coordinator->handle(url);
  const int status = QApplication::exec();

  // Nothing is written on the way out: the status file keeps its last record. The agent's
  // sockets close, behind the controller's back so that its status (and the file) stays as it
  // is; then the threads stop before what they work on goes.
  scene.reset();
  auto stopped = asio::co_spawn(network.executor(), agent->stop(), asio::use_future);
  if (stopped.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    std::fputs("lumora-tray: the agent did not stop within 5 s\n", stderr);
  }
  network.stop();
  work.stop();
  work.join();
  coordinator.reset();
  return status;
}
