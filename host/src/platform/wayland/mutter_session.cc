#include "platform/wayland/mutter_session.h"

#include <fcntl.h>
#include <gio/gunixfdlist.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cerrno>
#include <cmath>
#include <optional>

#include "core/deadline.h"
#include "platform/wayland/gnome_model.h"

namespace pelagon2::platform::wayland::gnome {
namespace {

constexpr const char* kRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kRemoteDesktopPath = "/org/gnome/Mutter/RemoteDesktop";
constexpr const char* kRemoteSession = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* kScreenCast = "org.gnome.Mutter.ScreenCast";
constexpr const char* kScreenCastPath = "/org/gnome/Mutter/ScreenCast";
constexpr const char* kCastSession = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* kCastStream = "org.gnome.Mutter.ScreenCast.Stream";
constexpr const char* kDisplayConfig = "org.gnome.Mutter.DisplayConfig";

// The clipboard's text types, best first.
const char* const kTextMimeTypes[] = {"text/plain;charset=utf-8", "text/plain", "UTF8_STRING"};

Done to_done(Expected<Variant> reply) {
  if (!reply) return std::move(reply).take_error();
  return std::monostate{};
}

// Writes all of `text` to `fd` (then closed) within `deadline`.
bool write_all(int fd, const std::string& text, std::chrono::milliseconds deadline) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  const auto end = std::chrono::steady_clock::now() + deadline;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    const int left = milliseconds_until(end);
    if (left == 0) break;
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, left);
  }
  ::close(fd);
  return done == text.size();
}

// Reads `fd` (then closed) to its end within `deadline`.
std::optional<std::string> read_all(int fd, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  std::string out;
  while (true) {
    const int left = milliseconds_until(end);
    if (left == 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, left) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      ::close(fd);
      if (n < 0) return std::nullopt;
      return out;
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return std::nullopt;
}

// Serves the text a session offers on the clipboard, on a thread of its own:
// another application's paste, or mutter copying the clipboard to keep it
// when its owner goes, may ask while the host waits for its next request.
class ClipboardServer {
 public:
  ClipboardServer(GDBusConnection* connection, std::string session)
      : connection_(G_DBUS_CONNECTION(g_object_ref(connection))),
        session_(std::move(session)),
        context_(g_main_context_new()) {
    g_main_context_push_thread_default(context_);
    subscription_ = g_dbus_connection_signal_subscribe(connection_, kRemoteDesktop, kRemoteSession, "SelectionTransfer",
                                                       session_.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                       on_transfer, this, nullptr);
    g_main_context_pop_thread_default(context_);
    thread_ = std::thread([this] {
      while (!stop_) g_main_context_iteration(context_, TRUE);
    });
  }
  ~ClipboardServer() {
    stop_ = true;
    g_main_context_wakeup(context_);
    thread_.join();
    g_dbus_connection_signal_unsubscribe(connection_, subscription_);
    while (g_main_context_iteration(context_, FALSE)) {
    }
    g_main_context_unref(context_);
    g_object_unref(connection_);
  }
  ClipboardServer(const ClipboardServer&) = delete;
  ClipboardServer& operator=(const ClipboardServer&) = delete;

  void offer(std::string text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    text_ = std::move(text);
  }
  std::uint64_t transfers() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return transfers_;
  }
  // Waits up to `deadline` for a transfer after the `before`th; whether one came.
  bool wait_transfer(std::uint64_t before, std::chrono::milliseconds deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    return answered_.wait_for(lock, deadline, [&] { return transfers_ > before; });
  }

 private:
  static void on_transfer(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* p,
                          gpointer self) {
    const char* mime = nullptr;
    guint32 serial = 0;
    g_variant_get(p, "(&su)", &mime, &serial);
    static_cast<ClipboardServer*>(self)->answer(serial);
  }

  void answer(std::uint32_t serial) {
    std::string text;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      text = text_;
    }
    const int timeout = static_cast<int>(kCallDeadline.count());
    GUnixFDList* fds = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        connection_, kRemoteDesktop, session_.c_str(), kRemoteSession, "SelectionWrite", g_variant_new("(u)", serial),
        G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, timeout, nullptr, &fds, nullptr, nullptr);
    bool written = false;
    if (reply != nullptr) {
      gint32 handle = -1;
      g_variant_get(reply, "(h)", &handle);
      const int fd = fds != nullptr ? g_unix_fd_list_get(fds, handle, nullptr) : -1;
      if (fd >= 0) written = write_all(fd, text, kCallDeadline);
      g_variant_unref(reply);
    }
    if (fds != nullptr) g_object_unref(fds);
    GVariant* done = g_dbus_connection_call_sync(connection_, kRemoteDesktop, session_.c_str(), kRemoteSession,
                                                 "SelectionWriteDone", g_variant_new("(ub)", serial, written), nullptr,
                                                 G_DBUS_CALL_FLAGS_NONE, timeout, nullptr, nullptr);
    if (done != nullptr) g_variant_unref(done);
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      ++transfers_;
    }
    answered_.notify_all();
  }

  GDBusConnection* connection_;
  std::string session_;
  GMainContext* context_;
  unsigned subscription_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable answered_;
  std::string text_;
  std::uint64_t transfers_ = 0;
};

