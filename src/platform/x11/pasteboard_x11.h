#pragma once

#include <string>

#include "platform/pasteboard_access.h"
#include "platform/x11/selection_owner_x11.h"
#include "platform/x11/selection_reader_x11.h"

namespace lumora::platform::x11 {

// The X11 CLIPBOARD selection as the agent's clipboard. Reads ask the current owner (another
// application, or the agent's own owner thread); writes make the agent the owner, serving the
// content until another application copies something. Files are offered by reference as
// text/uri-list and x-special/gnome-copied-files, the forms file managers paste. Reading and
// writing are not thread-safe (one caller at a time); the owner serves on its own thread.
class PasteboardX11 : public PasteboardAccess {
 public:
  // `displayName` empty means $DISPLAY. Throws X11Error when no server answers.
  explicit PasteboardX11(const std::string& displayName);

  std::optional<std::string> readText() override;
  void writeText(const std::string& text) override;
  std::optional<protocol::Bytes> readImagePNG() override;
  void writeImagePNG(const protocol::Bytes& encoded) override;
  std::optional<PasteboardFile> readFile() override;
  void writeFile(const std::filesystem::path& stagedFile) override;
  void clear() override;

 private:
  // The owner's data in `target`, only when it answers with that type: some owners hand their
  // one form to whatever is asked for, and an image is not text.
  std::optional<protocol::Bytes> readAs(const std::string& target);

  SelectionReaderX11 reader_;
  SelectionOwnerX11 owner_;
};

// The first local file a text/uri-list names ("file:" URIs on this host, percent-decoded).
std::optional<std::filesystem::path> firstLocalFile(std::string_view uriList);
// The file: URI of an absolute path, percent-encoded wherever a URI path needs it (spaces,
// "%", "#", "?", bytes beyond ASCII).
std::string fileURI(const std::filesystem::path& path);

}  // namespace lumora::platform::x11
