#include "platform/x11/x11_windows.h"

#include <xcb/res.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/x11/x11_window_model.h"
#include "platform/x11/x11_connection.h"

namespace pelagon2::platform::x11 {
namespace {

// More windows than any desktop has; bounds what a property may make us read.
constexpr std::uint32_t kMaxWindows = 1 << 16;

// Windows whose requests go out together before their replies are read, so a
// walk costs one round trip per batch. A window's requests take some 150
// bytes, so a batch fits the socket's send buffer many times over: sending it
// never waits on a server that has stopped reading, and only the replies'
// waits, which have a deadline, can meet a stalled one.
constexpr std::size_t kBatchWindows = 256;

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
constexpr std::size_t kAtomCount = std::size(kAtomNames);
using Atoms = std::array<xcb_atom_t, kAtomCount>;

// A request whose reply is read later; nothing sent when `sent` is false.
struct Pending {
  unsigned int sequence = 0;
  bool sent = false;
};

template <class Cookie>
Pending sent(Cookie cookie) {
  return Pending{cookie.sequence, true};
}

// A 32-bit property of `window`. Atoms nobody created cannot be on any
// window: nothing is asked for them.
struct PropertyRequest {
  Pending pending;
  xcb_atom_t type = XCB_ATOM_NONE;
};

PropertyRequest ask_property(XConnection& x, xcb_window_t window, xcb_atom_t property, xcb_atom_t type,
                             std::uint32_t max_items) {
  if (property == XCB_ATOM_NONE) return PropertyRequest{{}, type};
  return PropertyRequest{sent(xcb_get_property(x.get(), 0, window, property, type, 0, max_items)), type};
}

// What a property request brought: its items, nothing when the window lacks
// the property or has it with another type or format; `failed` when the
// server answered with an error (the window is gone) or not at all.
struct PropertyAnswer {
  bool failed = false;
  std::optional<std::vector<std::uint32_t>> items;

