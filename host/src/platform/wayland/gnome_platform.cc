// The GNOME and portal routes: the platform services on one remote-desktop
// session (mutter's own, or the portal's) and its PipeWire streams, opened on
// first use, kept for the host's lifetime and opened again once the
// compositor or PipeWire went away.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/utf8.h"
#include "platform/wayland/dbus_bus.h"
#include "platform/wayland/gnome_model.h"
#include "platform/wayland/mutter_session.h"
#include "platform/wayland/pipewire_capture.h"
#include "platform/wayland/portal_session.h"
#include "platform/wayland/remote_session.h"
#include "platform/wayland/wayland_input_model.h"
#include "platform/wayland/wayland_model.h"
#include "platform/wayland/wayland_routes.h"
#include "platform/x11/x11_window_model.h"
#include "platform/x11/x11_input_model.h"

namespace pelagon2::platform::wayland::gnome {
namespace {

using namespace std::chrono_literals;

// A session start waits this long for its streams: mutter gives them within
// 0.2 s; a loaded machine needs more, and a PipeWire that is gone never does.
constexpr std::chrono::milliseconds kStreamDeadline = 5s;
// A capture waits this long for a stream's first frame (0.15 s measured).
constexpr std::int64_t kFirstFrameNs = 3'000'000'000;
// Quirks of mutter's input: the first keyboard event of a session is lost; a
// press right after a motion into another surface may reach the old one.
constexpr auto kKeyboardPrime = 50ms;
constexpr auto kAfterMotion = 20ms;
constexpr auto kFirstPress = 150ms;
// A new selection is left this long to reach the application before its paste.
constexpr auto kSelectionSettle = 50ms;
// A paste waits this long for the application to read the clipboard.
constexpr int kPasteDeadlineMs = 2000;
// Text is paced as on X11: one pacing share per this many characters.
constexpr std::size_t kTextChunk = 20;

// Where sessions come from: mutter's services on the bus, or the portal.
class Source {
 public:
  virtual ~Source() = default;
  // The live session; may start one (`may_prompt`: the portal's dialog may show).
  virtual Expected<RemoteSession*> session(bool may_prompt) = 0;
  // The session was found unusable (its PipeWire stream ended): start anew next time.
  virtual void drop() = 0;
  // The monitors for the display list.
  virtual std::vector<Output> outputs() = 0;
  virtual bool gated() const = 0;
  virtual bool refused() const { return false; }
};

class MutterSource final : public Source {
 public:
  Expected<RemoteSession*> session(bool) override {
    if (session_ && session_->alive()) return session_.get();
    session_.reset();
    Expected<Bus*> bus = connected();
    if (!bus) return std::move(bus).take_error();
    Expected<std::vector<Output>> outputs = mutter_outputs(**bus);
    if (!outputs) return std::move(outputs).take_error();
    if (outputs->empty()) return make_error("no monitors");
    Expected<std::unique_ptr<RemoteSession>> started = start_mutter_session(bus_, *outputs, kStreamDeadline);
    if (!started) return std::move(started).take_error();
    session_ = std::move(*started);
    return session_.get();
  }
  void drop() override { session_.reset(); }
  std::vector<Output> outputs() override {
    Expected<Bus*> bus = connected();
    if (!bus) return {};
    Expected<std::vector<Output>> outputs = mutter_outputs(**bus);
    return outputs ? *outputs : std::vector<Output>{};
  }
  bool gated() const override { return false; }

  bool reachable() {
    Expected<Bus*> bus = connected();
    return bus && (*bus)->has_owner("org.gnome.Mutter.RemoteDesktop");
  }

 private:
  Expected<Bus*> connected() {
    if (bus_ && !bus_->closed()) return bus_.get();
    session_.reset();
    Expected<std::unique_ptr<Bus>> bus = Bus::connect();
    if (!bus) return std::move(bus).take_error();
    bus_ = std::move(*bus);
    return bus_.get();
  }

  std::shared_ptr<Bus> bus_;
  std::unique_ptr<RemoteSession> session_;
};

class PortalSource final : public Source {
 public:
  Expected<RemoteSession*> session(bool may_prompt) override {
    RemoteSession* s = may_prompt ? access_.request() : access_.session();
    if (s != nullptr) return s;
    if (access_.refused()) return make_error("the user refused to share the screen");
    return make_error(access_.reason().empty() ? "no screen-sharing session" : access_.reason());
  }
  // A session whose streams ended (the compositor went away) serves nothing
  // more: the next permission request asks anew.
  void drop() override { access_.drop(); }
  std::vector<Output> outputs() override {
    if (RemoteSession* s = access_.session()) {
      std::vector<Output> out;
      for (const CastStream& c : s->streams()) out.push_back(c.output);
      return out;
    }
    // Before the dialog: GNOME's own monitor list where there is one.
    Expected<std::unique_ptr<Bus>> bus = Bus::connect();
    if (!bus) return {};
    Expected<std::vector<Output>> outputs = mutter_outputs(**bus);
    return outputs ? *outputs : std::vector<Output>{};
  }
  bool gated() const override { return true; }
  bool refused() const override { return access_.refused(); }
  PortalAccess& access() { return access_; }

