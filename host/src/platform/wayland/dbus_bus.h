#pragma once
// The session bus for the GNOME and portal routes: a private GDBus connection
// whose signals are delivered on a private GMainContext, iterated only while
// this code waits, so nothing runs behind the host's back and every wait has
// a deadline.

#include <gio/gio.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "core/outcome.h"

namespace pelagon2::platform::wayland::gnome {

// Calls have this deadline unless told otherwise (the backend's 2 s).
inline constexpr std::chrono::milliseconds kCallDeadline{2000};

// Owns a GVariant reference.
struct VariantDeleter {
  void operator()(GVariant* v) const {
    if (v != nullptr) g_variant_unref(v);
  }
};
using Variant = std::unique_ptr<GVariant, VariantDeleter>;

class Bus {
 public:
  // A new connection to $DBUS_SESSION_BUS_ADDRESS; an error with GLib's words.
  static Expected<std::unique_ptr<Bus>> connect(std::chrono::milliseconds deadline = kCallDeadline);
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  GDBusConnection* get() const { return connection_; }
  bool closed() const { return connection_ == nullptr || g_dbus_connection_is_closed(connection_); }
  std::string unique_name() const;

  // A method call; the reply's parameters. `parameters` is consumed (floating refs).
  Expected<Variant> call(const char* destination, const char* path, const char* interface, const char* method,
                         GVariant* parameters, const char* reply_type = nullptr,
                         std::chrono::milliseconds deadline = kCallDeadline);
  // The same with descriptors passed either way; `out_fds` gets the reply's list.
  Expected<Variant> call_with_fds(const char* destination, const char* path, const char* interface, const char* method,
                                  GVariant* parameters, GUnixFDList* in_fds, GUnixFDList** out_fds,
                                  std::chrono::milliseconds deadline = kCallDeadline);
  // A property read through org.freedesktop.DBus.Properties.Get.
  Expected<Variant> property(const char* destination, const char* path, const char* interface, const char* name);

  // Whether `name` has an owner now.
  bool has_owner(const char* name, std::chrono::milliseconds deadline = kCallDeadline);

  // Subscribes to a signal; the handler runs while iterate() runs. Returns the
  // subscription id for unsubscribe().
  using Handler = std::function<void(const char* signal, GVariant* parameters)>;
  unsigned subscribe(const char* sender, const char* interface, const char* signal, const char* path, Handler handler);
  void unsubscribe(unsigned id);

  // Dispatches what is pending, waiting up to `timeout` for the first event.
  void iterate(std::chrono::milliseconds timeout);
  // Iterates until `done()` or the deadline; true when done.
  bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds deadline);

 private:
  Bus(GDBusConnection* connection, GMainContext* context) : connection_(connection), context_(context) {}
  struct Subscription {
    unsigned id = 0;
    Handler handler;
  };
  GDBusConnection* connection_ = nullptr;
  GMainContext* context_ = nullptr;
  std::vector<std::unique_ptr<Subscription>> subscriptions_;
};

// GLib's message of an error, freed.
std::string take_message(GError* error);

}  // namespace pelagon2::platform::wayland::gnome
