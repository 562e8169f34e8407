// This build tree installed with `cmake --install` and packed by CPack as a Debian package:
// every program, the desktop entry with the program and icon it names, the agent's user unit
// naming the installed agent, and the documentation, each where the desktop and systemd look.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/spawn.h"
#include "support/temp_dir.h"

namespace lumora::packaging {
namespace {

namespace fs = std::filesystem;
using testing_support::contentOf;
using testing_support::TempDir;

const std::string kBuildDir = LUMORA_BUILD_DIR;
constexpr bool kWithTray = LUMORA_WITH_TRAY;

std::vector<std::string> programs() {
  std::vector<std::string> names = {"lumora-agent", "lumora", "lumora-screen",
                                    "lumora-account-service"};
  if (kWithTray) names.push_back("lumora-tray");
  return names;
}

struct ToolRun {
  int exitCode = -1;
  std::string output;
  std::string errors;
  // For a failure message: the tool's exit status and everything it said.
  std::string said() const { return "exit " + std::to_string(exitCode) + "\n" + output + errors; }
};

// Runs a tool to its end, keeping what it writes to both streams.
ToolRun runTool(const std::vector<std::string>& argv, const TempDir& scratch,
                std::optional<std::vector<std::string>> environment = std::nullopt) {
  testing_support::SpawnOptions options;
  options.environment = std::move(environment);
  options.error = scratch / "tool-errors";
  fs::remove(options.error);
  const auto run = testing_support::runProgram(argv, options);
  return {run.exitCode, run.output, contentOf(options.error)};
}

std::string searchPath() {
  const char* path = std::getenv("PATH");
  return path ? path : "/usr/bin:/bin";
}

bool isExecutableFile(const fs::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 0111) != 0;
}

// The value of the first line "key=value" of an INI-style file; empty when there is none.
std::string valueOf(const std::string& text, const std::string& key) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  }
  return "";
}

// Checks one installed tree. `files` is the folder that stands for the installation's prefix
// (the prefix itself, or its place in the root a package was unpacked into); `prefix` is the
// prefix the installed files refer to.
void expectInstalledTree(const fs::path& files, const fs::path& prefix, const TempDir& scratch) {
  for (const auto& program : programs()) {
    EXPECT_TRUE(isExecutableFile(files / "bin" / program))
        << (files / "bin" / program) << " is missing or not executable";
  }

  // The desktop entry starts the tray with the command URL it is handed, and names an icon
  // the hicolor theme holds.
  const fs::path entryFile = files / "share/applications/lumora-tray.desktop";
  const std::string entry = contentOf(entryFile);
  ASSERT_FALSE(entry.empty()) << entryFile << " is missing";
  const auto validation = runTool({"desktop-file-validate", entryFile.string()}, scratch);
  EXPECT_EQ(validation.exitCode, 0) << validation.said();
  EXPECT_EQ(validation.output + validation.errors, "") << entryFile;
  EXPECT_NE(valueOf(entry, "MimeType").find("x-scheme-handler/lumora;"), std::string::npos)
      << entry;
  const std::string exec = valueOf(entry, "Exec");
  const std::string execProgram = exec.substr(0, exec.find(' '));
  EXPECT_EQ(exec, execProgram + " %u") << "the entry must pass the command URL on: " << exec;
  if (kWithTray) {
    EXPECT_TRUE(isExecutableFile(files / "bin" / execProgram))
        << "the entry starts " << execProgram << ", which is not installed";
  }
  const fs::path icon =
      files / "share/icons/hicolor/scalable/apps" / (valueOf(entry, "Icon") + ".svg");
  ASSERT_TRUE(fs::is_regular_file(icon)) << icon << " (the entry's icon) is missing";
  // The desktops' menus and panels draw hicolor SVG icons with librsvg; at the size of a tray.
  const std::string png = scratch / "icon.png";
  const auto render =
      runTool({"rsvg-convert", "-w", "22", "-h", "22", icon.string(), "-o", png}, scratch);
  EXPECT_EQ(render.exitCode, 0) << icon << ": " << render.said();
  EXPECT_EQ(contentOf(png).substr(0, 8), "\x89PNG\r\n\x1a\n") << icon << " did not render";

  // The agent's user unit starts the agent installed beside it.
  const fs::path unitFile = files / "lib/systemd/user/lumora-agent.service";
  const std::string unit = contentOf(unitFile);
  ASSERT_FALSE(unit.empty()) << unitFile << " is missing";
  EXPECT_EQ(valueOf(unit, "ExecStart"), (prefix / "bin/lumora-agent").string()) << unitFile;

  // The README, and beside it the pages under docs/ at the place its links name.
  const fs::path docs = files / "share/doc/lumora";
  EXPECT_TRUE(fs::is_regular_file(docs / "README.md")) << (docs / "README.md") << " is missing";
  for (const auto& page : fs::directory_iterator(fs::path(LUMORA_SOURCE_DIR) / "docs")) {
    if (page.path().extension() != ".md") continue;
    EXPECT_TRUE(fs::is_regular_file(docs / "docs" / page.path().filename()))
        << (docs / "docs" / page.path().filename()) << " is missing";
  }
}

