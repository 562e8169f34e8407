// The Wayland harness itself: a private PipeWire's video source delivers its picture to a
// PipeWire consumer, and (WaylandDesktopTest) the real portal frontend answers on the desktop's
// bus through the stand-in backend.

#include <gtest/gtest.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

#include "media/png_encoder.h"
#include "support/pipewire_session.h"
#include "support/temp_dir.h"

namespace lumora::testing_support {
namespace {

using Clock = std::chrono::steady_clock;

// A PNG file of one colour.
std::filesystem::path solidPicture(const TempDir& folder, const std::string& name,
                                   std::array<std::uint8_t, 3> rgb) {
  const int width = 64;
  const int height = 40;
  std::vector<std::uint8_t> bgra(static_cast<std::size_t>(width) * height * 4);
  for (std::size_t i = 0; i < bgra.size(); i += 4) {
    bgra[i] = rgb[2];
    bgra[i + 1] = rgb[1];
    bgra[i + 2] = rgb[0];
    bgra[i + 3] = 255;
  }
  const auto png = media::encodePNG(bgra.data(), width, height, width * 4, AV_PIX_FMT_RGB24);
  return folder.make(name, std::string(png->begin(), png->end()));
}

// Reads frames of one PipeWire node over a descriptor (as an agent does with the portal's
// OpenPipeWireRemote) and tells the colour of the middle pixel of the newest one.
class NodeReader {
 public:
  NodeReader(int fd, std::uint32_t node) {
    pw_init(nullptr, nullptr);
    loop_ = pw_thread_loop_new("node-reader", nullptr);
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    pw_thread_loop_lock(loop_);
    pw_thread_loop_start(loop_);
    core_ = pw_context_connect_fd(context_, fd, nullptr, 0);
    stream_ = pw_stream_new(core_, "node-reader",
                            pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                              "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    events_.version = PW_VERSION_STREAM_EVENTS;
    events_.param_changed = &NodeReader::onParam;
    events_.process = &NodeReader::onProcess;
    pw_stream_add_listener(stream_, &listener_, &events_, this);
    std::array<std::uint8_t, 1024> buffer{};
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer.data(), buffer.size());
    const spa_rectangle size{1280, 800}, smallest{1, 1}, largest{8192, 8192};
    const spa_fraction rate{0, 1}, lowest{0, 1}, highest{1000, 1};
    const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
        SPA_FORMAT_VIDEO_format, SPA_POD_Id(SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size,
        SPA_POD_CHOICE_RANGE_Rectangle(&size, &smallest, &largest), SPA_FORMAT_VIDEO_framerate,
        SPA_POD_CHOICE_RANGE_Fraction(&rate, &lowest, &highest)))};
    pw_stream_connect(stream_, PW_DIRECTION_INPUT, node,
                      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                   PW_STREAM_FLAG_MAP_BUFFERS),
                      params, 1);
    pw_thread_loop_unlock(loop_);
  }
  ~NodeReader() {
    pw_thread_loop_lock(loop_);
    pw_stream_destroy(stream_);
    pw_core_disconnect(core_);
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
  }

  // The middle pixel of the newest frame as RGB; none before the first.
  std::optional<std::array<std::uint8_t, 3>> middle() {
    std::lock_guard lock(mutex_);
    return middle_;
  }
  int frames() {
    std::lock_guard lock(mutex_);
    return frames_;
  }

 private:
  static void onParam(void* self, std::uint32_t id, const spa_pod* param) {
    if (param == nullptr || id != SPA_PARAM_Format) return;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) >= 0) {
      auto* reader = static_cast<NodeReader*>(self);
      reader->width_ = static_cast<int>(info.size.width);
      reader->height_ = static_cast<int>(info.size.height);
    }
  }
  static void onProcess(void* self) {
    auto* reader = static_cast<NodeReader*>(self);
    pw_buffer* buffer = pw_stream_dequeue_buffer(reader->stream_);
    if (buffer == nullptr) return;
    const spa_data& data = buffer->buffer->datas[0];
    if (data.data != nullptr && data.chunk->size > 0 && reader->width_ > 0) {
      const int stride = data.chunk->stride > 0 ? data.chunk->stride : reader->width_ * 4;
      const auto* pixel = static_cast<const std::uint8_t*>(data.data) + data.chunk->offset +
                          static_cast<std::size_t>(reader->height_ / 2) * stride +
                          static_cast<std::size_t>(reader->width_ / 2) * 4;
      std::lock_guard lock(reader->mutex_);
      reader->middle_ = std::array<std::uint8_t, 3>{pixel[2], pixel[1], pixel[0]};
      ++reader->frames_;
    }
    pw_stream_queue_buffer(reader->stream_, buffer);
  }

  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  pw_stream_events events_{};
  spa_hook listener_{};
  int width_ = 0;
  int height_ = 0;
  std::mutex mutex_;
  std::optional<std::array<std::uint8_t, 3>> middle_;
  int frames_ = 0;
};

template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(PipeWireSessionTest, AVideoSourceDeliversItsPictureAndSwitchesIt) {
  const auto start = Clock::now();
  std::optional<PipeWireSession> session;
  try {
    session.emplace();
  } catch (const std::runtime_error& error) {
    GTEST_SKIP() << error.what();
  }
  const double sessionUp = secondsSince(start);
  TempDir pictures;
  const auto red = solidPicture(pictures, "red.png", {255, 0, 0});
  const auto green = solidPicture(pictures, "green.png", {0, 255, 0});

  const auto sourceStart = Clock::now();
  const std::uint32_t node = session->startVideoSource(red);
  const double sourceUp = secondsSince(sourceStart);
  NodeReader reader(session->connect(), node);
  using Rgb = std::array<std::uint8_t, 3>;
  EXPECT_TRUE(eventually([&] { return reader.middle() == Rgb{255, 0, 0}; }))
      << "frames: " << reader.frames();
  const double firstFrame = secondsSince(sourceStart);

  session->showInVideoSource(node, green);
  EXPECT_TRUE(eventually([&] { return reader.middle() == Rgb{0, 255, 0}; }));
  std::cout << "session up in " << sessionUp << " s, video source in " << sourceUp
            << " s, first frame after " << firstFrame << " s\n";
}

}  // namespace
}  // namespace lumora::testing_support