 private:
  PortalAccess access_;
};

const CastStream* stream_for(const std::vector<CastStream>& streams, const Output* output);

// The session in use with its streams' PipeWire connection, and what input
// did on it (for fresh frames and the quirks).
class Route {
 public:
  explicit Route(std::unique_ptr<Source> source) : source_(std::move(source)) {}

  Source& source() { return *source_; }

  Expected<RemoteSession*> live(bool may_prompt) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      Expected<RemoteSession*> s = source_->session(may_prompt);
      if (!s) {
        forget();
        return s;
      }
      if (*s == current_ && capture_ && capture_->alive()) return s;
      if (*s == current_ && capture_) {
        // PipeWire went away under a live session: its streams are gone with it.
        source_->drop();
        forget();
        continue;
      }
      forget();
      std::vector<std::uint32_t> nodes;
      for (const CastStream& c : (*s)->streams()) nodes.push_back(c.node);
      Expected<std::unique_ptr<PipeWireCapture>> capture = PipeWireCapture::open((*s)->take_pipewire_fd(), nodes);
      if (!capture) {
        source_->drop();
        return std::move(capture).take_error();
      }
      capture_ = std::move(*capture);
      current_ = *s;
      return s;
    }
    return make_error("the screen-cast streams ended");
  }

  PipeWireCapture* capture() { return capture_.get(); }

  // The source's monitors with the pixel size their streams' frames have: the
  // portal gives only the logical size, which on a scaled monitor is not the
  // picture's.
  std::vector<Output> outputs() {
    std::vector<Output> outputs = source_->outputs();
    if (current_ == nullptr || !capture_) return outputs;
    for (Output& o : outputs) {
      const CastStream* stream = stream_for(current_->streams(), &o);
      if (stream == nullptr) continue;
      if (const auto size = capture_->frame_size(stream->node)) {
        o.pixel_width = size->first;
        o.pixel_height = size->second;
      }
    }
    return outputs;
  }

  void forget() {
    capture_.reset();
    current_ = nullptr;
    input_at_ = 0;
    keyboard_primed_ = false;
    pressed_once_ = false;
    moved_at_ = 0;
  }

  void note_input() { input_at_ = steady_ns(); }
  std::int64_t input_at() const { return input_at_; }

  bool keyboard_primed_ = false;
  bool pressed_once_ = false;
  std::int64_t moved_at_ = 0;

 private:
  std::unique_ptr<Source> source_;
  RemoteSession* current_ = nullptr;
  std::unique_ptr<PipeWireCapture> capture_;
  std::int64_t input_at_ = 0;
};

// The stream showing the display: the monitor of the same name, else of the
// same position (the portal names none), else the only one.
const CastStream* stream_for(const std::vector<CastStream>& streams, const Output* output) {
  if (output == nullptr) return streams.size() == 1 ? &streams.front() : nullptr;
  for (const CastStream& s : streams)
    if (!output->name.empty() && s.output.name == output->name) return &s;
  for (const CastStream& s : streams)
    if (s.output.x == output->x && s.output.y == output->y) return &s;
  return streams.size() == 1 ? &streams.front() : nullptr;
}

// ---- Displays ----

class GnomeDisplays final : public Displays {
 public:
  explicit GnomeDisplays(std::shared_ptr<Route> route) : route_(std::move(route)) {}
  Expected<std::vector<DisplayRecord>> active_displays() override { return display_records(route_->outputs()); }
  std::vector<ScreenRecord> screens() override { return screen_records(route_->outputs()); }
  std::optional<double> main_screen_scale() override {
    const std::vector<DisplayRecord> records = display_records(route_->outputs());
    for (const DisplayRecord& d : records)
      if (d.is_main && d.width > 0) return static_cast<double>(d.mode_pixel_width) / d.width;
    return std::nullopt;
  }

 private:
  std::shared_ptr<Route> route_;
};

// ---- Capture ----

