// This build tree installed with `cmake --install` and packed by CPack as a Debian package:
// every program, the desktop entry that handles lumora:// URLs, its icon, the agent's user unit
// naming the installed agent, and the README, each where the desktop and systemd look.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/spawn.h"
#include "support/temp_dir.h"

namespace lumora::packaging {
namespace {

namespace fs = std::filesystem;
using testing_support::contentOf;
using testing_support::TempDir;

const std::string kBuildDir = LUMORA_BUILD_DIR;

// Runs a tool to its end: its exit status, then everything it wrote (both streams).
std::string run(const std::vector<std::string>& argv, const TempDir& scratch,
                std::optional<std::vector<std::string>> environment = std::nullopt) {
  testing_support::SpawnOptions options;
  options.environment = std::move(environment);
  options.error = scratch / "tool-errors";
  fs::remove(options.error);
  const auto done = testing_support::runProgram(argv, options);
  return std::to_string(done.exitCode) + ":" + done.output + contentOf(options.error);
}

// The value of the first line "key=value"; empty when there is none.
std::string valueOf(const std::string& text, const std::string& key) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  }
  return "";
}

// `files` holds the installation's prefix (itself, or its place in an unpacked package); the
// installed files refer to it as `prefix`.
void expectInstalledTree(const fs::path& files, const fs::path& prefix, const TempDir& scratch) {
  for (const char* program :
       {"lumora-agent", "lumora", "lumora-screen", "lumora-account-service", "lumora-tray"}) {
    const auto status = fs::status(files / "bin" / program);
    EXPECT_TRUE(fs::is_regular_file(status) &&
                (status.permissions() & fs::perms::owner_exec) != fs::perms::none)
        << (files / "bin" / program) << " is missing or not executable";
  }

  const fs::path entry = files / "share/applications/lumora-tray.desktop";
  EXPECT_EQ(run({"desktop-file-validate", entry.string()}, scratch), "0:") << entry;
  const std::string text = contentOf(entry);
  EXPECT_EQ(valueOf(text, "Exec"), "lumora-tray %u") << "the command URL must be passed on";
  EXPECT_EQ(valueOf(text, "MimeType"), "x-scheme-handler/lumora;");
  const fs::path icon =
      files / "share/icons/hicolor/scalable/apps" / (valueOf(text, "Icon") + ".svg");
  EXPECT_TRUE(fs::is_regular_file(icon)) << icon << " (the entry's icon) is missing";

  const std::string unit = contentOf(files / "lib/systemd/user/lumora-agent.service");
  EXPECT_EQ(valueOf(unit, "ExecStart"), (prefix / "bin/lumora-agent").string()) << unit;
  EXPECT_TRUE(fs::is_regular_file(files / "share/doc/lumora/README.md"));

  // The browser client, where the installed service looks for it (beside its own bin/), and
  // nothing of the build's among it.
  const fs::path web = files / "share/lumora/web";
  for (const char* file : {"index.html", "app.js", "app.css"}) {
    EXPECT_TRUE(fs::is_regular_file(web / file)) << (web / file) << " is missing";
  }
  for (const auto& file : fs::directory_iterator(web)) {
    EXPECT_NE(file.path().extension(), ".cmake") << file.path();
  }
}

TEST(Installation, PutsEveryPartWhereTheDesktopAndSystemdLook) {
  TempDir scratch;
  const fs::path prefix = scratch.path() / "prefix";
  ASSERT_EQ(run({"cmake", "--install", kBuildDir, "--prefix", prefix.string()}, scratch).at(0),
            '0');
  expectInstalledTree(prefix, prefix, scratch);

  // systemd's own reading of the unit, with the agent it names in place (its user mode wants a
  // runtime folder).
  const fs::path runtime = scratch.path() / "runtime";
  fs::create_directory(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  EXPECT_EQ(run({"systemd-analyze", "verify", "--user",
                 (prefix / "lib/systemd/user/lumora-agent.service")},
                scratch,
                std::vector<std::string>{"PATH=" + std::string(std::getenv("PATH")),
                                         "HOME=" + scratch.path().string(),
                                         "XDG_RUNTIME_DIR=" + runtime.string()}),
            "0:");
}

TEST(DebianPackage, HoldsTheInstalledTreeUnderUsrAndDeclaresWhatItNeeds) {
  TempDir scratch;
  const std::string packed = run(
      {"cpack", "-G", "DEB", "--config", kBuildDir + "/CPackConfig.cmake", "-B", scratch / "out"},
      scratch);
  ASSERT_EQ(packed.at(0), '0') << packed;
  std::vector<fs::path> debs;
  for (const auto& file : fs::directory_iterator(scratch.path() / "out")) {
    if (file.path().extension() == ".deb") debs.push_back(file.path());
  }
  ASSERT_EQ(debs.size(), 1u) << packed;
  const std::string deb = debs[0].string();
  EXPECT_EQ(debs[0].filename().string().rfind("lumora_" LUMORA_VERSION "_", 0), 0u) << deb;

  ASSERT_EQ(run({"dpkg-deb", "-x", deb, scratch / "root"}, scratch), "0:");
  expectInstalledTree(scratch.path() / "root/usr", "/usr", scratch);

  // The libraries dpkg-shlibdeps found, and what is run or loaded without being linked.
  const std::string depends = run({"dpkg-deb", "-f", deb, "Depends"}, scratch);
  for (const char* package : {"libavcodec", "libboost-json", "libqt6widgets6", "libqt6svg6",
                              "qt6-qpa-plugins", "xdg-utils"}) {
    EXPECT_NE(depends.find(package), std::string::npos) << package << " missing: " << depends;
  }
}

}  // namespace
}  // namespace lumora::packaging
