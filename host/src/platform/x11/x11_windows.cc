#include "platform/x11/x11_windows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>

#include <algorithm>
#include <cstring>

#include "platform/x11/window_model.h"
#include "platform/x11/xlib_connection.h"

namespace pelagon2::platform::x11 {
namespace {

// More windows than any desktop has; bounds what a property may make us read.
constexpr long kMaxWindows = 1 << 16;

enum AtomIndex {
  kClientListStacking,
  kWmPid,
  kFrameExtents,
  kWindowType,
  kSupportingWmCheck,
  kTypeNormal,
  kFirstOtherType,
};
const char* const kAtomNames[] = {
    "_NET_CLIENT_LIST_STACKING", "_NET_WM_PID", "_NET_FRAME_EXTENTS", "_NET_WM_WINDOW_TYPE", "_NET_SUPPORTING_WM_CHECK",
    "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_WINDOW_TYPE_DESKTOP", "_NET_WM_WINDOW_TYPE_DOCK",
    "_NET_WM_WINDOW_TYPE_TOOLBAR", "_NET_WM_WINDOW_TYPE_MENU", "_NET_WM_WINDOW_TYPE_UTILITY",
    "_NET_WM_WINDOW_TYPE_SPLASH", "_NET_WM_WINDOW_TYPE_DIALOG", "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU",
    "_NET_WM_WINDOW_TYPE_POPUP_MENU", "_NET_WM_WINDOW_TYPE_TOOLTIP", "_NET_WM_WINDOW_TYPE_NOTIFICATION",
    "_NET_WM_WINDOW_TYPE_COMBO", "_NET_WM_WINDOW_TYPE_DND"};
constexpr int kAtomCount = static_cast<int>(std::size(kAtomNames));

// A 32-bit property's items (Xlib hands them out as longs), or nothing when
// the window lacks it, it has another type, or the window is gone.
std::optional<std::vector<unsigned long>> property_items(Display* display, Window window, Atom property, Atom type,
                                                         long max_items) {
  if (property == None) return std::nullopt;
  Atom actual_type = None;
  int actual_format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  const int rc = XGetWindowProperty(display, window, property, 0, max_items, False, type, &actual_type, &actual_format,
                                    &count, &after, &data);
  std::optional<std::vector<unsigned long>> items;
  if (rc == Success && actual_type == type && actual_format == 32) {
    const auto* values = reinterpret_cast<const unsigned long*>(data);
    items.emplace(values, values + (data != nullptr ? count : 0));
  }
  if (data != nullptr) XFree(data);
  return items;
}

std::vector<unsigned long> long_property(Display* display, Window window, Atom property, Atom type, long max_items) {
  return property_items(display, window, property, type, max_items).value_or(std::vector<unsigned long>{});
}

class XResPids {
 public:
  explicit XResPids(Display* display) : display_(display) {
    int event_base = 0, error_base = 0, major = 0, minor = 0;
    // Client ids (and with them pids) came with version 1.2.
    usable_ = XResQueryExtension(display, &event_base, &error_base) &&
              XResQueryVersion(display, &major, &minor) && (major > 1 || (major == 1 && minor >= 2));
  }

  // The pid of the local client that created `window`.
  std::optional<std::int64_t> owner(Window window) {
    if (!usable_) return std::nullopt;
    XResClientIdSpec spec{window, XRES_CLIENT_ID_PID_MASK};
    long count = 0;
    XResClientIdValue* ids = nullptr;
    std::optional<std::int64_t> pid;
    if (XResQueryClientIds(display_, 1, &spec, &count, &ids) == Success) {
      for (long i = 0; i < count && !pid; ++i) {
        if (ids[i].spec.mask != XRES_CLIENT_ID_PID_MASK) continue;
        const pid_t value = XResGetClientPid(&ids[i]);
        if (value > 0) pid = value;
      }
    }
    if (ids != nullptr) XResClientIdsDestroy(count, ids);
    return pid;
  }

 private:
  Display* display_;
  bool usable_ = false;
};

// What the servers here do: without a window manager the root has no
// _NET_CLIENT_LIST_STACKING at all (with one it is there, empty while it
// manages nothing); openbox may leave a stale _NET_ACTIVE_WINDOW, so the
// stacking order, not the active window, decides what is in front; XRes
// answers the owning pid of any window of a local client, also of windows
// without _NET_WM_PID.
class X11Windows final : public WindowList {
 public:
  std::vector<std::int32_t> browser_pids() override { return browser_pids_in("/proc"); }

