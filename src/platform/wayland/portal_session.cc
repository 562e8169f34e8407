#include "platform/wayland/portal_session.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "core/agent_log.h"
#include "platform/capture_error.h"
#include "platform/wayland/glib_ptr.h"

namespace lumora::platform::wayland {
namespace {

constexpr const char* kPortalBus = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kRemoteDesktop = "org.freedesktop.portal.RemoteDesktop";
constexpr int kCallTimeoutMillis = 10'000;
// A desktop that takes longer than this over one input event has stopped listening.
constexpr int kInputTimeoutMillis = 2'000;

constexpr std::uint32_t kSourceMonitor = 1;
constexpr std::uint32_t kCursorHidden = 1;
constexpr std::uint32_t kCursorEmbedded = 2;
constexpr std::uint32_t kCursorMetadata = 4;
constexpr std::uint32_t kDeviceKeyboard = 1;
constexpr std::uint32_t kDevicePointer = 2;
constexpr std::uint32_t kPersistUntilRevoked = 2;

// The portal answered a request with a refusal (response 1) or a failure (2), or a call failed.
struct PortalFailure : std::runtime_error {
  PortalFailure(PortalState outcome, const std::string& what)
      : std::runtime_error(what), state(outcome) {}
  PortalState state;
};
// close() was called while a request was pending.
struct Stopped {};

// Without an address GLib would try to autolaunch a bus (dbus-launch, which wants an X display
// and can hang without one); no address and no bus socket in the runtime folder means no bus.
std::optional<std::string> sessionBusAddress() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) {
    return std::string(address);
  }
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    const auto socket = std::filesystem::path(runtime) / "bus";
    std::error_code error;
    if (std::filesystem::is_socket(socket, error)) return "unix:path=" + socket.string();
  }
  return std::nullopt;
}

// A private connection rather than GLib's shared one: the shared connection stays bound to
// the bus it first reached for the life of the process.
GObjectPtr<GDBusConnection> connectToSessionBus() {
  const auto address = sessionBusAddress();
  if (!address)
    throw std::runtime_error("no D-Bus session bus (DBUS_SESSION_BUS_ADDRESS is unset)");
  GErrorPtr error;
  GObjectPtr<GDBusConnection> connection(g_dbus_connection_new_for_address_sync(
      address->c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, error.out()));
  if (!connection) {
    throw std::runtime_error("cannot reach the D-Bus session bus: " + error.message());
  }
  g_dbus_connection_set_exit_on_close(connection.get(), false);
  return connection;
}

// A number the portal object publishes, or nothing when the interface or property is missing.
std::optional<std::uint32_t> uintProperty(GDBusConnection* connection, const char* interface,
                                          const char* name,
                                          int timeoutMillis = kCallTimeoutMillis) {
  GVariantPtr reply(g_dbus_connection_call_sync(
      connection, kPortalBus, kPortalPath, "org.freedesktop.DBus.Properties", "Get",
      g_variant_new("(ss)", interface, name), G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE,
      timeoutMillis, nullptr, nullptr));
  if (!reply) return std::nullopt;
  GVariant* value = nullptr;
  g_variant_get(reply.get(), "(v)", &value);
  GVariantPtr owned(value);
  if (!g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32)) return std::nullopt;
  return g_variant_get_uint32(value);
}

