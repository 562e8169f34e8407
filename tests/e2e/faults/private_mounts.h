#pragma once

// Mounts only this test process, and the agents it starts afterwards, can see: the process
// moves into a mount namespace of its own whose mounts do not reach the machine's. Tests run as
// root, where permissions refuse nothing, so a full or read-only file system has to be real.

#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace lumora::faults {

class PrivateMounts {
 public:
  PrivateMounts() = default;
  PrivateMounts(const PrivateMounts&) = delete;
  PrivateMounts& operator=(const PrivateMounts&) = delete;
  ~PrivateMounts() {
    for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it) {
      ::umount2(it->c_str(), MNT_DETACH);
    }
  }

  // Each returns why it failed, or nothing when it worked.

  // A tmpfs of `bytes` at the existing directory `path`.
  std::string mountTmpfs(const std::string& path, std::size_t bytes) {
    if (auto failure = enterNamespace(); !failure.empty()) return failure;
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      return failed("mount tmpfs on " + path);
    }
    mounted_.push_back(path);
    return {};
  }

  // The directory `path` bound onto itself, read-only.
  std::string bindReadOnly(const std::string& path) {
    if (auto failure = enterNamespace(); !failure.empty()) return failure;
    if (::mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return failed("bind mount " + path);
    }
    mounted_.push_back(path);
    if (::mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
      return failed("remount " + path + " read-only");
    }
    return {};
  }

 private:
  static std::string failed(const std::string& what) { return what + ": " + std::strerror(errno); }

  // Once per process; every later call reports the first outcome.
  static std::string enterNamespace() {
    static const std::string outcome = [] {
      if (::unshare(CLONE_NEWNS) != 0) return failed("unshare(CLONE_NEWNS)");
      // Without this, mounts made here would propagate to the machine's namespace.
      if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return failed("make / private");
      }
      return std::string();
    }();
    return outcome;
  }

  std::vector<std::string> mounted_;
};

}  // namespace lumora::faults
