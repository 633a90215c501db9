#include "platform/x11/x11_permissions.h"

#include <xcb/xtest.h>

#include "platform/x11/x11_connection.h"

namespace pelagon2::platform::x11 {
namespace {

class X11Permissions final : public Permissions {
 public:
  // Synthetic input needs the XTest extension of a reachable server.
  bool accessibility_trusted() override {
    const std::unique_ptr<XConnection> connection = XConnection::open();
    return connection && connection->extension(xcb_test_id) != nullptr;
  }
  // There is nobody to ask: the answer is the same as the status.
  bool request_accessibility() override { return accessibility_trusted(); }
};

}  // namespace

std::unique_ptr<Permissions> make_permissions() { return std::make_unique<X11Permissions>(); }

}  // namespace pelagon2::platform::x11
