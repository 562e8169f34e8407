#include "bench_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/json/parse.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace lumora::bench {

void parseOptions(int argc, char** argv, const std::string& usage,
                  std::vector<cli::OptionSpec> options,
                  const std::function<void(const cli::ParsedArgs&)>& read) {
  const std::string program = std::filesystem::path(argv[0]).filename().string();
  options.push_back({"help,h", "", "show this help"});
  try {
    const cli::ParsedArgs parsed =
        cli::parseArgs(std::vector<std::string>(argv + 1, argv + argc), options);
    if (parsed.has("help")) {
      std::printf("%s\n\n%s", usage.c_str(), cli::describeOptions(options).c_str());
      std::exit(0);
    }
    if (!parsed.positionals.empty()) {
      throw cli::UsageError("unexpected word '" + parsed.positionals.front() + "'");
    }
    read(parsed);
  } catch (const cli::UsageError& e) {
    std::fprintf(stderr, "%s: %s (see %s --help)\n", program.c_str(), e.what(), program.c_str());
    std::exit(2);
  }
}

Stats percentiles(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) {
    return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))];
  };
  return {at(0.50), at(0.99)};
}

double percentile(std::vector<double> samples, double q) {
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))];
}

pid_t spawn(const std::vector<std::string>& args, int in, int out,
            const std::vector<std::string>* env) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  if (env) {
    for (const auto& e : *env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  if (in >= 0) posix_spawn_file_actions_adddup2(&actions, in, 0);
  if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, 1);
  pid_t pid = -1;
  const int failed =
      posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), env ? envp.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error("cannot start " + args[0]);
  return pid;
}

int runToEnd(const std::vector<std::string>& args) {
  int status = 0;
  ::waitpid(spawn(args), &status, 0);
  return status;
}

double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  // Fields after the command name (which may hold spaces) start at the closing parenthesis.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long long user = 0, system = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14) user = std::stoull(field);
    if (index == 15) {
      system = std::stoull(field);
      break;
    }
  }
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

SshBaseline::SshBaseline(const std::string& script) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return;
  const pid_t setup = spawn({script}, -1, pipeFds[1]);
  ::close(pipeFds[1]);
  std::string printed;
  char c;
  while (::read(pipeFds[0], &c, 1) == 1) printed += c;
  ::close(pipeFds[0]);
  ::waitpid(setup, nullptr, 0);
  std::istringstream words(printed);
  for (std::string word; words >> word;) {
    const auto eq = word.find('=');
    if (eq != std::string::npos) values_[word.substr(0, eq)] = word.substr(eq + 1);
  }
}

SshBaseline::~SshBaseline() {
  if (!available()) return;
  runToEnd({"ssh", "-S", (*this)["SSH_CONTROL"], "-O", "exit", "x"});
  ::kill(std::stoi((*this)["SSHD_PID"]), SIGTERM);
  std::error_code ignored;  // sshd may still be removing its pid file
  std::filesystem::remove_all((*this)["SSH_DIR"], ignored);
}

AgentUnderTest::AgentUnderTest(std::vector<std::string> extraEnv,
                               std::vector<std::string> extraArgs) {
  home_ = std::filesystem::temp_directory_path() /
          ("lumora-bench-home-" + std::to_string(::getpid()));
  std::filesystem::remove_all(home_);
  std::filesystem::create_directories(home_);
  std::vector<std::string> env = {"HOME=" + home_.string(), "PATH=/usr/bin:/bin"};
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<std::string> args = {LUMORA_AGENT_BINARY, "--port", "0", "--no-qr"};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  const int devNull = ::open("/dev/null", O_WRONLY);
  pid_ = spawn(args, -1, devNull, &env);
  ::close(devNull);
  for (int i = 0; i < 500 && status_.empty(); ++i) {
    std::ifstream in(home_ / ".lumora/agent-status.json");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    boost::system::error_code ec;
    auto parsed = boost::json::parse(text, ec);
    if (!ec && parsed.is_object() && parsed.as_object().at("running").as_bool()) {
      status_ = parsed.as_object();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  if (status_.empty()) {
    release();
    throw std::runtime_error("the agent did not start");
  }
}

AgentUnderTest::~AgentUnderTest() { release(); }

void AgentUnderTest::release() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  std::error_code ignored;
  std::filesystem::remove_all(home_, ignored);
}

std::uint16_t AgentUnderTest::controlPort() const {
  return static_cast<std::uint16_t>(status_.at("controlPort").as_int64());
}

std::uint16_t AgentUnderTest::mediaPort() const {
  return static_cast<std::uint16_t>(status_.at("mediaPort").as_int64());
}

protocol::PairingSecret AgentUnderTest::secret() const {
  return *protocol::PairingSecret::fromCode(std::string(status_.at("pairingCode").as_string()));
}

std::string AgentUnderTest::pairingLink() const {
  return std::string(status_.at("pairingLink").as_string());
}

}  // namespace lumora::bench
