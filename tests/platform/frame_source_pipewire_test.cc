#include "platform/wayland/frame_source_pipewire.h"

#include "platform/capture_error.h"
#include "platform/wayland/frame_pacer.h"
#include "platform/wayland/pipewire_format.h"

#include "frame_source_behaviour.h"
#include "support/pipewire_session.h"
#include "support/temp_dir.h"
#include "support/test_pictures.h"

#include <gtest/gtest.h>
#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/raw.h>
#include <spa/pod/builder.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <tuple>

namespace lumora::platform::wayland {
namespace {

using namespace frame_source_behaviour;
using testing_support::PipeWireSession;

PortalStream portalNode(std::uint32_t id) {
  PortalStream stream;
  stream.nodeID = id;
  return stream;
}

// A private PipeWire with a live video node, the stand-in for a compositor's screen cast: it
// comes up with the first picture shown and sends it 15 times a second, changed or not.
class PipeWireScreen {
 public:
  using Source = FrameSourcePipeWire;
  using Picture = std::string;  // a PNG file
  // The producer's BGRx goes through libswscale (and PNG scaling) on its way.
  static constexpr int kColourTolerance = 6;

  PipeWireScreen() {
    try {
      session_ = std::make_unique<PipeWireSession>();
    } catch (const std::exception& e) {
      unavailable_ = std::string("no private PipeWire: ") + e.what();
    }
  }

  std::string unavailable() const { return unavailable_; }
  Picture picture(std::array<std::uint32_t, 4> quadrants) {
    return testing_support::writeQuadrantsPNG(folder_,
                                              "picture" + std::to_string(++pictures_) + ".png",
                                              kScreenWidth, kScreenHeight, quadrants);
  }
  void show(const Picture& png) {
    if (node_ != 0) {
      session_->showInVideoSource(node_, png);
      return;
    }
    try {
      node_ = session_->startVideoSource(png, kScreenWidth, kScreenHeight);
    } catch (const std::exception& e) {
      unavailable_ = std::string("no video source: ") + e.what();
    }
  }
  // Frames come with the pointer as metadata, as from desktops that do not draw it in.
  std::unique_ptr<Source> source(std::optional<int> maxWidth, std::optional<int> maxHeight, int fps,
                                 CursorDelivery cursor = CursorDelivery::metadata) {
    return std::make_unique<Source>(opener(), portalNode(node_), cursor, maxWidth, maxHeight, fps);
  }

  FrameSourcePipeWire::RemoteOpener opener() {
    return [this] { return linux_os::UniqueFd(session_->connect()); };
  }
  PipeWireSession& session() { return *session_; }
  std::uint32_t node() const { return node_; }

