#include "services/screen/codec_session.h"
#include "services/screen/encoder_error.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace lumora::services::screen {
namespace {

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
