#include "instance_channel.h"

#include <unistd.h>

#include <QLocalSocket>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <cstdlib>
#include <filesystem>
#include <memory>

namespace lumora::tray {

namespace asio = boost::asio;

std::string InstanceChannel::socketPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime && std::filesystem::is_directory(runtime)) {
    return (std::filesystem::path(runtime) / "lumora-tray.socket").string();
  }
  return (std::filesystem::temp_directory_path() /
          ("lumora-tray-" + std::to_string(::getuid()) + ".socket"))
      .string();
}

bool InstanceChannel::handOver(const std::string& path, const std::vector<std::string>& urls) {
  asio::io_context io;
  asio::local::stream_protocol::socket socket(io);
  boost::system::error_code error;
  socket.connect(path, error);
  if (error) return false;
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
