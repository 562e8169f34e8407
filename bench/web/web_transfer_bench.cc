// The files panel's transfers in headless Chromium (a Pixel 7 context, through the tests' phone
// driver) beside the lumora program, in the same run, through the same relay of a
// lumora-account-service --dev, on the same file:
//   the page: a download from the tap on Download until the page has handed the browser the
//   last byte, and an upload from the files chosen until the file has its final name (the
//   page's own record, window.lumora.transfers);
//   the program: `lumora --relay get` and `lumora --relay put`, from start to exit (so its
//   sign-in to the relay and the agent is counted too, the page's is not), with its default
//   pieces and with the page's.
// Usage: web_transfer_bench [--mib N] [--rounds R]

#include <boost/json/serialize.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "support/account_service_process.h"
#include "support/agent_process.h"
#include "support/browser_phone.h"
#include "support/spawn.h"
#include "support/temp_dir.h"
#include "support/xvfb_server.h"
#include "web_page.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using lumora::testing_support::AgentProcess;
using lumora::testing_support::BrowserPhone;
using lumora::testing_support::TempDir;

constexpr const char* kEmail = "bench@example.com";
constexpr double kMiB = 1024.0 * 1024.0;
// The agent takes a second to join its room again after a client left.
constexpr auto kRest = 1500ms;

void writeRandomFile(const std::string& path, std::size_t size) {
  std::mt19937_64 generator(7);
  std::vector<std::uint64_t> words(size / 8 + 1);
  for (auto& word : words) word = generator();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file || std::fwrite(words.data(), 1, size, file) != size || std::fclose(file) != 0) {
    throw std::runtime_error("cannot write " + path);
  }
}

// `lumora ARGS` run to its end with its own home; seconds it took.
double runLumora(const TempDir& home, std::vector<std::string> args) {
  args.insert(args.begin(), LUMORA_CLI_BINARY);
  const std::string err = home / "lumora.err";
  const auto started = Clock::now();
  const int status = lumora::testing_support::waitForExit(lumora::testing_support::spawnProcess(
      args, {.environment =
                 std::vector<std::string>{"HOME=" + home.path().string(), "PATH=/usr/bin:/bin"},
             .error = err}));
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  if (status != 0) {
    throw std::runtime_error("lumora " + args.at(1) +
                             " failed: " + lumora::testing_support::contentOf(err));
  }
  return seconds;
}

std::string quoted(const std::string& text) {
  return boost::json::serialize(boost::json::string(text));
}

// Seconds the page's latest transfer of `name` took, once it is done.
double pageTransferSeconds(BrowserPhone& phone, const std::string& name) {
  const std::string latest =
      "window.lumora.transfers?.filter((t) => t.name === " + quoted(name) + ").at(-1)";
  if (!phone.waitUntil(latest + "?.state === 'done'", 600s)) {
    throw std::runtime_error("the page's transfer of " + name +
                             " did not finish: " + phone.lastWaitError());
  }
  return phone
      .eval("(() => { const t = " + latest + "; return (t.endedAt - t.startedAt) / 1000; })()")
      .to_number<double>();
}

std::string entry(const std::string& name) { return "li.file-entry[data-name=\"" + name + "\"]"; }

void openFiles(BrowserPhone& phone, const std::string& file) {
  phone.tap("#computer-tabs button[data-panel=\"files\"]");
  if (!phone.waitFor(entry(file))) throw std::runtime_error(phone.lastWaitError());
}

double rate(std::size_t bytes, double seconds) {
  return static_cast<double>(bytes) / kMiB / seconds;
}

}  // namespace

