#include "services/screen/codec_session.h"

#include "services/screen/encoder_error.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/opt.h>
}

#include <unistd.h>

#include <string>

namespace lumora::services::screen {
namespace {

std::string option(const CodecSession& session, const char* name) {
  std::uint8_t* value = nullptr;
  if (av_opt_get(session.context().priv_data, name, 0, &value) < 0) return "?";
  std::string text(reinterpret_cast<const char*>(value));
  av_free(value);
  return text;
}

EncoderSettings software(EncoderSettings settings = {}) {
  settings.encoder = EncoderSettings::Encoder::software;
  return settings;
}

TEST(CodecSessionTest, DefaultSettingsOnA1080pSession) {
  const auto session = CodecSession::open(software(), 1920, 1080);
  const AVCodecContext& c = session->context();
  EXPECT_EQ(session->choice().encoderName, "libx264");
  EXPECT_FALSE(session->isHardware());
  EXPECT_EQ(c.width, 1920);
  EXPECT_EQ(c.height, 1080);
  EXPECT_NEAR(c.bit_rate, 7'464'960, 1000) << "x264 counts whole kilobits per second";
  EXPECT_EQ(c.rc_max_rate, 1'866'240 * 8) << "the peak byte budget, in bits per second";
  EXPECT_EQ(c.rc_buffer_size, 1'866'240 * 8) << "over a one-second buffer";
  EXPECT_EQ(c.gop_size, 60);
  EXPECT_EQ(c.max_b_frames, 0);
  EXPECT_EQ(c.time_base.num, 1);
  EXPECT_EQ(c.time_base.den, 1000);
  EXPECT_EQ(c.flags & AV_CODEC_FLAG_GLOBAL_HEADER, 0) << "parameter sets must stay in band";
  EXPECT_EQ(c.extradata_size, 0);
  EXPECT_EQ(option(*session, "tune"), "zerolatency");
  EXPECT_EQ(option(*session, "preset"), "ultrafast");
  EXPECT_EQ(option(*session, "profile"), "high");
  EXPECT_EQ(session->keyFrameIntervalMillis(), 2000);
}

TEST(CodecSessionTest, ConfiguredRatesAndIntervalsAreUsedAsGiven) {
  EncoderSettings settings;
  settings.bitRate = 5'000'000;
  settings.peakBitRateMultiplier = 1.0;
  settings.fps = 0;
  settings.keyFrameIntervalSeconds = 0;
  settings.preset = "veryfast";
  const auto session = CodecSession::open(software(settings), 640, 360);
  const AVCodecContext& c = session->context();
  EXPECT_EQ(c.bit_rate, 5'000'000) << "not clamped to the recommended range";
  EXPECT_EQ(c.rc_max_rate, 0) << "no peak at multiplier 1.0";
  EXPECT_EQ(c.rc_buffer_size, 0);
  EXPECT_EQ(c.gop_size, 1) << "fps and interval count as at least 1";
  EXPECT_EQ(session->keyFrameIntervalMillis(), 1000);
  EXPECT_EQ(option(*session, "preset"), "veryfast");

  settings.bitRate.reset();
  settings.fps = 60;
  settings.keyFrameIntervalSeconds = 3;
  settings.peakBitRateMultiplier = 1.5;
  const auto derived = CodecSession::open(software(settings), 1281, 721);
  EXPECT_EQ(derived->size().width, 1280);
  EXPECT_EQ(derived->size().height, 720);
  EXPECT_NEAR(derived->context().bit_rate, 6'635'520, 1000) << "from the encoded size, fps 60";
  EXPECT_EQ(derived->context().rc_max_rate, 9'953'280);
  EXPECT_EQ(derived->context().gop_size, 180);
}

TEST(CodecSessionTest, HardwareIsOnlyTriedWhereARenderNodeExistsAndVaapiMeansHardwareOnly) {
  EncoderSettings settings;  // automatic
  const auto session = CodecSession::open(settings, 64, 48);
  settings.encoder = EncoderSettings::Encoder::vaapi;
  if (::access(CodecSession::kRenderNode, R_OK | W_OK) != 0) {
    EXPECT_EQ(session->choice().encoderName, "libx264");
    EXPECT_TRUE(session->choice().hardwareFailure.empty()) << "not tried";
    EXPECT_THROW(CodecSession::open(settings, 64, 48), EncoderError) << "no fallback to x264";
  } else if (!session->isHardware()) {
    EXPECT_EQ(session->choice().encoderName, "libx264");
    EXPECT_FALSE(session->choice().hardwareFailure.empty()) << "tried, failed, said why";
  } else {
    EXPECT_EQ(session->choice().encoderName, "h264_vaapi");
  }
}

}  // namespace
}  // namespace lumora::services::screen
