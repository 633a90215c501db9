#pragma once
// Answers the desktop portal's remote-desktop dialog in tests, as a person
// would, through gnome-shell's own services: the screen is read through the
// Screenshot portal (allowed once in the permission store, so it asks nothing)
// and the pointer is driven by a remote-desktop session of mutter's that the
// test owns. The Share button and the "Allow remote interaction" switch are
// found by colour: Share #3584e4, the switch #dcdcdc when off and #4990e7 when
// on, Cancel #d9d9d9 left of Share.
//
//   PortalDialog dialog(session);
//   dialog.answer_async(PortalDialog::Choice::share);
//   … host.request("request_permission", …) …
//   EXPECT_TRUE(dialog.wait()) << dialog.why();

#include <gio/gio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/gnome_session.h"
#include "testkit/png_file_reader.h"

namespace pelagon2::testing {

// A rectangle of the screen, in pixels (the headless monitor is scale 1, so points too).
struct ScreenBox {
  int x0 = 0, y0 = 0, x1 = -1, y1 = -1;  // inclusive
  bool empty() const { return x1 < x0 || y1 < y0; }
  int cx() const { return (x0 + x1) / 2; }
  int cy() const { return (y0 + y1) / 2; }
};

// RGB pixels of one screenshot.
struct ScreenShot {
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgb;
  std::uint32_t at(int x, int y) const {
    const std::size_t i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3;
    return (std::uint32_t{rgb[i]} << 16) | (std::uint32_t{rgb[i + 1]} << 8) | rgb[i + 2];
  }
};

// The tallest patch of `colour` (within 2 per channel) inside `area`, made of
// horizontal runs of at least `min_run` pixels that touch from row to row:
// runs that long are surfaces, never text edges, and the tallest patch is a
// control rather than a one-pixel border line of the same grey.
inline ScreenBox find_colour(const ScreenShot& shot, std::uint32_t colour, ScreenBox area, int min_run = 10) {
  auto near = [colour](std::uint32_t c) {
    for (int shift : {16, 8, 0}) {
      const int a = static_cast<int>((c >> shift) & 0xff), b = static_cast<int>((colour >> shift) & 0xff);
      if (a - b > 2 || b - a > 2) return false;
    }
    return true;
  };
  area.x0 = std::max(area.x0, 0), area.y0 = std::max(area.y0, 0);
  area.x1 = std::min(area.x1, shot.width - 1), area.y1 = std::min(area.y1, shot.height - 1);
  std::vector<ScreenBox> patches;             // growing downwards
  std::vector<std::size_t> open, next_open;   // patches with a run in the previous row
  for (int y = area.y0; y <= area.y1; ++y) {
    next_open.clear();
    int x = area.x0;
    while (x <= area.x1) {
      if (!near(shot.at(x, y))) {
        ++x;
        continue;
      }
      const int begin = x;
      while (x <= area.x1 && near(shot.at(x, y))) ++x;
      if (x - begin < min_run) continue;
      const ScreenBox run{begin, y, x - 1, y};
      std::optional<std::size_t> joined;
      for (std::size_t i : open) {
        ScreenBox& p = patches[i];
        if (p.x1 >= run.x0 && p.x0 <= run.x1) {
          p.x0 = std::min(p.x0, run.x0), p.x1 = std::max(p.x1, run.x1), p.y1 = y;
          joined = i;
          break;
        }
      }
      if (!joined) {
        patches.push_back(run);
        joined = patches.size() - 1;
      }
      next_open.push_back(*joined);
    }
    open.swap(next_open);
  }
  ScreenBox best;
  for (const ScreenBox& p : patches) {
    if (best.empty() || p.y1 - p.y0 > best.y1 - best.y0) best = p;
  }
  return best;
}

class PortalDialog {
 public:
  enum class Choice { share, cancel, share_without_input };

  explicit PortalDialog(const GnomeSession& session) : address_(session.bus_address()) {}
  ~PortalDialog() {
    stop_ = true;
    if (worker_.joinable()) worker_.join();
  }
  PortalDialog(const PortalDialog&) = delete;
  PortalDialog& operator=(const PortalDialog&) = delete;