int main(int argc, char** argv) try {
  std::size_t mib = 64;
  int rounds = 2;
  lumora::bench::parseOptions(
      argc, argv, "usage: web_transfer_bench [--mib N] [--rounds R]",
      {{"mib", "N", "the file's size in MiB (default 64)"},
       {"rounds", "R", "transfers each way on each side; the best counts (default 2)"}},
      [&](const lumora::command_line::ParsedArgs& args) {
        mib = static_cast<std::size_t>(args.integer("mib", 1, 4096).value_or(64));
        rounds = static_cast<int>(args.integer("rounds", 1, 20).value_or(2));
      });
  std::signal(SIGPIPE, SIG_IGN);
  const std::size_t size = mib * 1024 * 1024;

  lumora::testing_support::XvfbServer xvfb("640x480x24");
  lumora::testing_support::AccountServiceProcess service({"--listen", "127.0.0.1:0", "--dev"});
  const std::string origin = service.url();
  AgentProcess agent({"DISPLAY=" + xvfb.display()}, {"--relay-base", origin});
  if (!agent.serving()) throw std::runtime_error("the agent did not start: " + agent.log());

  // The program pairs with the agent, signs in and adds it to the account, as a person would.
  TempDir cli;
  runLumora(cli, {"pair", agent.link(), "--name", "desk"});
  runLumora(cli, {"login", "--provider", "dev", "--email", kEmail, "--account-service", origin});
  runLumora(cli, {"devices", "add", "desk"});

  TempDir phoneFiles;
  const std::string remote = agent.home() / "bench.bin";
  writeRandomFile(remote, size);
  const std::string local = phoneFiles / "upload.bin";
  std::filesystem::copy_file(remote, local);

  BrowserPhone phone;
  lumora::bench::openComputerInPage(phone, origin, kEmail, agent);
  openFiles(phone, "bench.bin");

  std::vector<double> pageDown, pageUp, cliDown, cliUp, smallDown, smallUp;
  for (int i = 0; i < rounds; ++i) {
    phone.tap(entry("bench.bin") + " .file-open");
    const std::string saved = phoneFiles / "page-download.bin";
    phone.ask({{"op", "download"}, {"selector", "#file-download"}, {"to", saved}}, 600s);
    pageDown.push_back(pageTransferSeconds(phone, "bench.bin"));
    if (std::filesystem::file_size(saved) != size)
      throw std::runtime_error("the page saved a wrong size");
    std::filesystem::remove(saved);

    std::filesystem::remove(agent.home() / "upload.bin");
    phone.ask(
        {{"op", "setFiles"}, {"selector", "#files-upload"}, {"files", boost::json::array{local}}});
    pageUp.push_back(pageTransferSeconds(phone, "upload.bin"));
    if (std::filesystem::file_size(agent.home() / "upload.bin") != size) {
      throw std::runtime_error("the page's upload arrived with a wrong size");
    }
  }

  // One client of the agent's rooms at a time: the page leaves before the program comes.
  phone.tap("#screen-back");
  phone.waitFor(lumora::bench::deviceRow(agent));
  std::this_thread::sleep_for(kRest);
  for (int i = 0; i < rounds; ++i) {
    cliDown.push_back(runLumora(cli, {"--relay", "get", remote, cli / "download.bin"}));
    if (std::filesystem::file_size(cli / "download.bin") != size) {
      throw std::runtime_error("lumora got a wrong size");
    }
    std::filesystem::remove(agent.home() / "upload-cli.bin");
    cliUp.push_back(runLumora(cli, {"--relay", "put", local, agent.home() / "upload-cli.bin"}));
    // The page's piece size (lumora's own default is larger).
    smallDown.push_back(
        runLumora(cli, {"--relay", "get", "--chunk-kib", "256", remote, cli / "download.bin"}));
    std::filesystem::remove(agent.home() / "upload-cli.bin");
    smallUp.push_back(runLumora(
        cli, {"--relay", "put", "--chunk-kib", "256", local, agent.home() / "upload-cli.bin"}));
  }

  const auto best = [](const std::vector<double>& seconds) {
    return *std::min_element(seconds.begin(), seconds.end());
  };
  std::printf(
      "%zu MiB through the relay, best of %d; the page in headless Chromium, lumora "
      "with its defaults\n",
      mib, rounds);
  std::printf("%-10s %-24s %-24s %s\n", "", "web page", "lumora (baseline)", "page / lumora");
  const auto line = [&](const char* what, double page, double program) {
    std::printf("%-10s %6.1f MiB/s (%5.2f s)     %6.1f MiB/s (%5.2f s)     %.2fx\n", what,
                rate(size, page), page, rate(size, program), program, program / page);
  };
  line("download", best(pageDown), best(cliDown));
  line("upload", best(pageUp), best(cliUp));
  std::printf("lumora with the page's 256 KiB pieces (--chunk-kib 256):\n");
  line("download", best(pageDown), best(smallDown));
  line("upload", best(pageUp), best(smallUp));
  return 0;
} catch (const std::exception& e) {
  // Returning, rather than dying of the exception, ends the programs the bench started.
  std::fprintf(stderr, "web_transfer_bench: %s\n", e.what());
  return 1;
}
