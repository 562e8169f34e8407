// stream, snapshot: names, help and options (see screenCommandSpecs).

#include "command.h"

namespace lumora::cli {

namespace {

const std::vector<OptionSpec> kScreenOptions = {
    {"max-width", "W", "scale the picture down to at most W pixels wide"},
    {"max-height", "H", "scale the picture down to at most H pixels high"},
    {"display", "ID", "stream this display (see lumora displays)"}};
const char* kSharedStream =
    "The stream is the agent's one stream, shared with whoever else watches it; it is left\n"
    "running at the end (the agent stops a stream nobody watches by itself).";

}  // namespace

std::vector<Command> screenCommandSpecs() {
  std::vector<OptionSpec> streamOptions = kScreenOptions;
  streamOptions.push_back({"seconds", "N", "how long to record (default 5)"});
  streamOptions.push_back(
      {"out", "FILE", "where to write; a name ending in .mp4 gets an MP4 file"});
  return {
      {"stream", "--seconds N --out FILE",
       "record the screen (FILE.mp4: playable MP4; else raw H.264)",
       "Records N seconds from the first key frame on.\n\n" + std::string(kSharedStream),
       streamOptions, 0, 0, false, nullptr},
      {"snapshot", "OUT.png", "save the screen as a PNG picture",
       "The picture is the stream's first key frame.\n\n" + std::string(kSharedStream),
       kScreenOptions, 1, 1, false, nullptr},
  };
}

}  // namespace lumora::cli
