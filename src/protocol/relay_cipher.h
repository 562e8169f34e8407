#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "protocol/bytes.h"
#include "protocol/relay_handshake.h"

struct evp_cipher_ctx_st;

namespace lumora::protocol {

// One direction of a relay session (docs/relay-protocol.md, section 3): message i is sealed with
// AES-256-GCM under the direction's key with the IV 0x00000000 || u64be(i) and no associated
// data, and travels as ciphertext || 16-byte tag. The receiver counts the same way, so a message
// that was altered, cut, replayed, reordered or dropped before a later one does not open; after
// that the direction is broken for good.
//
// Not thread-safe: its owner seals (or opens) one message at a time, in order.
class RelayCipher {
 public:
  static constexpr std::size_t kTagSize = 16;

  // `key` is 32 bytes.
  explicit RelayCipher(ByteView key);
  ~RelayCipher();
  RelayCipher(RelayCipher&&) noexcept;
  RelayCipher& operator=(RelayCipher&&) noexcept;

  // Encrypts `message` where it lies and appends the tag.
  Bytes seal(Bytes message);
  // The plaintext, decrypted where it lies; nothing when the message does not open as the next
  // one, or when an earlier one did not.
  std::optional<Bytes> open(Bytes message);

  // How many messages this direction has sealed or opened.
  std::uint64_t count() const { return counter_; }

 private:
  struct ContextFree {
    void operator()(evp_cipher_ctx_st* context) const;
  };
  void startMessage(bool encrypting);

  std::unique_ptr<evp_cipher_ctx_st, ContextFree> context_;
  std::uint64_t counter_ = 0;
  bool broken_ = false;
};

// Both directions, as one end of the session uses them.
struct RelayCiphers {
  RelayCipher sending;
  RelayCipher receiving;

  static RelayCiphers forAgent(const RelaySessionKeys& keys) {
    return {RelayCipher(keys.agentToPhone), RelayCipher(keys.phoneToAgent)};
  }
  static RelayCiphers forPhone(const RelaySessionKeys& keys) {
    return {RelayCipher(keys.phoneToAgent), RelayCipher(keys.agentToPhone)};
  }
};

}  // namespace lumora::protocol
