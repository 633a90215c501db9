#pragma once
// sway's IPC in plain terms: the message framing ("i3-ipc", payload length,
// message type, both 32-bit in the host's byte order) and the windows of a
// GET_TREE reply. Portable and tested with recorded replies.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace pelagon2::platform::wayland {

inline constexpr std::uint32_t kSwayGetTree = 4;
inline constexpr std::size_t kSwayHeaderSize = 14;  // magic, length, type

std::string sway_message(std::uint32_t type, std::string_view payload);

struct SwayHeader {
  std::uint32_t length = 0;
  std::uint32_t type = 0;
};
// nullopt when `bytes` is shorter than a header or lacks the magic.
std::optional<SwayHeader> parse_sway_header(std::string_view bytes);

// The views of a GET_TREE reply (tiled and floating, with a pid): the
// focused one first, then the others in tree order; hidden ones (another
// workspace) left out. Bounds are the container's rectangle in layout
// coordinates (logical points), layer 0. nullopt when it is no tree.
std::optional<std::vector<WindowRecord>> sway_windows(std::string_view tree_json);

}  // namespace pelagon2::platform::wayland
