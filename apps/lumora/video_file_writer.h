#pragma once

#include <memory>
#include <string>

#include "protocol/media_frame.h"

namespace lumora::cli {

// Writes the agent's H.264 stream to a file, starting at the first key frame: a name ending
// in ".mp4" gets an MP4 file that players open (the access units muxed with their capture
// times); any other name gets the raw Annex B stream.
class VideoFileWriter {
 public:
  static std::unique_ptr<VideoFileWriter> open(const std::string& path);
  virtual ~VideoFileWriter() = default;

  // Frames before the first key frame are skipped. Throws Failure when the file cannot be
  // written.
  virtual void add(const protocol::MediaFrame& frame) = 0;
  // Completes the file (an MP4's index). Throws Failure.
  virtual void finish() = 0;
  // Frames written so far.
  virtual std::size_t frameCount() const = 0;
};

}  // namespace lumora::cli
