#pragma once

// The file operations behind FileService, synchronous and stateless. Every failure of the
// system is thrown as std::system_error carrying the system's own message ("No such file or
// directory"); refusals of our own are FileError.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/bytes.h"
#include "protocol/file_payloads.h"
#include "protocol/limits.h"

namespace lumora::services::file_operations {

using protocol::Bytes;

class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A directory entry is exactly what a listing reply carries.
using Entry = protocol::FileEntry;

struct Chunk {
  Bytes data;
  std::int64_t totalSize = 0;
  bool eof = false;
  bool operator==(const Chunk&) const = default;
};

// One readChunk returns at most this much, whatever length was asked for; a client reading
// in chunks simply goes on from where it got to.
inline constexpr std::int64_t kMaxChunkLength = protocol::kMaxFileChunkLength;

// "~" or "~/…" becomes the user's home, "~name" or "~name/…" that user's home; anything else,
// and an unknown user, is left as it is.
std::string expandTilde(const std::string& path);

// Expands the tilde and makes a relative path absolute against the working directory.
std::string resolvePath(const std::string& path);

struct Listing {
  std::vector<Entry> entries;  // directories first, then by name in code-point order
  std::size_t nameCount = 0;   // names the directory held, including any that vanished
};

// The directory's entries; attributes are the items' own (a link to a directory is not a
// directory here).
Listing list(const std::string& path);

// The whole of a regular file.
Bytes read(const std::string& path);

// Up to `length` bytes (everything up to kMaxChunkLength when absent) from `offset`; an offset
// below 0 reads from the start, a negative length reads nothing.
Chunk readChunk(const std::string& path, std::int64_t offset, std::optional<std::int64_t> length);

// Replaces the file whole and atomically: readers see the old content or the new, never a mix.
void write(const std::string& path, const Bytes& data);

// One piece of an upload. Offset 0 replaces the file with this piece (atomically, so a failed
// first chunk leaves the old file as it was); any other offset writes into the existing file;
// the final piece cuts the file off after itself.
void writeChunk(const std::string& path, const Bytes& data, std::int64_t offset, bool isFinal);

// Paths are used exactly as given (no tilde expansion). An existing destination is not
// replaced; moving across file systems copies, then removes the source.
void move(const std::string& from, const std::string& to);

// Removes a file, or a directory with everything in it. The path is used exactly as given.
void remove(const std::string& path);

}  // namespace lumora::services::file_operations
