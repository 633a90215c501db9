// The portal's remote-desktop session over GDBus, on a private connection
// whose signals are dispatched only while this code waits on its own context.
#include "platform/wayland/portal_session.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <utility>

#include "core/deadline.h"

namespace pelagon2::platform::wayland::gnome {
namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kRemoteDesktop = "org.freedesktop.portal.RemoteDesktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kRequest = "org.freedesktop.portal.Request";
constexpr const char* kSession = "org.freedesktop.portal.Session";
// Each call the portal answers at once (all but Start) gets the backend's deadline.
constexpr int kCallMilliseconds = 2000;
// Except the calls that set a session up: the first one may start the portal
// and its desktop backend on demand, about a second on an idle machine and
// several on a loaded one.
constexpr int kSetupMilliseconds = 10000;

std::string take_message(GError* error) {
  if (error == nullptr) return "unknown error";
  g_dbus_error_strip_remote_error(error);
  std::string text = error->message != nullptr ? error->message : "unknown error";
  g_error_free(error);
  return text;
}

using SteadyClock = std::chrono::steady_clock;

// Iterates `context` until `done()` or the deadline.
void run_until(GMainContext* context, SteadyClock::time_point deadline, const std::function<bool()>& done) {
  while (!done()) {
    const int left = milliseconds_until(deadline);
    if (left == 0) return;
    GSource* timer = g_timeout_source_new(static_cast<guint>(left));
    g_source_set_callback(timer, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
    g_source_attach(timer, context);
    g_main_context_iteration(context, TRUE);
    g_source_destroy(timer);
    g_source_unref(timer);
  }
}

// A private bus connection with its own main context.
class Bus {
 public:
  ~Bus() {
    if (connection_ != nullptr) {
      g_dbus_connection_close_sync(connection_, nullptr, nullptr);
      g_object_unref(connection_);
    }
    if (context_ != nullptr) {
      // Callbacks still queued (unsubscribed signals) are freed with the context.
      while (g_main_context_iteration(context_, FALSE)) {
      }
      g_main_context_unref(context_);
    }
  }

  Done connect(SteadyClock::time_point deadline) {
    context_ = g_main_context_new();
    GError* error = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (address == nullptr) return make_error(take_message(error));
    struct Pending {
      GDBusConnection* connection = nullptr;
      GError* error = nullptr;
      bool done = false;
    } pending;
    GCancellable* cancel = g_cancellable_new();
    g_main_context_push_thread_default(context_);
    g_dbus_connection_new_for_address(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, cancel,
        [](GObject*, GAsyncResult* result, gpointer data) {
          auto* p = static_cast<Pending*>(data);
          p->connection = g_dbus_connection_new_for_address_finish(result, &p->error);
          p->done = true;
        },
        &pending);
    run_until(context_, deadline, [&] { return pending.done; });
    if (!pending.done) {
      g_cancellable_cancel(cancel);
      // The cancelled operation still reports; wait for it so `pending` outlives it.
      run_until(context_, SteadyClock::now() + std::chrono::seconds(1), [&] { return pending.done; });
    }
    g_main_context_pop_thread_default(context_);
    g_object_unref(cancel);
    g_free(address);
    if (pending.connection == nullptr) {
      if (pending.error != nullptr) return make_error(take_message(pending.error));
      return make_error("the session bus did not answer");
    }
    connection_ = pending.connection;
    return std::monostate{};
  }

  GDBusConnection* connection() const { return connection_; }
  GMainContext* context() const { return context_; }
  std::string unique_name() const {
    const char* name = g_dbus_connection_get_unique_name(connection_);
    return name != nullptr ? name : "";
  }
  bool closed() const { return connection_ == nullptr || g_dbus_connection_is_closed(connection_); }

  // Subscribes in this bus's context, so the callback runs only in our waits.
  guint subscribe(const char* interface, const char* member, const std::string& path, GDBusSignalCallback callback,
                  gpointer data) {
    g_main_context_push_thread_default(context_);
    const guint id = g_dbus_connection_signal_subscribe(connection_, kPortal, interface, member, path.c_str(), nullptr,
                                                        G_DBUS_SIGNAL_FLAGS_NONE, callback, data, nullptr);
    g_main_context_pop_thread_default(context_);
    return id;
  }
  void unsubscribe(guint id) {
    if (id != 0) g_dbus_connection_signal_unsubscribe(connection_, id);
  }

  // A method call of the portal; `args` is consumed (floating).
  Expected<GVariant*> call(const char* interface, const char* method, GVariant* args, const GVariantType* reply,
                           GUnixFDList** out_fds = nullptr, int timeout_ms = kCallMilliseconds) {
    GError* error = nullptr;
    GVariant* result = g_dbus_connection_call_with_unix_fd_list_sync(
        connection_, kPortal, kPortalPath, interface, method, args, reply, G_DBUS_CALL_FLAGS_NONE, timeout_ms, nullptr,
        out_fds, nullptr, &error);
    if (result == nullptr) return make_error(take_message(error));
    return result;
  }

  std::uint32_t version_of(const char* interface, const char* property = "version") {
    GError* error = nullptr;
    GVariant* result = g_dbus_connection_call_sync(
        connection_, kPortal, kPortalPath, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", interface, property), G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, kSetupMilliseconds,
        nullptr, &error);
    if (result == nullptr) {
      g_clear_error(&error);
      return 0;
    }
    GVariant* value = nullptr;
    g_variant_get(result, "(v)", &value);
    const std::uint32_t v = g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32) ? g_variant_get_uint32(value) : 0;
    g_variant_unref(value);
    g_variant_unref(result);
    return v;
  }

 private:
  GMainContext* context_ = nullptr;
  GDBusConnection* connection_ = nullptr;
};

// One Request's answer: the Response code and its results (owned).
struct Reply {
  portal::Answer answer = portal::Answer::unknown;
  GVariant* results = nullptr;  // a{sv}
  Reply() = default;
  Reply(Reply&& o) noexcept : answer(o.answer), results(std::exchange(o.results, nullptr)) {}
  Reply& operator=(Reply&&) = delete;
  ~Reply() {
    if (results != nullptr) g_variant_unref(results);
  }
};

// Calls a portal method that answers through a Request: subscribes to the
// Request's path before the call (so the Response cannot be missed), then waits
// for it up to `deadline`. `build` makes the arguments with the handle token
// placed in the call's options. An unanswered Request is closed, which
// withdraws its dialog.
Expected<Reply> call_request(Bus& bus, const char* interface, const char* method,
                             const std::function<GVariant*(const char* token)>& build, SteadyClock::time_point deadline) {
  static std::atomic<unsigned> counter{0};
  const std::string token = "pelagon2_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
  const std::string path = portal::request_path(bus.unique_name(), token);
  struct State {
    bool answered = false;
    Reply reply;
  } state;
  GDBusSignalCallback on_response = [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                       GVariant* parameters, gpointer data) {
    auto* s = static_cast<State*>(data);
    if (s->answered || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ua{sv})"))) return;
    guint32 code = 0;
    GVariant* results = nullptr;
    g_variant_get(parameters, "(u@a{sv})", &code, &results);
    s->reply.answer = portal::answer_of(code);
    s->reply.results = results;
    s->answered = true;
  };
  const guint subscription = bus.subscribe(kRequest, "Response", path, on_response, &state);
  Expected<GVariant*> handle =
      bus.call(interface, method, build(token.c_str()), G_VARIANT_TYPE("(o)"), nullptr, kSetupMilliseconds);
  if (!handle) {
    bus.unsubscribe(subscription);
    return make_error(handle.error());
  }
  const gchar* returned = nullptr;
  g_variant_get(*handle, "(&o)", &returned);
  // A portal older than handle tokens picks its own path: listen there too.
  guint second = 0;
  if (path != returned) second = bus.subscribe(kRequest, "Response", returned, on_response, &state);
  const std::string request_object = returned;
  g_variant_unref(*handle);
  run_until(bus.context(), deadline, [&] { return state.answered || bus.closed(); });
  bus.unsubscribe(subscription);
  bus.unsubscribe(second);
  if (!state.answered) {
    if (!bus.closed()) {
      g_dbus_connection_call_sync(bus.connection(), kPortal, request_object.c_str(), kRequest, "Close", nullptr,
                                  nullptr, G_DBUS_CALL_FLAGS_NONE, kCallMilliseconds, nullptr, nullptr);
    }
    return make_error(bus.closed() ? std::string("the session bus connection closed")
                                   : std::string("the portal did not answer ") + method + " in time");
  }
  return std::move(state.reply);
}

GVariant* lookup(GVariant* dict, const char* key, const GVariantType* type) {
  return dict != nullptr ? g_variant_lookup_value(dict, key, type) : nullptr;
}

std::optional<std::string> lookup_string(GVariant* dict, const char* key) {
  GVariant* v = lookup(dict, key, nullptr);
  if (v == nullptr) return std::nullopt;
  std::optional<std::string> out;
  if (g_variant_is_of_type(v, G_VARIANT_TYPE_STRING) || g_variant_is_of_type(v, G_VARIANT_TYPE_OBJECT_PATH)) {
    out = g_variant_get_string(v, nullptr);
  }
  g_variant_unref(v);
  return out;
}

portal::StartResults read_start_results(GVariant* results) {
  portal::StartResults out;
  if (GVariant* devices = lookup(results, "devices", G_VARIANT_TYPE_UINT32)) {
    out.devices = g_variant_get_uint32(devices);
    g_variant_unref(devices);
  }
  out.restore_token = lookup_string(results, "restore_token");
  if (GVariant* streams = lookup(results, "streams", G_VARIANT_TYPE("a(ua{sv})"))) {
    GVariantIter iter;
    g_variant_iter_init(&iter, streams);
    guint32 node = 0;
    GVariant* props = nullptr;
    while (g_variant_iter_next(&iter, "(u@a{sv})", &node, &props)) {
      portal::StreamEntry entry;
      entry.node = node;
      gint32 a = 0, b = 0;
      if (g_variant_lookup(props, "position", "(ii)", &a, &b)) entry.x = a, entry.y = b;
      if (g_variant_lookup(props, "size", "(ii)", &a, &b)) entry.width = a, entry.height = b;
      guint32 type = 0;
      if (g_variant_lookup(props, "source_type", "u", &type)) entry.source_type = type;
      out.streams.push_back(entry);
      g_variant_unref(props);
    }
    g_variant_unref(streams);
  }
  return out;
}

GVariantBuilder options_with_token(const char* token) {
  GVariantBuilder b;
  g_variant_builder_init(&b, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&b, "{sv}", "handle_token", g_variant_new_string(token));
  return b;
}

class PortalSession final : public RemoteSession {
 public:
  PortalSession(std::unique_ptr<Bus> bus, std::string session_path, portal::Grant grant, int pipewire_fd)
      : bus_(std::move(bus)), session_path_(std::move(session_path)), grant_(std::move(grant)), fd_(pipewire_fd) {
    for (const Output& o : grant_.outputs) streams_.push_back(CastStream{o.id, std::to_string(o.id), o});
    closed_subscription_ = bus_->subscribe(
        kSession, "Closed", session_path_,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*, gpointer data) {
          static_cast<PortalSession*>(data)->closed_ = true;
        },
        this);
  }