// The same asked on a connection of its own, for a quick look before any session; nothing
// when there is no bus either.
std::optional<std::uint32_t> askPortal(const char* interface, const char* name,
                                       std::chrono::milliseconds timeout) {
  try {
    auto connection = connectToSessionBus();
    return uintProperty(connection.get(), interface, name, static_cast<int>(timeout.count()));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<std::pair<std::int32_t, std::int32_t>> pairOf(GVariant* properties, const char* key) {
  std::int32_t first = 0;
  std::int32_t second = 0;
  if (!g_variant_lookup(properties, key, "(ii)", &first, &second)) return std::nullopt;
  return std::make_pair(first, second);
}

std::vector<PortalStream> parseStreams(GVariant* results) {
  std::vector<PortalStream> streams;
  GVariantPtr list(g_variant_lookup_value(results, "streams", G_VARIANT_TYPE("a(ua{sv})")));
  if (!list) return streams;
  GVariantIter iter;
  g_variant_iter_init(&iter, list.get());
  std::uint32_t node = 0;
  GVariant* properties = nullptr;
  while (g_variant_iter_next(&iter, "(u@a{sv})", &node, &properties)) {
    GVariantPtr owned(properties);
    PortalStream stream;
    stream.nodeID = node;
    if (auto position = pairOf(properties, "position")) {
      stream.x = position->first;
      stream.y = position->second;
    }
    if (auto size = pairOf(properties, "size")) {
      stream.width = size->first;
      stream.height = size->second;
    }
    streams.push_back(stream);
  }
  return streams;
}

// The cursor mode to ask for (0: none offered) and how frames then carry the pointer. The
// compositor drawing it in costs us nothing; metadata we draw ourselves.
std::pair<std::uint32_t, CursorDelivery> preferredCursorMode(std::uint32_t offered) {
  if (offered & kCursorEmbedded) return {kCursorEmbedded, CursorDelivery::embedded};
  if (offered & kCursorMetadata) return {kCursorMetadata, CursorDelivery::metadata};
  if (offered & kCursorHidden) return {kCursorHidden, CursorDelivery::none};
  return {0, CursorDelivery::none};
}

std::string describeState(PortalState state) {
  switch (state) {
    case PortalState::connecting:
      return "the desktop portal has not answered yet";
    case PortalState::waitingForConsent:
      return "waiting for the user to allow screen sharing in the desktop's dialog";
    case PortalState::started:
      return "";
    case PortalState::refused:
      return "the user did not allow screen sharing";
    case PortalState::failed:
      return "the desktop portal could not start screen sharing";
    case PortalState::closed:
      return "screen sharing was ended on the desktop";
  }
  return "";
}

}  // namespace

struct PortalSession::Impl {
  PortalSessionOptions options;
  GObjectPtr<GDBusConnection> connection;
  GMainContext* context = g_main_context_new();
  std::string senderPath;  // the unique name as request paths spell it
  core::AgentLog log{"capture"};

  mutable std::mutex mutex;  // guards everything below
  std::condition_variable changed;
  PortalState state = PortalState::connecting;
  std::string failure;
  std::string sessionHandle;
  std::string pendingRequest;  // the request a close() must cancel
  std::vector<PortalStream> streams;
  CursorDelivery cursor = CursorDelivery::none;
  bool pointer = false;
  bool keyboard = false;
  bool remoteDesktop = false;

  std::atomic<bool> stopping{false};
  std::atomic<unsigned> nextToken{0};
  std::thread thread;

  ~Impl() {
    // Leaving the bus also ends the session on the portal's side, whatever state it was in.
    if (connection) g_dbus_connection_close_sync(connection.get(), nullptr, nullptr);
    g_main_context_unref(context);
  }

  void setState(PortalState next, std::string why = {}) {
    {
      std::lock_guard lock(mutex);
      if (state == PortalState::closed && next != PortalState::closed) return;
      state = next;
      failure = why.empty() ? describeState(next) : why;
    }
    changed.notify_all();
  }

  std::string token() {
    return "lumora" + std::to_string(::getpid()) + "_" + std::to_string(nextToken++);
  }

  // Calls a portal method that answers through a Request object: subscribes to the Response
  // signal on the path the portal will use before calling, so a quick answer is not missed,
  // then waits for it. The results on response 0; PortalFailure on 1 or 2 or a failed call.
  GVariantPtr request(const char* interface, const char* method, GVariant* parameters,
                      const std::string& handleToken) {
    struct Slot {
      bool done = false;
      std::uint32_t code = 2;
      GVariantPtr results;
    } slot;
    auto onResponse = [](GDBusConnection*, const char*, const char*, const char*, const char*,
                         GVariant* body, gpointer data) {
      auto* target = static_cast<Slot*>(data);
      GVariant* results = nullptr;
      g_variant_get(body, "(u@a{sv})", &target->code, &results);
      target->results = GVariantPtr(results);
      target->done = true;
    };
    const std::string path =
        std::string(kPortalPath) + "/request/" + senderPath + "/" + handleToken;
    const guint subscription = g_dbus_connection_signal_subscribe(
        connection.get(), kPortalBus, "org.freedesktop.portal.Request", "Response", path.c_str(),
        nullptr, G_DBUS_SIGNAL_FLAGS_NONE, onResponse, &slot, nullptr);
    {
      std::lock_guard lock(mutex);
      pendingRequest = path;
    }
    GErrorPtr error;
    GVariantPtr reply(g_dbus_connection_call_sync(
        connection.get(), kPortalBus, kPortalPath, interface, method, parameters,
        G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMillis, nullptr, error.out()));
    if (!reply) {
      g_dbus_connection_signal_unsubscribe(connection.get(), subscription);
      throw PortalFailure(PortalState::failed, std::string("the desktop portal refused ") + method +
                                                   ": " + error.message());
    }
    while (!slot.done && !stopping) g_main_context_iteration(context, TRUE);
    g_dbus_connection_signal_unsubscribe(connection.get(), subscription);
    {
      std::lock_guard lock(mutex);
      pendingRequest.clear();
    }
    if (!slot.done) {
      // Dismisses the dialog this request may have put up.
      g_dbus_connection_call(connection.get(), kPortalBus, path.c_str(),
                             "org.freedesktop.portal.Request", "Close", nullptr, nullptr,
                             G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
      throw Stopped{};
    }
    if (slot.code == 1) {
      throw PortalFailure(PortalState::refused, describeState(PortalState::refused));
    }
    if (slot.code != 0) {
      throw PortalFailure(PortalState::failed,
                          std::string("the desktop portal could not complete ") + method);
    }
    return std::move(slot.results);
  }

  static GVariant* vardict(std::initializer_list<std::pair<const char*, GVariant*>> entries) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    for (const auto& [key, value] : entries) g_variant_builder_add(&builder, "{sv}", key, value);
    return g_variant_builder_end(&builder);
  }

  void run() {
    pthread_setname_np(pthread_self(), "lumora.portal");
    g_main_context_push_thread_default(context);
    try {
      negotiate();
      while (!stopping) g_main_context_iteration(context, TRUE);
    } catch (const PortalFailure& problem) {
      log.error(std::string("screen sharing unavailable: ") + problem.what() +
                (problem.state == PortalState::refused
                     ? "; files and terminals still work, and the desktop asks again when a "
                       "phone asks for the screen"
                     : "; files and terminals still work"));
      setState(problem.state, problem.what());
    } catch (const Stopped&) {
    }
    std::string handle;
    {
      std::lock_guard lock(mutex);
      handle = sessionHandle;
    }
    if (!handle.empty()) {
      GVariantPtr ignored(g_dbus_connection_call_sync(
          connection.get(), kPortalBus, handle.c_str(), "org.freedesktop.portal.Session", "Close",
          nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr));
    }
    g_main_context_pop_thread_default(context);
  }

  // CreateSession → SelectDevices (with input) → SelectSources → Start, on the RemoteDesktop
  // interface when input is wanted and offered, else on ScreenCast alone. The PipeWire remote
  // is opened later, per capture (openPipeWireRemote).
  void negotiate() {
    const PortalOffer offer = readOffer();
    watchForClose();
    const std::string handle = createSession(offer);
    GVariantPtr persist = persistOptions(offer);
    if (offer.remoteDesktop) selectDevices(handle, offer, persist.get());
    selectSources(handle, offer, persist.get());
    GVariantPtr started = start(handle, offer);
    takeGrant(started.get(), offer);
  }

  // What the portal offers, and what of it this session asks for.
  struct PortalOffer {
    std::uint32_t cursorModes = 0;
    std::uint32_t castVersion = 1;
    std::uint32_t devices = 0;  // keyboard and pointer, as far as offered
    bool remoteDesktop = false;
    bool canPersist = false;  // the desktop can remember the user's choice
  };

  PortalOffer readOffer() {
    const auto sourceTypes = uintProperty(connection.get(), kScreenCast, "AvailableSourceTypes");
    if (!sourceTypes) {
      throw PortalFailure(PortalState::failed,
                          "the desktop portal offers no screen casting (ScreenCast): install "
                          "this desktop's portal (xdg-desktop-portal-gnome, -kde or -wlr)");
    }
    if (!(*sourceTypes & kSourceMonitor)) {
      throw PortalFailure(PortalState::failed, "the desktop portal cannot share whole screens");
    }
    PortalOffer offer;
    offer.cursorModes =
        uintProperty(connection.get(), kScreenCast, "AvailableCursorModes").value_or(0);
    offer.castVersion = uintProperty(connection.get(), kScreenCast, "version").value_or(1);
    const auto deviceTypes = uintProperty(connection.get(), kRemoteDesktop, "AvailableDeviceTypes");
    const std::uint32_t remoteVersion =
        uintProperty(connection.get(), kRemoteDesktop, "version").value_or(1);

    offer.devices = deviceTypes.value_or(0) & (kDeviceKeyboard | kDevicePointer);
    offer.remoteDesktop = options.wantInput && offer.devices != 0;
    if (options.wantInput && !deviceTypes) {
      log.info(
          "the desktop portal offers no remote input (RemoteDesktop; wlroots desktops lack it): "
          "the screen streams and files and terminals work, but the phone cannot move the "
          "pointer or type");
    }
    // Remote-desktop sessions remember the user's choice only from version 2 of that
    // interface; screen casts alone from version 4 of theirs.
    offer.canPersist = offer.remoteDesktop ? remoteVersion >= 2 : offer.castVersion >= 4;
    return offer;
  }

  // Subscribed before the session exists, so a close right after Start is not missed. The
  // subscription ends with the connection.
  void watchForClose() {
    g_dbus_connection_signal_subscribe(
        connection.get(), kPortalBus, "org.freedesktop.portal.Session", "Closed", nullptr, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const char*, const char* path, const char*, const char*, GVariant*,
           gpointer data) {
          auto* self = static_cast<Impl*>(data);
          {
            // A session that ends before it started is answered by the pending request.
            std::lock_guard lock(self->mutex);
            if (self->sessionHandle != path || self->state != PortalState::started) return;
          }
          self->log.info(
              "screen sharing was ended on the desktop; the desktop asks again when a phone "
              "asks for the screen");
          self->setState(PortalState::closed);
        },
        this, nullptr);
  }

  // The session's handle.
  std::string createSession(const PortalOffer& offer) {
    const std::string sessionToken = token();
    const std::string createToken = token();
    GVariantPtr created = request(
        offer.remoteDesktop ? kRemoteDesktop : kScreenCast, "CreateSession",
        g_variant_new(
            "(@a{sv})",
            vardict({{"handle_token", g_variant_new_string(createToken.c_str())},
                     {"session_handle_token", g_variant_new_string(sessionToken.c_str())}})),
        createToken);
    const char* handle = nullptr;
    if (!g_variant_lookup(created.get(), "session_handle", "&s", &handle) || !handle) {
      throw PortalFailure(PortalState::failed, "the desktop portal made no session");
    }
    std::lock_guard lock(mutex);
    sessionHandle = handle;
    return sessionHandle;
  }

  // The options that make the desktop remember the choice (and reuse the last one), for the
  // call that selects what is shared: SelectDevices with input, else SelectSources.
  GVariantPtr persistOptions(const PortalOffer& offer) {
    GVariantBuilder persist;
    g_variant_builder_init(&persist, G_VARIANT_TYPE_VARDICT);
    if (offer.canPersist) {
      g_variant_builder_add(&persist, "{sv}", "persist_mode",
                            g_variant_new_uint32(kPersistUntilRevoked));
      if (options.restoreToken) {
        g_variant_builder_add(&persist, "{sv}", "restore_token",
                              g_variant_new_string(options.restoreToken->c_str()));
      }
    } else {
      log.info(
          "this desktop's portal cannot remember the permission for remote control: it asks "
          "again at every start");
    }
    return GVariantPtr(g_variant_builder_end(&persist));
  }

  void selectDevices(const std::string& handle, const PortalOffer& offer, GVariant* persist) {
    const std::string selectToken = token();
    GVariantBuilder select;
    g_variant_builder_init(&select, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&select, "{sv}", "handle_token",
                          g_variant_new_string(selectToken.c_str()));
    g_variant_builder_add(&select, "{sv}", "types", g_variant_new_uint32(offer.devices));
    addAll(select, persist);
    request(kRemoteDesktop, "SelectDevices",
            g_variant_new("(o@a{sv})", handle.c_str(), g_variant_builder_end(&select)),
            selectToken);
  }

  void selectSources(const std::string& handle, const PortalOffer& offer, GVariant* persist) {
    const auto [cursorMode, delivery] = preferredCursorMode(offer.cursorModes);
    {
      std::lock_guard lock(mutex);
      cursor = delivery;
    }
    const std::string sourcesToken = token();
    GVariantBuilder sources;
    g_variant_builder_init(&sources, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&sources, "{sv}", "handle_token",
                          g_variant_new_string(sourcesToken.c_str()));
    g_variant_builder_add(&sources, "{sv}", "types", g_variant_new_uint32(kSourceMonitor));
    g_variant_builder_add(&sources, "{sv}", "multiple", g_variant_new_boolean(true));
    if (cursorMode != 0 && offer.castVersion >= 2) {
      g_variant_builder_add(&sources, "{sv}", "cursor_mode", g_variant_new_uint32(cursorMode));
    }
    if (!offer.remoteDesktop) addAll(sources, persist);
    request(kScreenCast, "SelectSources",
            g_variant_new("(o@a{sv})", handle.c_str(), g_variant_builder_end(&sources)),
            sourcesToken);
  }

  // Start's results: returns once the user answered the desktop's dialog.
  GVariantPtr start(const std::string& handle, const PortalOffer& offer) {
    setState(PortalState::waitingForConsent);
    log.info(
        "waiting for the user to allow screen sharing in the desktop's dialog (choose the "
        "screen and allow it); files and terminals already work");
    const std::string startToken = token();
    return request(
        offer.remoteDesktop ? kRemoteDesktop : kScreenCast, "Start",
        g_variant_new("(os@a{sv})", handle.c_str(), "",
                      vardict({{"handle_token", g_variant_new_string(startToken.c_str())}})),
        startToken);
  }

  // The streams and devices the user granted; the restore token for the next start.
  void takeGrant(GVariant* started, const PortalOffer& offer) {
    auto granted = parseStreams(started);
    if (granted.empty()) {
      throw PortalFailure(PortalState::failed, "the desktop portal shared no screen");
    }
    std::uint32_t grantedDevices = 0;
    g_variant_lookup(started, "devices", "u", &grantedDevices);
    if (offer.canPersist && options.onRestoreToken) {
      const char* restore = nullptr;
      if (g_variant_lookup(started, "restore_token", "&s", &restore) && restore && *restore) {
        options.onRestoreToken(std::string(restore));
      } else if (options.restoreToken) {
        options.onRestoreToken(std::nullopt);  // the old one is spent
      }
    }
    {
      std::lock_guard lock(mutex);
      streams = std::move(granted);
      pointer = offer.remoteDesktop && (grantedDevices & kDevicePointer);
      keyboard = offer.remoteDesktop && (grantedDevices & kDeviceKeyboard);
    }
    setState(PortalState::started);
    log.info("screen sharing allowed: " + std::to_string(streams.size()) + " screen(s)" +
             (pointer || keyboard ? ", with pointer and keyboard" : ", without remote input"));
  }

  static void addAll(GVariantBuilder& builder, GVariant* dictionary) {
    GVariantIter iter;
    g_variant_iter_init(&iter, dictionary);
    const char* key = nullptr;
    GVariant* value = nullptr;
    while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) {
      g_variant_builder_add(&builder, "{sv}", key, value);
      g_variant_unref(value);
    }
  }

  // Sends one remote-desktop call and waits for its answer: the portal frontend handles calls
  // on a pool of threads, so calls in flight together may reach the desktop in any order, and
  // a release overtaking its press is a stuck button.
  void notify(const char* method, GVariant* parameters) {
    GVariantPtr ignored(g_dbus_connection_call_sync(
        connection.get(), kPortalBus, kPortalPath, kRemoteDesktop, method, parameters, nullptr,
        G_DBUS_CALL_FLAGS_NONE, kInputTimeoutMillis, nullptr, nullptr));
  }

  // The session handle when the session runs with `device`, else empty.
  std::string inputSession(bool wantPointer) {
    std::lock_guard lock(mutex);
    if (state != PortalState::started || !(wantPointer ? pointer : keyboard)) return {};
    return sessionHandle;
  }
};