class MutterSession final : public RemoteSession {
 public:
  explicit MutterSession(std::shared_ptr<Bus> bus) : bus_(std::move(bus)) {}
  ~MutterSession() override {
    clipboard_server_.reset();
    for (const unsigned id : subscriptions_) bus_->unsubscribe(id);
    if (!closed_ && !bus_->closed()) {
      (void)bus_->call(kRemoteDesktop, session_.c_str(), kRemoteSession, "Stop", nullptr, nullptr,
                       std::chrono::milliseconds(500));
    }
  }

  Done start(const std::vector<Output>& outputs, std::chrono::milliseconds deadline) {
    owner_ = owner_of(kRemoteDesktop);
    subscriptions_.push_back(bus_->subscribe("org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                                             "/org/freedesktop/DBus", [this](const char*, GVariant* p) {
                                               const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
                                               g_variant_get(p, "(&s&s&s)", &name, &old_owner, &new_owner);
                                               if (std::string(name) == kRemoteDesktop && owner_ != new_owner)
                                                 closed_ = true;
                                             }));
    Expected<Variant> created =
        bus_->call(kRemoteDesktop, kRemoteDesktopPath, kRemoteDesktop, "CreateSession", nullptr, "(o)");
    if (!created) return std::move(created).take_error();
    const char* path = nullptr;
    g_variant_get(created->get(), "(&o)", &path);
    session_ = path;
    subscriptions_.push_back(bus_->subscribe(kRemoteDesktop, kRemoteSession, nullptr, session_.c_str(),
                                             [this](const char* signal, GVariant* p) { on_session_signal(signal, p); }));
    Expected<Variant> id = bus_->property(kRemoteDesktop, session_.c_str(), kRemoteSession, "SessionId");
    if (!id) return std::move(id).take_error();
    const std::string session_id = g_variant_get_string(id->get(), nullptr);

    GVariantBuilder props;
    g_variant_builder_init(&props, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&props, "{sv}", "remote-desktop-session-id", g_variant_new_string(session_id.c_str()));
    Expected<Variant> cast = bus_->call(kScreenCast, kScreenCastPath, kScreenCast, "CreateSession",
                                        g_variant_new("(a{sv})", &props), "(o)");
    if (!cast) return std::move(cast).take_error();
    g_variant_get(cast->get(), "(&o)", &path);
    cast_session_ = path;

