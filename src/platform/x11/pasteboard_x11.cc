#include "platform/x11/pasteboard_x11.h"

#include <iconv.h>

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "platform/x11/png_image.h"
#include "protocol/limits.h"
#include "protocol/utf8.h"

namespace lumora::platform::x11 {

using protocol::Bytes;

namespace {

// `bytes` converted between character sets by iconv; nothing when a character has no form in
// the target set (or the input is malformed).
std::optional<Bytes> convertCharset(const char* from, const char* to, const Bytes& bytes) {
  iconv_t converter = ::iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  Bytes out(bytes.size() * 2 + 4);
  char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes.data()));
  std::size_t inLeft = bytes.size();
  char* cursor = reinterpret_cast<char*>(out.data());
  std::size_t outLeft = out.size();
  const std::size_t result = ::iconv(converter, &in, &inLeft, &cursor, &outLeft);
  ::iconv_close(converter);
  if (result == static_cast<std::size_t>(-1) || inLeft != 0) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

std::string latin1ToUtf8(const Bytes& bytes) {
  auto text = convertCharset("ISO-8859-1", "UTF-8", bytes);  // every Latin-1 byte converts
  return text ? std::string(text->begin(), text->end()) : std::string();
}

std::optional<Bytes> readWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  Bytes data((std::istreambuf_iterator<char>(in)), {});
  if (in.bad()) return std::nullopt;
  return data;
}

}  // namespace

std::optional<std::filesystem::path> firstLocalFile(std::string_view uriList) {
  while (!uriList.empty()) {
    const auto end = uriList.find('\n');
    std::string_view line = uriList.substr(0, end);
    uriList = end == std::string_view::npos ? std::string_view{} : uriList.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    const auto uri = boost::urls::parse_uri(line);
    if (!uri || uri->scheme_id() != boost::urls::scheme::file) continue;
    if (!uri->host().empty() && uri->host() != "localhost") continue;
    std::string path = uri->path();
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) continue;
    return std::filesystem::path(std::move(path));
  }
  return std::nullopt;
}

std::string fileURI(const std::filesystem::path& path) {
  boost::urls::url uri;
  uri.set_scheme_id(boost::urls::scheme::file);
  uri.set_encoded_authority("");
  uri.set_path(path.string());
  return std::string(uri.buffer());
}

PasteboardX11::PasteboardX11(const std::string& displayName)
    : reader_(displayName), owner_(displayName) {}

std::optional<Bytes> PasteboardX11::readAs(const std::string& target) {
  auto data = reader_.read(target);
  if (!data || data->type != target) return std::nullopt;
  return std::move(data->bytes);
}

std::optional<std::string> PasteboardX11::readText() {
  // Text from another application is untrusted: UTF-8 that is not well formed goes no further
  // (it could not travel in a reply), and the next form is tried instead. TEXT is answered in
  // whichever of the two encodings the owner prefers.
  for (const std::string target : {"UTF8_STRING", "STRING", "TEXT"}) {
    auto data = reader_.read(target);
    if (!data || (target != "TEXT" && data->type != target)) continue;
    if (data->type == "STRING") return latin1ToUtf8(data->bytes);
    std::string text(data->bytes.begin(), data->bytes.end());
    if (data->type == "UTF8_STRING" && protocol::isValidUTF8(text)) return text;
  }
  return std::nullopt;
}

void PasteboardX11::writeText(const std::string& text) {
  const Bytes bytes = protocol::bytesOf(text);
  std::vector<std::pair<std::string, Bytes>> forms = {
      {"UTF8_STRING", bytes}, {"TEXT", bytes}, {"text/plain;charset=utf-8", bytes}};
  // STRING is Latin-1; offered only when the text has a Latin-1 form.
  if (auto latin1 = convertCharset("UTF-8", "ISO-8859-1", bytes))
    forms.emplace_back("STRING", *latin1);
  owner_.own(std::move(forms));
}

std::optional<Bytes> PasteboardX11::readImagePNG() {
  const auto targets = reader_.targets();
  if (std::find(targets.begin(), targets.end(), "image/png") != targets.end()) {
    if (auto bytes = readAs("image/png")) return bytes;
  }
  for (const auto& target : targets) {
    if (!target.starts_with("image/") || target == "image/png") continue;
    if (auto bytes = readAs(target)) {
      if (auto png = convertToPNG(*bytes)) return png;
    }
  }
  return std::nullopt;
}

void PasteboardX11::writeImagePNG(const Bytes& encoded) {
  // Re-encoding also checks the bytes are an image at all; if not, the clipboard stays as is.
  auto png = convertToPNG(encoded);
  if (!png) return;
  owner_.own({{"image/png", std::move(*png)}});
}

std::optional<PasteboardFile> PasteboardX11::readFile() {
  const auto list = readAs("text/uri-list");
  if (!list) return std::nullopt;
  const auto path = firstLocalFile(protocol::asText(*list));
  if (!path) return std::nullopt;
  std::error_code error;
  if (!std::filesystem::is_regular_file(*path, error)) return std::nullopt;
  const auto size = std::filesystem::file_size(*path, error);
  if (error) return std::nullopt;
  if (size > protocol::kMaxBinaryContentBytes) {
    return PasteboardFile{path->filename().string(), {}, size};
  }
  auto data = readWholeFile(*path);
  if (!data) return std::nullopt;
  return PasteboardFile{path->filename().string(), std::move(*data)};
}

void PasteboardX11::writeFile(const std::filesystem::path& stagedFile) {
  const std::string uri = fileURI(stagedFile);
  owner_.own({{"text/uri-list", protocol::bytesOf(uri + "\r\n")},
              {"x-special/gnome-copied-files", protocol::bytesOf("copy\n" + uri)}});
}

void PasteboardX11::clear() { owner_.disown(); }

}  // namespace lumora::platform::x11
