// stream, snapshot: the agent's screen.

#include <chrono>
#include <iostream>

#include "command.h"
#include "failure.h"
#include "local_files.h"
#include "png_writer.h"
#include "sdk/media_client.h"
#include "sdk/video_decoder.h"
#include "video_file_writer.h"

namespace lumora::cli {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// What part of the screen to stream, from the command line.
struct StreamRequest {
  std::optional<std::int64_t> maxWidth;
  std::optional<std::int64_t> maxHeight;
  std::optional<std::uint32_t> display;
};

StreamRequest streamRequest(const ParsedArgs& args) {
  StreamRequest request{args.integer("max-width", 1, 16384), args.integer("max-height", 1, 16384),
                        std::nullopt};
  if (auto id = args.integer("display", 0, 0xffffffff)) {
    request.display = static_cast<std::uint32_t>(*id);
  }
  return request;
}

// The agent's screen, from ticket to started stream: the media connection is made before the
// stream starts, so its first key frame is not missed.
class ScreenStream {
 public:
  ScreenStream(const CommandContext& context, const StreamRequest& request)
      : client_(context.connect()) {
    if (const auto& route = context.relayRoute()) {
      frames_ = await(media_.connectViaRelay(route->mediaURL, route->token, context.agent().code),
                      "media channel unreachable");
    } else {
      std::string ticket = await(client_.requestMediaTicket(), "cannot get a media ticket");
      const auto agent = context.agent();
      frames_ = await(media_.connect(agent.host, agent.mediaPort, std::move(ticket)),
                      "media channel unreachable");
    }
    await(client_.startStream(request.maxWidth, request.maxHeight, protocol::VideoCodec::h264,
                              request.display),
          "cannot start the screen stream");
  }
  // The stream is not stopped: another peer may be watching it, and the agent stops a stream
  // that nobody watches by itself.
  ~ScreenStream() { media_.disconnect(); }
  ScreenStream(const ScreenStream&) = delete;
  ScreenStream& operator=(const ScreenStream&) = delete;

  sdk::Stream<protocol::MediaFrame>& frames() { return frames_; }

 private:
  sdk::AgentControlClient client_;
  sdk::MediaClient media_;
  sdk::Stream<protocol::MediaFrame> frames_;
};

int stream(CommandContext& context) {
  const double seconds = context.args().seconds("seconds").value_or(5);
  const auto out = context.args().value("out");
  if (!out) throw UsageError("--out FILE is required");
  const StreamRequest request = streamRequest(context.args());
  auto writer = VideoFileWriter::open(*out);
  ScreenStream screen(context, request);
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(seconds));
  while (Clock::now() < end) {
    auto frame = screen.frames().next(end - Clock::now());
    if (!frame) {
      if (screen.frames().ended()) throw Failure("the screen stream ended early");
      break;
    }
    writer->add(*frame);
  }
  writer->finish();
  std::cerr << "wrote " << writer->frameCount() << " frames to " << *out << "\n";
  return 0;
}

int snapshot(CommandContext& context) {
  const std::string& out = context.word(0);
  ScreenStream screen(context, streamRequest(context.args()));
  sdk::VideoDecoder decoder;
  std::optional<protocol::Bytes> png;
  std::optional<std::uint64_t> keyFrameID;
  decoder.setOnDecoded([&](const sdk::DecodedPicture& picture, std::uint64_t frameID) {
    if (!png && keyFrameID && frameID == *keyFrameID) png = encodePNG(picture);
  });
  const auto deadline = Clock::now() + 10s;
  while (!png) {
    auto frame = screen.frames().next(deadline - Clock::now());
    if (!frame) {
      throw Failure(screen.frames().ended() ? "the screen stream ended before a key frame"
                                            : "no key frame within 10 s");
    }
    if (!keyFrameID) {
      if (!frame->meta.isKeyframe) continue;
      keyFrameID = frame->meta.frameID;
    }
    try {
      decoder.decode(frame->payload, frame->meta.frameID);
      if (!png && frame->meta.frameID == *keyFrameID) decoder.finish();
    } catch (const std::exception& e) {
      throw Failure(std::string("cannot decode the key frame: ") + e.what());
    }
    if (!png) throw Failure("the key frame decoded to nothing");
  }
  writeLocalFile(out, *png, Existing::replace);
  return 0;
}

}  // namespace

std::vector<Command> screenCommands() {
  std::vector<Command> commands = screenCommandSpecs();
  for (auto& command : commands) command.run = command.name == "stream" ? stream : snapshot;
  return commands;
}

}  // namespace lumora::cli
