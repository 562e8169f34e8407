#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/pasteboard_access.h"

namespace lumora::fakes {

// An in-memory clipboard that holds several kinds at once, as a desktop clipboard whose owner
// offers several formats does. Writes replace everything; images are taken as they come (what
// the real pasteboard makes of them is pasteboard_x11_test's). A written file is read back from
// disk, as another application pasting it would. Single-threaded like the seam.
class FakePasteboardAccess : public platform::PasteboardAccess {
 public:
  std::optional<std::string> readText() override { return text; }
  void writeText(const std::string& value) override {
    clear();
    text = value;
  }
  std::optional<protocol::Bytes> readImagePNG() override { return image; }
  void writeImagePNG(const protocol::Bytes& encoded) override {
    clear();
    image = encoded;
  }
  std::optional<platform::PasteboardFile> readFile() override {
    if (!filePath) return file;
    std::ifstream in(*filePath, std::ios::binary);
    if (!in) return std::nullopt;
    return platform::PasteboardFile{filePath->filename().string(),
                                    {std::istreambuf_iterator<char>(in), {}}};
  }
  void writeFile(const std::filesystem::path& stagedFile) override {
    clear();
    filePath = stagedFile;
    stagedPaths.push_back(stagedFile);
  }
  void clear() override {
    text.reset();
    image.reset();
    file.reset();
    filePath.reset();
  }

  std::optional<std::string> text;
  std::optional<protocol::Bytes> image;
  // A file offered directly (as if copied in a file manager), unless filePath is set.
  std::optional<platform::PasteboardFile> file;
  std::optional<std::filesystem::path> filePath;
  std::vector<std::filesystem::path> stagedPaths;
};

}  // namespace lumora::fakes
