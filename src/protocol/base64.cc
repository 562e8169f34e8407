#include "protocol/base64.h"

#include <openssl/evp.h>

#include <climits>
#include <cstring>

#include "protocol/base64_blocks.h"

namespace lumora::protocol {
namespace {

// The bulk goes through the SSSE3 block coder where the processor has it; OpenSSL does the
// rest. EVP_{En,De}codeBlock take an int length; larger inputs are handled in pieces that keep
// the 3-byte / 4-character grouping intact.
constexpr std::size_t kEncodePiece = std::size_t{3} << 28;
constexpr std::size_t kDecodePiece = std::size_t{4} << 28;

}  // namespace

std::size_t base64EncodeInto(ByteView data, char* out) {
  std::size_t offset = 0;
  if (base64_blocks::ssse3Available())
    offset = base64_blocks::encode(data.data(), data.size(), out);
  std::size_t written = offset / 3 * 4;
  auto* dst = reinterpret_cast<unsigned char*>(out);
  do {
    std::size_t piece = std::min(kEncodePiece, data.size() - offset);
    written += static_cast<std::size_t>(
        EVP_EncodeBlock(dst + written, data.data() + offset, static_cast<int>(piece)));
    offset += piece;
  } while (offset < data.size());
  return written;
}

std::string base64Encode(ByteView data) {
  std::string out(base64EncodedSize(data.size()) + 1, '\0');
  out.resize(base64EncodeInto(data, out.data()));
  return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') ++padding;
  if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
  // '=' anywhere else is not Base64 as peers write it.
  std::string_view body = text.substr(0, text.size() - padding);
  if (body.find('=') != std::string_view::npos) return std::nullopt;

  Bytes out(text.size() / 4 * 3);
  std::size_t start = 0;
  if (base64_blocks::ssse3Available()) {
    start = base64_blocks::decode(text.data(), text.size(), out.data());
    if (start == base64_blocks::kInvalid) return std::nullopt;
  }
  std::size_t written = start / 4 * 3;
  for (std::size_t offset = start; offset < text.size(); offset += kDecodePiece) {
    std::size_t piece = std::min(kDecodePiece, text.size() - offset);
    int n = EVP_DecodeBlock(out.data() + written,
                            reinterpret_cast<const unsigned char*>(text.data() + offset),
                            static_cast<int>(piece));
    // Fewer bytes than the piece holds means OpenSSL quietly trimmed white space off its ends,
    // which peers do not write.
    if (n < 0 || static_cast<std::size_t>(n) != piece / 4 * 3) return std::nullopt;
    written += static_cast<std::size_t>(n);
  }
  out.resize(written - padding);
  return out;
}

std::string base64URLEncode(ByteView data) {
  std::string text = base64Encode(data);
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return text;
}

std::optional<Bytes> base64URLDecode(std::string_view text) {
  std::string standard(text);
  for (char& c : standard) {
    if (c == '+' || c == '/' || c == '=') return std::nullopt;
    if (c == '-') c = '+';
    if (c == '_') c = '/';
  }
  if (standard.size() % 4 == 1) return std::nullopt;
  standard.append((4 - standard.size() % 4) % 4, '=');
  return base64Decode(standard);
}

}  // namespace lumora::protocol
