#include "platform/x11/x11_input.h"

#include <xcb/xcb.h>
// The XKB protocol header names a field `explicit`.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xcb/xproto.h>
#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_keyboard.h"

namespace pelagon2::platform::x11 {
namespace {

struct ContextDeleter {
  void operator()(xkb_context* c) const { xkb_context_unref(c); }
};
struct KeymapDeleter {
  void operator()(xkb_keymap* k) const { xkb_keymap_unref(k); }
};
struct StateDeleter {
  void operator()(struct xkb_state* s) const { xkb_state_unref(s); }
};

// xkbcommon logs to stderr by default; the host never writes there.
void quiet_log(xkb_context*, xkb_log_level, const char*, va_list) {}

// The X server through XCB: XTest for events, the core requests for the
// keyboard map, XKB (and xkbcommon-x11 for its keymap) for what keys give.
class XcbKeyboard final : public X11Keyboard {
 public:
  explicit XcbKeyboard(std::unique_ptr<XConnection> connection) : x_(std::move(connection)) {}

  bool alive() override { return x_->alive(); }
  void clear_error() override { x_->clear_error(); }
  SyncResult sync() override {
    const bool failed = x_->sync_failed();
    if (!x_->alive()) return SyncResult::lost;
    return failed ? SyncResult::refused : SyncResult::ok;
  }
  void flush() override { x_->flush(); }

  void key(std::uint8_t keycode, bool down) override {
    fake(down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode, 0, 0);
  }
  void button(std::uint8_t button, bool down) override {
    fake(down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, button, 0, 0);
  }
  void motion(std::int16_t x, std::int16_t y) override {
    // Detail 0: absolute coordinates on the given root window.
    fake(XCB_MOTION_NOTIFY, 0, x, y);
  }

  void remap(std::uint8_t first, std::uint8_t keysyms_per_keycode, const std::vector<KeySym>& rows) override {
    if (!x_->alive() || keysyms_per_keycode == 0 || rows.empty()) return;
    std::vector<xcb_keysym_t> keysyms(rows.begin(), rows.end());
    xcb_change_keyboard_mapping(x_->get(), static_cast<std::uint8_t>(rows.size() / keysyms_per_keycode), first,
                                keysyms_per_keycode, keysyms.data());
  }

  bool set_keys(const std::vector<std::pair<std::uint8_t, KeySym>>& keys) override {
    if (!state_ || keys.empty() || !x_->alive()) return false;
    std::uint8_t first = keys.front().first;
    std::uint8_t last = first;
    for (const auto& [code, keysym] : keys) {
      first = std::min(first, code);
      last = std::max(last, code);
    }
    const auto count = static_cast<std::uint8_t>(last - first + 1);
    // The keys between as the server has them, to be sent back unchanged.
    auto reply = x_->reply<xcb_xkb_get_map_reply_t>(xcb_xkb_get_map(x_->get(), device_, 0, XCB_XKB_MAP_PART_KEY_SYMS,
                                                                    0, 0, first, count, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)
                                                        .sequence);
    if (!reply || reply->firstKeySym != first || reply->nKeySyms != count ||
        reply->present != XCB_XKB_MAP_PART_KEY_SYMS) {
      return false;
    }
    const auto* in = static_cast<const std::uint8_t*>(xcb_xkb_get_map_map(reply.get()));
    const std::uint8_t* end = reinterpret_cast<const std::uint8_t*>(reply.get()) + 32 + 4 * std::size_t{reply->length};
    // Wire form of one key: four type indices, group info, width, the
    // number of keysyms (16 bits), then the keysyms.
    std::vector<std::uint8_t> values;
    std::uint32_t total = 0;
    for (unsigned code = first; code <= last; ++code) {
      if (in + 8 > end) return false;
      std::uint16_t n = 0;
      std::memcpy(&n, in + 6, 2);
      const std::size_t size = 8 + 4 * std::size_t{n};
      if (in + size > end) return false;
      const auto wanted = std::find_if(keys.begin(), keys.end(), [&](const auto& k) { return k.first == code; });
      if (wanted == keys.end()) {
        values.insert(values.end(), in, in + size);
        total += n;
      } else if (wanted->second == kNoSymbol) {
        values.insert(values.end(), 8, 0);
      } else {
        // One group of the canonical TWO_LEVEL type (index 1 in every keymap).
        const std::uint8_t key[8] = {1, 1, 1, 1, 1, 2, 2, 0};
        values.insert(values.end(), key, key + 8);
        for (int level = 0; level < 2; ++level) {
          const auto* keysym = reinterpret_cast<const std::uint8_t*>(&wanted->second);
          values.insert(values.end(), keysym, keysym + 4);
        }
        total += 2;
      }
      in += size;
    }
    if (total > 0xffff) return false;
    const xcb_setup_t* setup = xcb_get_setup(x_->get());
    xcb_xkb_set_map(x_->get(), device_, XCB_XKB_MAP_PART_KEY_SYMS, 0, setup->min_keycode, setup->max_keycode, 0, 0,
                    first, count, static_cast<std::uint16_t>(total), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                    values.data());
    return true;
  }

  void lock_caps(bool locked) override {
    if (!x_->alive() || !x_->extension(xcb_xkb_id)) return;
    xcb_xkb_latch_lock_state(x_->get(), XCB_XKB_ID_USE_CORE_KBD, XCB_MOD_MASK_LOCK,
                             locked ? XCB_MOD_MASK_LOCK : 0, 0, 0, 0, 0, 0);
  }

