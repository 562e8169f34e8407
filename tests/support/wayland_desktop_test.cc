// The Wayland harness itself: a private PipeWire's video source delivers its picture to a
// PipeWire consumer, and (WaylandDesktopTest) the real portal frontend answers on the desktop's
// bus through the stand-in backend.

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
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
#include "support/wayland_desktop.h"

namespace lumora::testing_support {
namespace {

using Clock = std::chrono::steady_clock;

// A PNG file of one colour.
std::filesystem::path solidPicture(const TempDir& folder, const std::string& name,
                                   std::array<std::uint8_t, 3> rgb, int width = 64,
                                   int height = 40) {
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
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_Id(SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size,
        SPA_POD_CHOICE_RANGE_Rectangle(&size, &smallest, &largest), SPA_FORMAT_VIDEO_framerate,
        SPA_POD_CHOICE_RANGE_Fraction(&rate, &lowest, &highest)))};
    pw_stream_connect(
        stream_, PW_DIRECTION_INPUT, node,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
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
  EXPECT_TRUE(eventually([&] {
    return reader.middle() == Rgb{255, 0, 0};
  })) << "frames: "
      << reader.frames();
  const double firstFrame = secondsSince(sourceStart);

  session->showInVideoSource(node, green);
  EXPECT_TRUE(eventually([&] { return reader.middle() == Rgb{0, 255, 0}; }));
  std::cout << "session up in " << sessionUp << " s, video source in " << sourceUp
            << " s, first frame after " << firstFrame << " s\n";
}

// The public portal API as an agent speaks it, over GDBus on the desktop's bus.
class PortalClient {
 public:
  explicit PortalClient(const std::string& address) {
    g_main_context_push_thread_default(context_);
    GError* error = nullptr;
    connection_ = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (connection_ == nullptr) {
      ADD_FAILURE() << error->message;
      g_error_free(error);
    }
  }
  ~PortalClient() {
    if (connection_ != nullptr) g_object_unref(connection_);
    g_main_context_pop_thread_default(context_);
    g_main_context_unref(context_);
  }

  // A method's reply (floating references sunk); null with a test failure on an error.
  GVariant* call(const char* path, const char* interface, const char* method, GVariant* parameters,
                 GUnixFDList** fds = nullptr) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        connection_, "org.freedesktop.portal.Desktop", path, interface, method, parameters, nullptr,
        G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, fds, nullptr, &error);
    if (reply == nullptr) {
      ADD_FAILURE() << interface << "." << method << ": " << error->message;
      g_error_free(error);
    }
    return reply;
  }

  std::uint32_t property(const char* interface, const char* name) {
    GVariant* reply = call("/org/freedesktop/portal/desktop", "org.freedesktop.DBus.Properties",
                           "Get", g_variant_new("(ss)", interface, name));
    if (reply == nullptr) return 0;
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    const std::uint32_t number = g_variant_get_uint32(value);
    g_variant_unref(value);
    g_variant_unref(reply);
    return number;
  }

  struct Response {
    std::uint32_t code = 2;
    GVariant* results = nullptr;  // a{sv}, owned
  };

  // A portal method that answers through a Request object: the Response signal is subscribed
  // on the predicted request path before the call. `arguments` ends with the options
  // (a{sv}), where handle_token is added.
  Response request(const char* interface, const char* method, GVariantBuilder* arguments,
                   GVariantBuilder* options) {
    const std::string token = "lumora" + std::to_string(++tokens_);
    g_variant_builder_add(options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    g_variant_builder_add_value(arguments, g_variant_builder_end(options));
    std::string sender = g_dbus_connection_get_unique_name(connection_) + 1;
    for (char& c : sender) c = c == '.' ? '_' : c;
    const std::string path = "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
    Response response;
    bool answered = false;
    struct Waiter {
      Response* response;
      bool* answered;
    } waiter{&response, &answered};
    const guint subscription = g_dbus_connection_signal_subscribe(
        connection_, "org.freedesktop.portal.Desktop", "org.freedesktop.portal.Request", "Response",
        path.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
           GVariant* parameters, gpointer data) {
          auto* w = static_cast<Waiter*>(data);
          g_variant_get(parameters, "(u@a{sv})", &w->response->code, &w->response->results);
          *w->answered = true;
        },
        &waiter, nullptr);
    GVariant* reply = call("/org/freedesktop/portal/desktop", interface, method,
                           g_variant_builder_end(arguments));
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (reply != nullptr && !answered && Clock::now() < deadline) {
      g_main_context_iteration(context_, FALSE);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    g_dbus_connection_signal_unsubscribe(connection_, subscription);
    if (reply != nullptr) g_variant_unref(reply);
    return response;
  }

 private:
  GMainContext* context_ = g_main_context_new();
  GDBusConnection* connection_ = nullptr;
  int tokens_ = 0;
};

GVariantBuilder* newArguments() { return g_variant_builder_new(G_VARIANT_TYPE_TUPLE); }
GVariantBuilder* newOptions() { return g_variant_builder_new(G_VARIANT_TYPE_VARDICT); }

