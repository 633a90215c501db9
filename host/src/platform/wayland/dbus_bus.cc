#include "platform/wayland/dbus_bus.h"

#include <gio/gunixfdlist.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "core/deadline.h"

namespace pelagon2::platform::wayland::gnome {

std::string take_message(GError* error) {
  if (error == nullptr) return "unknown error";
  // Remote errors carry their D-Bus name in front of the message.
  g_dbus_error_strip_remote_error(error);
  std::string text = error->message != nullptr ? error->message : "unknown error";
  g_error_free(error);
  return text;
}

namespace {

// A wait on a GAsyncResult, iterating `context` until it arrives.
void store_result(GObject*, GAsyncResult* result, gpointer data) {
  *static_cast<GAsyncResult**>(data) = static_cast<GAsyncResult*>(g_object_ref(result));
}

void iterate_context(GMainContext* context, int timeout_ms) {
  // One blocking iteration bounded by a timeout source, then what else is ready.
  GSource* timer = g_timeout_source_new(static_cast<guint>(std::max(timeout_ms, 0)));
  g_source_set_callback(timer, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
  g_source_attach(timer, context);
  g_main_context_iteration(context, TRUE);
  g_source_destroy(timer);
  g_source_unref(timer);
  while (g_main_context_iteration(context, FALSE)) {
  }
}

}  // namespace

Expected<std::unique_ptr<Bus>> Bus::connect(std::chrono::milliseconds deadline) {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address == nullptr || *address == '\0') return make_error("no session bus");
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GAsyncResult* result = nullptr;
  GCancellable* cancel = g_cancellable_new();
  g_dbus_connection_new_for_address(
      address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, cancel, store_result, &result);
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (result == nullptr && milliseconds_until(end) > 0) iterate_context(context, std::min(milliseconds_until(end), 50));
  if (result == nullptr) {
    g_cancellable_cancel(cancel);
    while (result == nullptr) g_main_context_iteration(context, TRUE);
  }
  GError* error = nullptr;
  GDBusConnection* connection = g_dbus_connection_new_for_address_finish(result, &error);
  g_object_unref(result);
  g_object_unref(cancel);
  g_main_context_pop_thread_default(context);
  if (connection == nullptr) {
    g_main_context_unref(context);
    return make_error("cannot connect to the session bus: " + take_message(error));
  }
  // A bus that goes away must not end the host.
  g_dbus_connection_set_exit_on_close(connection, FALSE);
  return std::unique_ptr<Bus>(new Bus(connection, context));
}

Bus::~Bus() {
  if (connection_ != nullptr) {
    for (const auto& s : subscriptions_) g_dbus_connection_signal_unsubscribe(connection_, s->id);
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
  }
  while (g_main_context_iteration(context_, FALSE)) {
  }
  g_main_context_unref(context_);
}

std::string Bus::unique_name() const {
  const char* name = connection_ != nullptr ? g_dbus_connection_get_unique_name(connection_) : nullptr;
  return name != nullptr ? name : "";
}

Expected<Variant> Bus::call(const char* destination, const char* path, const char* interface, const char* method,
                            GVariant* parameters, const char* reply_type, std::chrono::milliseconds deadline) {
  if (closed()) {
    if (parameters != nullptr) g_variant_unref(g_variant_ref_sink(parameters));
    return make_error("the session bus connection is closed");
  }
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      connection_, destination, path, interface, method, parameters,
      reply_type != nullptr ? G_VARIANT_TYPE(reply_type) : nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
      static_cast<int>(deadline.count()), nullptr, &error);
  if (reply == nullptr) return make_error(std::string(method) + ": " + take_message(error));
  return Variant(reply);
}

Expected<Variant> Bus::call_with_fds(const char* destination, const char* path, const char* interface,
                                     const char* method, GVariant* parameters, GUnixFDList* in_fds,
                                     GUnixFDList** out_fds, std::chrono::milliseconds deadline) {
  if (closed()) {
    if (parameters != nullptr) g_variant_unref(g_variant_ref_sink(parameters));
    return make_error("the session bus connection is closed");
  }
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
      connection_, destination, path, interface, method, parameters, nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
      static_cast<int>(deadline.count()), in_fds, out_fds, nullptr, &error);
  if (reply == nullptr) return make_error(std::string(method) + ": " + take_message(error));
  return Variant(reply);
}

Expected<Variant> Bus::property(const char* destination, const char* path, const char* interface, const char* name) {
  Expected<Variant> reply = call(destination, path, "org.freedesktop.DBus.Properties", "Get",
                                 g_variant_new("(ss)", interface, name), "(v)");
  if (!reply) return reply;
  GVariant* value = nullptr;
  g_variant_get(reply->get(), "(v)", &value);
  return Variant(value);
}

bool Bus::has_owner(const char* name, std::chrono::milliseconds deadline) {
  Expected<Variant> reply = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                 "NameHasOwner", g_variant_new("(s)", name), "(b)", deadline);
  if (!reply) return false;
  gboolean owned = FALSE;
  g_variant_get(reply->get(), "(b)", &owned);
  return owned != FALSE;
}

unsigned Bus::subscribe(const char* sender, const char* interface, const char* signal, const char* path,
                        Handler handler) {
  if (closed()) return 0;
  auto s = std::make_unique<Subscription>();
  s->handler = std::move(handler);
  g_main_context_push_thread_default(context_);
  s->id = g_dbus_connection_signal_subscribe(
      connection_, sender, interface, signal, path, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name, GVariant* parameters,
         gpointer data) { static_cast<Subscription*>(data)->handler(name, parameters); },
      s.get(), nullptr);
  g_main_context_pop_thread_default(context_);
  const unsigned id = s->id;
  subscriptions_.push_back(std::move(s));
  return id;
}

void Bus::unsubscribe(unsigned id) {
  if (id == 0) return;
  if (connection_ != nullptr) g_dbus_connection_signal_unsubscribe(connection_, id);
  // The handler may still be referenced by a queued dispatch: dispatch first.
  while (g_main_context_iteration(context_, FALSE)) {
  }
  std::erase_if(subscriptions_, [id](const std::unique_ptr<Subscription>& s) { return s->id == id; });
}

void Bus::iterate(std::chrono::milliseconds timeout) { iterate_context(context_, static_cast<int>(timeout.count())); }

bool Bus::wait_for(const std::function<bool()>& done, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!done()) {
    const int left = milliseconds_until(end);
    if (left <= 0) return false;
    iterate_context(context_, std::min(left, 50));
  }
  return true;
}

}  // namespace pelagon2::platform::wayland::gnome