  // Answers the next dialog that appears (within `timeout`) on a thread of its own.
  void answer_async(Choice choice, std::chrono::milliseconds timeout = std::chrono::seconds(40)) {
    if (worker_.joinable()) worker_.join();
    done_ = false;
    worker_ = std::thread([this, choice, timeout] {
      std::string why = answer(choice, timeout);
      std::lock_guard<std::mutex> lock(mutex_);
      why_ = std::move(why);
      done_ = true;
    });
  }
  // Whether the answer was given; why() says what went wrong otherwise.
  bool wait() {
    if (worker_.joinable()) worker_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    return done_ && why_.empty();
  }
  std::string why() {
    std::lock_guard<std::mutex> lock(mutex_);
    return why_;
  }
  // Screenshots the answer took (how often the dialog was looked at).
  int looks() const { return looks_; }

 private:
  static constexpr std::uint32_t kShare = 0x3584e4;
  static constexpr std::uint32_t kSwitchOff = 0xdcdcdc;
  static constexpr std::uint32_t kSwitchOn = 0x4990e7;
  static constexpr std::uint32_t kCancel = 0xd9d9d9;

  static std::string take(GError* error) {
    std::string text = error != nullptr && error->message != nullptr ? error->message : "unknown error";
    if (error != nullptr) g_error_free(error);
    return text;
  }

  // One call on the test's connection; nullptr with `why` set on failure.
  GVariant* call(const char* dest, const char* path, const char* iface, const char* method, GVariant* args,
                 const char* reply_type, std::string& why) {
    GError* error = nullptr;
    GVariant* r = g_dbus_connection_call_sync(connection_, dest, path, iface, method, args,
                                              reply_type ? G_VARIANT_TYPE(reply_type) : nullptr,
                                              G_DBUS_CALL_FLAGS_NONE, 15000, nullptr, &error);
    if (r == nullptr) why = std::string(method) + ": " + take(error);
    return r;
  }

  std::string answer(Choice choice, std::chrono::milliseconds timeout) {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    GError* error = nullptr;
    connection_ = g_dbus_connection_new_for_address_sync(
        address_.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    std::string why;
    if (connection_ == nullptr) {
      why = "bus: " + take(error);
    } else {
      why = answer_on_bus(choice, timeout);
      g_dbus_connection_close_sync(connection_, nullptr, nullptr);
      g_object_unref(connection_);
      connection_ = nullptr;
    }
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    return why;
  }

  std::string answer_on_bus(Choice choice, std::chrono::milliseconds timeout) {
    std::string why;
    // The screenshot portal asks nothing of a caller the store allows.
    GVariant* r = call("org.freedesktop.impl.portal.PermissionStore", "/org/freedesktop/impl/portal/PermissionStore",
                       "org.freedesktop.impl.portal.PermissionStore", "SetPermission",
                       g_variant_new_parsed("('screenshot', true, 'screenshot', '', ['yes'])"), nullptr, why);
    if (r == nullptr) return why;
    g_variant_unref(r);
    if (!start_pointer(why)) return why;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string last = "the dialog never appeared";
    bool switched = choice != Choice::share;
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
      std::optional<ScreenShot> shot = screenshot(why);
      if (!shot) return why;
      ++looks_;
      const ScreenBox share = find_colour(*shot, kShare, {0, 0, shot->width - 1, shot->height - 1});
      if (share.empty() || share.x1 - share.x0 < 30) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        continue;
      }
      // The switch sits right-aligned under the button, below the monitor list.
      const int w = share.x1 - share.x0;
      const ScreenBox below{share.x0 - w, share.y1 + 20, share.x1 + 10, std::min(share.y1 + 400, shot->height - 1)};
      const ScreenBox on = find_colour(*shot, kSwitchOn, below);
      const ScreenBox off = find_colour(*shot, kSwitchOff, below);
      if (choice == Choice::cancel) {
        const ScreenBox header{0, share.y0, share.x0 - 1, share.y1};
        const ScreenBox cancel = find_colour(*shot, kCancel, header);
        if (cancel.empty()) {
          last = "no Cancel button left of Share";
        } else if (!click(cancel.cx(), cancel.cy(), why)) {
          return why;
        } else if (gone(deadline, why)) {
          return why;
        } else {
          last = "the dialog stayed after the click";  // a lost press: look and click again
          continue;
        }
      } else if (!switched && on.empty() && !off.empty()) {
        if (!click(off.cx(), off.cy(), why)) return why;
        last = "the switch did not turn on";
        // The switch animates: look again once it has settled, so one click is never taken for two.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
      } else if (!switched && !on.empty()) {
        switched = true;
        continue;  // on: press Share with a fresh look
      } else if (switched) {
        if (!click(share.cx(), share.cy(), why)) return why;
        if (gone(deadline, why)) return why;
        last = "the dialog stayed after the click";
        continue;
      } else {
        last = "no interaction switch under Share";
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return stop_ ? std::string("stopped") : last;
  }

  // Whether the Share button left the screen within 3 s (or `why` is set by a failed look).
  bool gone(std::chrono::steady_clock::time_point deadline, std::string& why) {
    const auto limit = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::seconds(3));
    while (std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      std::optional<ScreenShot> shot = screenshot(why);
      if (!shot) return true;
      ++looks_;
      const ScreenBox share = find_colour(*shot, kShare, {0, 0, shot->width - 1, shot->height - 1});
      if (share.empty() || share.x1 - share.x0 < 30) return true;
    }
    return false;
  }