TEST(Installation, PutsEveryPartWhereTheDesktopAndSystemdLook) {
  TempDir scratch;
  const fs::path prefix = scratch.path() / "prefix";
  const auto install =
      runTool({"cmake", "--install", kBuildDir, "--prefix", prefix.string()}, scratch);
  ASSERT_EQ(install.exitCode, 0) << install.said();
  expectInstalledTree(prefix, prefix, scratch);

  // systemd's own reading of the unit, with the agent it names in place. It reports a missing
  // program through its status, and a setting it cannot parse only in what it says. Its user
  // mode wants a runtime folder, which a root shell or a CI job may not have.
  const fs::path runtime = scratch.path() / "runtime";
  fs::create_directory(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  const auto verify = runTool(
      {"systemd-analyze", "verify", "--user", (prefix / "lib/systemd/user/lumora-agent.service")},
      scratch,
      std::vector<std::string>{"PATH=" + searchPath(), "HOME=" + scratch.path().string(),
                               "XDG_RUNTIME_DIR=" + runtime.string()});
  EXPECT_EQ(verify.exitCode, 0) << verify.said();
  EXPECT_EQ(verify.output + verify.errors, "") << "systemd-analyze verify";
}

TEST(DebianPackage, HoldsTheInstalledTreeUnderUsrAndDeclaresTheLibrariesItLinks) {
  TempDir scratch;
  const auto pack = runTool(
      {"cpack", "-G", "DEB", "--config", kBuildDir + "/CPackConfig.cmake", "-B", scratch / "out"},
      scratch);
  ASSERT_EQ(pack.exitCode, 0) << pack.said();

  // Named the Debian way: package_version_architecture.deb.
  const auto architecture = runTool({"dpkg", "--print-architecture"}, scratch);
  ASSERT_EQ(architecture.exitCode, 0) << architecture.said();
  const std::string arch = architecture.output.substr(0, architecture.output.find('\n'));
  const std::string deb = scratch / ("out/lumora_" LUMORA_VERSION "_" + arch + ".deb");
  ASSERT_TRUE(fs::is_regular_file(deb)) << deb << " is missing; cpack said:\n" << pack.output;

  const auto unpack = runTool({"dpkg-deb", "-x", deb, scratch / "root"}, scratch);
  ASSERT_EQ(unpack.exitCode, 0) << unpack.said();
  expectInstalledTree(scratch.path() / "root/usr", "/usr", scratch);

  const auto strip = runTool({"file", "-b", scratch / "root/usr/bin/lumora-agent"}, scratch);
  EXPECT_EQ(strip.output.find("not stripped"), std::string::npos) << strip.output;

  // Depends: the libraries dpkg-shlibdeps found, and what is run or loaded without linking.
  const auto depends = runTool({"dpkg-deb", "-f", deb, "Depends"}, scratch);
  ASSERT_EQ(depends.exitCode, 0) << depends.said();
  std::set<std::string> packages;
  static const std::regex name(R"((?:^|[,|]\s*)([a-z0-9][a-z0-9+.-]+))");
  for (std::sregex_iterator it(depends.output.begin(), depends.output.end(), name), end; it != end;
       ++it) {
    packages.insert((*it)[1].str());
  }
  const auto declares = [&](const std::string& prefixOfName) {
    const auto it = packages.lower_bound(prefixOfName);
    return it != packages.end() && it->rfind(prefixOfName, 0) == 0;
  };
  EXPECT_TRUE(declares("libavcodec")) << depends.output;
  EXPECT_TRUE(declares("libboost-json")) << depends.output;
  EXPECT_TRUE(packages.contains("xdg-utils")) << depends.output;
  if (kWithTray) {
    for (const char* package : {"libqt6widgets6", "libqt6svg6", "qt6-qpa-plugins"}) {
      EXPECT_TRUE(packages.contains(package)) << package << " missing from " << depends.output;
    }
  }
}

}  // namespace
}  // namespace lumora::packaging
