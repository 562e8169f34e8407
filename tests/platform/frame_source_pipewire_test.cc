#include "platform/wayland/frame_source_pipewire.h"

#include "platform/capture_error.h"
#include "platform/wayland/frame_pacer.h"
#include "platform/wayland/pipewire_format.h"

#include "support/pipewire_session.h"
#include "support/recorder.h"
#include "support/temp_dir.h"
#include "support/test_pictures.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/raw.h>
#include <spa/pod/builder.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

namespace lumora::platform::wayland {
namespace {

using namespace std::chrono_literals;
using testing_support::PipeWireSession;

constexpr std::uint32_t kRed = 0xFF0000, kGreen = 0x00FF00, kBlue = 0x0000FF, kWhite = 0xFFFFFF;
constexpr int kWidth = 1280;
constexpr int kHeight = 800;

PortalStream portalNode(std::uint32_t id) {
  PortalStream stream;
  stream.nodeID = id;
  return stream;
}

// A frame copied out of the pool, with the name of the thread that delivered it.
struct Snapshot {
  int width;
  int height;
  std::size_t stride;
  std::shared_ptr<const std::vector<std::uint8_t>> bytes;
  std::string thread;
};

class FrameLog : public testing_support::Recorder<Snapshot> {
 public:
  FrameHandler handler() {
    return [this](const PixelBuffer& frame, std::uint64_t) {
      char name[16] = {};
      pthread_getname_np(pthread_self(), name, sizeof name);
      add({frame.width(), frame.height(), frame.stride(),
           std::make_shared<std::vector<std::uint8_t>>(frame.data(),
                                                       frame.data() + frame.byteCount()),
           name});
    };
  }
  int count() const { return static_cast<int>(size()); }
  int waitBeyond(int seen, std::chrono::milliseconds limit = 10s) {
    waitUntil([&](const auto& frames) { return static_cast<int>(frames.size()) > seen; }, limit);
    return count();
  }
  // 0xRRGGBB of the latest frame at (x, y).
  std::uint32_t rgb(int x, int y) const {
    const Snapshot latest = last();
    const std::uint8_t* p = latest.bytes->data() + y * latest.stride + x * 4;
    return (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
  }
};

// Colours match when no channel is further apart than colour conversion and scaling explain.
::testing::AssertionResult near(std::uint32_t actual, std::uint32_t expected) {
  for (int shift = 0; shift < 24; shift += 8) {
    const int a = static_cast<int>((actual >> shift) & 0xFF);
    const int e = static_cast<int>((expected >> shift) & 0xFF);
    if (std::abs(a - e) > 6) {
      return ::testing::AssertionFailure()
             << std::hex << "0x" << actual << " is not near 0x" << expected;
    }
  }
  return ::testing::AssertionSuccess();
}

std::string writeQuadrants(const testing_support::TempDir& folder, const std::string& name,
                           std::array<std::uint32_t, 4> colours) {
  return testing_support::writeQuadrantsPNG(folder, name, kWidth, kHeight, colours);
}

class FrameSourcePipeWireTest : public ::testing::Test {
 protected:
  void SetUp() override {
    try {
      session_ = std::make_unique<PipeWireSession>();
    } catch (const std::exception& e) {
      GTEST_SKIP() << "no private PipeWire: " << e.what();
    }
    quadrants_ = writeQuadrants(folder_, "quadrants.png", {kRed, kGreen, kBlue, kWhite});
    swapped_ = writeQuadrants(folder_, "swapped.png", {kWhite, kBlue, kGreen, kRed});
    try {
      node_ = session_->startVideoSource(quadrants_, kWidth, kHeight);
    } catch (const std::exception& e) {
      GTEST_SKIP() << "no video source: " << e.what();
    }
  }

  FrameSourcePipeWire::RemoteOpener opener() {
    return [this] { return linux_os::UniqueFd(session_->connect()); };
  }