  std::vector<std::uint32_t> values() const { return items.value_or(std::vector<std::uint32_t>{}); }
};

PropertyAnswer property_answer(XConnection& x, const PropertyRequest& request) {
  PropertyAnswer answer;
  if (!request.pending.sent) return answer;
  const Reply<xcb_get_property_reply_t> reply = x.reply<xcb_get_property_reply_t>(request.pending.sequence);
  if (!reply) {
    answer.failed = true;
    return answer;
  }
  if (reply->type != request.type || reply->format != 32) return answer;
  const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
  const auto count = static_cast<std::size_t>(std::max(xcb_get_property_value_length(reply.get()), 0)) / 4;
  answer.items.emplace(values, values + count);
  return answer;
}

template <class T>
Reply<T> answer(XConnection& x, const Pending& pending, bool& failed) {
  if (!pending.sent) return nullptr;
  Reply<T> reply = x.reply<T>(pending.sequence);
  if (!reply) failed = true;
  return reply;
}

// The pid of the local client named in a client-id answer, if any.
std::optional<std::int64_t> client_pid(const xcb_res_query_client_ids_reply_t& reply) {
  for (xcb_res_client_id_value_iterator_t it = xcb_res_query_client_ids_ids_iterator(&reply); it.rem > 0;
       xcb_res_client_id_value_next(&it)) {
    if (it.data->spec.mask != XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) continue;
    if (xcb_res_client_id_value_value_length(it.data) < 1) continue;
    const auto pid = static_cast<std::int32_t>(xcb_res_client_id_value_value(it.data)[0]);
    if (pid > 0) return pid;
  }
  return std::nullopt;
}

// Everything asked about one top-level window, sent before any is read.
struct WindowRequests {
  Pending attributes, geometry, position, owner;
  PropertyRequest pid, type, transient, extents;
};

// The facts of one window once its answers are in; nothing when the window
// is gone (some request failed), also when the connection is lost (the
// caller tells the two apart).
std::optional<WindowFacts> window_facts(XConnection& x, const WindowRequests& r, const Atoms& atoms) {
  bool failed = false;
  const auto attributes = answer<xcb_get_window_attributes_reply_t>(x, r.attributes, failed);
  const auto geometry = answer<xcb_get_geometry_reply_t>(x, r.geometry, failed);
  const auto position = answer<xcb_translate_coordinates_reply_t>(x, r.position, failed);
  bool owner_failed = false;
  const auto owner = answer<xcb_res_query_client_ids_reply_t>(x, r.owner, owner_failed);
  const PropertyAnswer pid = property_answer(x, r.pid);
  const PropertyAnswer type = property_answer(x, r.type);
  const PropertyAnswer transient = property_answer(x, r.transient);
  const PropertyAnswer extents = property_answer(x, r.extents);
  if (failed || !attributes || !geometry || !position) return std::nullopt;

  WindowFacts facts;
  facts.viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  if (!facts.viewable) return facts;  // off screen: nothing more to learn
  facts.override_redirect = attributes->override_redirect != 0;
  facts.input_only = attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY;
  facts.width = geometry->width;
  facts.height = geometry->height;
  facts.border = geometry->border_width;
  if (!position->same_screen) return std::nullopt;
  facts.x = position->dst_x;
  facts.y = position->dst_y;

  if (pid.failed || type.failed || transient.failed || extents.failed) return std::nullopt;
  const std::vector<std::uint32_t> pid_items = pid.values();
  if (!pid_items.empty() && pid_items[0] > 0 && pid_items[0] <= 0x7fffffffU) facts.owner_pid = pid_items[0];
  if (!facts.owner_pid) {
    // The server's answer is needed only now; its failure is the window's.
    if (owner_failed) return std::nullopt;
    if (owner) facts.owner_pid = client_pid(*owner);
  }

  for (const xcb_atom_t item : type.values()) {
    if (item == XCB_ATOM_NONE) continue;
    if (item == atoms[kTypeNormal]) {
      facts.type = WindowFacts::Type::normal;
      break;
    }
    // The first type the list names that we know decides; others are skipped.
    if (std::find(atoms.begin() + kFirstOtherType, atoms.end(), item) != atoms.end()) {
      facts.type = WindowFacts::Type::other;
      break;
    }
  }
  const std::vector<std::uint32_t> transient_for = transient.values();
  facts.transient = !transient_for.empty() && transient_for[0] != XCB_WINDOW_NONE;

  const std::vector<std::uint32_t> frame = extents.values();
  if (frame.size() == 4) {
    // Decorations are a few pixels; a bogus value must not wrap the sums.
    const auto clip = [](std::uint32_t v) { return std::min<std::uint32_t>(v, 0xffff); };
    facts.frame = WindowFacts::Extents{clip(frame[0]), clip(frame[1]), clip(frame[2]), clip(frame[3])};
  }
  return facts;
}

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
    XConnection& x = *connection;
    const xcb_window_t root = x.root();

    // Atoms nobody created cannot be on any window; do not create them.
    std::array<Pending, kAtomCount> atom_requests;
    for (std::size_t i = 0; i < kAtomCount; ++i) {
      const char* name = kAtomNames[i];
      atom_requests[i] = sent(xcb_intern_atom(x.get(), 1, static_cast<std::uint16_t>(std::strlen(name)), name));
    }
    // Client ids (and with them pids) came with version 1.2. The query's
    // round trip brings the atoms' answers too.
    const bool has_xres = x.extension(xcb_res_id) != nullptr;
    if (!x.alive()) return std::nullopt;
    const Pending xres_version = has_xres ? sent(xcb_res_query_version(x.get(), 1, 2)) : Pending{};
    Atoms atoms{};
    for (std::size_t i = 0; i < kAtomCount; ++i) {
      const Reply<xcb_intern_atom_reply_t> reply = x.reply<xcb_intern_atom_reply_t>(atom_requests[i].sequence);
      if (!reply && !x.alive()) return std::nullopt;
      atoms[i] = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    }