std::shared_ptr<PortalSession> PortalSession::open(PortalSessionOptions options) {
  auto impl = std::make_unique<Impl>();
  impl->options = std::move(options);
  impl->connection = connectToSessionBus();
  std::string sender = g_dbus_connection_get_unique_name(impl->connection.get());
  if (!sender.empty() && sender.front() == ':') sender.erase(0, 1);
  std::replace(sender.begin(), sender.end(), '.', '_');
  impl->senderPath = sender;
  Impl* raw = impl.get();
  raw->thread = std::thread([raw] { raw->run(); });
  return std::shared_ptr<PortalSession>(new PortalSession(std::move(impl)));
}

PortalSession::PortalSession(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

PortalSession::~PortalSession() { close(); }

void PortalSession::close() {
  impl_->stopping = true;
  g_main_context_wakeup(impl_->context);
  if (impl_->thread.joinable() && impl_->thread.get_id() != std::this_thread::get_id()) {
    impl_->thread.join();
  }
  impl_->setState(PortalState::closed);
}

PortalState PortalSession::state() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->state;
}

std::string PortalSession::failure() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->failure;
}

PortalState PortalSession::waitUntilSettled(std::chrono::milliseconds timeout,
                                            bool throughConsent) {
  std::unique_lock lock(impl_->mutex);
  impl_->changed.wait_for(lock, timeout, [&] {
    return impl_->state != PortalState::connecting &&
           !(throughConsent && impl_->state == PortalState::waitingForConsent);
  });
  return impl_->state;
}