  ~PortalSession() override {
    bus_->unsubscribe(closed_subscription_);
    if (!closed_ && !bus_->closed()) {
      g_dbus_connection_call_sync(bus_->connection(), kPortal, session_path_.c_str(), kSession, "Close", nullptr,
                                  nullptr, G_DBUS_CALL_FLAGS_NONE, kCallMilliseconds, nullptr, nullptr);
    }
    if (fd_ >= 0) ::close(fd_);
  }

  const std::vector<CastStream>& streams() const override { return streams_; }

  int take_pipewire_fd() override {
    if (fd_ >= 0) return std::exchange(fd_, -1);
    // A later connection (PipeWire restarted) needs a remote of its own.
    Expected<int> fd = open_remote(*bus_, session_path_);
    return fd ? *fd : -1;
  }

  bool screen_granted() const override { return grant_.screen; }
  bool input_granted() const override { return grant_.input; }

  bool alive() override {
    while (g_main_context_iteration(bus_->context(), FALSE)) {
    }
    return !closed_ && !bus_->closed();
  }

  Done pointer_motion(const CastStream& stream, double x, double y) override {
    return notify("NotifyPointerMotionAbsolute",
                  g_variant_new("(o@a{sv}udd)", session_path_.c_str(), empty_options(), stream.node, x, y));
  }
  Done pointer_button(std::int32_t evdev_button, bool pressed) override {
    return notify("NotifyPointerButton", g_variant_new("(o@a{sv}iu)", session_path_.c_str(), empty_options(),
                                                       evdev_button, pressed ? 1u : 0u));
  }
  Done pointer_axis_discrete(std::uint32_t axis, std::int32_t steps) override {
    return notify("NotifyPointerAxisDiscrete",
                  g_variant_new("(o@a{sv}ui)", session_path_.c_str(), empty_options(), axis, steps));
  }
  Done keyboard_keysym(std::uint32_t keysym, bool pressed) override {
    return notify("NotifyKeyboardKeysym", g_variant_new("(o@a{sv}iu)", session_path_.c_str(), empty_options(),
                                                        static_cast<gint32>(keysym), pressed ? 1u : 0u));
  }
  Done keyboard_keycode(std::uint32_t evdev_key, bool pressed) override {
    return notify("NotifyKeyboardKeycode", g_variant_new("(o@a{sv}iu)", session_path_.c_str(), empty_options(),
                                                         static_cast<gint32>(evdev_key), pressed ? 1u : 0u));
  }

