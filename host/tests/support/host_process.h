#pragma once
// The real host binary over pipes, for wire tests.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/process_limits.h"
#include "tools/client/host_client.h"

namespace pelagon2::testing {

// The host the wire tests talk to: the one built with them, or the binary that
// PELAGON2_TEST_HOST names (CI runs the suite once more against the host of its
// sanitizer build).
inline std::string host_under_test() {
  const char* other = std::getenv("PELAGON2_TEST_HOST");
  return other != nullptr && *other != '\0' ? other : PELAGON2_HOST_PATH;
}

// Whether that host runs under the sanitizers (PELAGON2_TEST_HOST_SANITIZED
// says so for a host named from outside).
inline bool host_is_sanitized() {
  const char* flag = std::getenv("PELAGON2_TEST_HOST_SANITIZED");
  return kSanitizedBuild || (flag != nullptr && *flag == '1');
}

// A test's host never reaches the desktop session the tests run in: only a
// Wayland session the test names itself (later entries win).
inline std::vector<std::string> session_free(std::vector<std::string> env) {
  env.insert(env.begin(), {"WAYLAND_DISPLAY=", "XDG_SESSION_TYPE="});
  return env;
}

class HostProcess : public HostClient {
 public:
  explicit HostProcess(std::vector<std::string> env = {}) : HostClient(host_under_test(), session_free(std::move(env))) {
    EXPECT_TRUE(started()) << last_error();
  }

  // The parsed reply to one request; fails the test when none comes.
  Json request(std::string_view method, const Json& params = Json(), const Json& id = Json(1)) {
    std::optional<Json> reply = call(method, params, id);
    EXPECT_TRUE(reply.has_value()) << method << ": " << last_error();
    return reply.value_or(Json());
  }
};

using pelagon2::frame;

}  // namespace pelagon2::testing