  std::optional<std::vector<WindowRecord>> front_to_back() override {
    const std::unique_ptr<XConnection> connection = XConnection::open();
    if (!connection) return std::nullopt;
    Display* display = connection->display();
    const Window root = connection->root();

    Atom atoms[kAtomCount] = {};
    std::vector<char*> names;
    for (const char* name : kAtomNames) names.push_back(const_cast<char*>(name));
    // Atoms nobody created cannot be on any window; do not create them.
    XInternAtoms(display, names.data(), kAtomCount, True, atoms);

    // The window manager's stacking list holds its clients, bottom to top
    // (empty while it manages none); without a window manager, the root's
    // children are the top-level windows, also bottom to top.
    std::vector<Window> stack;
    connection->clear_error();
    bool managed = window_manager_running(display, root, atoms);
    if (connection->sync_failed()) {
      if (!connection->alive()) return std::nullopt;
      managed = false;  // the check window is gone
    }
    connection->clear_error();
    const std::optional<std::vector<unsigned long>> clients =
        managed ? property_items(display, root, atoms[kClientListStacking], XA_WINDOW, kMaxWindows) : std::nullopt;
    if (clients) {
      stack.assign(clients->begin(), clients->end());
    } else {
      Window root_return = 0, parent = 0;
      Window* children = nullptr;
      unsigned int count = 0;
      if (XQueryTree(display, root, &root_return, &parent, &children, &count) != 0 && children != nullptr) {
        stack.assign(children, children + std::min<unsigned int>(count, kMaxWindows));
      }
      if (children != nullptr) XFree(children);
    }
    if (connection->sync_failed()) return std::nullopt;

    XResPids xres(display);
    std::vector<WindowRecord> records;
    for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
      connection->clear_error();
      const std::optional<WindowFacts> facts = read_facts(display, root, *it, atoms, xres, managed);
      // A window that vanished mid-walk is simply no longer on screen.
      if (connection->sync_failed()) {
        if (!connection->alive()) return std::nullopt;
        continue;
      }
      if (!facts) continue;
      if (std::optional<WindowRecord> record = window_record(*facts)) records.push_back(*record);
    }
    return records;
  }

 private:
  // A window manager that ended without cleaning up (killed, crashed) leaves
  // its root properties behind: its stacking list would miss every window
  // mapped since, and the frame extents would count decorations that are
  // gone. The check window it owns goes away with it.
  static bool window_manager_running(Display* display, Window root, const Atom* atoms) {
    const std::vector<unsigned long> check = long_property(display, root, atoms[kSupportingWmCheck], XA_WINDOW, 1);
    if (check.empty() || check[0] == None) return false;
    const std::vector<unsigned long> self = long_property(display, check[0], atoms[kSupportingWmCheck], XA_WINDOW, 1);
    return !self.empty() && self[0] == check[0];
  }

  static std::optional<WindowFacts> read_facts(Display* display, Window root, Window window, const Atom* atoms,
                                               XResPids& xres, bool managed) {
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, window, &attributes) == 0) return std::nullopt;
    WindowFacts facts;
    facts.viewable = attributes.map_state == IsViewable;
    if (!facts.viewable) return facts;  // off screen: nothing more to learn
    facts.override_redirect = attributes.override_redirect != 0;
    facts.input_only = attributes.c_class == InputOnly;
    facts.width = static_cast<std::uint32_t>(std::max(attributes.width, 0));
    facts.height = static_cast<std::uint32_t>(std::max(attributes.height, 0));
    facts.border = static_cast<std::uint32_t>(std::max(attributes.border_width, 0));
    int root_x = 0, root_y = 0;
    Window child = 0;
    if (!XTranslateCoordinates(display, window, root, 0, 0, &root_x, &root_y, &child)) return std::nullopt;
    facts.x = root_x;
    facts.y = root_y;

    const std::vector<unsigned long> pid = long_property(display, window, atoms[kWmPid], XA_CARDINAL, 1);
    if (!pid.empty() && pid[0] > 0 && pid[0] <= 0x7fffffffUL) facts.owner_pid = static_cast<std::int64_t>(pid[0]);
    if (!facts.owner_pid) facts.owner_pid = xres.owner(window);

    for (const unsigned long type : long_property(display, window, atoms[kWindowType], XA_ATOM, 32)) {
      if (type == None) continue;
      if (type == atoms[kTypeNormal]) {
        facts.type = WindowFacts::Type::normal;
        break;
      }
      // The first type the list names that we know decides; others are skipped.
      if (std::find(atoms + kFirstOtherType, atoms + kAtomCount, type) != atoms + kAtomCount) {
        facts.type = WindowFacts::Type::other;
        break;
      }
    }
    Window transient_for = 0;
    facts.transient = XGetTransientForHint(display, window, &transient_for) != 0 && transient_for != 0;

    const std::vector<unsigned long> extents =
        managed ? long_property(display, window, atoms[kFrameExtents], XA_CARDINAL, 4) : std::vector<unsigned long>{};
    if (extents.size() == 4) {
      // Decorations are a few pixels; a bogus value must not wrap the sums.
      const auto clip = [](unsigned long v) { return static_cast<std::uint32_t>(std::min(v, 0xffffUL)); };
      facts.frame = WindowFacts::Extents{clip(extents[0]), clip(extents[1]), clip(extents[2]), clip(extents[3])};
    }
    return facts;
  }
};

}  // namespace

std::unique_ptr<WindowList> make_window_list() { return std::make_unique<X11Windows>(); }

}  // namespace pelagon2::platform::x11
