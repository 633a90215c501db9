#pragma once
// A remote-desktop session on mutter's own services
// (org.gnome.Mutter.RemoteDesktop + ScreenCast): no dialog, input and screen
// granted on start. The session belongs to the bus connection that created
// it; mutter ends it when the connection closes.

#include <memory>
#include <vector>

#include "core/outcome.h"
#include "platform/wayland/dbus_bus.h"
#include "platform/wayland/remote_session.h"

namespace pelagon2::platform::wayland::gnome {

// mutter's monitors from DisplayConfig.GetCurrentState, in its order.
Expected<std::vector<Output>> mutter_outputs(Bus& bus);

// Creates and starts a session recording every monitor of `outputs` (the
// cursor left out of the frames), waiting up to `deadline` for its streams.
Expected<std::unique_ptr<RemoteSession>> start_mutter_session(std::shared_ptr<Bus> bus,
                                                              const std::vector<Output>& outputs,
                                                              std::chrono::milliseconds deadline);

}  // namespace pelagon2::platform::wayland::gnome