TEST(WaylandDesktopTest, APortalClientGetsTheScreenAndSendsInputThroughTheRealFrontend) {
  const auto start = Clock::now();
  std::optional<WaylandDesktop> desktop;
  try {
    desktop.emplace();
  } catch (const std::runtime_error& error) {
    GTEST_SKIP() << error.what();
  }
  const double desktopUp = secondsSince(start);
  TempDir pictures;
  desktop->show(solidPicture(pictures, "red.png", {255, 0, 0}, 1280, 800));

  PortalClient portal(desktop->pipeWire().busAddress());
  EXPECT_EQ(portal.property("org.freedesktop.portal.ScreenCast", "AvailableSourceTypes"), 1u);
  EXPECT_EQ(portal.property("org.freedesktop.portal.RemoteDesktop", "AvailableDeviceTypes"), 3u);

  // One combined session: RemoteDesktop's, with the screen selected on it, as the agent does.
  auto* options = newOptions();
  g_variant_builder_add(options, "{sv}", "session_handle_token", g_variant_new_string("s1"));
  auto created = portal.request("org.freedesktop.portal.RemoteDesktop", "CreateSession",
                                newArguments(), options);
  ASSERT_EQ(created.code, 0u);
  const char* session = nullptr;
  ASSERT_TRUE(g_variant_lookup(created.results, "session_handle", "&s", &session));

  auto* arguments = newArguments();
  g_variant_builder_add(arguments, "o", session);
  options = newOptions();
  g_variant_builder_add(options, "{sv}", "types", g_variant_new_uint32(3));
  EXPECT_EQ(
      portal.request("org.freedesktop.portal.RemoteDesktop", "SelectDevices", arguments, options)
          .code,
      0u);
  arguments = newArguments();
  g_variant_builder_add(arguments, "o", session);
  options = newOptions();
  g_variant_builder_add(options, "{sv}", "types", g_variant_new_uint32(1));
  g_variant_builder_add(options, "{sv}", "cursor_mode", g_variant_new_uint32(2));
  EXPECT_EQ(
      portal.request("org.freedesktop.portal.ScreenCast", "SelectSources", arguments, options).code,
      0u);
  arguments = newArguments();
  g_variant_builder_add(arguments, "o", session);
  g_variant_builder_add(arguments, "s", "");
  auto started =
      portal.request("org.freedesktop.portal.RemoteDesktop", "Start", arguments, newOptions());
  ASSERT_EQ(started.code, 0u);
  std::uint32_t devices = 0;
  EXPECT_TRUE(g_variant_lookup(started.results, "devices", "u", &devices));
  EXPECT_EQ(devices, 3u);
  GVariantIter* streams = nullptr;
  ASSERT_TRUE(g_variant_lookup(started.results, "streams", "a(ua{sv})", &streams));
  std::uint32_t node = 0;
  GVariant* properties = nullptr;
  ASSERT_TRUE(g_variant_iter_next(streams, "(u@a{sv})", &node, &properties));
  std::int32_t width = 0;
  std::int32_t height = 0;
  EXPECT_TRUE(g_variant_lookup(properties, "size", "(ii)", &width, &height));
  EXPECT_EQ(width, 1280);
  EXPECT_EQ(height, 800);
  const double sessionStarted = secondsSince(start);

  // The frames come through the descriptor the frontend hands out, and follow the screen.
  GUnixFDList* fds = nullptr;
  GVariant* remote =
      portal.call("/org/freedesktop/portal/desktop", "org.freedesktop.portal.ScreenCast",
                  "OpenPipeWireRemote", g_variant_new("(oa{sv})", session, nullptr), &fds);
  ASSERT_NE(remote, nullptr);
  gint32 handle = 0;
  g_variant_get(remote, "(h)", &handle);
  NodeReader reader(g_unix_fd_list_get(fds, handle, nullptr), node);
  using Rgb = std::array<std::uint8_t, 3>;
  EXPECT_TRUE(eventually([&] { return reader.middle() == Rgb{255, 0, 0}; }));
  const double firstFrame = secondsSince(start);
  desktop->show(solidPicture(pictures, "blue.png", {0, 0, 255}, 1280, 800));
  EXPECT_TRUE(eventually([&] { return reader.middle() == Rgb{0, 0, 255}; }));

  // Input reaches the backend as the agent sent it; closing the session reaches it too.
  g_variant_unref(portal.call("/org/freedesktop/portal/desktop",
                              "org.freedesktop.portal.RemoteDesktop", "NotifyPointerMotionAbsolute",
                              g_variant_new("(oa{sv}udd)", session, nullptr, node, 100.0, 200.0)));
  g_variant_unref(portal.call(session, "org.freedesktop.portal.Session", "Close", nullptr));
  EXPECT_TRUE(eventually([&] { return !desktop->backendCalls("Session.Close").empty(); }));
  const auto motions = desktop->backendCalls("RemoteDesktop.NotifyPointerMotionAbsolute");
  ASSERT_EQ(motions.size(), 1u);
  const auto& motion = motions[0].at("args").as_array();
  EXPECT_EQ(motion.at(0), session);
  EXPECT_EQ(motion.at(2), node);
  EXPECT_EQ(motion.at(3), 100.0);
  EXPECT_EQ(motion.at(4), 200.0);
  const auto selections = desktop->backendCalls("ScreenCast.SelectSources");
  ASSERT_EQ(selections.size(), 1u);
  EXPECT_EQ(selections[0].at("args").as_array().at(3).at("cursor_mode"), 2);

  std::cout << "desktop up in " << desktopUp << " s, session started after " << sessionStarted
            << " s, first frame after " << firstFrame << " s\n";
  g_variant_unref(remote);
  g_object_unref(fds);
  g_variant_iter_free(streams);
  g_variant_unref(properties);
  g_variant_unref(created.results);
  g_variant_unref(started.results);
}

}  // namespace
}  // namespace lumora::testing_support
