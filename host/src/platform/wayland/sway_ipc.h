#pragma once
// A GET_TREE over sway's IPC socket ($SWAYSOCK), each wait under the deadline.

#include <optional>
#include <string>

#include "platform/wayland/wlr_connection.h"

namespace pelagon2::platform::wayland::wlr {

// The reply's JSON text; nullopt when the socket cannot be reached or the
// reply does not come in time.
std::optional<std::string> sway_get_tree(const std::string& socket_path, Deadline deadline);

}  // namespace pelagon2::platform::wayland::wlr
