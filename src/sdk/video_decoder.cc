#include "sdk/video_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include <climits>
#include <cstring>
#include <vector>

#include "media/ffmpeg_handles.h"
#include "protocol/annex_b.h"
#include "sdk/annexb_parser.h"

namespace lumora::sdk {

using protocol::Bytes;
using Kind = DecoderError::Kind;

namespace {

// The decoder configuration record for one SPS and one PPS, with 4-byte length prefixes.
// Nothing when the sets cannot be described (an SPS too short to name its profile, a set
// longer than its 16-bit length field).
std::optional<Bytes> configurationRecord(const Bytes& sps, const Bytes& pps) {
  if (sps.size() < 4 || sps.size() > 0xFFFF || pps.empty() || pps.size() > 0xFFFF) {
    return std::nullopt;
  }
  Bytes record = {1, sps[1], sps[2], sps[3], 0xFF /* length size 4 */, 0xE1 /* one SPS */};
  auto append = [&record](const Bytes& set) {
    record.push_back(static_cast<std::uint8_t>(set.size() >> 8));
    record.push_back(static_cast<std::uint8_t>(set.size() & 0xFF));
    record.insert(record.end(), set.begin(), set.end());
  };
  append(sps);
  record.push_back(1);  // one PPS
  append(pps);
  return record;
}

}  // namespace

// One libavcodec H.264 decoder configured for one pair of parameter sets, with the scaler
// that turns its pictures into BGRA.
class VideoDecoder::Session {
 public:
  Session(const Bytes& sps, const Bytes& pps) {
    auto record = configurationRecord(sps, pps);
    if (!record) throw DecoderError(Kind::formatDescriptionFailed, AVERROR_INVALIDDATA);
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec) throw DecoderError(Kind::sessionCreateFailed, AVERROR_DECODER_NOT_FOUND);
    context_.reset(avcodec_alloc_context3(codec));
    packet_.reset(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    if (!context_ || !packet_ || !frame_) {
      throw DecoderError(Kind::sessionCreateFailed, AVERROR(ENOMEM));
    }
    context_->extradata =
        static_cast<std::uint8_t*>(av_mallocz(record->size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!context_->extradata) throw DecoderError(Kind::sessionCreateFailed, AVERROR(ENOMEM));
    std::memcpy(context_->extradata, record->data(), record->size());
    context_->extradata_size = static_cast<int>(record->size());
    // Pictures come out as soon as they are complete, in the calling thread.
    context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context_->thread_count = 1;
    // Damaged parameter sets and slices are reported instead of silently concealed.
    context_->err_recognition |= AV_EF_EXPLODE;
    if (int status = avcodec_open2(context_.get(), codec, nullptr); status < 0) {
      throw DecoderError(Kind::formatDescriptionFailed, status);
    }
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void submit(const Bytes& avcc, std::uint64_t frameID) {
    av_packet_unref(packet_.get());
    if (avcc.size() > static_cast<std::size_t>(INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) {
      throw DecoderError(Kind::sampleBufferFailed, AVERROR(EINVAL));
    }
    if (int status = av_new_packet(packet_.get(), static_cast<int>(avcc.size())); status < 0) {
      throw DecoderError(Kind::sampleBufferFailed, status);
    }
    std::memcpy(packet_->data, avcc.data(), avcc.size());
    packet_->pts = static_cast<std::int64_t>(frameID);
    if (int status = avcodec_send_packet(context_.get(), packet_.get()); status < 0) {
      throw DecoderError(Kind::decodeFailed, status);
    }
  }

  // Signals the end of the stream, so that pictures still held come out.
  void drain() { avcodec_send_packet(context_.get(), nullptr); }

  // The next finished picture converted to BGRA, with its frame identifier; nothing when the
  // decoder holds no more. A picture the scaler cannot convert is skipped.
  std::optional<std::pair<const DecodedPicture*, std::uint64_t>> nextPicture(
      std::uint64_t fallbackFrameID) {
    for (;;) {
      int status = avcodec_receive_frame(context_.get(), frame_.get());
      if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return std::nullopt;
      if (status < 0) throw DecoderError(Kind::decodeFailed, status);
      std::uint64_t frameID =
          frame_->pts == AV_NOPTS_VALUE ? fallbackFrameID : static_cast<std::uint64_t>(frame_->pts);
      if (convert()) return std::make_pair(&picture_, frameID);
    }
  }

 private:
  static constexpr std::size_t kScalerSlack = 256;

  bool convert() {
    const int width = frame_->width;
    const int height = frame_->height;
    if (width <= 0 || height <= 0) return false;
    scaler_.reset(sws_getCachedContext(scaler_.release(), width, height,
                                       static_cast<AVPixelFormat>(frame_->format), width, height,
                                       AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scaler_) return false;
    picture_.width = width;
    picture_.height = height;
    picture_.bytesPerRow = width * 4;
    const std::size_t size =
        static_cast<std::size_t>(picture_.bytesPerRow) * static_cast<std::size_t>(height);
    // The scaler's vector code stores whole blocks and runs past the end of a row whose length
    // is not a multiple of its block (1080 pixels wide, say): for the last row, past the end of
    // the picture. It writes into slack that the buffer keeps allocated (shrinking a vector
    // keeps its capacity), not into someone else's memory.
    picture_.pixels.resize(size + kScalerSlack);
    std::uint8_t* planes[4] = {picture_.pixels.data(), nullptr, nullptr, nullptr};
    int strides[4] = {picture_.bytesPerRow, 0, 0, 0};
    const bool converted = sws_scale(scaler_.get(), frame_->data, frame_->linesize, 0, height,
                                     planes, strides) == height;
    picture_.pixels.resize(size);
    return converted;
  }

  media::CodecContextPtr context_;
  media::PacketPtr packet_;
  media::FramePtr frame_;
  media::ScalePtr scaler_;
  DecodedPicture picture_;
};

VideoDecoder::VideoDecoder() = default;
VideoDecoder::~VideoDecoder() = default;

void VideoDecoder::setOnDecoded(DecodedHandler onDecoded) {
  std::lock_guard guard(lock_);
  onDecoded_ = std::move(onDecoded);
}

std::uint64_t VideoDecoder::sessionBuildCount() const {
  std::lock_guard guard(lock_);
  return sessionBuilds_;
}

void VideoDecoder::decode(protocol::ByteView accessUnit, std::uint64_t frameID) {
  std::lock_guard guard(lock_);
  std::optional<Bytes> sps;
  std::optional<Bytes> pps;
  std::vector<Bytes> units;
  for (Bytes& unit : AnnexBParser::nalUnits(accessUnit)) {
    const int unitType = protocol::nalType(unit);
    if (unitType == protocol::kNalSps) {
      sps = std::move(unit);
    } else if (unitType == protocol::kNalPps) {
      pps = std::move(unit);
    } else {
      units.push_back(std::move(unit));
    }
  }
  if (sps && pps && (!session_ || sps != sps_ || pps != pps_)) {
    // A failed rebuild keeps nothing of the old stream: its pictures would be decoded against
    // parameter sets the agent no longer uses.
    session_.reset();
    sps_.reset();
    pps_.reset();
    session_ = std::make_shared<Session>(*sps, *pps);
    sps_ = std::move(sps);
    pps_ = std::move(pps);
    ++sessionBuilds_;
  }
  if (units.empty()) return;
  if (!session_) throw DecoderError(Kind::missingParameterSets, 0);
  session_->submit(AnnexBParser::toAVCC(units), frameID);
  emitPictures(*session_, frameID);
}

void VideoDecoder::finish() {
  std::lock_guard guard(lock_);
  std::shared_ptr<Session> session = std::move(session_);
  session_.reset();
  sps_.reset();
  pps_.reset();
  if (!session) return;
  session->drain();
  try {
    emitPictures(*session, 0);
  } catch (const DecoderError&) {
    // Whatever could not be finished is dropped with the session.
  }
}

void VideoDecoder::emitPictures(Session& session, std::uint64_t fallbackFrameID) {
  while (auto next = session.nextPicture(fallbackFrameID)) {
    if (onDecoded_) onDecoded_(*next->first, next->second);
  }
}

}  // namespace lumora::sdk
