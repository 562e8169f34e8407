#pragma once

#include <sys/types.h>

#include <string>

#include "protocol/bytes.h"

namespace lumora::platform::linux_os {

// Replaces `path` whole: the bytes go to a temporary file beside it, created with `mode` from
// the start (so a secret is never readable by others, not even for a moment), flushed to disk,
// then renamed over the target. Readers, and a crash at any point, see the old content or the
// new, never a mix. Throws std::system_error with the system's message.
void writeFileAtomically(const std::string& path, protocol::ByteView data, mode_t mode);

// Removes the temporaries that writes of `path` left behind when their process was killed
// mid-write; those of a writer still running are left to it. Never throws.
void removeAbandonedTemporaries(const std::string& path);

}  // namespace lumora::platform::linux_os
