// The host loads its Wayland library only in a Wayland session, and a Wayland
// session that no route serves leaves the host answering as X11 does.

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/host_process.h"
#include "support/temp_tree.h"

namespace pelagon2 {
namespace {

using testing::HostProcess;

// Whether a file whose name starts with `library` is mapped into `pid`.
bool maps_library(pid_t pid, const std::string& library) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  std::string line;
  while (std::getline(maps, line)) {
    const std::size_t slash = line.rfind('/');
    if (slash != std::string::npos && line.compare(slash + 1, library.size(), library) == 0) return true;
  }
  return false;
}

const char* const kWaylandLibraries[] = {"libwayland-client.so", "libpipewire-0.3.so", "libgio-2.0.so"};

TEST(WaylandLoading, OnlyAWaylandSessionLoadsTheWaylandLibrary) {
  testing::TempTree runtime;
  struct Case {
    const char* name;
    std::vector<std::string> env;
    bool loads;
  };
  // Nothing answers on this socket or this bus: every probe fails at once.
  const std::vector<std::string> unserved = {"XDG_RUNTIME_DIR=" + runtime.path(), "DISPLAY=",
                                             "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime.path() + "/no-bus"};
  auto with = [&](std::vector<std::string> extra) {
    extra.insert(extra.begin(), unserved.begin(), unserved.end());
    return extra;
  };
  const Case cases[] = {
      {"no session", with({}), false},
      {"X11 session", with({"XDG_SESSION_TYPE=x11"}), false},
      {"WAYLAND_DISPLAY", with({"WAYLAND_DISPLAY=pelagon2-nobody"}), true},
      {"session type", with({"XDG_SESSION_TYPE=wayland"}), true},
      {"X11 chosen by the user", with({"WAYLAND_DISPLAY=pelagon2-nobody", "PELAGON2_WAYLAND_ROUTE=x11"}), false},
  };
  for (const Case& c : cases) {
    HostProcess host(c.env);
    // A request first: whatever is loaded lazily is loaded by then.
    EXPECT_EQ(to_json_text(host.request("get_display_list")), R"({"id":1,"result":[]})") << c.name;
    EXPECT_EQ(maps_library(host.pid(), "libpelagon2_wayland.so"), c.loads) << c.name;
    if (!c.loads) {
      for (const char* library : kWaylandLibraries) EXPECT_FALSE(maps_library(host.pid(), library)) << c.name << library;
    }
  }
}

// With no compositor and no bus, the host answers as on a machine without a
// screen, exactly as the X11 backend does without a server.
TEST(WaylandLoading, UnservedSessionAnswersAsWithoutAScreen) {
  testing::TempTree runtime;
  for (const char* route : {"", "wlroots", "gnome", "portal"}) {
    HostProcess host({"XDG_RUNTIME_DIR=" + runtime.path(), "DISPLAY=", "WAYLAND_DISPLAY=pelagon2-nobody",
                      "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime.path() + "/no-bus",
                      std::string("PELAGON2_WAYLAND_ROUTE=") + route});
    EXPECT_EQ(to_json_text(host.request("get_display_list")), R"({"id":1,"result":[]})") << route;
    EXPECT_EQ(to_json_text(host.request("capture_desktop")), R"({"error":{"message":"capture_failed: no monitors"},"id":1})")
        << route;
    EXPECT_EQ(to_json_text(host.request("get_version")).find("error"), std::string::npos) << route;
  }
}

}  // namespace
}  // namespace pelagon2
