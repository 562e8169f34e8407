#include "local_files.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "failure.h"

namespace lumora::cli {

protocol::Bytes readLocalFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Failure("cannot read " + path + ": " + std::strerror(errno));
  return protocol::Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeLocalFile(const std::string& path, protocol::ByteView data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  out.close();
  if (!out) throw Failure("cannot write " + path + ": " + std::strerror(errno));
}

}  // namespace lumora::cli