    // The window manager's stacking list holds its clients, bottom to top
    // (empty while it manages none); without a window manager, the root's
    // children are the top-level windows, also bottom to top. Both are asked
    // at once, with the window manager's check, which decides.
    const PropertyRequest check_request = ask_property(x, root, atoms[kSupportingWmCheck], XCB_ATOM_WINDOW, 1);
    const PropertyRequest clients_request =
        ask_property(x, root, atoms[kClientListStacking], XCB_ATOM_WINDOW, kMaxWindows);
    const Pending tree_request = sent(xcb_query_tree(x.get(), root));
    bool xres_usable = false;
    {
      bool failed = false;
      const auto version = answer<xcb_res_query_version_reply_t>(x, xres_version, failed);
      xres_usable = version && (version->server_major > 1 || (version->server_major == 1 && version->server_minor >= 2));
    }
    const std::optional<bool> managed = window_manager_running(x, check_request, atoms);
    if (!managed) return std::nullopt;
    const PropertyAnswer clients = property_answer(x, clients_request);
    bool tree_failed = false;
    const auto tree = answer<xcb_query_tree_reply_t>(x, tree_request, tree_failed);
    std::vector<xcb_window_t> stack;
    if (*managed && clients.failed) return std::nullopt;
    if (*managed && clients.items) {
      stack.assign(clients.items->begin(), clients.items->end());
    } else {
      if (!tree) return std::nullopt;
      const xcb_window_t* children = xcb_query_tree_children(tree.get());
      const auto count = static_cast<std::uint32_t>(std::max(xcb_query_tree_children_length(tree.get()), 0));
      stack.assign(children, children + std::min(count, kMaxWindows));
    }

    std::vector<WindowRecord> records;
    std::vector<WindowRequests> batch;
    batch.reserve(std::min(stack.size(), kBatchWindows));
    for (std::size_t start = 0; start < stack.size(); start += kBatchWindows) {
      const std::size_t end = std::min(stack.size(), start + kBatchWindows);
      batch.clear();
      for (std::size_t i = start; i < end; ++i) {
        batch.push_back(ask_window(x, root, stack[stack.size() - 1 - i], atoms, xres_usable, *managed));
      }
      for (const WindowRequests& requests : batch) {
        const std::optional<WindowFacts> facts = window_facts(x, requests, atoms);
        if (!x.alive()) return std::nullopt;
        // A window that vanished mid-walk is simply no longer on screen.
        if (!facts) continue;
        if (std::optional<WindowRecord> record = window_record(*facts)) records.push_back(*record);
      }
    }
    return records;
  }

 private:
  // A window manager that ended without cleaning up (killed, crashed) leaves
  // its root properties behind: its stacking list would miss every window
  // mapped since, and the frame extents would count decorations that are
  // gone. The check window it owns goes away with it. Nothing when the
  // connection is lost.
  static std::optional<bool> window_manager_running(XConnection& x, const PropertyRequest& root_check,
                                                    const Atoms& atoms) {
    const PropertyAnswer check = property_answer(x, root_check);
    if (!x.alive()) return std::nullopt;
    const std::vector<std::uint32_t> check_window = check.values();
    if (check_window.empty() || check_window[0] == XCB_WINDOW_NONE) return false;
    const PropertyAnswer self =
        property_answer(x, ask_property(x, check_window[0], atoms[kSupportingWmCheck], XCB_ATOM_WINDOW, 1));
    if (!x.alive()) return std::nullopt;
    // An error here: the check window is gone.
    const std::vector<std::uint32_t> self_window = self.values();
    return !self_window.empty() && self_window[0] == check_window[0];
  }

  // Attributes and geometry are two requests, and the position in the root a
  // third; all go out before any answer is read.
  static WindowRequests ask_window(XConnection& x, xcb_window_t root, xcb_window_t window, const Atoms& atoms,
                                   bool xres_usable, bool managed) {
    xcb_connection_t* c = x.get();
    WindowRequests r;
    r.attributes = sent(xcb_get_window_attributes(c, window));
    r.geometry = sent(xcb_get_geometry(c, window));
    r.position = sent(xcb_translate_coordinates(c, window, root, 0, 0));
    r.pid = ask_property(x, window, atoms[kWmPid], XCB_ATOM_CARDINAL, 1);
    if (xres_usable) {
      // Asked for every window, whether its _NET_WM_PID answers or not, so
      // that a window costs no round trip of its own.
      const xcb_res_client_id_spec_t spec{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
      r.owner = sent(xcb_res_query_client_ids(c, 1, &spec));
    }
    r.type = ask_property(x, window, atoms[kWindowType], XCB_ATOM_ATOM, 32);
    r.transient = ask_property(x, window, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 1);
    if (managed) r.extents = ask_property(x, window, atoms[kFrameExtents], XCB_ATOM_CARDINAL, 4);
    return r;
  }
};

}  // namespace

std::unique_ptr<WindowList> make_window_list() { return std::make_unique<X11Windows>(); }

}  // namespace pelagon2::platform::x11