  testing_support::TempDir folder_;
  std::unique_ptr<PipeWireSession> session_;
  std::string quadrants_;
  std::string swapped_;
  std::uint32_t node_ = 0;
  FrameLog frames_;
};

TEST_F(FrameSourcePipeWireTest, DeliversThePictureShownAndOnlyWhenItChanges) {
  FrameSourcePipeWire source(opener(), portalNode(node_), CursorDelivery::none, std::nullopt,
                             std::nullopt, 30);
  source.start(frames_.handler());
  EXPECT_EQ(source.capturedWidth(), kWidth);
  EXPECT_EQ(source.capturedHeight(), kHeight);
  ASSERT_GE(frames_.waitBeyond(0), 1);
  EXPECT_EQ(frames_.last().width, kWidth);
  EXPECT_EQ(frames_.last().height, kHeight);
  for (const Snapshot& frame : frames_.items()) EXPECT_EQ(frame.thread, "lumora.capture");
  EXPECT_TRUE(near(frames_.rgb(320, 200), kRed));
  EXPECT_TRUE(near(frames_.rgb(960, 200), kGreen));
  EXPECT_TRUE(near(frames_.rgb(320, 600), kBlue));
  EXPECT_TRUE(near(frames_.rgb(960, 600), kWhite));

  // The producer keeps sending the same picture: nothing more is delivered.
  std::this_thread::sleep_for(300ms);
  const int settled = frames_.count();
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(frames_.count(), settled);

  // A new picture is.
  session_->showInVideoSource(node_, swapped_);
  ASSERT_GT(frames_.waitBeyond(settled), settled);
  std::this_thread::sleep_for(200ms);  // any frame still in flight
  EXPECT_TRUE(near(frames_.rgb(320, 200), kWhite));
  EXPECT_TRUE(near(frames_.rgb(960, 600), kRed));

  // Nothing after stop(), which may be called twice.
  source.stop();
  source.stop();
  EXPECT_EQ(source.capturedWidth(), kWidth) << "the size of the last frames stays readable";
  const int stopped = frames_.count();
  session_->showInVideoSource(node_, quadrants_);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(frames_.count(), stopped);
}

TEST_F(FrameSourcePipeWireTest, ScalesIntoTheBoxAndKeepsToTheRateWhenThePictureChangesFaster) {
  constexpr int kFps = 4;
  FrameSourcePipeWire source(opener(), portalNode(node_), CursorDelivery::metadata, 333, 333, kFps);
  source.start(frames_.handler());
  // 1280 × 800 into 333 × 333 is 333 × 208.1: sides rounded down to even numbers.
  EXPECT_EQ(source.capturedWidth(), 332);
  EXPECT_EQ(source.capturedHeight(), 208);
  ASSERT_GE(frames_.waitBeyond(0), 1);
  EXPECT_EQ(frames_.last().width, 332);
  EXPECT_EQ(frames_.last().height, 208);
  EXPECT_TRUE(near(frames_.rgb(83, 52), kRed));
  EXPECT_TRUE(near(frames_.rgb(249, 52), kGreen));
  EXPECT_TRUE(near(frames_.rgb(83, 156), kBlue));
  EXPECT_TRUE(near(frames_.rgb(249, 156), kWhite));

  // Pictures that change faster than the asked rate: the frames keep to the rate. Twelve
  // pictures that differ in their top left quadrant, shown in turn every 40 ms, so that frames
  // a quarter of a second apart never sample the same one.
  std::vector<std::string> pictures;
  for (std::uint32_t i = 0; i < 12; ++i) {
    const std::uint32_t grey = 0x101010 * (i + 1);
    pictures.push_back(writeQuadrants(folder_, "grey" + std::to_string(i) + ".png",
                                      {grey, kGreen, kBlue, kWhite}));
  }
  std::this_thread::sleep_for(300ms);
  const int before = frames_.count();
  const auto from = std::chrono::steady_clock::now();
  for (int i = 0; i < 50; ++i) {
    session_->showInVideoSource(node_, pictures[i % pictures.size()]);
    std::this_thread::sleep_for(40ms);
  }
  session_->showInVideoSource(node_, quadrants_);
  const auto elapsed = std::chrono::steady_clock::now() - from;
  const int delivered = frames_.count() - before;
  const auto intervals = elapsed / (std::chrono::milliseconds(1000) / kFps);
  EXPECT_GE(delivered, intervals / 2);
  EXPECT_LE(delivered, intervals + 1)
      << "in " << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() << " ms";
  // The newest picture is not lost when the changes stop.
  std::this_thread::sleep_for(std::chrono::milliseconds(3000 / kFps));
  EXPECT_TRUE(near(frames_.rgb(83, 52), kRed));
}

TEST_F(FrameSourcePipeWireTest, AMissingNodeFailsToStartAndAVanishingOneEndsDelivery) {
  FrameSourcePipeWire missing(opener(), portalNode(node_ + 1000), CursorDelivery::none,
                              std::nullopt, std::nullopt, 30);
  try {
    missing.start(frames_.handler());
    ADD_FAILURE() << "started on a node that does not exist";
  } catch (const CaptureError& e) {
    EXPECT_EQ(e.code(), CaptureError::platformFailure);
    EXPECT_STREQ(e.what(), "the screen-cast stream is no longer available");
  }
  EXPECT_EQ(missing.capturedWidth(), 0);

  FrameSourcePipeWire source(opener(), portalNode(node_), CursorDelivery::none, std::nullopt,
                             std::nullopt, 30);
  source.start(frames_.handler());
  ASSERT_GE(frames_.waitBeyond(0), 1);
  ::testing::internal::CaptureStderr();
  session_->stopVideoSource(node_);
  std::this_thread::sleep_for(500ms);
  const std::string logged = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(logged.find("PipeWire capture stopped: the screen-cast stream ended"),
            std::string::npos)
      << logged;
  const int ended = frames_.count();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(frames_.count(), ended);
  source.stop();
}

// Failures before any PipeWire is reached: they need no session.
TEST(FrameSourcePipeWireStartTest, FailuresToReachTheRemoteAreCaptureErrors) {
  auto startWith = [](FrameSourcePipeWire::RemoteOpener opener) -> std::optional<CaptureError> {
    FrameSourcePipeWire source(std::move(opener), portalNode(42), CursorDelivery::none,
                               std::nullopt, std::nullopt, 30);
    try {
      source.start([](const PixelBuffer&, std::uint64_t) {});
    } catch (const CaptureError& e) {
      EXPECT_EQ(source.capturedWidth(), 0);
      return e;
    }
    return std::nullopt;
  };

  auto refused = startWith([]() -> linux_os::UniqueFd { throw std::runtime_error("portal gone"); });
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->code(), CaptureError::platformFailure);
  EXPECT_STREQ(refused->what(), "portal gone");

