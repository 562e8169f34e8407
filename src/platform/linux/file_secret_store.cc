// The file side of the secret store, for sessions where no keyring runs, and the choice between
// the two.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "platform/linux/atomic_file.h"
#include "platform/linux/secret_store.h"
#include "platform/linux/unique_fd.h"
#include "platform/linux/user_account.h"
#include "protocol/bytes.h"

namespace lumora::platform::linux_os {
namespace {

// A secret is small; anything much larger in its place is not ours.
constexpr off_t kLargestSecret = 1 << 20;

class FileSecretStore : public SecretStore {
 public:
  explicit FileSecretStore(std::filesystem::path file) : file_(std::move(file)) {}

  void save(const std::string& secret) override {
    const std::filesystem::path folder = file_.parent_path();
    if (!folder.empty() && !makePrivateDirectory(folder)) {
      throw std::runtime_error("Cannot make the private folder " + folder.string() +
                               " to keep the sign-in in");
    }
    removeAbandonedTemporaries(file_.string());
    try {
      writeFileAtomically(file_.string(), protocol::asBytes(secret), 0600);
    } catch (const std::system_error& error) {
      throw std::runtime_error("Cannot save the sign-in in " + file_.string() + ": " +
                               error.code().message());
    }
  }

  std::optional<std::string> load() override {
    // O_NOFOLLOW: a link put in the file's place is not followed to someone else's file.
    UniqueFd fd(::open(file_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) return std::nullopt;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kLargestSecret) {
      return std::nullopt;
    }
    std::string secret;
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return std::nullopt;
      if (n == 0) break;
      secret.append(buffer, static_cast<std::size_t>(n));
      if (secret.size() > static_cast<std::size_t>(kLargestSecret)) return std::nullopt;
    }
    return secret;
  }

  void clear() override { ::unlink(file_.c_str()); }

 private:
  std::filesystem::path file_;
};

}  // namespace

std::unique_ptr<SecretStore> makeFileSecretStore(std::filesystem::path file) {
  return std::make_unique<FileSecretStore>(std::move(file));
}

std::unique_ptr<SecretStore> openSecretStore(const std::string& service, const std::string& account,
                                             const std::string& fileName) {
  if (secretServiceAvailable()) return makeSecretServiceStore(service, account);
  return makeFileSecretStore(configHome() / "lumora" / fileName);
}

}  // namespace lumora::platform::linux_os
