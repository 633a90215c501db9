#pragma once
// A remote-desktop session through the desktop portal
// (org.freedesktop.portal.RemoteDesktop + ScreenCast): the route of desktops
// that keep mutter's services to themselves (KDE, sandboxes) and of GNOME when
// forced. Starting one shows the desktop's dialog; where the portal keeps
// restore tokens, the token is kept under the user's state folder so the next
// host process starts without it.

#include <chrono>
#include <memory>
#include <string>

#include "platform/wayland/portal_session_model.h"
#include "platform/wayland/remote_session.h"

namespace pelagon2::platform::wayland::gnome {

// How long a start waits for the user's answer to the dialog. The request that
// started it (request_permission, or the first capture) is held meanwhile, and
// the extension's call must end well within its minute; a person reading a
// two-item dialog needs seconds, tests answer it in about six. On the deadline
// the dialog is withdrawn and the next request shows it again.
inline constexpr std::chrono::seconds kPortalDialogDeadline{45};

// How one start ended.
struct PortalStart {
  std::unique_ptr<RemoteSession> session;  // set when the portal started a session
  bool refused = false;                    // the dialog was cancelled or refused
  std::string reason;                      // otherwise, why there is none (the portal's own words)
};

// Starts a session on the session bus's portal: devices keyboard + pointer, one
// monitor, the cursor left out of the frames. The calls that set the session up
// have 10 s each (the first may start the portal and its backend on demand),
// Start has `dialog_deadline`, and input calls the backend's 2 s.
PortalStart start_portal_session(std::chrono::milliseconds dialog_deadline = kPortalDialogDeadline);

// The host process's portal session, started on the first request that may
// show the dialog and kept while it lives.
class PortalAccess {
 public:
  // The live session, or nullptr. Never shows the dialog.
  RemoteSession* session();
  // The live session, starting one when none lives and the dialog may be
  // shown (not after the user's refusal in this process); nullptr when none.
  RemoteSession* request();
  // Ends the session (its streams are gone); a later request() may start another.
  void drop() { session_.reset(); }
  // The user refused the dialog in this process.
  bool refused() const { return last_ == portal::LastStart::refused; }
  // Why the last start gave no session (empty after a start that worked).
  const std::string& reason() const { return reason_; }

 private:
  std::unique_ptr<RemoteSession> session_;
  portal::LastStart last_ = portal::LastStart::never;
  std::string reason_;
};

}  // namespace pelagon2::platform::wayland::gnome