  auto passedOn =
      startWith([]() -> linux_os::UniqueFd { throw CaptureError::noDisplayAvailable(); });
  ASSERT_TRUE(passedOn);
  EXPECT_EQ(passedOn->code(), CaptureError::noDisplay);

  // A remote whose other end is already closed.
  auto dead = startWith([] {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
      throw std::runtime_error("socketpair failed");
    }
    ::close(ends[1]);
    return linux_os::UniqueFd(ends[0]);
  });
  ASSERT_TRUE(dead);
  EXPECT_EQ(dead->code(), CaptureError::platformFailure);
  EXPECT_STREQ(dead->domain(), "lumora.capture");
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

  EXPECT_EQ(ffmpegPixelFormat(SPA_VIDEO_FORMAT_BGRx), AV_PIX_FMT_BGR0);
  EXPECT_EQ(ffmpegPixelFormat(SPA_VIDEO_FORMAT_xBGR), AV_PIX_FMT_0BGR);
  EXPECT_FALSE(ffmpegPixelFormat(SPA_VIDEO_FORMAT_I420));
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

TEST(FramePacerTest, KeepsToTheRateAndNeverHandsOutAFrameTheConsumerHoldsOrTheSamePixelsTwice) {
  FramePacer pacer(10);
  const auto start = FramePacer::Clock::now();
  ASSERT_TRUE(pacer.due(start));
  EXPECT_FALSE(pacer.due(start + 40ms));
  EXPECT_EQ(pacer.untilDue(start + 40ms), 60ms);
  EXPECT_TRUE(pacer.due(start + 100ms));
  EXPECT_EQ(pacer.untilDue(start + 100ms), 100ms) << "a whole interval after a frame just made";

  EXPECT_FALSE(pacer.resize({PixelBuffer::kMaxSide + 2, 2}));
  ASSERT_TRUE(pacer.resize({4, 2}));
  std::vector<PixelBuffer> held;
  PixelBuffer* frame = pacer.freeFrame();
  ASSERT_NE(frame, nullptr);
  frame->mutableData()[0] = 1;
  ASSERT_TRUE(pacer.isNew());
  held.push_back(*frame);
  // The same pixels again, in another frame of the pool: not new.
  PixelBuffer* again = pacer.freeFrame();
  ASSERT_NE(again, nullptr);
  EXPECT_NE(again->data(), held.back().data());
  std::memcpy(again->mutableData(), held.back().data(), again->byteCount());
  EXPECT_FALSE(pacer.isNew());
  again->mutableData()[0] = 2;
  EXPECT_TRUE(pacer.isNew());

  // The consumer keeps every frame it gets: the pool runs dry and a retry is pending.
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
  EXPECT_TRUE(cursor.visible);
  EXPECT_EQ(cursor.x, 40);
  EXPECT_EQ(cursor.y, 30);
  EXPECT_EQ(cursor.hotX, 1);
  EXPECT_EQ(cursor.width, 2);
  EXPECT_EQ(cursor.height, 2);
  EXPECT_EQ(cursor.pixels,
            (std::vector<std::uint32_t>{0xFFFF0000, 0x80000080, 0x00000000, 0xFFFFFFFF}));

  // An id of 0 brings nothing; the same position and no bitmap change nothing.
  meta.cursor.id = 0;
  meta.cursor.position = {1, 1};
  EXPECT_FALSE(applyCursorMeta(&meta, sizeof meta, cursor));
  EXPECT_EQ(cursor.x, 40);
  meta.cursor.id = 7;
  meta.cursor.position = {40, 30};
  meta.cursor.bitmap_offset = 0;
  EXPECT_FALSE(applyCursorMeta(&meta, sizeof meta, cursor));

  // A bitmap that claims more rows than the metadata holds is ignored; the old one stays.
  meta.cursor.bitmap_offset = offsetof(CursorMeta, bitmap);
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