std::vector<PortalStream> PortalSession::streams() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->state == PortalState::started ? impl_->streams : std::vector<PortalStream>{};
}

CursorDelivery PortalSession::cursorDelivery() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->cursor;
}

bool PortalSession::hasPointer() const { return !impl_->inputSession(true).empty(); }
bool PortalSession::hasKeyboard() const { return !impl_->inputSession(false).empty(); }

linux_os::UniqueFd PortalSession::openPipeWireRemote() {
  std::string handle;
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->state != PortalState::started) {
      throw CaptureError(CaptureError::platformFailure, impl_->failure);
    }
    handle = impl_->sessionHandle;
  }
  GErrorPtr error;
  GUnixFDList* descriptors = nullptr;
  GVariantPtr reply(g_dbus_connection_call_with_unix_fd_list_sync(
      impl_->connection.get(), kPortalBus, kPortalPath, kScreenCast, "OpenPipeWireRemote",
      g_variant_new("(o@a{sv})", handle.c_str(), Impl::vardict({})), G_VARIANT_TYPE("(h)"),
      G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMillis, nullptr, &descriptors, nullptr, error.out()));
  GObjectPtr<GUnixFDList> owned(descriptors);
  if (!reply || !descriptors) {
    throw CaptureError(CaptureError::platformFailure,
                       "the desktop portal gave no screen-cast connection: " + error.message());
  }
  gint32 index = -1;
  g_variant_get(reply.get(), "(h)", &index);
  const int fd = g_unix_fd_list_get(descriptors, index, error.out());
  if (fd < 0) {
    throw CaptureError(CaptureError::platformFailure,
                       "the desktop portal gave no screen-cast connection: " + error.message());
  }
  return linux_os::UniqueFd(fd);
}

