#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumora::account {

// The service's secrets live in files (the SQLite database holds the token-signing key; the
// TLS key is the server's identity): whoever else can read one can impersonate the service or
// any of its users. These keep such files to the service's own user.

// Creates the missing folders of `path` (0700) and the file itself when it is missing (0600),
// so that it is private from its first byte. Nothing when done, else why not.
std::optional<std::string> createPrivateFile(const std::string& path);

// Why `paths` may not be used, naming those other users may read or write (missing ones are
// skipped) and the command that closes them; nothing when all are private. `holds` says what
// they keep, for the reader of the message ("the token-signing key").
std::optional<std::string> openToOthers(const std::vector<std::string>& paths,
                                        std::string_view holds);

}  // namespace lumora::account
