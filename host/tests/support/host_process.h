#pragma once
// The real host binary over pipes, for wire tests.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/host_client.h"

namespace pelagon2::testing {

class HostProcess : public HostClient {
 public:
  explicit HostProcess(std::vector<std::string> env = {}) : HostClient(PELAGON2_HOST_PATH, std::move(env)) {
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