class GnomeCapture final : public ScreenCapture {
 public:
  explicit GnomeCapture(std::shared_ptr<Route> route) : route_(std::move(route)) {}
  bool preflight_access() override {
    if (!route_->source().gated()) return true;
    Expected<RemoteSession*> s = route_->source().session(false);
    return s && (*s)->screen_granted();
  }
  bool request_access() override {
    if (!route_->source().gated()) return true;
    Expected<RemoteSession*> s = route_->live(true);
    return s && (*s)->screen_granted();
  }
  bool access_gated() override { return route_->source().gated(); }

  Expected<RawCapture> capture(const DisplayRecord& display) override {
    for (int attempt = 0; attempt < 2; ++attempt) {
      Expected<RemoteSession*> s = route_->live(false);
      if (!s) return std::move(s).take_error();
      const std::vector<Output> outputs = route_->source().outputs();
      const CastStream* stream = stream_for((*s)->streams(), output_for(outputs, display));
      if (stream == nullptr) {
        // A monitor added since the session started: a new session records it.
        route_->source().drop();
        route_->forget();
        continue;
      }
      return take(*stream);
    }
    return make_error("no screen-cast stream shows this display");
  }

 private:
  Expected<RawCapture> take(const CastStream& stream) {
    PipeWireCapture* pw = route_->capture();
    const std::int64_t first_deadline = steady_ns() + kFirstFrameNs;
    while (true) {
      if (!pw->alive()) {
        const std::string why = pw->failure();
        route_->source().drop();
        route_->forget();
        return make_error(why);
      }
      const Freshness f{route_->input_at(), pw->newest(stream.node)};
      const FrameWait w = frame_wait(f, steady_ns(), first_deadline);
      if (w.take_now) break;
      if (f.frame_at == 0 && steady_ns() >= first_deadline) return make_error("the screen-cast stream gave no frame");
      pw->wait_newer(stream.node, f.frame_at, w.until);
    }
    if (!pw->copy(stream.node, frame_)) return make_error("the screen-cast stream gave no frame");
    RawCapture raw;
    raw.bytes = frame_.bytes;
    raw.width = frame_.width;
    raw.height = frame_.height;
    raw.bytes_per_row = frame_.stride;
    raw.order = frame_.order;
    return raw;
  }

  std::shared_ptr<Route> route_;
  Frame frame_;
};

// ---- Windows ----

// Neither mutter nor gnome-shell tells ordinary clients where windows are.
class GnomeWindows final : public WindowList {
 public:
  std::vector<std::int32_t> browser_pids() override { return x11::browser_pids_in("/proc"); }
  std::optional<std::vector<WindowRecord>> front_to_back() override { return std::vector<WindowRecord>{}; }
};

// ---- Permissions ----

class GnomePermissions final : public Permissions {
 public:
  explicit GnomePermissions(std::shared_ptr<Route> route) : route_(std::move(route)) {}
  bool accessibility_trusted() override {
    if (!route_->source().gated()) return true;
    Expected<RemoteSession*> s = route_->source().session(false);
    return s && (*s)->input_granted();
  }
  bool request_accessibility() override {
    if (!route_->source().gated()) return true;
    Expected<RemoteSession*> s = route_->live(true);
    return s && (*s)->input_granted();
  }

 private:
  std::shared_ptr<Route> route_;
};

// ---- Input ----

Error failed(const std::string& what) { return make_error("simulating input failed: (" + what + ")"); }

class GnomeInputSession final : public InputSession {
 public:
  GnomeInputSession(std::shared_ptr<Route> route, Clock& clock, EventPacing& pacing)
      : route_(std::move(route)), clock_(clock), pacing_(pacing) {}

  Done perform(const InputAction& action) override {
    if (const auto* pause = std::get_if<action::SleepMs>(&action)) {
      constexpr std::uint64_t kMaxMs = 1000ull * 60 * 60 * 24 * 365;
      clock_.sleep(std::chrono::milliseconds(static_cast<std::int64_t>(std::min(pause->milliseconds, kMaxMs))));
      return std::monostate{};
    }
    Expected<RemoteSession*> s = route_->live(false);
    if (!s) return failed(s.error());
    session_ = *s;
    return std::visit([this](const auto& a) { return run(a); }, action);
  }

  void release_held_keys() override {
    const std::vector<std::uint32_t> held = held_;
    held_.clear();
    if (session_ == nullptr) return;
    for (const std::uint32_t keysym : held) (void)session_->keyboard_keysym(keysym, false);
    if (!held.empty()) route_->note_input();
  }

 private:
  void wait(std::chrono::nanoseconds d) { clock_.sleep(d); }

  Done posted(Done done) {
    route_->note_input();
    pacing_.posted();
    if (!done) return failed(done.error());
    return done;
  }

