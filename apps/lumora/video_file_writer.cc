#include "video_file_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

#include "failure.h"
#include "protocol/annex_b.h"
#include "sdk/annexb_parser.h"

namespace lumora::cli {

namespace {

std::string avError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

class AnnexBFileWriter : public VideoFileWriter {
 public:
  explicit AnnexBFileWriter(std::string path)
      : path_(std::move(path)), out_(path_, std::ios::binary | std::ios::trunc) {
    if (!out_) throw Failure("cannot write " + path_ + ": " + std::strerror(errno));
  }

  void add(const protocol::MediaFrame& frame) override {
    if (frames_ == 0 && !frame.meta.isKeyframe) return;
    out_.write(reinterpret_cast<const char*>(frame.payload.data()),
               static_cast<std::streamsize>(frame.payload.size()));
    if (!out_) throw Failure("cannot write " + path_ + ": " + std::strerror(errno));
    ++frames_;
  }

  void finish() override {
    out_.close();
    if (!out_) throw Failure("cannot write " + path_ + ": " + std::strerror(errno));
  }

  std::size_t frameCount() const override { return frames_; }

 private:
  std::string path_;
  std::ofstream out_;
  std::size_t frames_ = 0;
};

// The muxer is set up at the first key frame, whose parameter sets and size describe the
// track. Times are the frames' capture milliseconds, counted from the first.
class MP4FileWriter : public VideoFileWriter {
 public:
  explicit MP4FileWriter(std::string path) : path_(std::move(path)) {}
  ~MP4FileWriter() override {
    if (context_) {
      if (context_->pb) avio_closep(&context_->pb);
      avformat_free_context(context_);
    }
    av_packet_free(&packet_);
  }

  void add(const protocol::MediaFrame& frame) override {
    if (!context_) {
      if (!frame.meta.isKeyframe) return;
      start(frame);
    }
    if (frame.meta.width != width_ || frame.meta.height != height_) {
      // One track has one size; the rest of a resized stream is left out.
      return;
    }
    auto pts = static_cast<std::int64_t>(frame.meta.presentationTimeMillis - firstMillis_);
    if (pts <= lastPts_) pts = lastPts_ + 1;  // timestamps must increase strictly
    // A picture lasts until the next one: the one before this is written now that its length
    // is known. (A sample without a length falls outside the track's edit list, and players
    // drop it.)
    if (frames_ > 0) writeHeldPicture(pts - lastPts_);
    lastPts_ = pts;
    av_packet_unref(packet_);
    if (av_new_packet(packet_, static_cast<int>(frame.payload.size())) < 0) {
      throw Failure("cannot write " + path_ + ": out of memory");
    }
    std::memcpy(packet_->data, frame.payload.data(), frame.payload.size());
    packet_->stream_index = 0;
    packet_->pts = packet_->dts = av_rescale_q(pts, {1, 1000}, context_->streams[0]->time_base);
    if (frame.meta.isKeyframe) packet_->flags |= AV_PKT_FLAG_KEY;
    heldSince_ = std::chrono::steady_clock::now();
    ++frames_;
  }

  void finish() override {
    if (!context_) throw Failure("cannot write " + path_ + ": no key frame arrived");
    // The last picture stayed on the screen until the recording ended.
    const auto shown = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - heldSince_);
    if (frames_ > 0) writeHeldPicture(std::max<std::int64_t>(shown.count(), 1));
    check(av_write_trailer(context_));
    check(avio_closep(&context_->pb));
  }

  std::size_t frameCount() const override { return frames_; }

 private:
  void check(int status) {
    if (status < 0) throw Failure("cannot write " + path_ + ": " + avError(status));
  }

  // Writes the picture held in packet_, which the muxer takes (packet_ is blank afterwards).
  void writeHeldPicture(std::int64_t durationMillis) {
    packet_->duration = av_rescale_q(durationMillis, {1, 1000}, context_->streams[0]->time_base);
    check(av_interleaved_write_frame(context_, packet_));
  }

  void start(const protocol::MediaFrame& key) {
    packet_ = av_packet_alloc();
    check(avformat_alloc_output_context2(&context_, nullptr, "mp4", path_.c_str()));
    AVStream* stream = avformat_new_stream(context_, nullptr);
    if (!stream || !packet_) throw Failure("cannot write " + path_ + ": out of memory");
    width_ = key.meta.width;
    height_ = key.meta.height;
    firstMillis_ = key.meta.presentationTimeMillis;
    stream->time_base = {1, 1000};
    AVCodecParameters* parameters = stream->codecpar;
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = AV_CODEC_ID_H264;
    parameters->width = static_cast<int>(width_);
    parameters->height = static_cast<int>(height_);
    // The track's configuration record comes from the key frame's SPS and PPS.
    protocol::Bytes extradata;
    for (const auto& unit : sdk::AnnexBParser::nalUnits(key.payload)) {
      const int type = protocol::nalType(unit);
      if (type != protocol::kNalSps && type != protocol::kNalPps) continue;
      extradata.insert(extradata.end(), {0, 0, 0, 1});
      extradata.insert(extradata.end(), unit.begin(), unit.end());
    }
    if (extradata.empty()) throw Failure("cannot write " + path_ + ": key frame without SPS/PPS");
    parameters->extradata =
        static_cast<std::uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!parameters->extradata) throw Failure("cannot write " + path_ + ": out of memory");
    std::memcpy(parameters->extradata, extradata.data(), extradata.size());
    parameters->extradata_size = static_cast<int>(extradata.size());
    check(avio_open(&context_->pb, path_.c_str(), AVIO_FLAG_WRITE));
    check(avformat_write_header(context_, nullptr));
  }

  std::string path_;
  AVFormatContext* context_ = nullptr;
  AVPacket* packet_ = nullptr;
  std::int64_t width_ = 0;
  std::int64_t height_ = 0;
  std::uint64_t firstMillis_ = 0;
  std::int64_t lastPts_ = -1;
  std::chrono::steady_clock::time_point heldSince_;
  std::size_t frames_ = 0;
};

}  // namespace

std::unique_ptr<VideoFileWriter> VideoFileWriter::open(const std::string& path) {
  if (path.size() >= 4 && path.compare(path.size() - 4, 4, ".mp4") == 0) {
    return std::make_unique<MP4FileWriter>(path);
  }
  return std::make_unique<AnnexBFileWriter>(path);
}

}  // namespace lumora::cli