void PortalSession::notifyPointerMotionAbsolute(std::uint32_t nodeID, double x, double y) {
  const std::string session = impl_->inputSession(true);
  if (session.empty()) return;
  impl_->notify("NotifyPointerMotionAbsolute",
                g_variant_new("(o@a{sv}udd)", session.c_str(), Impl::vardict({}), nodeID, x, y));
}

void PortalSession::notifyPointerButton(std::int32_t button, bool pressed) {
  const std::string session = impl_->inputSession(true);
  if (session.empty()) return;
  impl_->notify("NotifyPointerButton", g_variant_new("(o@a{sv}iu)", session.c_str(),
                                                     Impl::vardict({}), button, pressed ? 1u : 0u));
}

void PortalSession::notifyPointerAxisDiscrete(std::uint32_t axis, std::int32_t steps) {
  const std::string session = impl_->inputSession(true);
  if (session.empty() || steps == 0) return;
  impl_->notify("NotifyPointerAxisDiscrete",
                g_variant_new("(o@a{sv}ui)", session.c_str(), Impl::vardict({}), axis, steps));
}

void PortalSession::notifyKeyboardKeysym(std::int32_t keysym, bool pressed) {
  const std::string session = impl_->inputSession(false);
  if (session.empty()) return;
  impl_->notify(
      "NotifyKeyboardKeysym",
      g_variant_new("(o@a{sv}iu)", session.c_str(), Impl::vardict({}), keysym, pressed ? 1u : 0u));
}

bool screenCastPortalAnswers(std::chrono::milliseconds timeout) {
  return askPortal(kScreenCast, "AvailableSourceTypes", timeout).has_value();
}

bool remoteInputPortalAnswers(std::chrono::milliseconds timeout) {
  constexpr std::uint32_t kBoth = kDeviceKeyboard | kDevicePointer;
  return (askPortal(kRemoteDesktop, "AvailableDeviceTypes", timeout).value_or(0) & kBoth) == kBoth;
}

}  // namespace lumora::platform::wayland
