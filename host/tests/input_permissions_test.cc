// Permission status, requests and settings pages over scripted platform
// answers, through the host's method table.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_platform.h"
#include "main/request_handler.h"

namespace pelagon2 {
namespace {

constexpr const char* kMissingKind = "bad_params: missing 'kind' (accessibility | screenRecording)";

// The outcome as one comparable value: the result, or {"error": message}.
Json outcome_json(const Outcome& outcome) {
  return outcome.ok() ? outcome.value() : Json{{"error", outcome.error()}};
}

TEST(Permissions, StatusAsksWithoutPrompting) {
  for (const bool trusted : {false, true}) {
    for (const bool preflight : {false, true}) {
      for (const Json& params : {Json(), Json::object(), Json{{"kind", "accessibility"}}, Json::array(), Json("x")}) {
        testing::FakePlatform platform;
        platform.permissions_fake().trusted = trusted;
        platform.capture_fake().preflight = preflight;
        EXPECT_EQ(outcome_json(dispatch_method("get_permission_status", params, platform)),
                  (Json{{"accessibility", trusted}, {"screenRecording", preflight}}))
            << params.dump();
        EXPECT_EQ(platform.permissions_fake().prompts, 0);
        EXPECT_EQ(platform.capture_fake().request_calls, 0);
      }
    }
  }
}

TEST(Permissions, Request) {
  struct Case {
    const char* name;
    Json params;
    bool trusted = false, grant = false, preflight = false, request = false;
    Json expected;
    int prompts = 0, capture_requests = 0;
  };
  const Case cases[] = {
      {"accessibility already granted", {{"kind", "accessibility"}}, true, false, false, false,
       {{"granted", true}, {"kind", "accessibility"}}, 0, 0},
      {"accessibility granted at the prompt", {{"kind", "accessibility"}}, false, true, false, false,
       {{"granted", true}, {"kind", "accessibility"}}, 1, 0},
      {"accessibility refused", {{"kind", "accessibility"}}, false, false, true, true,
       {{"granted", false}, {"kind", "accessibility"}}, 1, 0},
      {"screen recording already granted", {{"kind", "screenRecording"}}, false, false, true, false,
       {{"granted", true}, {"kind", "screenRecording"}}, 0, 0},
      {"screen recording granted on request", {{"kind", "screenRecording"}, {"extra", 1}}, false, false, false, true,
       {{"granted", true}, {"kind", "screenRecording"}}, 0, 1},
      {"screen recording refused", {{"kind", "screenRecording"}}, true, true, false, false,
       {{"granted", false}, {"kind", "screenRecording"}}, 0, 1},
      {"kind differing in case", {{"kind", "ScreenRecording"}}, false, true, false, true,
       {{"error", "bad_params: unknown permission kind 'ScreenRecording'"}}, 0, 0},
      {"empty kind", {{"kind", ""}}, false, true, false, true, {{"error", "bad_params: unknown permission kind ''"}}, 0,
       0},
      {"kind quoted as sent", {{"kind", "acc\xc3\xa9ss 'x'"}}, false, true, false, true,
       {{"error", "bad_params: unknown permission kind 'acc\xc3\xa9ss 'x''"}}, 0, 0},
      {"kind missing", Json::object(), false, true, false, true, {{"error", kMissingKind}}, 0, 0},
      {"kind not a string", {{"kind", 1}}, false, true, false, true, {{"error", kMissingKind}}, 0, 0},
      {"kind null", {{"kind", nullptr}}, false, true, false, true, {{"error", kMissingKind}}, 0, 0},
      {"params not an object", Json::array({Json{{"kind", "accessibility"}}}), false, true, false, true,
       {{"error", kMissingKind}}, 0, 0},
      {"no params", Json(), false, true, false, true, {{"error", kMissingKind}}, 0, 0},
  };
  for (const Case& c : cases) {
    testing::FakePlatform platform;
    platform.permissions_fake().trusted = c.trusted;
    platform.permissions_fake().grant_on_request = c.grant;
    platform.capture_fake().preflight = c.preflight;
    platform.capture_fake().request = c.request;
    EXPECT_EQ(outcome_json(dispatch_method("request_permission", c.params, platform)), c.expected) << c.name;
    EXPECT_EQ(platform.permissions_fake().prompts, c.prompts) << c.name;
    EXPECT_EQ(platform.capture_fake().request_calls, c.capture_requests) << c.name;
  }
}

TEST(Permissions, OpenPane) {
  struct Case {
    const char* name;
    Json params;
    std::optional<std::string> opener_error;
    Json expected;
    std::vector<std::string> opened;
  };
  const Case cases[] = {
      {"accessibility", {{"kind", "accessibility"}}, std::nullopt, true,
       {"x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility"}},
      {"screen recording", {{"kind", "screenRecording"}}, std::nullopt, true,
       {"x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture"}},
      {"unknown pane", {{"kind", "Accessibility"}}, std::nullopt,
       {{"error", "bad_params: unknown permission pane 'Accessibility'"}}, {}},
      {"kind missing", {{"pane", "accessibility"}}, std::nullopt, {{"error", kMissingKind}}, {}},
      {"params not an object", Json("accessibility"), std::nullopt, {{"error", kMissingKind}}, {}},
      {"opener cannot start", {{"kind", "screenRecording"}}, "No such file or directory (os error 2)",
       {{"error", "open_failed: No such file or directory (os error 2)"}}, {}},
  };
  for (const Case& c : cases) {
    testing::FakePlatform platform;
    platform.settings_fake().error = c.opener_error;
    EXPECT_EQ(outcome_json(dispatch_method("open_permission_pane", c.params, platform)), c.expected) << c.name;
    EXPECT_EQ(platform.settings_fake().opened, c.opened) << c.name;
  }
}

}  // namespace
}  // namespace pelagon2
