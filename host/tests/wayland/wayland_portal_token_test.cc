// The restore token path, which Debian 12's portal (remote desktop version 1)
// never takes: a portal of the test's own on a private bus, offering version 2,
// hands out tokens; the session asks for persistence, keeps each token in a
// private file under the state folder and passes it back on the next start.
// Also what the session reads of a Start answer it cannot get from a real
// dialog: refusals by code and a grant without input.

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/wayland/portal_session.h"
#include "support/gnome_session.h"
#include "support/temp_tree.h"

namespace pelagon2 {
namespace {

using platform::wayland::gnome::PortalStart;
using platform::wayland::gnome::start_portal_session;
using testing::GroupProcess;

constexpr const char* kXml = R"(<node>
  <interface name="org.freedesktop.portal.RemoteDesktop">
    <method name="CreateSession"><arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
    <method name="SelectDevices"><arg type="o" direction="in"/><arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
    <method name="Start"><arg type="o" direction="in"/><arg type="s" direction="in"/><arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
    <property name="version" type="u" access="read"/>
    <property name="AvailableDeviceTypes" type="u" access="read"/>
  </interface>
  <interface name="org.freedesktop.portal.ScreenCast">
    <method name="SelectSources"><arg type="o" direction="in"/><arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
    <method name="OpenPipeWireRemote"><arg type="o" direction="in"/><arg type="a{sv}" direction="in"/><arg type="h" direction="out"/></method>
    <property name="version" type="u" access="read"/>
    <property name="AvailableCursorModes" type="u" access="read"/>
  </interface>
</node>)";

// What the fake portal answers and what it was asked.
struct Script {
  std::uint32_t remote_desktop_version = 2;
  std::uint32_t start_code = 0;
  std::uint32_t devices = 3;
  bool give_token = true;
};

class FakePortal {
 public:
  FakePortal(const std::string& address, Script script) : script_(script) {
    thread_ = std::thread([this, address] { run(address); });
    std::unique_lock<std::mutex> lock(mutex_);
    ready_cv_.wait_for(lock, std::chrono::seconds(20), [this] { return ready_ != 0; });
  }
  ~FakePortal() {
    if (loop_ != nullptr) g_main_loop_quit(loop_);
    if (thread_.joinable()) thread_.join();
  }
  bool ready() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ready_ == 1;
  }
  // Each call as "Method options" (options printed by GVariant).
  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  std::string options_of(const std::string& method) {
    for (const std::string& c : calls())
      if (c.rfind(method + " ", 0) == 0) return c.substr(method.size() + 1);
    return {};
  }

 private:
  void run(const std::string& address) {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    loop_ = g_main_loop_new(context, FALSE);
    GDBusConnection* c = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(kXml, nullptr);
    bool ok = c != nullptr && info != nullptr;
    static const GDBusInterfaceVTable vtable = {&FakePortal::on_call, &FakePortal::on_property, nullptr, {}};
    for (int i = 0; ok && i < 2; ++i) {
      ok = g_dbus_connection_register_object(c, "/org/freedesktop/portal/desktop", info->interfaces[i], &vtable, this,
                                             nullptr, nullptr) != 0;
    }
    if (ok) {
      GVariant* r = g_dbus_connection_call_sync(c, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "RequestName",
                                                g_variant_new("(su)", "org.freedesktop.portal.Desktop", 4u),
                                                G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
      ok = r != nullptr;
      if (r != nullptr) g_variant_unref(r);
    }
    connection_ = c;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ready_ = ok ? 1 : 2;
    }
    ready_cv_.notify_all();
    if (ok) g_main_loop_run(loop_);
    if (info != nullptr) g_dbus_node_info_unref(info);
    if (c != nullptr) {
      g_dbus_connection_close_sync(c, nullptr, nullptr);
      g_object_unref(c);
    }
    g_main_loop_unref(loop_);
    loop_ = nullptr;
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
  }

  static GVariant* on_property(GDBusConnection*, const gchar*, const gchar*, const gchar* interface,
                               const gchar* property, GError**, gpointer data) {
    auto* self = static_cast<FakePortal*>(data);
    const std::string iface = interface, name = property;
    if (name == "version")
      return g_variant_new_uint32(iface == "org.freedesktop.portal.RemoteDesktop" ? self->script_.remote_desktop_version
                                                                                  : 4u);
    return g_variant_new_uint32(7u);
  }