    for (const Output& o : outputs) {
      GVariantBuilder options;
      g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
      g_variant_builder_add(&options, "{sv}", "cursor-mode", g_variant_new_uint32(0));
      Expected<Variant> stream = bus_->call(kScreenCast, cast_session_.c_str(), kCastSession, "RecordMonitor",
                                            g_variant_new("(sa{sv})", o.name.c_str(), &options), "(o)");
      if (!stream) return std::move(stream).take_error();
      g_variant_get(stream->get(), "(&o)", &path);
      CastStream s;
      s.handle = path;
      s.output = o;
      streams_.push_back(s);
      const std::size_t index = streams_.size() - 1;
      subscriptions_.push_back(bus_->subscribe(kScreenCast, kCastStream, "PipeWireStreamAdded", path,
                                               [this, index](const char*, GVariant* p) {
                                                 guint32 node = 0;
                                                 g_variant_get(p, "(u)", &node);
                                                 streams_[index].node = node;
                                               }));
    }
    if (Done started = to_done(bus_->call(kRemoteDesktop, session_.c_str(), kRemoteSession, "Start", nullptr));
        !started)
      return started;
    const bool added = bus_->wait_for(
        [this] {
          return closed_ || std::all_of(streams_.begin(), streams_.end(), [](const CastStream& s) { return s.node != 0; });
        },
        deadline);
    if (closed_) return make_error("the compositor closed the remote-desktop session");
    if (!added) return make_error("the compositor gave no screen-cast stream in time");
    // Clipboard: optional; text beyond the keymap needs it.
    clipboard_server_ = std::make_unique<ClipboardServer>(bus_->get(), session_);
    GVariantBuilder none;
    g_variant_builder_init(&none, G_VARIANT_TYPE("a{sv}"));
    clipboard_ = static_cast<bool>(
        bus_->call(kRemoteDesktop, session_.c_str(), kRemoteSession, "EnableClipboard", g_variant_new("(a{sv})", &none)));
    return std::monostate{};
  }

  const std::vector<CastStream>& streams() const override { return streams_; }
  int take_pipewire_fd() override { return -1; }
  bool screen_granted() const override { return true; }
  bool input_granted() const override { return true; }
  bool alive() override {
    if (bus_->closed()) return false;
    bus_->iterate(std::chrono::milliseconds(0));
    return !closed_;
  }

  Done pointer_motion(const CastStream& stream, double x, double y) override {
    // The stream is addressed in its pixels: the monitor's points times its scale.
    const Output& o = stream.output;
    const StreamPoint p = stream_point(o, 0, 0, o.x + x, o.y + y);
    return notify("NotifyPointerMotionAbsolute", g_variant_new("(sdd)", stream.handle.c_str(), p.x, p.y));
  }
  Done pointer_button(std::int32_t evdev_button, bool pressed) override {
    return notify("NotifyPointerButton", g_variant_new("(ib)", evdev_button, pressed));
  }
  Done pointer_axis_discrete(std::uint32_t axis, std::int32_t steps) override {
    return notify("NotifyPointerAxisDiscrete", g_variant_new("(ui)", axis, steps));
  }
  Done keyboard_keysym(std::uint32_t keysym, bool pressed) override {
    return notify("NotifyKeyboardKeysym", g_variant_new("(ub)", keysym, pressed));
  }
  Done keyboard_keycode(std::uint32_t evdev_key, bool pressed) override {
    return notify("NotifyKeyboardKeycode", g_variant_new("(ub)", evdev_key, pressed));
  }

  bool has_clipboard() const override { return clipboard_; }

  Expected<std::optional<std::string>> read_clipboard() override {
    bus_->iterate(std::chrono::milliseconds(0));
    if (we_own_) return std::optional<std::string>(offered_);
    // The owner's types come by a signal that a session just started may not
    // have had yet: without them, each text type is asked for.
    const bool types_known = !owner_mimes_.empty();
    for (const char* mime : kTextMimeTypes) {
      if (types_known && std::find(owner_mimes_.begin(), owner_mimes_.end(), mime) == owner_mimes_.end()) continue;
      GUnixFDList* fds = nullptr;
      Expected<Variant> reply = bus_->call_with_fds(kRemoteDesktop, session_.c_str(), kRemoteSession,
                                                    "SelectionRead", g_variant_new("(s)", mime), nullptr, &fds);
      if (!reply) {
        if (!types_known) continue;
        return std::move(reply).take_error();
      }
      gint32 handle = -1;
      g_variant_get(reply->get(), "(h)", &handle);
      const int fd = fds != nullptr ? g_unix_fd_list_get(fds, handle, nullptr) : -1;
      if (fds != nullptr) g_object_unref(fds);
      if (fd < 0) return make_error("no clipboard descriptor");
      // The owner writes while we read: the bus must keep turning for mutter, which it does on its own.
      std::optional<std::string> text = read_all(fd, kCallDeadline);
      if (!text) return make_error("the clipboard could not be read in time");
      return text;
    }
    return std::optional<std::string>();
  }

  Done offer_clipboard(const std::string& text) override {
    if (clipboard_server_) clipboard_server_->offer(text);
    GVariantBuilder options, mimes;
    g_variant_builder_init(&mimes, G_VARIANT_TYPE("as"));
    for (const char* m : kTextMimeTypes) g_variant_builder_add(&mimes, "s", m);
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "mime-types", g_variant_builder_end(&mimes));
    Done done = to_done(
        bus_->call(kRemoteDesktop, session_.c_str(), kRemoteSession, "SetSelection", g_variant_new("(a{sv})", &options)));
    if (!done) return done;
    offered_ = text;
    we_own_ = true;
    return done;
  }

  void serve_clipboard(int milliseconds) override {
    if (!clipboard_server_) return;
    const std::uint64_t before = clipboard_server_->transfers();
    // Until one transfer was answered, then briefly for more types of the same paste.
    if (clipboard_server_->wait_transfer(before, std::chrono::milliseconds(milliseconds)))
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    bus_->iterate(std::chrono::milliseconds(0));
  }

 private:
  std::string owner_of(const char* name) {
    Expected<Variant> reply = bus_->call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                         "GetNameOwner", g_variant_new("(s)", name), "(s)");
    if (!reply) return {};
    const char* owner = nullptr;
    g_variant_get(reply->get(), "(&s)", &owner);
    return owner;
  }

  Done notify(const char* method, GVariant* parameters) {
    if (closed_) {
      g_variant_unref(g_variant_ref_sink(parameters));
      return make_error("the remote-desktop session was closed");
    }
    Done done = to_done(bus_->call(kRemoteDesktop, session_.c_str(), kRemoteSession, method, parameters));
    // Signals meanwhile (the session closed, the clipboard's owner changed).
    bus_->iterate(std::chrono::milliseconds(0));
    return done;
  }

  void on_session_signal(const char* signal, GVariant* p) {
    const std::string name = signal;
    if (name == "Closed") {
      closed_ = true;
    } else if (name == "SelectionOwnerChanged") {
      GVariant* options = g_variant_get_child_value(p, 0);
      gboolean is_owner = FALSE;
      g_variant_lookup(options, "session-is-owner", "b", &is_owner);
      owner_mimes_.clear();
      if (GVariant* mimes = g_variant_lookup_value(options, "mime-types", G_VARIANT_TYPE("as"))) {
        gsize n = 0;
        const gchar** list = g_variant_get_strv(mimes, &n);
        for (gsize i = 0; i < n; ++i) owner_mimes_.emplace_back(list[i]);
        g_free(list);
        g_variant_unref(mimes);
      }
      we_own_ = is_owner != FALSE;
      g_variant_unref(options);
    }
  }

  std::shared_ptr<Bus> bus_;
  std::string owner_;
  std::string session_, cast_session_;
  std::vector<CastStream> streams_;
  std::vector<unsigned> subscriptions_;
  bool closed_ = false;
  bool clipboard_ = false;
  bool we_own_ = false;
  std::string offered_;
  std::vector<std::string> owner_mimes_;
  std::unique_ptr<ClipboardServer> clipboard_server_;
};

}  // namespace

