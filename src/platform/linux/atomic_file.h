#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

#include "protocol/bytes.h"

namespace lumora::platform::linux_os {

// Replaces `path` whole: the bytes go to a temporary file beside it, created with `mode` from
// the start (so a secret is never readable by others, not even for a moment), flushed to disk,
// then renamed over the target. Readers, and a crash at any point, see the old content or the
// new, never a mix. Throws std::system_error with the system's message.
void writeFileAtomically(const std::string& path, protocol::ByteView data, mode_t mode);

// Makes `directory` (and what is missing above it, 0700 as well) and leaves it a real directory
// of this user's that only this user can enter (0700, tightened when it was looser). False when that cannot be:
// a file or a link in its place, or someone else's directory of that name in a shared folder.
bool makePrivateDirectory(const std::filesystem::path& directory);

// Removes the temporaries that writes of `path` left behind when their process was killed
// mid-write; those of a writer still running are left to it. Never throws.
void removeAbandonedTemporaries(const std::string& path);

}  // namespace lumora::platform::linux_os