  std::optional<CoreKeyboardMap> core_map() override {
    if (!x_->alive()) return std::nullopt;
    const xcb_setup_t* setup = xcb_get_setup(x_->get());
    CoreKeyboardMap map;
    map.min_keycode = setup->min_keycode;
    map.max_keycode = setup->max_keycode;
    if (map.min_keycode > map.max_keycode) return std::nullopt;
    const auto count = static_cast<std::uint8_t>(map.max_keycode - map.min_keycode + 1);
    auto reply = x_->reply<xcb_get_keyboard_mapping_reply_t>(
        xcb_get_keyboard_mapping(x_->get(), map.min_keycode, count).sequence);
    if (!reply) return std::nullopt;
    map.keysyms_per_keycode = reply->keysyms_per_keycode;
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
    const int length = xcb_get_keyboard_mapping_keysyms_length(reply.get());
    map.keysyms.assign(keysyms, keysyms + length);
    return map;
  }

  std::optional<ModifierMap> modifier_map() override {
    if (!x_->alive()) return std::nullopt;
    auto reply = x_->reply<xcb_get_modifier_mapping_reply_t>(xcb_get_modifier_mapping(x_->get()).sequence);
    if (!reply) return std::nullopt;
    ModifierMap map;
    map.keycodes_per_modifier = reply->keycodes_per_modifier;
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(reply.get());
    map.keycodes.assign(codes, codes + xcb_get_modifier_mapping_keycodes_length(reply.get()));
    return map;
  }

  std::optional<std::array<std::uint8_t, 32>> pressed_keys() override {
    if (!x_->alive()) return std::nullopt;
    auto reply = x_->reply<xcb_query_keymap_reply_t>(xcb_query_keymap(x_->get()).sequence);
    if (!reply) return std::nullopt;
    std::array<std::uint8_t, 32> keys{};
    std::memcpy(keys.data(), reply->keys, keys.size());
    return keys;
  }

  std::optional<XkbLocks> xkb_state() override {
    if (!x_->alive() || !x_->extension(xcb_xkb_id)) return std::nullopt;
    xcb_connection_t* c = x_->get();
    const int set_up = x_->guarded([&] {
      return xkb_x11_setup_xkb_extension(c, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                         XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr);
    });
    if (!set_up || !x_->alive()) return std::nullopt;
    const std::int32_t device = x_->guarded([&] { return xkb_x11_get_core_keyboard_device_id(c); });
    if (device < 0 || !x_->alive()) return std::nullopt;
    context_.reset(xkb_context_new(
        static_cast<xkb_context_flags>(XKB_CONTEXT_NO_DEFAULT_INCLUDES | XKB_CONTEXT_NO_ENVIRONMENT_NAMES)));
    if (!context_) return std::nullopt;
    xkb_context_set_log_fn(context_.get(), quiet_log);
    keymap_.reset(x_->guarded(
        [&] { return xkb_x11_keymap_new_from_device(context_.get(), c, device, XKB_KEYMAP_COMPILE_NO_FLAGS); }));
    if (!keymap_ || !x_->alive()) return std::nullopt;
    state_.reset(x_->guarded([&] { return xkb_x11_state_new_from_device(keymap_.get(), c, device); }));
    if (!state_ || !x_->alive()) return std::nullopt;
    auto reply = x_->reply<xcb_xkb_get_state_reply_t>(
        xcb_xkb_get_state(c, static_cast<xcb_xkb_device_spec_t>(device)).sequence);
    if (!reply) return std::nullopt;
    locks_ = XkbLocks{reply->lockedMods, reply->group};
    device_ = static_cast<xcb_xkb_device_spec_t>(device);
    return locks_;
  }

  KeySym xkb_key_sym(std::uint8_t keycode, std::uint32_t mods) override {
    if (!state_) return kNoSymbol;
    xkb_state_update_mask(state_.get(), mods, 0, locks_.locked_mods, 0, 0, locks_.group);
    return xkb_state_key_get_one_sym(state_.get(), keycode);
  }

  char32_t keysym_character(KeySym keysym) override { return xkb_keysym_to_utf32(keysym); }

  std::optional<PointerPosition> pointer() override {
    if (!x_->alive()) return std::nullopt;
    auto reply = x_->reply<xcb_query_pointer_reply_t>(xcb_query_pointer(x_->get(), x_->root()).sequence);
    if (!reply) return std::nullopt;
    return PointerPosition{reply->root_x, reply->root_y};
  }

  RootSize root_size() override { return {x_->screen().width_in_pixels, x_->screen().height_in_pixels}; }

 private:
  void fake(std::uint8_t type, std::uint8_t detail, std::int16_t x, std::int16_t y) {
    if (!x_->alive()) return;
    xcb_test_fake_input(x_->get(), type, detail, XCB_CURRENT_TIME, x_->root(), x, y, 0);
  }

  std::unique_ptr<XConnection> x_;
  std::unique_ptr<xkb_context, ContextDeleter> context_;
  std::unique_ptr<xkb_keymap, KeymapDeleter> keymap_;
  std::unique_ptr<struct xkb_state, StateDeleter> state_;
  XkbLocks locks_;
  xcb_xkb_device_spec_t device_ = XCB_XKB_ID_USE_CORE_KBD;
};

Expected<std::unique_ptr<X11Keyboard>> open_keyboard() {
  std::unique_ptr<XConnection> connection = XConnection::open();
  if (!connection) {
    return make_error("input_backend_unavailable: no connection could be established: (cannot open the X display)");
  }
  // Without XTest nothing may synthesise input: the counterpart of a
  // missing input permission.
  if (!connection->extension(xcb_test_id)) {
    return make_error("input_backend_unavailable: the application does not have the permission to simulate input");
  }
  return std::unique_ptr<X11Keyboard>(new XcbKeyboard(std::move(connection)));
}

}  // namespace

std::unique_ptr<InputBackend> make_input(Clock& clock) { return make_input_backend(open_keyboard, clock); }

}  // namespace pelagon2::platform::x11