  // Answers through a Request: the handle first, then its Response to the caller.
  static void on_call(GDBusConnection* connection, const gchar* sender, const gchar*, const gchar*, const gchar* method,
                      GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
    auto* self = static_cast<FakePortal*>(data);
    const std::string name = method;
    GVariant* options = g_variant_get_child_value(parameters, g_variant_n_children(parameters) - 1);
    gchar* printed = g_variant_print(options, FALSE);
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->calls_.push_back(name + " " + printed);
    }
    g_free(printed);
    if (name == "OpenPipeWireRemote") {
      g_variant_unref(options);
      int pair[2];
      GUnixFDList* fds = g_unix_fd_list_new();
      if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0) {
        g_unix_fd_list_append(fds, pair[0], nullptr);
        ::close(pair[0]);
        ::close(pair[1]);
      }
      g_dbus_method_invocation_return_value_with_unix_fd_list(invocation, g_variant_new("(h)", 0), fds);
      g_object_unref(fds);
      return;
    }
    const gchar* token = "t";
    g_variant_lookup(options, "handle_token", "&s", &token);
    std::string element = sender + 1;
    for (char& ch : element) ch = ch == '.' ? '_' : ch;
    const std::string request = "/org/freedesktop/portal/desktop/request/" + element + "/" + token;
    g_variant_unref(options);
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", request.c_str()));

    GVariantBuilder results;
    g_variant_builder_init(&results, G_VARIANT_TYPE_VARDICT);
    std::uint32_t code = 0;
    if (name == "CreateSession") {
      g_variant_builder_add(&results, "{sv}", "session_handle",
                            g_variant_new_string("/org/freedesktop/portal/desktop/session/fake/1"));
    } else if (name == "Start") {
      code = self->script_.start_code;
      g_variant_builder_add(&results, "{sv}", "devices", g_variant_new_uint32(self->script_.devices));
      GVariantBuilder props;
      g_variant_builder_init(&props, G_VARIANT_TYPE_VARDICT);
      g_variant_builder_add(&props, "{sv}", "position", g_variant_new("(ii)", 0, 0));
      g_variant_builder_add(&props, "{sv}", "size", g_variant_new("(ii)", 640, 480));
      g_variant_builder_add(&props, "{sv}", "source_type", g_variant_new_uint32(1));
      GVariantBuilder streams;
      g_variant_builder_init(&streams, G_VARIANT_TYPE("a(ua{sv})"));
      g_variant_builder_add(&streams, "(ua{sv})", 77u, &props);
      g_variant_builder_add(&results, "{sv}", "streams", g_variant_builder_end(&streams));
      if (self->script_.give_token) {
        const std::string t = "token-" + std::to_string(++self->tokens_);
        g_variant_builder_add(&results, "{sv}", "restore_token", g_variant_new_string(t.c_str()));
      }
    }
    g_dbus_connection_emit_signal(connection, sender, request.c_str(), "org.freedesktop.portal.Request", "Response",
                                  g_variant_new("(ua{sv})", code, &results), nullptr);
  }

  Script script_;
  std::thread thread_;
  GMainLoop* loop_ = nullptr;
  GDBusConnection* connection_ = nullptr;
  std::mutex mutex_;
  std::condition_variable ready_cv_;
  int ready_ = 0;  // 1 serving, 2 failed
  std::vector<std::string> calls_;
  int tokens_ = 0;
};

// A private bus and state folder for this process's portal client.
class PortalTokenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::have_program("dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed";
    // A bus that activates nothing: the desktop's real portal must not start on it.
    const std::string config = tree_.path() + "/bus.conf";
    {
      std::ofstream out(config);
      out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
             "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
             "<busconfig><type>session</type><listen>unix:dir=" << tree_.path() << "</listen><auth>EXTERNAL</auth>"
             "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
             "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
    }
    bus_ = std::make_unique<GroupProcess>(
        std::vector<std::string>{"dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile", "--print-address=1"},
        testing::private_environment({"HOME=" + tree_.path()}), std::string(), true);
    const std::optional<std::string> address = bus_->first_line(std::chrono::seconds(20));
    ASSERT_TRUE(address && !address->empty());
    address_ = *address;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    ::setenv("XDG_STATE_HOME", (tree_.path() + "/state").c_str(), 1);
    token_file_ = tree_.path() + "/state/pelagon2/portal-restore-token";
  }
  std::string kept() {
    std::ifstream in(token_file_);
    std::string line;
    std::getline(in, line);
    return line;
  }

  testing::TempTree tree_;
  std::unique_ptr<GroupProcess> bus_;
  std::string address_, token_file_;
};