Expected<std::vector<Output>> mutter_outputs(Bus& bus) {
  Expected<Variant> reply = bus.call(kDisplayConfig, "/org/gnome/Mutter/DisplayConfig", kDisplayConfig,
                                     "GetCurrentState", nullptr, "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})");
  if (!reply) return std::move(reply).take_error();
  std::vector<MonitorMode> monitors;
  std::vector<LogicalMonitor> logical;
  GVariant* v = reply->get();
  GVariant* monitor_list = g_variant_get_child_value(v, 1);
  GVariant* logical_list = g_variant_get_child_value(v, 2);
  GVariant* properties = g_variant_get_child_value(v, 3);
  for (gsize i = 0, n = g_variant_n_children(monitor_list); i < n; ++i) {
    GVariant* m = g_variant_get_child_value(monitor_list, i);
    GVariant* spec = g_variant_get_child_value(m, 0);
    GVariant* modes = g_variant_get_child_value(m, 1);
    MonitorMode mm;
    const char* connector = nullptr;
    g_variant_get_child(spec, 0, "&s", &connector);
    mm.connector = connector;
    for (gsize j = 0, k = g_variant_n_children(modes); j < k; ++j) {
      GVariant* mode = g_variant_get_child_value(modes, j);
      gint32 w = 0, h = 0;
      g_variant_get_child(mode, 1, "i", &w);
      g_variant_get_child(mode, 2, "i", &h);
      GVariant* mode_props = g_variant_get_child_value(mode, 6);
      gboolean current = FALSE;
      g_variant_lookup(mode_props, "is-current", "b", &current);
      if (current) mm.width = w, mm.height = h;
      g_variant_unref(mode_props);
      g_variant_unref(mode);
    }
    monitors.push_back(mm);
    g_variant_unref(modes);
    g_variant_unref(spec);
    g_variant_unref(m);
  }
  for (gsize i = 0, n = g_variant_n_children(logical_list); i < n; ++i) {
    GVariant* l = g_variant_get_child_value(logical_list, i);
    LogicalMonitor lm;
    gint32 x = 0, y = 0;
    gdouble scale = 1;
    guint32 transform = 0;
    gboolean primary = FALSE;
    g_variant_get_child(l, 0, "i", &x);
    g_variant_get_child(l, 1, "i", &y);
    g_variant_get_child(l, 2, "d", &scale);
    g_variant_get_child(l, 3, "u", &transform);
    g_variant_get_child(l, 4, "b", &primary);
    lm.x = x, lm.y = y, lm.scale = scale, lm.transform = transform, lm.primary = primary != FALSE;
    GVariant* specs = g_variant_get_child_value(l, 5);
    for (gsize j = 0, k = g_variant_n_children(specs); j < k; ++j) {
      const char* connector = nullptr;
      GVariant* spec = g_variant_get_child_value(specs, j);
      g_variant_get_child(spec, 0, "&s", &connector);
      lm.connectors.emplace_back(connector);
      g_variant_unref(spec);
    }
    g_variant_unref(specs);
    logical.push_back(lm);
    g_variant_unref(l);
  }
  guint32 layout = static_cast<guint32>(LayoutMode::physical);
  g_variant_lookup(properties, "layout-mode", "u", &layout);
  g_variant_unref(properties);
  g_variant_unref(logical_list);
  g_variant_unref(monitor_list);
  return outputs_from_state(monitors, logical, layout == 1 ? LayoutMode::logical : LayoutMode::physical);
}

Expected<std::unique_ptr<RemoteSession>> start_mutter_session(std::shared_ptr<Bus> bus,
                                                              const std::vector<Output>& outputs,
                                                              std::chrono::milliseconds deadline) {
  auto session = std::make_unique<MutterSession>(std::move(bus));
  if (Done done = session->start(outputs, deadline); !done) return std::move(done).take_error();
  return std::unique_ptr<RemoteSession>(std::move(session));
}

}  // namespace pelagon2::platform::wayland::gnome