 private:
  testing_support::TempDir folder_;
  std::unique_ptr<PipeWireSession> session_;
  std::uint32_t node_ = 0;
  int pictures_ = 0;
  std::string unavailable_;
};

INSTANTIATE_TYPED_TEST_SUITE_P(PipeWire, FrameSourceTest, PipeWireScreen);

using FrameSourcePipeWireTest = FrameSourceTest<PipeWireScreen>;

TEST_F(FrameSourcePipeWireTest, AMissingNodeFailsToStartAndAVanishingOneEndsDelivery) {
  FrameSourcePipeWire missing(screen_->opener(), portalNode(screen_->node() + 1000),
                              CursorDelivery::none, std::nullopt, std::nullopt, 30);
  try {
    missing.start(frames_.handler());
    ADD_FAILURE() << "started on a node that does not exist";
  } catch (const CaptureError& e) {
    EXPECT_EQ(e.code(), CaptureError::platformFailure);
    EXPECT_STREQ(e.what(), "the screen-cast stream is no longer available");
  }
  EXPECT_EQ(missing.capturedWidth(), 0);

  auto source = screen_->source(std::nullopt, std::nullopt, 30, CursorDelivery::none);
  source->start(frames_.handler());
  ASSERT_GE(frames_.waitBeyond(0), 1);
  screen_->session().stopVideoSource(screen_->node());
  std::this_thread::sleep_for(500ms);
  const int ended = frames_.count();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(frames_.count(), ended);
  source->stop();
}

// What a producer's numbers may claim, checked before any pixel is read.
TEST(PipeWireFormatTest, PlanesOutsideTheChunkOrTheMappingAreRefused) {
  constexpr int w = 100, h = 50;
  constexpr std::uint32_t row = w * 4;
  const std::size_t mapped = row * h;
  EXPECT_EQ(readablePlane(mapped, 0, row * h, row, 0, w, h), (PlaneLayout{0, row}));
  // Padding after the last row may be missing; rows further apart than a row are fine.
  EXPECT_EQ(readablePlane(mapped + 24, 24, row * h, row, 0, w, h), (PlaneLayout{24, row}));
  EXPECT_EQ(readablePlane(512 * (h - 1) + row, 0, 512 * (h - 1) + row, 512, 0, w, h),
            (PlaneLayout{0, 512}));
  EXPECT_EQ(readablePlane(mapped, 0, row * h, 0, 0, w, h), (PlaneLayout{0, row}))
      << "stride 0: packed rows";
  EXPECT_FALSE(readablePlane(mapped - 1, 0, row * h, 0, 0, w, h));

  EXPECT_FALSE(readablePlane(mapped, 0, row * h, row, SPA_CHUNK_FLAG_CORRUPTED, w, h));
  EXPECT_FALSE(readablePlane(mapped, 0, 0, row, 0, w, h)) << "empty chunk";
  EXPECT_FALSE(readablePlane(mapped, 0, row * h, -static_cast<int>(row), 0, w, h));
  EXPECT_FALSE(readablePlane(mapped, 0, row * h, row - 4, 0, w, h)) << "stride shorter than a row";
  EXPECT_FALSE(readablePlane(mapped, 4, row * h, row, 0, w, h)) << "one pixel past the mapping";
  EXPECT_FALSE(readablePlane(mapped, 0, row * h - 1, row, 0, w, h)) << "past the chunk";
  EXPECT_FALSE(
      readablePlane(mapped, std::numeric_limits<std::uint32_t>::max(), row * h, row, 0, w, h));
  EXPECT_FALSE(readablePlane(mapped, 0, std::numeric_limits<std::uint32_t>::max(),
                             std::numeric_limits<std::int32_t>::max(), 0, w, h));

  for (std::uint32_t format : offeredVideoFormats()) EXPECT_TRUE(ffmpegPixelFormat(format));
}

// The format a producer answers with: what it may claim about it.
TEST(PipeWireFormatTest, OnlyAnOfferedRawVideoFormatOfAPossibleSizeIsAgreed) {
  std::uint8_t storage[1024];
  auto video = [&](std::uint32_t format, std::uint32_t width, std::uint32_t height) {
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    spa_video_info_raw info{};
    info.format = static_cast<spa_video_format>(format);
    info.size = {width, height};
    return agreedFormat(spa_format_video_raw_build(&builder, SPA_PARAM_Format, &info));
  };
  EXPECT_EQ(video(SPA_VIDEO_FORMAT_BGRx, 640, 480), (StreamFormat{640, 480, AV_PIX_FMT_BGR0}));
  EXPECT_EQ(video(SPA_VIDEO_FORMAT_ABGR, 16384, 1), (StreamFormat{16384, 1, AV_PIX_FMT_ABGR}));
  EXPECT_FALSE(video(SPA_VIDEO_FORMAT_I420, 640, 480)) << "not offered";
  EXPECT_FALSE(video(SPA_VIDEO_FORMAT_BGRx, 0, 480));
  EXPECT_FALSE(video(SPA_VIDEO_FORMAT_BGRx, 640, 0));
  EXPECT_FALSE(video(SPA_VIDEO_FORMAT_BGRx, 16385, 480)) << "wider than any frame";
  EXPECT_FALSE(video(SPA_VIDEO_FORMAT_BGRx, 640, 0xFFFFFFFF));

  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const auto* audio = static_cast<const spa_pod*>(
      spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_Format,
                                 SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_audio),
                                 SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw)));
  EXPECT_FALSE(agreedFormat(audio));
  EXPECT_FALSE(agreedFormat(nullptr));
}

