#pragma once
// A test suite's one GNOME session and GTK client, started once for all its
// tests (each takes seconds). `Suite` keeps the statics of suites apart.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

#include "support/gnome_session.h"

namespace pelagon2::testing {

template <class Suite>
class GnomeSuite : public ::testing::Test {
 protected:
  // The client's events go to `events_file` in the session's home;
  // `before_client` runs once the session is ready, before the client starts.
  static void start_suite(GnomeSessionOptions options, const std::string& events_file,
                          const std::function<void()>& before_client = {}) {
    session_ = new GnomeSession(std::move(options));
    if (!session_->ready()) return;
    if (before_client) before_client();
    gtk_ = new GtkEvents(*session_, session_->home() + "/" + events_file);
    gtk_ready_ = gtk_->wait_ready();
  }
  static void TearDownTestSuite() {
    delete gtk_;
    delete session_;
    gtk_ = nullptr;
    session_ = nullptr;
  }

  static inline GnomeSession* session_ = nullptr;
  static inline GtkEvents* gtk_ = nullptr;
  static inline bool gtk_ready_ = false;
};

}  // namespace pelagon2::testing