  // Remote desktop version 1 has no clipboard; text the keymap lacks cannot be pasted.
  bool has_clipboard() const override { return false; }
  Expected<std::optional<std::string>> read_clipboard() override {
    return make_error("the desktop portal offers no clipboard to this session");
  }
  Done offer_clipboard(const std::string&) override {
    return make_error("the desktop portal offers no clipboard to this session");
  }
  void serve_clipboard(int) override {}

  static Expected<int> open_remote(Bus& bus, const std::string& session_path) {
    GUnixFDList* fds = nullptr;
    Expected<GVariant*> reply =
        bus.call(kScreenCast, "OpenPipeWireRemote", g_variant_new("(o@a{sv})", session_path.c_str(), empty_options()),
                 G_VARIANT_TYPE("(h)"), &fds);
    if (!reply) return make_error(reply.error());
    gint32 index = -1;
    g_variant_get(*reply, "(h)", &index);
    g_variant_unref(*reply);
    GError* error = nullptr;
    const int fd = fds != nullptr ? g_unix_fd_list_get(fds, index, &error) : -1;
    if (fds != nullptr) g_object_unref(fds);
    if (fd < 0) return make_error(error != nullptr ? take_message(error) : std::string("no PipeWire descriptor"));
    return fd;
  }

 private:
  static GVariant* empty_options() { return g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0); }

  Done notify(const char* method, GVariant* args) {
    Expected<GVariant*> reply = bus_->call(kRemoteDesktop, method, args, nullptr);
    if (!reply) return make_error(reply.error());
    g_variant_unref(*reply);
    return std::monostate{};
  }

  std::unique_ptr<Bus> bus_;
  std::string session_path_;
  portal::Grant grant_;
  int fd_ = -1;
  std::vector<CastStream> streams_;
  guint closed_subscription_ = 0;
  bool closed_ = false;
};