  // A remote-desktop session of mutter's with a stream of the first monitor,
  // so absolute motion has coordinates (no frame is ever read from it).
  bool start_pointer(std::string& why) {
    GVariant* state = call("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                           "org.gnome.Mutter.DisplayConfig", "GetCurrentState", nullptr, nullptr, why);
    if (state == nullptr) return false;
    GVariant* monitors = g_variant_get_child_value(state, 1);
    std::string connector;
    if (g_variant_n_children(monitors) > 0) {
      GVariant* first = g_variant_get_child_value(monitors, 0);
      GVariant* spec = g_variant_get_child_value(first, 0);
      GVariant* name = g_variant_get_child_value(spec, 0);
      connector = g_variant_get_string(name, nullptr);
      g_variant_unref(name), g_variant_unref(spec), g_variant_unref(first);
    }
    g_variant_unref(monitors);
    g_variant_unref(state);
    if (connector.empty()) return why = "no monitor", false;
    const char* rd = "org.gnome.Mutter.RemoteDesktop";
    GVariant* r = call(rd, "/org/gnome/Mutter/RemoteDesktop", rd, "CreateSession", nullptr, "(o)", why);
    if (r == nullptr) return false;
    const gchar* path = nullptr;
    g_variant_get(r, "(&o)", &path);
    session_ = path;
    g_variant_unref(r);
    r = call(rd, session_.c_str(), "org.freedesktop.DBus.Properties", "Get",
             g_variant_new("(ss)", "org.gnome.Mutter.RemoteDesktop.Session", "SessionId"), "(v)", why);
    if (r == nullptr) return false;
    GVariant* v = nullptr;
    g_variant_get(r, "(v)", &v);
    const std::string id = g_variant_get_string(v, nullptr);
    g_variant_unref(v), g_variant_unref(r);
    const char* sc = "org.gnome.Mutter.ScreenCast";
    r = call(sc, "/org/gnome/Mutter/ScreenCast", sc, "CreateSession",
             g_variant_new_parsed("({'remote-desktop-session-id': <%s>},)", id.c_str()), "(o)", why);
    if (r == nullptr) return false;
    g_variant_get(r, "(&o)", &path);
    const std::string cast = path;
    g_variant_unref(r);
    r = call(sc, cast.c_str(), "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor",
             g_variant_new_parsed("(%s, {'cursor-mode': <uint32 0>})", connector.c_str()), "(o)", why);
    if (r == nullptr) return false;
    g_variant_get(r, "(&o)", &path);
    stream_ = path;
    g_variant_unref(r);
    r = call(rd, session_.c_str(), "org.gnome.Mutter.RemoteDesktop.Session", "Start", nullptr, nullptr, why);
    if (r == nullptr) return false;
    g_variant_unref(r);
    return true;
  }

  bool click(int x, int y, std::string& why) {
    const char* iface = "org.gnome.Mutter.RemoteDesktop.Session";
    const char* rd = "org.gnome.Mutter.RemoteDesktop";
    GVariant* r = call(rd, session_.c_str(), iface, "NotifyPointerMotionAbsolute",
                       g_variant_new("(sdd)", stream_.c_str(), static_cast<double>(x), static_cast<double>(y)), nullptr,
                       why);
    if (r == nullptr) return false;
    g_variant_unref(r);
    // The press after a motion into a new surface is lost without a pause.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    for (bool pressed : {true, false}) {
      r = call(rd, session_.c_str(), iface, "NotifyPointerButton", g_variant_new("(ib)", 0x110, pressed), nullptr, why);
      if (r == nullptr) return false;
      g_variant_unref(r);
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    return true;
  }

  // The screen through the Screenshot portal (a PNG in the session's HOME, read and removed).
  std::optional<ScreenShot> screenshot(std::string& why) {
    const std::string token = "pelagon2_dialog_" + std::to_string(++requests_);
    std::string sender = g_dbus_connection_get_unique_name(connection_) + 1;
    for (char& c : sender) c = c == '.' ? '_' : c;
    const std::string request = "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
    struct Answer {
      bool done = false;
      std::string uri;
      std::uint32_t code = 99;
    } answer;
    const guint id = g_dbus_connection_signal_subscribe(
        connection_, "org.freedesktop.portal.Desktop", "org.freedesktop.portal.Request", "Response", request.c_str(),
        nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* params, gpointer data) {
          auto* a = static_cast<Answer*>(data);
          GVariant* results = nullptr;
          g_variant_get(params, "(u@a{sv})", &a->code, &results);
          const gchar* uri = nullptr;
          if (g_variant_lookup(results, "uri", "&s", &uri)) a->uri = uri;
          g_variant_unref(results);
          a->done = true;
        },
        &answer, nullptr);
    GVariant* r = call("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                       "org.freedesktop.portal.Screenshot", "Screenshot",
                       g_variant_new_parsed("('', {'handle_token': <%s>})", token.c_str()), "(o)", why);
    if (r != nullptr) g_variant_unref(r);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (r != nullptr && !answer.done && std::chrono::steady_clock::now() < deadline) {
      if (!g_main_context_iteration(g_main_context_get_thread_default(), FALSE))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    g_dbus_connection_signal_unsubscribe(connection_, id);
    if (r == nullptr) return std::nullopt;
    if (!answer.done || answer.code != 0 || answer.uri.empty()) {
      why = "the screenshot portal answered " + std::to_string(answer.code);
      return std::nullopt;
    }
    gchar* file = g_filename_from_uri(answer.uri.c_str(), nullptr, nullptr);
    if (file == nullptr) return why = "screenshot uri " + answer.uri, std::nullopt;
    const std::string path = file;
    g_free(file);
    std::optional<PngFile> png = read_png_file(path);
    // PELAGON2_DIALOG_LOOKS names a folder that keeps the latest look, for a failure's post-mortem.
    const char* keep = std::getenv("PELAGON2_DIALOG_LOOKS");
    if (keep == nullptr || *keep == '\0' || ::rename(path.c_str(), (std::string(keep) + "/last-look.png").c_str()) != 0)
      ::unlink(path.c_str());
    if (!png || png->bit_depth != 8 || (png->color_type != PNG_COLOR_TYPE_RGB && png->color_type != PNG_COLOR_TYPE_RGBA)) {
      why = "unreadable screenshot " + path;
      return std::nullopt;
    }
    const std::size_t channels = png->color_type == PNG_COLOR_TYPE_RGBA ? 4 : 3;
    ScreenShot shot;
    shot.width = static_cast<int>(png->width);
    shot.height = static_cast<int>(png->height);
    shot.rgb.reserve(std::size_t{png->width} * png->height * 3);
    for (std::size_t i = 0; i + channels <= png->pixels.size(); i += channels)
      shot.rgb.insert(shot.rgb.end(), png->pixels.begin() + static_cast<std::ptrdiff_t>(i),
                      png->pixels.begin() + static_cast<std::ptrdiff_t>(i + 3));
    return shot;
  }

  std::string address_;
  GDBusConnection* connection_ = nullptr;
  std::string session_, stream_;
  int requests_ = 0;
  std::atomic<int> looks_{0};
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::mutex mutex_;
  std::string why_;
  std::thread worker_;
};

}  // namespace pelagon2::testing
