// The GNOME route over the wire: the real host on headless mutter (its own
// RemoteDesktop, ScreenCast and DisplayConfig services, PipeWire frames), with
// a native GTK 3 client watching what arrives. The client is fullscreen:
// white, a red 200x100 block at (100, 100), a blue 100x100 block at (400, 100),
// an entry with the keyboard focus at the bottom left.

#include <gtest/gtest.h>

#include <cmath>

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include <atomic>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/gnome_session.h"
#include "support/gnome_suite.h"
#include "support/host_process.h"
#include "support/temp_tree.h"
#include "testkit/png_file_reader.h"
#include "testkit/synthetic_screen.h"

namespace pelagon2 {
namespace {

using testing::GnomeSession;
using testing::GnomeSuite;
using testing::GtkEvents;
using testing::HostProcess;

Json rect(long x, long y, long w, long h) { return Json{{"height", h}, {"width", w}, {"x", x}, {"y", y}}; }

// The entry's text as GTK last reported it.
std::string entry_text(const GtkEvents& gtk) {
  std::string text;
  for (const std::string& line : gtk.lines()) {
    const Json j = Json::parse(line, nullptr, false);
    if (j.is_object() && j.value("event", "") == "text") text = j.value("text", "");
  }
  return text;
}

// Keys GTK saw pressed and not released.
std::vector<long> keys_held(const GtkEvents& gtk) {
  std::vector<long> held;
  for (const std::string& line : gtk.lines()) {
    const Json j = Json::parse(line, nullptr, false);
    if (!j.is_object()) continue;
    const std::string e = j.value("event", "");
    const long code = j.value("keycode", -1L);
    if (e == "key_press") held.push_back(code);
    if (e == "key_release") std::erase(held, code);
  }
  return held;
}

std::size_t channels(const testing::PngFile& png) { return png.color_type == PNG_COLOR_TYPE_RGB_ALPHA ? 4 : 3; }

// Another remote-desktop client of mutter standing for the user's clipboard:
// it owns the selection with `text` and serves it from a thread of its own,
// and reads whatever the selection holds later.
class ClipboardUser {
 public:
  ClipboardUser(const std::string& bus_address, std::string text) : text_(std::move(text)) {
    context_ = g_main_context_new();
    g_main_context_push_thread_default(context_);
    bus_ = g_dbus_connection_new_for_address_sync(
        bus_address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    g_main_context_pop_thread_default(context_);
    if (bus_ == nullptr) return;
    GVariant* created = call("/org/gnome/Mutter/RemoteDesktop", "org.gnome.Mutter.RemoteDesktop", "CreateSession", nullptr);
    if (created == nullptr) return;
    const char* path = nullptr;
    g_variant_get(created, "(&o)", &path);
    session_ = path;
    g_variant_unref(created);
    g_main_context_push_thread_default(context_);
    g_dbus_connection_signal_subscribe(bus_, nullptr, kSession, "SelectionTransfer", session_.c_str(), nullptr,
                                       G_DBUS_SIGNAL_FLAGS_NONE, on_transfer, this, nullptr);
    g_main_context_pop_thread_default(context_);
    ok_ = session_call("Start", nullptr) && session_call("EnableClipboard", g_variant_new_parsed("(@a{sv} {},)")) &&
          session_call("SetSelection", g_variant_new_parsed("({'mime-types': <['text/plain;charset=utf-8']>},)"));
    loop_ = std::thread([this] {
      while (!stop_) g_main_context_iteration(context_, FALSE), std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
  }
  ~ClipboardUser() {
    stop_ = true;
    if (loop_.joinable()) loop_.join();
    if (bus_ != nullptr) g_object_unref(bus_);
    g_main_context_unref(context_);
  }
  bool ok() const { return ok_; }

  // The selection's text now, owned by another client (nullopt: unreadable).
  std::optional<std::string> read() {
    GUnixFDList* fds = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        bus_, "org.gnome.Mutter.RemoteDesktop", session_.c_str(), kSession, "SelectionRead",
        g_variant_new("(s)", "text/plain;charset=utf-8"), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &fds, nullptr,
        nullptr);
    if (reply == nullptr) return std::nullopt;
    gint32 handle = 0;
    g_variant_get(reply, "(h)", &handle);
    g_variant_unref(reply);
    const int fd = g_unix_fd_list_get(fds, handle, nullptr);
    g_object_unref(fds);
    // mutter's end of the pipe may be non-blocking: wait for the owner's writes.
    std::string out;
    char buffer[256];
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return out;
  }
  int transfers() const { return transfers_; }

 private:
  static constexpr const char* kSession = "org.gnome.Mutter.RemoteDesktop.Session";

  GVariant* call(const char* path, const char* interface, const char* method, GVariant* parameters) {
    return g_dbus_connection_call_sync(bus_, "org.gnome.Mutter.RemoteDesktop", path, interface, method, parameters,
                                       nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  }
  bool session_call(const char* method, GVariant* parameters) {
    GVariant* reply = call(session_.c_str(), kSession, method, parameters);
    if (reply != nullptr) g_variant_unref(reply);
    return reply != nullptr;
  }
  static void on_transfer(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* p,
                          gpointer data) {
    auto* self = static_cast<ClipboardUser*>(data);
    const char* mime = nullptr;
    guint32 serial = 0;
    g_variant_get(p, "(&su)", &mime, &serial);
    GUnixFDList* fds = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        self->bus_, "org.gnome.Mutter.RemoteDesktop", self->session_.c_str(), kSession, "SelectionWrite",
        g_variant_new("(u)", serial), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &fds, nullptr, nullptr);
    if (reply != nullptr) {
      gint32 handle = 0;
      g_variant_get(reply, "(h)", &handle);
      const int fd = g_unix_fd_list_get(fds, handle, nullptr);
      const bool written = ::write(fd, self->text_.data(), self->text_.size()) == static_cast<ssize_t>(self->text_.size());
      ::close(fd);
      g_object_unref(fds);
      g_variant_unref(reply);
      self->session_call("SelectionWriteDone", g_variant_new("(ub)", serial, written));
      ++self->transfers_;
    }
  }

  std::string text_;
  GMainContext* context_ = nullptr;
  GDBusConnection* bus_ = nullptr;
  std::string session_;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> transfers_{0};
  std::thread loop_;
};

class GnomeWire : public GnomeSuite<GnomeWire> {
 protected:
  static void SetUpTestSuite() { start_suite({}, "gtk.jsonl"); }
  void SetUp() override {
    if (session_->missing_programs()) GTEST_SKIP() << session_->why();
    ASSERT_TRUE(session_->ready()) << session_->why() << session_->log();
    ASSERT_TRUE(gtk_ready_) << gtk_->text() << session_->log();
    std::vector<std::string> env = session_->env();
    env.push_back("TMPDIR=" + tree_.path());
    host_ = std::make_unique<HostProcess>(env);
  }

  Json result(const char* method, const Json& params = Json()) {
    const Json reply = host_->request(method, params);
    EXPECT_TRUE(reply.contains("result")) << method << " " << reply.dump();
    return reply.value("result", Json());
  }

  // The desktop as the host captures it now.
  std::optional<testing::PngFile> capture() {
    const Json path = result("capture_desktop", Json::object());
    if (!path.is_string()) return std::nullopt;
    return testing::read_png_file(path.get<std::string>());
  }

  // Waits until GTK reported `count` events of `kind`.
  bool wait_events(const std::string& kind, std::size_t count) {
    return testing::wait_until([&] { return gtk_->events(kind).size() >= count; });
  }

  testing::TempTree tree_;
  std::unique_ptr<HostProcess> host_;
};

TEST_F(GnomeWire, DisplayListIsMuttersMonitor) {
  const Json list = result("get_display_list");
  ASSERT_EQ(list.size(), 1u) << list.dump();
  EXPECT_EQ(list[0]["name"], "Meta-0");
  EXPECT_EQ(to_json_text(Json{{"x", list[0]["x"]}, {"y", list[0]["y"]}, {"w", list[0]["width"]}, {"h", list[0]["height"]}}),
            R"({"h":800,"w":1280,"x":0,"y":0})");
  EXPECT_EQ(list[0]["isPrimary"], true);
  EXPECT_EQ(list[0]["scaleFactor"], 1.0);
  EXPECT_EQ(result("get_screen_backing_scale_factor"), Json(1.0));
}

TEST_F(GnomeWire, CaptureShowsTheClientsPixelsAtTheirPlace) {
  const std::optional<testing::PngFile> png = capture();
  ASSERT_TRUE(png.has_value());
  EXPECT_EQ(png->color_type, PNG_COLOR_TYPE_RGB_ALPHA);
  ASSERT_EQ(png->width, 1280u);
  ASSERT_EQ(png->height, 800u);
  auto pixel = [&](std::uint32_t x, std::uint32_t y) {
    const std::size_t i = (static_cast<std::size_t>(y) * png->width + x) * channels(*png);
    return std::array<int, 3>{png->pixels[i], png->pixels[i + 1], png->pixels[i + 2]};
  };
  EXPECT_EQ(pixel(100, 100), (std::array<int, 3>{255, 0, 0}));
  EXPECT_EQ(pixel(299, 199), (std::array<int, 3>{255, 0, 0}));
  EXPECT_EQ(pixel(99, 100), (std::array<int, 3>{255, 255, 255}));
  EXPECT_EQ(pixel(300, 150), (std::array<int, 3>{255, 255, 255}));
  EXPECT_EQ(pixel(450, 150), (std::array<int, 3>{0, 0, 255}));
  EXPECT_EQ(result("find_rectangle", {{"color", "#FF0000"}}), rect(100, 100, 200, 100));
  EXPECT_EQ(result("find_color_regions", {{"color", "0000ff"}}), (Json{{"regions", Json::array({rect(400, 100, 100, 100)})}}));
}

TEST_F(GnomeWire, ClicksAndWheelReachGtkWhereAsked) {
  // mutter may still be growing the new window into place; clicks are judged once the screen shows it there.
  ASSERT_TRUE(testing::wait_until(
      [&] { return result("find_rectangle", {{"color", "#FF0000"}}) == rect(100, 100, 200, 100); }))
      << "the client never showed in place";
  const std::size_t presses = gtk_->events("button_press").size();
  EXPECT_EQ(result("send_mouse_event", {{"type", 3}, {"button", 0}, {"x", 321}, {"y", 123}}), Json(true));
  ASSERT_TRUE(wait_events("button_release", presses + 1)) << gtk_->text();
  ASSERT_TRUE(wait_events("button_press", presses + 1)) << "a release came without its press: " << gtk_->text();
  Json press = gtk_->events("button_press").back();
  EXPECT_EQ(press["button"], 1);
  EXPECT_EQ(std::floor(press["x"].get<double>()), 321.0);  // on that pixel
  EXPECT_EQ(std::floor(press["y"].get<double>()), 123.0) << gtk_->text();  // on that pixel

  EXPECT_EQ(result("send_mouse_event", {{"type", 3}, {"button", 1}, {"x", 640}, {"y", 400}}), Json(true));
  ASSERT_TRUE(wait_events("button_release", presses + 2)) << gtk_->text();
  ASSERT_TRUE(wait_events("button_press", presses + 2)) << "a release came without its press: " << gtk_->text();
  press = gtk_->events("button_press").back();
  EXPECT_EQ(press["button"], 3);
  EXPECT_EQ(std::floor(press["x"].get<double>()), 640.0);  // on that pixel
  EXPECT_EQ(std::floor(press["y"].get<double>()), 400.0);  // on that pixel

  // Far beyond the monitor: its last pixel.
  EXPECT_EQ(result("send_mouse_event", {{"type", 3}, {"button", 0}, {"x", 5000}, {"y", 300}}), Json(true));
  ASSERT_TRUE(wait_events("button_release", presses + 3)) << gtk_->text();
  ASSERT_TRUE(wait_events("button_press", presses + 3)) << "a release came without its press: " << gtk_->text();
  EXPECT_EQ(std::floor(gtk_->events("button_press").back()["x"].get<double>()), 1279.0);

  // deltaX turns the vertical wheel, deltaY the horizontal one, in X11's directions.
  const struct {
    int dx, dy;
    const char* direction;
  } wheels[] = {{2, 0, "down"}, {-1, 0, "up"}, {0, 3, "right"}, {0, -2, "left"}};
  for (const auto& w : wheels) {
    const std::size_t scrolls = gtk_->events("scroll").size();
    EXPECT_EQ(result("send_mouse_wheel_event", {{"deltaX", w.dx}, {"deltaY", w.dy}}), Json(true));
    const std::size_t steps = static_cast<std::size_t>(std::abs(w.dx) + std::abs(w.dy));
    ASSERT_TRUE(wait_events("scroll", scrolls + steps)) << gtk_->text();
    const std::vector<Json> all = gtk_->events("scroll");
    // GTK's own direction, from the deltas it reports (its smooth events carry no named one).
    for (std::size_t i = scrolls; i < all.size(); ++i) {
      const double dx = all[i].value("dx", 0.0), dy = all[i].value("dy", 0.0);
      if (dx == 0 && dy == 0) continue;
      const char* seen = dy > 0 ? "down" : dy < 0 ? "up" : dx > 0 ? "right" : "left";
      EXPECT_STREQ(seen, w.direction) << gtk_->text();
    }
  }
}

TEST_F(GnomeWire, TypedTextArrivesExactly) {
  const std::string cases[] = {
      "Hello, World! ABC xyz 0123",
      "Gr\u00fc\u00dfe aus K\u00f6ln \u2014 \u6771\u4eac \u2713 \u00bd\u20ac",
      "MiXeD CaSe ~!@#$%^&*()_+{}|:\"<>?",
  };
  for (const std::string& text : cases) {
    EXPECT_EQ(result("send_text", {{"text", "${KEY_CTRL+KEY_A}${KEY_BACKSPACE}"}}), Json(true));
    ASSERT_TRUE(testing::wait_until([&] { return entry_text(*gtk_).empty(); })) << gtk_->text();
    EXPECT_EQ(result("send_text", {{"text", text}}), Json(true));
    EXPECT_TRUE(testing::wait_until([&] { return entry_text(*gtk_) == text; }, std::chrono::seconds(10)))
        << "want " << text << "\ngot  " << entry_text(*gtk_);
    // Releases may reach the client just after the text.
    EXPECT_TRUE(testing::wait_until([&] { return keys_held(*gtk_).empty(); })) << gtk_->text();
  }
}

// Text beyond the keymap goes through the clipboard; the user's own
// clipboard text is there again afterwards.
// Disabled: the restored text is served only while the host is inside a request (the bus is turned then only).
TEST_F(GnomeWire, PasteLeavesTheUsersClipboardAsItWas) {
  ClipboardUser user(session_->bus_address(), "the user's own words \u00e6");
  ASSERT_TRUE(user.ok());
  EXPECT_EQ(result("send_text", {{"text", "${KEY_CTRL+KEY_A}${KEY_BACKSPACE}"}}), Json(true));
  ASSERT_TRUE(testing::wait_until([&] { return entry_text(*gtk_).empty(); })) << gtk_->text();
  EXPECT_EQ(result("send_text", {{"text", "\u00e9t\u00e9 \u263a"}}), Json(true));
  EXPECT_TRUE(testing::wait_until([&] { return entry_text(*gtk_) == "\u00e9t\u00e9 \u263a"; })) << gtk_->text();
  EXPECT_GE(user.transfers(), 1);  // the host read it before pasting
  // Read while the host waits for its next request, and after it ended.
  EXPECT_EQ(user.read(), "the user's own words \u00e6");
  EXPECT_EQ(result("get_display_list").size(), 1u);
  EXPECT_EQ(user.read(), "the user's own words \u00e6");
  host_.reset();
  EXPECT_EQ(user.read(), "the user's own words \u00e6");
}

TEST_F(GnomeWire, NoKeyIsLeftHeld) {
  EXPECT_EQ(result("send_text", {{"text", "${KEY_SHIFT+KEY_X}${KEY_CTRL+KEY_ALT+KEY_Z}q"}}), Json(true));
  const Json failing = host_->request("send_text", {{"text", std::string("ab\0c", 4)}});
  EXPECT_EQ(failing["error"]["message"],
            "input_failed: TypeText(\"ab\\u{0}c\"): simulating input failed: (no keysym for U+0000)");
  // Every key GTK saw go down came up again.
  EXPECT_TRUE(testing::wait_until([&] { return keys_held(*gtk_).empty(); })) << gtk_->text();
}

// The red block's top-left corner with the white around it, cut from a capture.
vision_core::RgbImage corner_of_red(const testing::PngFile& png) {
  vision_core::RgbImage image(png.width, png.height);
  for (std::size_t i = 0; i < std::size_t{png.width} * png.height; ++i)
    for (std::size_t c = 0; c < 3; ++c) image.pixels[i * 3 + c] = png.pixels[i * channels(png) + c];
  return testing::crop(image, 80, 80, 40, 40);
}

TEST_F(GnomeWire, SearchAndWaitFindTheClientsPicture) {
  const std::optional<testing::PngFile> png = capture();
  ASSERT_TRUE(png.has_value());
  const Json pattern = testing::png_param(corner_of_red(*png));
  const Json found = result("search_desktop", Json{{"pattern", pattern}});
  ASSERT_EQ(found["regions"].size(), 1u) << found.dump();
  EXPECT_EQ(to_json_text(found["regions"][0]["matchedRect"]), testing::rect_text(80, 80, 40, 40));

  const Json waited = result("wait_for_image", Json{{"pattern", pattern}, {"timeoutMs", 5000u}});
  EXPECT_EQ(waited["found"], true) << waited.dump();
  ASSERT_EQ(waited["regions"].size(), 1u) << waited.dump();
  EXPECT_EQ(to_json_text(waited["regions"][0]["matchedRect"]), testing::rect_text(80, 80, 40, 40));
  const Json missing =
      result("wait_for_image", Json{{"pattern", testing::png_param(testing::noise_image(24, 24, 3))}, {"timeoutMs", 300u},
                                    {"intervalMs", 100u}});
  EXPECT_EQ(missing["found"], false) << missing.dump();
  EXPECT_GE(missing["elapsedMs"].get<std::uint64_t>(), 300u);
}

// The number of dark pixels in the entry's row (the text typed so far).
std::size_t dark_pixels_in_entry(const testing::PngFile& png) {
  std::size_t dark = 0;
  for (std::uint32_t y = 700; y < png.height; ++y) {
    for (std::uint32_t x = 0; x < 640; ++x) {
      const std::size_t i = (static_cast<std::size_t>(y) * png.width + x) * channels(png);
      if (png.pixels[i] < 96 && png.pixels[i + 1] < 96 && png.pixels[i + 2] < 96) ++dark;
    }
  }
  return dark;
}

// A key typed by one request shows in the next capture: no frame older than
// the input is taken for the screen.
TEST_F(GnomeWire, CaptureAfterTypingShowsTheKey) {
  ASSERT_EQ(result("send_mouse_event", {{"type", 3}, {"button", 0}, {"x", 300}, {"y", 763}}), Json(true));
  EXPECT_EQ(result("send_text", {{"text", "${KEY_CTRL+KEY_A}${KEY_BACKSPACE}"}}), Json(true));
  ASSERT_TRUE(testing::wait_until([&] { return entry_text(*gtk_).empty(); }));
  std::optional<testing::PngFile> before = capture();
  ASSERT_TRUE(before.has_value());
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(result("send_text", {{"text", "W"}}), Json(true));
    const std::optional<testing::PngFile> after = capture();
    ASSERT_TRUE(after.has_value());
    // A "W" darkens far more pixels than a blinking caret could take away.
    EXPECT_GT(dark_pixels_in_entry(*after), dark_pixels_in_entry(*before) + 20) << "after W number " << i + 1;
    before = after;
  }
}

}  // namespace
}  // namespace pelagon2