  Done key(std::uint32_t keysym, bool down) {
    if (!route_->keyboard_primed_) {
      // The first keyboard event of a session is lost: a Shift tap takes its place.
      (void)session_->keyboard_keysym(x11::kShiftL, true);
      (void)session_->keyboard_keysym(x11::kShiftL, false);
      wait(kKeyboardPrime);
      route_->keyboard_primed_ = true;
    }
    Done done = session_->keyboard_keysym(keysym, down);
    if (done) {
      if (down)
        held_.push_back(keysym);
      else
        std::erase(held_, keysym);
    }
    route_->note_input();
    if (!done) return failed(done.error());
    return done;
  }

  Done run(const action::MouseMove& move) {
    const std::vector<CastStream>& streams = session_->streams();
    std::vector<Output> outputs;
    for (const CastStream& c : streams) outputs.push_back(c.output);
    const Output* out = output_at(outputs, move.x, move.y);
    if (out == nullptr) return failed("no monitor to move the pointer on");
    const CastStream& stream = streams[static_cast<std::size_t>(out - outputs.data())];
    const double x = std::clamp(move.x - out->x, 0.0, std::max(0.0, out->width - 1));
    const double y = std::clamp(move.y - out->y, 0.0, std::max(0.0, out->height - 1));
    const bool moved = !last_ || last_->x != move.x || last_->y != move.y;
    // A quarter inside the pixel: the compositor's conversion to surface
    // coordinates errs by hundredths of a pixel, more the farther from the
    // monitor's centre, so a point on the pixel's edge can fall before it;
    // past its centre, toolkits that round (Chromium) take the next pixel.
    constexpr double kInsidePixel = 0.25;
    Done done = session_->pointer_motion(stream, x + kInsidePixel, y + kInsidePixel);
    if (done && moved) route_->moved_at_ = steady_ns();
    last_ = move;
    return posted(std::move(done));
  }

  Done button(MouseButton b, bool down) {
    if (down) {
      // A press right after a motion may go to the surface the pointer left;
      // the first press of a session needs longer.
      const auto since_move = std::chrono::nanoseconds(steady_ns() - route_->moved_at_);
      const std::chrono::nanoseconds need = route_->pressed_once_ ? std::chrono::nanoseconds(kAfterMotion)
                                                                 : std::chrono::nanoseconds(kFirstPress);
      if (since_move < need) wait(need - since_move);
      route_->pressed_once_ = true;
    }
    return posted(session_->pointer_button(static_cast<std::int32_t>(button_code(b)), down));
  }
  Done run(const action::ButtonDown& a) { return button(a.button, true); }
  Done run(const action::ButtonUp& a) { return button(a.button, false); }

  Done run(const action::ModifierDown& a) {
    Done d = key(x11::modifier_keysym(a.modifier), true);
    pacing_.posted();
    return d;
  }
  Done run(const action::ModifierUp& a) {
    Done d = key(x11::modifier_keysym(a.modifier), false);
    pacing_.posted();
    return d;
  }
  Done run(const action::KeyTap& a) {
    const x11::KeySym keysym = x11::key_keysym(a.key);
    if (Done d = key(keysym, true); !d) return d;
    Done d = key(keysym, false);
    pacing_.posted();
    return d;
  }

  Done run(const action::TypeText& a) {
    const std::u32string text = utf8_code_points(a.text);
    for (const char32_t c : text) {
      if (!x11::char_keysym(c)) {
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
        return failed(std::string("no keysym for ") + code);
      }
    }
    // The user's clipboard is read before the first paste and put back after
    // the last, so the runs in between change the selection once each.
    std::optional<std::string> users_clipboard;
    Done typed_all = type_runs(text, users_clipboard);
    if (users_clipboard) (void)session_->offer_clipboard(*users_clipboard);
    return typed_all;
  }
  Done type_runs(const std::u32string& text, std::optional<std::string>& users_clipboard) {
    std::size_t typed = 0;
    bool pasted_before = false;
    for (const TextRun& run : plan_text(text, us_typeable)) {
      if (run.paste) {
        if (!session_->has_clipboard()) return failed("the session offers no clipboard for text beyond the keyboard map");
        if (!pasted_before) {
          Expected<std::optional<std::string>> previous = session_->read_clipboard();
          if (previous) users_clipboard = std::move(*previous);
          pasted_before = true;
        }
        if (Done d = paste(run.text); !d) return d;
        pacing_.posted();
        continue;
      }
      for (const char32_t c : run.text) {
        const x11::KeySym keysym = *x11::char_keysym(c);
        if (Done d = key(keysym, true); !d) return d;
        if (Done d = key(keysym, false); !d) return d;
        if (++typed % kTextChunk == 0) pacing_.posted();
      }
    }
    if (typed % kTextChunk != 0) pacing_.posted();
    return std::monostate{};
  }