TEST_F(PortalTokenTest, TokenIsKeptPrivatelyAndPassedToTheNextStart) {
  FakePortal portal(address_, Script{});
  ASSERT_TRUE(portal.ready());
  {
    PortalStart first = start_portal_session(std::chrono::seconds(5));
    ASSERT_NE(first.session, nullptr) << first.reason;
    EXPECT_TRUE(first.session->input_granted());
    ASSERT_EQ(first.session->streams().size(), 1u);
    EXPECT_EQ(first.session->streams()[0].node, 77u);
    EXPECT_EQ(first.session->streams()[0].output.width, 640);
  }
  const std::string first_devices = portal.options_of("SelectDevices");
  EXPECT_NE(first_devices.find("'persist_mode': <uint32 2>"), std::string::npos) << first_devices;
  EXPECT_EQ(first_devices.find("restore_token"), std::string::npos) << first_devices;
  EXPECT_NE(first_devices.find("'types': <uint32 3>"), std::string::npos) << first_devices;
  // The cursor is left out of the frames where the portal offers that.
  EXPECT_NE(portal.options_of("SelectSources").find("'cursor_mode': <uint32 1>"), std::string::npos);
  EXPECT_EQ(kept(), "token-1");
  struct stat st {};
  ASSERT_EQ(::stat(token_file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // The next host process: the kept token goes back, and the new one replaces it.
  PortalStart second = start_portal_session(std::chrono::seconds(5));
  ASSERT_NE(second.session, nullptr) << second.reason;
  std::vector<std::string> devices;
  for (const std::string& c : portal.calls())
    if (c.rfind("SelectDevices ", 0) == 0) devices.push_back(c);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_NE(devices[1].find("'restore_token': <'token-1'>"), std::string::npos) << devices[1];
  EXPECT_EQ(kept(), "token-2");
}

TEST_F(PortalTokenTest, VersionOneAsksForNoPersistenceAndKeepsNothing) {
  FakePortal portal(address_, Script{.remote_desktop_version = 1, .give_token = false});
  ASSERT_TRUE(portal.ready());
  // A token left by a newer desktop is not sent to one that cannot take it.
  ASSERT_TRUE(platform::wayland::portal::write_token(token_file_, "old-token").ok());
  PortalStart start = start_portal_session(std::chrono::seconds(5));
  ASSERT_NE(start.session, nullptr) << start.reason;
  const std::string devices = portal.options_of("SelectDevices");
  EXPECT_EQ(devices.find("persist_mode"), std::string::npos) << devices;
  EXPECT_EQ(devices.find("restore_token"), std::string::npos) << devices;
  EXPECT_EQ(kept(), "old-token");
}

TEST_F(PortalTokenTest, StartAnswersBecomeRefusalsOrGrants) {
  struct Case {
    const char* name;
    Script script;
    bool session, refused, input;
  };
  const Case cases[] = {
      {"cancelled", {.start_code = 1}, false, true, false},
      {"ended", {.start_code = 2}, false, true, false},
      {"failed", {.start_code = 3}, false, false, false},
      {"screen only", {.devices = 0}, true, false, false},
      {"no token", {.give_token = false}, true, false, true},
  };
  for (const Case& c : cases) {
    FakePortal portal(address_, c.script);
    ASSERT_TRUE(portal.ready()) << c.name;
    PortalStart start = start_portal_session(std::chrono::seconds(5));
    EXPECT_EQ(start.session != nullptr, c.session) << c.name << ": " << start.reason;
    EXPECT_EQ(start.refused, c.refused) << c.name;
    if (!c.session) {
      EXPECT_FALSE(start.reason.empty()) << c.name;
    }
    if (start.session) {
      EXPECT_EQ(start.session->input_granted(), c.input) << c.name;
    }
  }
}

TEST_F(PortalTokenTest, NoPortalOnTheBusFailsAtOnce) {
  const auto before = std::chrono::steady_clock::now();
  PortalStart start = start_portal_session(std::chrono::seconds(5));
  EXPECT_EQ(start.session, nullptr);
  EXPECT_FALSE(start.refused);
  EXPECT_FALSE(start.reason.empty());
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + tree_.path() + "/no-bus").c_str(), 1);
  start = start_portal_session(std::chrono::seconds(5));
  EXPECT_EQ(start.session, nullptr);
  EXPECT_FALSE(start.reason.empty());
}

}  // namespace
}  // namespace pelagon2
