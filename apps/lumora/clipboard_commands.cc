// clip get | clip set: the agent's clipboard.

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <iterator>

#include "command.h"
#include "failure.h"
#include "local_files.h"
#include "protocol/limits.h"

namespace lumora::cli {

namespace {

using protocol::ClipboardContent;

// Where clip get may write: over an existing file only with --force.
Existing existingFiles(const CommandContext& context) {
  return context.args().has("force") ? Existing::replace : Existing::refuse;
}

// Binary contents go to --out, else to standard output unless that is a terminal.
void emitBinary(const protocol::Bytes& data, const std::optional<std::string>& out,
                const std::string& fallbackName, const char* kind, Existing existing) {
  if (out && *out != "-") {
    writeLocalFile(*out, data, existing);
  } else if (out || ::isatty(STDOUT_FILENO) != 1) {
    std::fwrite(data.data(), 1, data.size(), stdout);
  } else if (!fallbackName.empty()) {
    writeLocalFile(fallbackName, data, existing);
    std::cerr << "saved the clipboard's " << kind << " as " << fallbackName << "\n";
  } else {
    throw Failure(std::string("the clipboard holds an ") + kind +
                  "; pass --out FILE or redirect standard output");
  }
}

int getClipboard(CommandContext& context) {
  auto client = context.connect();
  ClipboardContent content = await(client.getClipboard(), "cannot read the clipboard");
  const auto out = context.args().value("out");
  const Existing existing = existingFiles(context);
  switch (content.kind) {
    case ClipboardContent::Kind::text: {
      const std::string text = content.text.value_or("");
      if (out && *out != "-") {
        writeLocalFile(*out, protocol::asBytes(text), existing);
      } else {
        std::fwrite(text.data(), 1, text.size(), stdout);
      }
      return 0;
    }
    case ClipboardContent::Kind::image:
      emitBinary(content.imageData.value_or(protocol::Bytes{}), out, "", "image", existing);
      return 0;
    case ClipboardContent::Kind::file: {
      // Only the last component of the agent's name is used, so it cannot point elsewhere.
      std::string name = std::filesystem::path(content.fileName.value_or("")).filename();
      if (name.empty() || name == "." || name == "..") name = "clipboard-file";
      emitBinary(content.fileData.value_or(protocol::Bytes{}), out, name, "file", existing);
      return 0;
    }
    case ClipboardContent::Kind::empty:
      std::cerr << "the clipboard is empty\n";
      return 1;
  }
  return 1;
}

// A local file as clipboard content; one the agent would refuse is refused here, before
// anything is sent.
protocol::Bytes clipboardBytes(const std::string& path) {
  auto data = readLocalFile(path, protocol::kMaxBinaryContentBytes);
  if (!data) {
    throw Failure("cannot set the clipboard: " + path + " is larger than the " +
                  std::to_string(protocol::kMaxBinaryContentBytes >> 20) +
                  " MiB the agent's clipboard takes");
  }
  return std::move(*data);
}

int setClipboard(CommandContext& context) {
  const auto image = context.args().value("image");
  const auto file = context.args().value("file");
  const bool hasText = context.wordCount() > 1;
  if (static_cast<int>(hasText) + static_cast<int>(image.has_value()) +
          static_cast<int>(file.has_value()) >
      1) {
    throw UsageError("give one of TEXT, --image FILE, --file FILE");
  }
  // What to send is settled (and checked) before connecting.
  std::function<std::future<void>(sdk::AgentControlClient&)> send;
  if (image) {
    send = [data = clipboardBytes(*image)](auto& client) mutable {
      return client.setClipboardImage(std::move(data));
    };
  } else if (file) {
    send = [name = std::filesystem::path(*file).filename().string(),
            data = clipboardBytes(*file)](auto& client) mutable {
      return client.setClipboardFile(std::move(name), std::move(data));
    };
  } else {
    std::string text =
        hasText ? context.word(1) : std::string((std::istreambuf_iterator<char>(std::cin)), {});
    send = [text = std::move(text)](auto& client) mutable {
      return client.setClipboardText(std::move(text));
    };
  }
  auto client = context.connect();
  std::future<void> done = send(client);
  await(std::move(done), "cannot set the clipboard");
  return 0;
}

int clip(CommandContext& context) {
  const std::string& action = context.word(0);
  if (action == "get") {
    if (context.wordCount() != 1) throw UsageError("clip get takes no words");
    return getClipboard(context);
  }
  if (action == "set") return setClipboard(context);
  throw UsageError("expected get or set, not '" + action + "'");
}

}  // namespace

std::vector<Command> clipboardCommands() {
  return {
      {"clip",
       "get|set [TEXT]",
       "read or replace the agent's clipboard",
       "clip get            prints text; an image or file goes to --out FILE, or to standard\n"
       "                    output when that is not a terminal (a file is otherwise saved\n"
       "                    under its own name); an existing file is replaced only with\n"
       "                    --force\n"
       "clip set TEXT       sets text (without TEXT: standard input)\n"
       "clip set --image F  sets an image (PNG bytes)\n"
       "clip set --file F   sets a file, under its local name\n\n"
       "An image or file may hold up to " +
           std::to_string(protocol::kMaxBinaryContentBytes >> 20) + " MiB.",
       {{"out", "FILE", "where clip get writes (- for standard output)"},
        {"force", "", "let clip get replace an existing file"},
        {"image", "FILE", "an image for clip set"},
        {"file", "FILE", "a file for clip set"}},
       1,
       2,
       false,
       clip},
  };
}

}  // namespace lumora::cli
