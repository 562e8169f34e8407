#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/bytes.h"

namespace lumora::services::clipboard_staging {

// Where files put on the clipboard by the peer live: "lumora-clipboard" under $TMPDIR, else
// /tmp. Staged files are never deleted by the agent; the system's temporary-file cleaning does.
std::filesystem::path defaultDirectory();

// The name a staged file gets: the last path component of what the peer sent, so the file
// always lands directly in the staging directory. Names with no usable component (empty, ".",
// "..", only slashes) become "pasted-file".
std::string stagedFileName(std::string_view name);

// Writes `data` as `directory`/stagedFileName(name), replacing a file of that name, and returns
// its path. The directory is created 0700 and must belong to the agent's user: a directory of
// that name planted by someone else in a shared /tmp is refused. Nothing when anything fails.
std::optional<std::filesystem::path> stageFile(const std::filesystem::path& directory,
                                               std::string_view name, protocol::ByteView data);

}  // namespace lumora::services::clipboard_staging