TEST(FramePacerTest, NeverHandsOutAFrameTheConsumerStillHolds) {
  FramePacer pacer(10);
  EXPECT_FALSE(pacer.resize({PixelBuffer::kMaxSide + 2, 2}));
  ASSERT_TRUE(pacer.resize({4, 2}));
  // The consumer keeps every frame it gets: the pool runs dry and a retry is pending.
  std::vector<PixelBuffer> held;
  for (;;) {
    PixelBuffer* next = pacer.freeFrame();
    if (next == nullptr) break;
    for (const PixelBuffer& kept : held) EXPECT_NE(next->data(), kept.data());
    ASSERT_LT(held.size(), static_cast<std::size_t>(FramePacer::kPoolDepth));
    next->mutableData()[0] = static_cast<std::uint8_t>(10 + held.size());
    ASSERT_TRUE(pacer.isNew());
    held.push_back(*next);
  }
  EXPECT_TRUE(pacer.takeRetry());
  EXPECT_FALSE(pacer.retryPending());
  held.erase(held.begin());  // one comes back
  EXPECT_NE(pacer.freeFrame(), nullptr);
  EXPECT_FALSE(pacer.retryPending());
}

// Cursor metadata as a producer lays it out: header, bitmap header, pixels.
struct CursorMeta {
  spa_meta_cursor cursor{};
  spa_meta_bitmap bitmap{};
  std::uint8_t pixels[2 * 2 * 4] = {};
};

TEST(PipeWireFormatTest, CursorMetadataIsReadWithinItsBoundsAndPremultiplied) {
  CursorMeta meta;
  meta.cursor.id = 7;
  meta.cursor.position = {40, 30};
  meta.cursor.hotspot = {1, 0};
  meta.cursor.bitmap_offset = offsetof(CursorMeta, bitmap);
  meta.bitmap.format = SPA_VIDEO_FORMAT_RGBA;
  meta.bitmap.size = {2, 2};
  meta.bitmap.stride = 8;
  meta.bitmap.offset = offsetof(CursorMeta, pixels) - offsetof(CursorMeta, bitmap);
  const std::uint8_t pixels[] = {255, 0, 0, 255, 0, 0, 255, 128, 0, 0, 0, 0, 255, 255, 255, 255};
  std::memcpy(meta.pixels, pixels, sizeof pixels);

  StreamCursor cursor;
  ASSERT_TRUE(applyCursorMeta(&meta, sizeof meta, cursor));
  EXPECT_EQ(std::tie(cursor.visible, cursor.x, cursor.y, cursor.hotX, cursor.width, cursor.height),
            std::make_tuple(true, 40, 30, 1, 2, 2));
  EXPECT_EQ(cursor.pixels,
            (std::vector<std::uint32_t>{0xFFFF0000, 0x80000080, 0x00000000, 0xFFFFFFFF}));

  // A bitmap that claims more rows than the metadata holds is ignored; the old one stays.
  meta.bitmap.size = {2, 200};
  meta.cursor.position = {41, 30};
  EXPECT_TRUE(applyCursorMeta(&meta, sizeof meta, cursor)) << "the move still counts";
  EXPECT_EQ(cursor.height, 2);
  meta.bitmap.size = {2, 2};
  EXPECT_FALSE(applyCursorMeta(&meta, sizeof meta - 1, cursor)) << "truncated metadata";
  meta.cursor.bitmap_offset = 0xFFFFFFF0;
  EXPECT_FALSE(applyCursorMeta(&meta, sizeof meta, cursor));
  EXPECT_FALSE(applyCursorMeta(&meta, sizeof(spa_meta_cursor) - 1, cursor));

  // A bitmap at offset 0 hides the pointer.
  meta.cursor.bitmap_offset = offsetof(CursorMeta, bitmap);
  meta.bitmap.offset = 0;
  EXPECT_TRUE(applyCursorMeta(&meta, sizeof meta, cursor));
  EXPECT_FALSE(cursor.visible);
}

}  // namespace
}  // namespace lumora::platform::wayland
