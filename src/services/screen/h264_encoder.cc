#include "services/screen/h264_encoder.h"

#include "protocol/annex_b.h"
#include "services/screen/bit_rate_rules.h"
#include "services/screen/codec_session.h"

extern "C" {
#include <libavutil/avutil.h>
}

#include <algorithm>
#include <limits>

namespace lumora::services::screen {
namespace {

using protocol::appendNal;
using protocol::nalType;
using protocol::splitAnnexB;
using enum protocol::NalType;

// Keeps the parameter sets a packet carried, replacing the ones seen before.
void remember(const std::vector<protocol::ByteView>& seen, std::vector<protocol::Bytes>& kept) {
  if (seen.empty()) return;
  kept.clear();
  for (const auto unit : seen) kept.emplace_back(unit.begin(), unit.end());
}

}  // namespace

class H264Encoder::Holder {
 public:
  explicit Holder(H264Encoder& encoder) : encoder_(encoder), lock_(encoder.mutex_) {
    encoder_.holder_.store(std::this_thread::get_id());
  }
  ~Holder() { encoder_.holder_.store(std::thread::id()); }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

 private:
  H264Encoder& encoder_;
  std::lock_guard<std::mutex> lock_;
};

H264Encoder::H264Encoder(Settings settings, SessionOpener openSession)
    : openSession_(openSession ? std::move(openSession) : SessionOpener(&CodecSession::open)),
      settings_(std::move(settings)) {}

H264Encoder::~H264Encoder() = default;

void H264Encoder::configure(Settings settings) {
  std::lock_guard lock(settingsMutex_);
  settings_ = std::move(settings);
}

H264Encoder::Settings H264Encoder::settings() const {
  std::lock_guard lock(settingsMutex_);
  return settings_;
}

std::string H264Encoder::encoderName() const {
  std::lock_guard lock(settingsMutex_);
  return encoderName_;
}

void H264Encoder::setOnEncoded(Sink sink) {
  Holder hold(*this);
  onEncoded_ = std::move(sink);
}

void H264Encoder::prepare(int width, int height) {
  Holder hold(*this);
  prepareLocked(width, height);
}

void H264Encoder::encode(const platform::PixelBuffer& frame, std::uint64_t presentationTimeMillis) {
  Holder hold(*this);
  if (!session_ || frame.width() != session_->sourceWidth() ||
      frame.height() != session_->sourceHeight()) {
    prepareLocked(frame.width(), frame.height());
  }
  if (!session_) throw EncoderError::notPrepared();
  session_->convert(frame);
  submitLocked(presentationTimeMillis);
}

bool H264Encoder::repeatLastPicture(std::uint64_t presentationTimeMillis) {
  if (holder_.load() == std::this_thread::get_id()) return false;  // called from the sink
  Holder hold(*this);
  if (!session_ || !session_->hasPicture()) return false;
  submitLocked(presentationTimeMillis);
  return true;
}

void H264Encoder::requestKeyFrame() { keyFrameRequested_.store(true); }

void H264Encoder::finish() {
  Holder hold(*this);
  finishLocked();
}

void H264Encoder::prepareLocked(int width, int height) {
  finishLocked();
  const Settings settings = this->settings();
  session_ = openSession_(settings, width, height);
  width_ = session_->size().width;
  height_ = session_->size().height;
  rememberParameterSets(session_->outOfBandParameterSets());
  const CodecSession::Choice& choice = session_->choice();
  {
    std::lock_guard lock(settingsMutex_);
    encoderName_ = choice.encoderName;
  }
  if (!choice.hardwareFailure.empty()) {
    log_.info("hardware encoder unavailable (" + choice.hardwareFailure + "), using " +
              choice.encoderName);
  }
  const AVCodecContext& context = session_->context();
  log_.info("encoding " + std::to_string(width_) + "x" + std::to_string(height_) + " with " +
            choice.encoderName +
            (session_->isHardware() ? " (hardware" : " (software, preset " + settings.preset) +
            ", " + std::to_string(context.bit_rate) + "bps)");
}

void H264Encoder::finishLocked() {
  if (!session_) return;
  try {
    session_->flush([this](const AVPacket& packet) { handlePacket(packet); });
  } catch (...) {
    resetSessionLocked();
    throw;
  }
  resetSessionLocked();
}

void H264Encoder::resetSessionLocked() {
  session_.reset();
  lastPts_.reset();
  lastKeyPts_.reset();
  sequenceSets_.clear();
  pictureSets_.clear();
  pending_.clear();
  std::lock_guard lock(settingsMutex_);
  encoderName_.clear();
}

void H264Encoder::submitLocked(std::uint64_t presentationTimeMillis) {
  // Two frames may share a millisecond (and a repeat may be stamped before a frame captured
  // earlier is encoded); the codec needs strictly increasing pts.
  constexpr auto kMaxPts = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::int64_t pts = static_cast<std::int64_t>(std::min(presentationTimeMillis, kMaxPts - 1));
  if (lastPts_ && pts <= *lastPts_) pts = *lastPts_ + 1;
  const bool requested = keyFrameRequested_.exchange(false);
  const bool due = lastKeyPts_ && pts - *lastKeyPts_ >= session_->keyFrameIntervalMillis();
  lastPts_ = pts;
  pending_.emplace_back(pts, presentationTimeMillis);
  try {
    session_->encode(pts, requested || due,
                     [this](const AVPacket& packet) { handlePacket(packet); });
  } catch (...) {
    if (requested) keyFrameRequested_.store(true);  // still owed to whoever asked
    if (!pending_.empty() && pending_.back().first == pts) pending_.pop_back();
    throw;
  }
}

void H264Encoder::handlePacket(const AVPacket& packet) {
  const bool isKeyframe = (packet.flags & AV_PKT_FLAG_KEY) != 0;
  std::vector<protocol::ByteView> sequenceSets;
  std::vector<protocol::ByteView> pictureSets;
  std::vector<protocol::ByteView> picture;
  std::size_t total = 0;
  for (const protocol::ByteView unit :
       splitAnnexB({packet.data, static_cast<std::size_t>(std::max(packet.size, 0))})) {
    switch (nalType(unit)) {
      case kNalSps:
        sequenceSets.push_back(unit);
        break;
      case kNalPps:
        pictureSets.push_back(unit);
        break;
      case kNalSei:
      case kNalAccessUnitDelimiter:
        break;
      default:
        picture.push_back(unit);
        total += unit.size() + 4;
        break;
    }
  }
  // Remembered so that a key frame the codec sends without them still gets them.
  remember(sequenceSets, sequenceSets_);
  remember(pictureSets, pictureSets_);

  // The capture time of this picture; entries before it belong to frames the codec dropped. A
  // packet without a pts is taken to be the oldest picture still inside.
  std::int64_t pts = packet.pts;
  if (pts == AV_NOPTS_VALUE) pts = pending_.empty() ? lastPts_.value_or(0) : pending_.front().first;
  std::uint64_t presentationTimeMillis = static_cast<std::uint64_t>(std::max<std::int64_t>(pts, 0));
  while (!pending_.empty() && pending_.front().first <= pts) {
    if (pending_.front().first == pts) presentationTimeMillis = pending_.front().second;
    pending_.pop_front();
  }
  if (picture.empty()) return;  // nothing to show: no frameID is spent

  protocol::Bytes data;
  if (isKeyframe) {
    for (const auto& set : sequenceSets_) total += set.size() + 4;
    for (const auto& set : pictureSets_) total += set.size() + 4;
    data.reserve(total);
    for (const auto& set : sequenceSets_) appendNal(data, set);
    for (const auto& set : pictureSets_) appendNal(data, set);
    lastKeyPts_ = pts;
  } else {
    // Parameter sets sent ahead of a non-key picture still go out ahead of it.
    data.reserve(total + 64);
    for (const auto unit : sequenceSets) appendNal(data, unit);
    for (const auto unit : pictureSets) appendNal(data, unit);
  }
  for (const auto unit : picture) appendNal(data, unit);

  EncodedVideoFrame frame;
  frame.frameID = frameCounter_++;
  frame.width = width_;
  frame.height = height_;
  frame.isKeyframe = isKeyframe;
  frame.data = std::make_shared<const protocol::Bytes>(std::move(data));
  frame.presentationTimeMillis = presentationTimeMillis;
  if (onEncoded_) onEncoded_(frame);
}

void H264Encoder::rememberParameterSets(const std::vector<protocol::ByteView>& units) {
  std::vector<protocol::ByteView> sequenceSets;
  std::vector<protocol::ByteView> pictureSets;
  for (const protocol::ByteView unit : units) {
    if (nalType(unit) == kNalSps) sequenceSets.push_back(unit);
    if (nalType(unit) == kNalPps) pictureSets.push_back(unit);
  }
  remember(sequenceSets, sequenceSets_);
  remember(pictureSets, pictureSets_);
}

int H264Encoder::recommendedBitRate(int width, int height, int fps) {
  return screen::recommendedBitRate(width, height, fps);
}

std::optional<std::array<double, 2>> H264Encoder::dataRateLimits(int averageBitRate,
                                                                 double peakMultiplier) {
  return screen::dataRateLimits(averageBitRate, peakMultiplier);
}

}  // namespace lumora::services::screen