  // Text the keymap lacks: through the clipboard and Ctrl+V.
  Done paste(const std::u32string& text) {
    std::string utf8;
    for (const char32_t c : text) append_utf8(utf8, c);
    if (Done d = session_->offer_clipboard(utf8); !d) return failed(d.error());
    // The focused application hears of the new selection by an event of its
    // own; a paste before it took that in reads the old one, which is gone.
    wait(kSelectionSettle);
    if (Done d = key(x11::modifier_keysym(Modifier::Ctrl), true); !d) return d;
    Done tapped = key('v', true);
    if (tapped) tapped = key('v', false);
    Done released = key(x11::modifier_keysym(Modifier::Ctrl), false);
    if (tapped && released) session_->serve_clipboard(kPasteDeadlineMs);
    if (!tapped) return tapped;
    return released;
  }

  Done run(const action::WheelVertical& a) { return wheel(true, a.lines); }
  Done run(const action::WheelHorizontal& a) { return wheel(false, a.lines); }
  Done wheel(bool vertical, std::int32_t lines) {
    const WheelAxis w = wheel_axis(vertical, lines);
    if (w.steps == 0) return std::monostate{};
    // The wheel steps' signs are the compositor's own (positive: down, right).
    return posted(session_->pointer_axis_discrete(static_cast<std::uint32_t>(w.axis), w.steps));
  }
  Done run(const action::SleepMs&) { return std::monostate{}; }

  std::shared_ptr<Route> route_;
  Clock& clock_;
  EventPacing& pacing_;
  RemoteSession* session_ = nullptr;
  std::vector<std::uint32_t> held_;
  std::optional<action::MouseMove> last_;
};

class GnomeInput final : public InputBackend {
 public:
  explicit GnomeInput(std::shared_ptr<Route> route) : route_(std::move(route)) {}
  Clock& clock() override { return system_clock(); }
  Expected<std::unique_ptr<InputSession>> open(EventPacing& pacing) override {
    Expected<RemoteSession*> s = route_->live(false);
    if (!s) {
      if (route_->source().refused() || route_->source().gated())
        return make_error("input_backend_unavailable: the application does not have the permission to simulate input");
      return make_error("input_backend_unavailable: no connection could be established: (" + s.error() + ")");
    }
    if (!(*s)->input_granted())
      return make_error("input_backend_unavailable: the application does not have the permission to simulate input");
    return std::unique_ptr<InputSession>(new GnomeInputSession(route_, system_clock(), pacing));
  }

 private:
  std::shared_ptr<Route> route_;
};

std::unique_ptr<Platform> make_route_platform(std::unique_ptr<Source> source) {
  // Shared by the services: released with the last of them.
  auto route = std::make_shared<Route>(std::move(source));
  auto platform = std::make_unique<Platform>();
  platform->displays = std::make_unique<GnomeDisplays>(route);
  platform->capture = std::make_unique<GnomeCapture>(route);
  platform->windows = std::make_unique<GnomeWindows>();
  platform->permissions = std::make_unique<GnomePermissions>(route);
  platform->input = std::make_unique<GnomeInput>(route);
  return platform;
}

}  // namespace

bool mutter_offered() {
  Expected<std::unique_ptr<Bus>> bus = Bus::connect();
  return bus && (*bus)->has_owner("org.gnome.Mutter.RemoteDesktop");
}

bool portal_offered() {
  Expected<std::unique_ptr<Bus>> bus = Bus::connect();
  if (!bus) return false;
  if ((*bus)->has_owner("org.freedesktop.portal.Desktop")) return true;
  Expected<Variant> names = (*bus)->call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                         "ListActivatableNames", nullptr, "(as)");
  if (!names) return false;
  GVariant* list = g_variant_get_child_value(names->get(), 0);
  bool found = false;
  for (gsize i = 0, n = g_variant_n_children(list); i < n && !found; ++i) {
    const char* name = nullptr;
    g_variant_get_child(list, i, "&s", &name);
    found = std::string(name) == "org.freedesktop.portal.Desktop";
  }
  g_variant_unref(list);
  return found;
}

std::unique_ptr<Platform> make_mutter_platform() { return make_route_platform(std::make_unique<MutterSource>()); }
std::unique_ptr<Platform> make_portal_platform() { return make_route_platform(std::make_unique<PortalSource>()); }

}  // namespace pelagon2::platform::wayland::gnome
