#include "instance_channel.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <QLocalSocket>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

namespace lumora::tray {

namespace asio = boost::asio;

namespace {

// The user at the other end of a connected local socket, as the system recorded it when the
// connection was made; nothing when it does not say.
std::optional<uid_t> peerUser(int descriptor) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    return std::nullopt;
  }
  return credentials.uid;
}

// Makes `folder` 0700 when it is missing, and refuses it unless it is a real folder of this
// user's that nobody else may enter (a looser one is not tightened: someone may be in it).
void usePrivateFolder(const std::filesystem::path& folder) {
  const std::string name = folder.string();
  const std::string remedy = ": remove it, or set XDG_RUNTIME_DIR";
  if (::mkdir(name.c_str(), 0700) != 0 && errno != EEXIST) {
    throw InstanceChannel::RefusedError("cannot make the folder " + name +
                                        " for its socket: " + std::strerror(errno));
  }
  struct stat info {};
  if (::lstat(name.c_str(), &info) != 0) {
    throw InstanceChannel::RefusedError("cannot look at the folder " + name + ": " +
                                        std::strerror(errno));
  }
  if (!S_ISDIR(info.st_mode)) {
    throw InstanceChannel::RefusedError(name + " is not a folder" + remedy);
  }
  if (info.st_uid != ::geteuid()) {
    throw InstanceChannel::RefusedError(name + " belongs to user " + std::to_string(info.st_uid) +
                                        ", not to this user" + remedy);
  }
  if ((info.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", info.st_mode & 07777);
    throw InstanceChannel::RefusedError(name + " is open to other users (mode " + mode + ")" +
                                        remedy);
  }
}

}  // namespace

std::string InstanceChannel::socketPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime && std::filesystem::is_directory(runtime)) {
    return (std::filesystem::path(runtime) / "lumora-tray.socket").string();
  }
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("lumora-tray-" + std::to_string(::geteuid()));
  usePrivateFolder(folder);
  return (folder / "lumora-tray.socket").string();
}

bool InstanceChannel::handOver(const std::string& path, const std::vector<std::string>& urls) {
  asio::io_context io;
  asio::local::stream_protocol::socket socket(io);
  boost::system::error_code error;
  socket.connect(path, error);
  if (error) return false;
  const auto listener = peerUser(socket.native_handle());
  if (listener != ::geteuid()) {
    throw RefusedError("the socket " + path + " is held by " +
                       (listener ? "user " + std::to_string(*listener) : "an unknown user") +
                       ", not by this user's instance; nothing was handed over");
  }
  std::string lines;
  for (const auto& url : urls) lines += url + "\n";
  asio::write(socket, asio::buffer(lines), error);
  if (error) return false;
  // The instance closes its end once it has read every line.
  socket.shutdown(asio::socket_base::shutdown_send, error);
  char ignored;
  asio::read(socket, asio::buffer(&ignored, 1), error);
  return error == asio::error::eof;
}

InstanceServer::InstanceServer(std::function<void(const std::string&)> handle)
    : handle_(std::move(handle)) {
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  connect(&server_, &QLocalServer::newConnection, this, &InstanceServer::accept);
}

bool InstanceServer::listen(const std::string& path) {
  // Qt makes a user-only socket elsewhere and renames it into place, replacing whatever is
  // there: an instance that answers at the path must be found before.
  if (InstanceChannel::handOver(path, {})) return false;
  // Left behind by an instance that did not end cleanly.
  const QString name = QString::fromStdString(path);
  QLocalServer::removeServer(name);
  return server_.listen(name);
}

void InstanceServer::accept() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    // Another user's connection gets in only where the socket's mode is not kept (root, or a
    // file system that ignores it); it is closed before anything of it is read.
    if (peerUser(static_cast<int>(socket->socketDescriptor())) != ::geteuid()) {
      socket->abort();
      socket->deleteLater();
      continue;
    }
    // Qt stops reading from the socket while this much waits unread, so a sender that never
    // ends its line cannot make the buffer grow.
    socket->setReadBufferSize(kMaxLine + 1);
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    auto received = std::make_shared<int>(0);
    auto take = [this, socket, received](const QByteArray& line) {
      const QByteArray url = line.trimmed();
      if (url.isEmpty()) return true;
      if (line.size() > kMaxLine || ++*received > kMaxUrls) {
        socket->abort();
        return false;
      }
      handle_(url.toStdString());
      return true;
    };
    auto readLines = [socket, take] {
      if (!socket->isOpen()) return false;
      while (socket->canReadLine()) {
        if (!take(socket->readLine())) return false;
      }
      if (socket->bytesAvailable() > kMaxLine) {
        socket->abort();
        return false;
      }
      return true;
    };
    connect(socket, &QLocalSocket::readyRead, this, readLines);
    // The sender has said everything: its last line may lack the newline. Closing tells it
    // that the URLs were taken.
    connect(socket, &QLocalSocket::readChannelFinished, this, [socket, take, readLines] {
      if (readLines() && take(socket->readAll())) socket->disconnectFromServer();
    });
  }
}

}  // namespace lumora::tray