// Closes a session that never got as far as a PortalSession.
void close_session(Bus& bus, const std::string& session_path) {
  if (session_path.empty() || bus.closed()) return;
  g_dbus_connection_call_sync(bus.connection(), kPortal, session_path.c_str(), kSession, "Close", nullptr, nullptr,
                              G_DBUS_CALL_FLAGS_NONE, kCallMilliseconds, nullptr, nullptr);
}

std::optional<std::string> token_path() {
  return portal::token_file_path(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
}

}  // namespace

PortalStart start_portal_session(std::chrono::milliseconds dialog_deadline) {
  PortalStart out;
  auto fail = [&](std::string why) {
    out.reason = std::move(why);
    return std::move(out);
  };
  auto bus = std::make_unique<Bus>();
  auto step_deadline = [] { return SteadyClock::now() + std::chrono::milliseconds(kSetupMilliseconds); };
  if (Done connected = bus->connect(step_deadline()); !connected) return fail(connected.error());

  portal::Versions versions;
  versions.remote_desktop = bus->version_of(kRemoteDesktop);
  versions.screen_cast = bus->version_of(kScreenCast);
  if (versions.remote_desktop == 0 || versions.screen_cast == 0) {
    return fail("the desktop portal offers no remote desktop with screen cast");
  }
  versions.cursor_modes = bus->version_of(kScreenCast, "AvailableCursorModes");

  Expected<Reply> created = call_request(
      *bus, kRemoteDesktop, "CreateSession",
      [](const char* token) {
        GVariantBuilder b = options_with_token(token);
        g_variant_builder_add(&b, "{sv}", "session_handle_token", g_variant_new_string(token));
        return g_variant_new("(a{sv})", &b);
      },
      step_deadline());
  if (!created) return fail(created.error());
  if (created->answer != portal::Answer::granted) return fail("the desktop portal refused a remote desktop session");
  const std::optional<std::string> session_path = lookup_string(created->results, "session_handle");
  if (!session_path) return fail("the desktop portal gave no session");
  // From here on a failure closes the session, so no dialog or grant is left behind.
  auto fail_open = [&](std::string why) {
    close_session(*bus, *session_path);
    return fail(std::move(why));
  };

  const std::optional<std::string> token_file = token_path();
  const bool persist = portal::devices_take_restore_token(versions);
  const std::optional<std::string> kept = persist && token_file ? portal::read_token(*token_file) : std::nullopt;
  Expected<Reply> devices = call_request(
      *bus, kRemoteDesktop, "SelectDevices",
      [&](const char* token) {
        GVariantBuilder b = options_with_token(token);
        g_variant_builder_add(&b, "{sv}", "types", g_variant_new_uint32(portal::kKeyboard | portal::kPointer));
        if (persist) {
          g_variant_builder_add(&b, "{sv}", "persist_mode", g_variant_new_uint32(portal::kPersistUntilRevoked));
          if (kept) g_variant_builder_add(&b, "{sv}", "restore_token", g_variant_new_string(kept->c_str()));
        }
        return g_variant_new("(oa{sv})", session_path->c_str(), &b);
      },
      step_deadline());
  if (!devices) return fail_open(devices.error());
  if (devices->answer != portal::Answer::granted) return fail_open("the desktop portal refused the input devices");

  Expected<Reply> sources = call_request(
      *bus, kScreenCast, "SelectSources",
      [&](const char* token) {
        GVariantBuilder b = options_with_token(token);
        g_variant_builder_add(&b, "{sv}", "types", g_variant_new_uint32(portal::kMonitor));
        g_variant_builder_add(&b, "{sv}", "multiple", g_variant_new_boolean(FALSE));
        if (portal::sources_take_hidden_cursor(versions)) {
          g_variant_builder_add(&b, "{sv}", "cursor_mode", g_variant_new_uint32(portal::kCursorHidden));
        }
        return g_variant_new("(oa{sv})", session_path->c_str(), &b);
      },
      step_deadline());
  if (!sources) return fail_open(sources.error());
  if (sources->answer != portal::Answer::granted) return fail_open("the desktop portal refused the monitors");

  Expected<Reply> started = call_request(
      *bus, kRemoteDesktop, "Start",
      [&](const char* token) {
        GVariantBuilder b = options_with_token(token);
        return g_variant_new("(osa{sv})", session_path->c_str(), "", &b);
      },
      SteadyClock::now() + dialog_deadline);
  if (!started) return fail_open(started.error());
  if (portal::is_refusal(started->answer)) {
    out.refused = true;
    return fail_open("the remote desktop session was refused");
  }
  if (started->answer != portal::Answer::granted) return fail_open("the desktop portal could not start the session");

  const portal::StartResults results = read_start_results(started->results);
  portal::Grant grant = portal::grant_of(results);
  if (results.restore_token && token_file) {
    // Without the token the next host process shows the dialog again; nothing else depends on it.
    (void)portal::write_token(*token_file, *results.restore_token);
  }
  int fd = -1;
  if (grant.screen) {
    Expected<int> remote = PortalSession::open_remote(*bus, *session_path);
    if (!remote) return fail_open(remote.error());
    fd = *remote;
  }
  out.session = std::make_unique<PortalSession>(std::move(bus), *session_path, std::move(grant), fd);
  return out;
}

RemoteSession* PortalAccess::session() {
  if (session_ != nullptr && !session_->alive()) session_.reset();
  return session_.get();
}

RemoteSession* PortalAccess::request() {
  if (RemoteSession* live = session()) return live;
  if (!portal::may_show_dialog(last_, false)) return nullptr;
  PortalStart start = start_portal_session();
  reason_ = std::move(start.reason);
  if (start.session) {
    session_ = std::move(start.session);
    last_ = portal::LastStart::started;
  } else {
    last_ = start.refused ? portal::LastStart::refused : portal::LastStart::failed;
  }
  return session_.get();
}

}  // namespace pelagon2::platform::wayland::gnome
