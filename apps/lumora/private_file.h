#pragma once

#include <boost/json/object.hpp>

#include <filesystem>
#include <string>

namespace lumora::cli {

// $XDG_CONFIG_HOME/lumora when that is an absolute path, else ~/.config/lumora.
std::filesystem::path configDirectory();

// The JSON object in `file`; an empty one when there is no such file. Throws
// std::runtime_error naming the file when it cannot be read or is not a JSON object.
boost::json::object readJSONObject(const std::filesystem::path& file);

// Replaces `file` whole with `text`, readable by this user alone: missing directories on the way
// are made 0700, the file 0600, written beside and renamed so that nobody sees half of it.
// Throws std::runtime_error naming the file when it cannot be written.
void writePrivately(const std::filesystem::path& file, const std::string& text);

}  // namespace lumora::cli
