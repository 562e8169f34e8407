#include "sdk/oauth/xdg_open_browser.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/posix/stream_descriptor.hpp>

#include <vector>

#include "sdk/internal/io_thread.h"

extern char** environ;

namespace lumora::sdk {

namespace asio = boost::asio;

// The thread that notices the opener programs ending (through their pidfds) and reaps them.
struct XdgOpenBrowser::Waiter {
  internal::IoThread thread;
};

XdgOpenBrowser::XdgOpenBrowser(std::string program)
    : program_(std::move(program)), waiter_(std::make_unique<Waiter>()) {}

XdgOpenBrowser::~XdgOpenBrowser() = default;

namespace {

// Starts `argv` with its standard streams on /dev/null; the process id, or -1.
pid_t spawnQuietly(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd : {0, 1, 2}) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  pid_t pid = -1;
  const int failed = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return failed == 0 ? pid : -1;
}

}  // namespace

void XdgOpenBrowser::open(const std::string& url, std::function<void(bool shown)> finished) {
  const pid_t pid = spawnQuietly({program_, url});
  if (pid < 0) {
    finished(false);
    return;
  }
  // Through syscall(): glibc 2.36's <sys/pidfd.h> lacks C linkage for C++.
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) {
    // Nothing to wait with: reap it now rather than leave it behind.
    int status = 0;
    ::waitpid(pid, &status, 0);
    finished(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return;
  }
  auto descriptor =
      std::make_shared<asio::posix::stream_descriptor>(waiter_->thread.context(), pidfd);
  descriptor->async_wait(asio::posix::descriptor_base::wait_read,
                         [descriptor, pid, finished = std::move(finished)](auto error) {
                           if (error) return;
                           int status = 0;
                           ::waitpid(pid, &status, 0);
                           finished(WIFEXITED(status) && WEXITSTATUS(status) == 0);
                         });
}

}  // namespace lumora::sdk
