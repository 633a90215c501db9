// search_desktop, wait_for_image and search_relative on the screen of a
// scripted platform: capture pixels to screen pixels, the search area, the
// capture file and the waiting rules (on a scripted clock).

#include "cv/desktop_search.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <chrono>
#include <functional>
#include <string>

#include "fakes/fake_platform.h"
#include "main/request_handler.h"
#include "support/temp_tree.h"
#include "testkit/png_file_reader.h"
#include "testkit/synthetic_screen.h"

namespace pelagon2 {
namespace {

using platform::DisplayRecord;
using testing::crop;
using testing::noise_image;
using testing::raw_param;
using testing::rect_text;

using testing::display;

std::string text_of(const Outcome& outcome) {
  return outcome.ok() ? to_json_text(*outcome) : "error: " + outcome.error();
}

// A display left of the main one at scale 2: capture origin (-2880, 0).
class DesktopSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_.displays_fake().list = std::vector<DisplayRecord>{display(3, -1440, 0, 1440, 60, 2880, true)};
    platform_.capture_fake().show(screen_);
  }

  vision_core::RgbImage screen_ = noise_image(2880, 120, 11);
  Json pattern_ = raw_param(crop(screen_, 100, 50, 16, 12));
  testing::FakePlatform platform_;
};

TEST_F(DesktopSearchTest, MatchesAreInScreenPixels) {
  const Outcome outcome = dispatch_method("search_desktop", Json{{"pattern", pattern_}}, platform_);
  ASSERT_TRUE(outcome.ok()) << outcome.error();
  EXPECT_EQ(text_of(outcome), R"({"containsGreenPinkBoxes":false,"errorCode":0,"regions":[{"matchedRect":)" +
                                  rect_text(-2780, 50, 16, 12) + R"(,"order":0,"score":1.0}]})");
}

TEST_F(DesktopSearchTest, SearchAreaIsGivenInScreenPixels) {
  struct Case {
    const char* name;
    Json area;
    std::string result;
  };
  const std::string found = R"({"containsGreenPinkBoxes":false,"errorCode":0,"regions":[{"matchedRect":)" +
                            rect_text(-2780, 50, 16, 12) + R"(,"order":0,"score":1.0}]})";
  const Case cases[] = {
      {"screen column of capture column 100", Json{{"x", -2780}, {"y", 50}, {"width", 16}, {"height", 12}}, found},
      {"float members", Json{{"x", -2790.5}, {"y", 40.0}, {"width", 40}, {"height", 40}}, found},
      {"area right of the pattern", Json{{"x", -2700}, {"y", 0}, {"width", 200}, {"height", 120}},
       R"({"containsGreenPinkBoxes":false,"errorCode":0,"regions":[]})"},
      {"capture coordinates are not screen coordinates", Json{{"x", 100}, {"y", 50}, {"width", 16}, {"height", 12}},
       "error: bad_params: searchArea 16x12 at (2980,50) lies fully outside the 2880x120 image"},
      {"non-number x left alone (reads as 0)", Json{{"x", "-2780"}, {"y", 50}, {"width", 16}, {"height", 12}},
       R"({"containsGreenPinkBoxes":false,"errorCode":0,"regions":[]})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Json params{{"pattern", pattern_}, {"options", Json{{"limitSearchArea", true}, {"searchArea", c.area}}}};
    EXPECT_EQ(text_of(dispatch_method("search_desktop", params, platform_)), c.result);
  }
}

TEST_F(DesktopSearchTest, RewritesOnlyNumericXAndY) {
  screen::RgbCapture capture;
  capture.origin_x = -2880.0;
  capture.origin_y = 100.5;
  Json options{{"searchArea", Json{{"x", 1u}, {"y", -2}, {"width", 5}, {"name", "keep"}}}, {"other", 3}};
  cv::rewrite_search_area(options, capture);
  EXPECT_EQ(to_json_text(options), R"({"other":3,"searchArea":{"name":"keep","width":5,"x":2881.0,"y":-102.5}})");
  Json huge{{"searchArea", Json{{"x", 1.7976931348623157e308}, {"y", "1"}}}};
  capture.origin_x = -1.7976931348623157e308;
  cv::rewrite_search_area(huge, capture);
  EXPECT_EQ(to_json_text(huge), R"({"searchArea":{"x":null,"y":"1"}})");
  Json not_object{{"searchArea", Json::array({1, 2})}};
  cv::rewrite_search_area(not_object, capture);
  EXPECT_EQ(to_json_text(not_object), R"({"searchArea":[1,2]})");
}

TEST_F(DesktopSearchTest, ParametersAreCheckedBeforeTheCapture) {
  const Json green{{"enableGreenPinkBoxes", true}};
  struct Case {
    const char* method;
    Json params;
    std::string error;
  };
  const Case cases[] = {
      {"search_desktop", Json(), "bad_params: missing 'pattern'"},
      {"search_desktop", Json{{"pattern", pattern_}, {"options", green}},
       "green_pink_not_supported: pelagon2 dropped the green/pink anchor-box system; use the explicit "
       "anchor+offset relative search (or the legacy Pelagon for old macros)"},
      {"search_desktop", Json{{"pattern", Json{{"data", "!"}}}}, "bad_params: base64 decode failed"},
      {"wait_for_image", Json{{"timeoutMs", 0u}}, "bad_params: missing 'pattern'"},
      {"search_relative", Json{{"offset", Json{{"x", 1}, {"y", 1}, {"width", 1}, {"height", 1}}}},
       "bad_params: missing 'pattern'"},
  };
  platform_.capture_fake().preflight = false;
  platform_.capture_fake().request = false;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    const Outcome outcome = dispatch_method(c.method, c.params, platform_);
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().substr(0, c.error.size()), c.error);
  }
  EXPECT_EQ(platform_.capture_fake().preflight_calls, 0);
  EXPECT_EQ(platform_.capture_fake().request_calls, 0);
  EXPECT_TRUE(platform_.capture_fake().captured_ids.empty());
}

TEST_F(DesktopSearchTest, CaptureErrorsEndEveryScreenSearch) {
  platform_.capture_fake().error = "gone";
  const Json params{{"pattern", pattern_}, {"offset", Json{{"x", 1}, {"y", 1}, {"width", 1}, {"height", 1}}},
                    {"timeoutMs", 100000u}};
  for (const char* method : {"search_desktop", "wait_for_image", "search_relative"}) {
    EXPECT_EQ(text_of(dispatch_method(method, params, platform_)), "error: capture_failed: gone") << method;
  }
  platform_.capture_fake().error.reset();
  platform_.capture_fake().preflight = false;
  platform_.capture_fake().request = false;
  for (const char* method : {"search_desktop", "wait_for_image", "search_relative"}) {
    EXPECT_EQ(text_of(dispatch_method(method, params, platform_)).substr(0, 32), "error: screen_recording_denied: ")
        << method;
  }
  EXPECT_EQ(platform_.capture_fake().request_calls, 3);  // once per capture, no retry
}

TEST_F(DesktopSearchTest, SavesTheCaptureOnlyWhenAskedWithTrue) {
  testing::TempTree tree;
  const std::string path = tree.path() + "/shot.png";
  struct Case {
    const char* name;
    Json options;
    bool saved;
  };
  const Case cases[] = {
      {"true", Json{{"saveCaptureOnDisk", true}, {"capturePath", path}}, true},
      {"string true", Json{{"saveCaptureOnDisk", "true"}, {"capturePath", path}}, false},
      {"1", Json{{"saveCaptureOnDisk", 1}, {"capturePath", path}}, false},
      {"absent", Json{{"capturePath", path}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(path.c_str());
    const Outcome outcome = dispatch_method("search_desktop", Json{{"pattern", pattern_}, {"options", c.options}},
                                            platform_);
    ASSERT_TRUE(outcome.ok()) << outcome.error();
    EXPECT_EQ(outcome->contains("capturePath"), c.saved);
    EXPECT_EQ(testing::exists_no_follow(path), c.saved);
    if (c.saved) {
      EXPECT_EQ((*outcome)["capturePath"], Json(path));
      const std::optional<testing::PngFile> png = testing::read_png_file(path);
      ASSERT_TRUE(png.has_value());
      EXPECT_EQ(png->color_type, PNG_COLOR_TYPE_RGB);
      EXPECT_EQ(png->ppm_x, 7559u);
      EXPECT_EQ(png->pixels, screen_.pixels);
      EXPECT_EQ((*outcome)["regions"].size(), 1u);
    }
  }
}

TEST_F(DesktopSearchTest, SaveFailuresAndLaterSearchFailures) {
  testing::TempTree tree;
  const std::string missing = tree.path() + "/none/shot.png";
  EXPECT_EQ(text_of(dispatch_method(
                "search_desktop",
                Json{{"pattern", pattern_}, {"options", Json{{"saveCaptureOnDisk", true}, {"capturePath", missing}}}},
                platform_)),
            "error: save_failed: No such file or directory (os error 2) (" + missing + ")");

  // The file stays when the search after it fails; the reply is the error alone.
  const std::string path = tree.path() + "/kept.png";
  const Json options{{"saveCaptureOnDisk", true},
                     {"capturePath", path},
                     {"limitSearchArea", true},
                     {"searchArea", Json{{"x", 10000}, {"y", 0}, {"width", 5}, {"height", 5}}}};
  EXPECT_EQ(text_of(dispatch_method("search_desktop", Json{{"pattern", pattern_}, {"options", options}}, platform_)),
            "error: bad_params: searchArea 5x5 at (12880,0) lies fully outside the 2880x120 image");
  EXPECT_TRUE(testing::exists_no_follow(path));
}

TEST_F(DesktopSearchTest, DefaultCapturePathWhenNoneIsNamed) {
  testing::TempTree tree;
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", tree.path().c_str(), 1);
  const Outcome outcome = dispatch_method(
      "search_desktop", Json{{"pattern", pattern_}, {"options", Json{{"saveCaptureOnDisk", true}, {"capturePath", 7}}}},
      platform_);
  if (old) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  ASSERT_TRUE(outcome.ok()) << outcome.error();
  EXPECT_EQ((*outcome)["capturePath"], Json(tree.path() + "/tidewell_desktop_capture.png"));
  EXPECT_TRUE(testing::exists_no_follow(tree.path() + "/tidewell_desktop_capture.png"));
}

TEST_F(DesktopSearchTest, HighDpiSearchUsesTheCaptureDensity) {
  // The screen shows a 96-DPI picture doubled; the pattern is cut from the original.
  const vision_core::RgbImage picture = testing::synthetic_screen(400, 60, 4);
  const vision_core::RgbImage doubled = testing::upscale_nearest(picture, 2);
  platform_.displays_fake().list = std::vector<DisplayRecord>{display(3, 0, 10, 400, 60, 800, true)};
  platform_.capture_fake().show(doubled);
  const auto [x, y] = testing::busiest_window(picture, 24);
  const Json params{{"pattern", raw_param(crop(picture, x, y, 24, 24))}, {"options", Json{{"enableHighDpi", true}}}};
  const Outcome outcome = dispatch_method("search_desktop", params, platform_);
  ASSERT_TRUE(outcome.ok()) << outcome.error();
  ASSERT_FALSE((*outcome)["regions"].empty()) << to_json_text(*outcome);
  EXPECT_EQ(to_json_text((*outcome)["regions"][0]["matchedRect"]), rect_text(2 * x, 2 * y + 20, 48, 48));
}

TEST_F(DesktopSearchTest, RelativeSearchOnTheScreenKeepsItsAreaInCapturePixels) {
  const Json offset{{"x", 20}, {"y", -5}, {"width", 10}, {"height", 4}};
  const std::string anchor_at_screen =
      R"({"containsGreenPinkBoxes":false,"errorCode":0,"regions":[{"anchorRect":)" + rect_text(-2780, 50, 16, 12) +
      R"(,"matchedRect":{"height":4.0,"width":10.0,"x":-2760.0,"y":45.0},"order":0,"score":1.0}]})";
  EXPECT_EQ(text_of(dispatch_method("search_relative", Json{{"offset", offset}, {"pattern", pattern_}}, platform_)),
            anchor_at_screen);
  const Json capture_area{{"limitSearchArea", true}, {"searchArea", Json{{"x", 90}, {"y", 40}, {"width", 40}, {"height", 40}}}};
  EXPECT_EQ(text_of(dispatch_method("search_relative",
                                    Json{{"offset", offset}, {"pattern", pattern_}, {"options", capture_area}}, platform_)),
            anchor_at_screen);
  // A supplied image is searched in its own pixels and the screen is not touched.
  EXPECT_EQ(text_of(dispatch_method("search_relative",
                                    Json{{"offset", offset}, {"pattern", pattern_}, {"image", raw_param(screen_)}},
                                    platform_)),
            R"({"containsGreenPinkBoxes":false,"errorCode":0,"regions":[{"anchorRect":)" + rect_text(100, 50, 16, 12) +
                R"(,"matchedRect":{"height":4.0,"width":10.0,"x":120.0,"y":45.0},"order":0,"score":1.0}]})");
  EXPECT_EQ(platform_.capture_fake().captured_ids.size(), 2u);
}

// ---- wait_for_image on a scripted clock ------------------------------------

// A small display left of the main one at scale 2 (capture origin (-100, 0)),
// so that waits of many attempts stay quick; the pattern is not on it yet.
class WaitForImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_.displays_fake().list = std::vector<DisplayRecord>{display(3, -50, 0, 50, 20, 100, true)};
    platform_.capture_fake().show(blank_);
  }
  Outcome wait(const Json& params) { return cv::wait_for_image(params, platform_, clock_); }

  vision_core::RgbImage screen_ = noise_image(100, 40, 11);
  vision_core::RgbImage blank_ = noise_image(100, 40, 99);
  Json pattern_ = raw_param(crop(screen_, 60, 20, 12, 10));  // at screen pixel (-40, 20)
  testing::FakePlatform platform_;
  testing::FakeClock clock_;
};

TEST_F(WaitForImageTest, FoundAtOnce) {
  platform_.capture_fake().show(screen_);
  clock_.per_read = std::chrono::microseconds(3400);
  const Outcome outcome = wait(Json{{"pattern", pattern_}});
  EXPECT_EQ(text_of(outcome), R"({"containsGreenPinkBoxes":false,"elapsedMs":3,"errorCode":0,"found":true,"regions":[{"matchedRect":)" +
                                  rect_text(-40, 20, 12, 10) + R"(,"order":0,"score":1.0}]})");
  EXPECT_TRUE(clock_.sleeps.empty());
}

TEST_F(WaitForImageTest, PatternAppearingLaterIsFoundAfterIntervals) {
  int attempts = 0;
  clock_.on_sleep = [&] {
    if (++attempts == 2) platform_.capture_fake().show(screen_);
  };
  const Outcome outcome = wait(Json{{"pattern", pattern_}, {"intervalMs", 250u}, {"timeoutMs", 5000u}});
  ASSERT_TRUE(outcome.ok()) << outcome.error();
  EXPECT_EQ((*outcome)["found"], true);
  EXPECT_EQ((*outcome)["elapsedMs"], 500u);
  EXPECT_EQ(clock_.sleeps, (std::vector<platform::Clock::Duration>{std::chrono::milliseconds(250), std::chrono::milliseconds(250)}));
  EXPECT_EQ(platform_.capture_fake().captured_ids.size(), 3u);
  EXPECT_FALSE(outcome->contains("capturePath"));
}

TEST_F(WaitForImageTest, TimeoutAndIntervalRules) {
  struct Case {
    const char* name;
    Json timeout;  // null: absent
    Json interval;
    std::uint64_t expected_interval;
    std::size_t attempts;
    std::uint64_t elapsed;
  };
  const Case cases[] = {
      {"timeout 0: one attempt", 0u, Json(), 200, 1, 0},
      {"defaults", Json(), Json(), 200, 51, 10000},
      {"interval 5 becomes 20", 100u, 5u, 20, 6, 100},
      {"interval 20 stays", 100u, 20u, 20, 6, 100},
      {"interval 21", 100u, 21u, 21, 6, 105},
      {"negative interval counts as absent", 1000u, -1, 200, 6, 1000},
      {"fractional interval counts as absent", 1000u, 1.5, 200, 6, 1000},
      {"string timeout counts as absent", "3000", 1000u, 1000, 11, 10000},
      {"negative timeout counts as absent", -5, 2000u, 2000, 6, 10000},
      {"timeout not a multiple of the interval", 450u, 200u, 200, 4, 600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clock_ = testing::FakeClock();
    Json params{{"pattern", pattern_}};
    if (!c.timeout.is_null()) params["timeoutMs"] = c.timeout;
    if (!c.interval.is_null()) params["intervalMs"] = c.interval;
    const std::size_t before = platform_.capture_fake().captured_ids.size();
    const Outcome outcome = wait(params);
    ASSERT_TRUE(outcome.ok()) << outcome.error();
    EXPECT_EQ(to_json_text(*outcome), R"({"containsGreenPinkBoxes":false,"elapsedMs":)" + std::to_string(c.elapsed) +
                                          R"(,"errorCode":0,"found":false,"regions":[]})");
    EXPECT_EQ(platform_.capture_fake().captured_ids.size() - before, c.attempts);
    EXPECT_EQ(clock_.sleeps.size(), c.attempts - 1);
    for (const platform::Clock::Duration slept : clock_.sleeps) {
      EXPECT_EQ(slept, std::chrono::milliseconds(c.expected_interval));
    }
  }
}

TEST_F(WaitForImageTest, ElapsedIsTruncatedAndNeverNegative) {
  clock_.per_read = std::chrono::nanoseconds(1'999'999);
  EXPECT_EQ((*wait(Json{{"pattern", pattern_}, {"timeoutMs", 0u}}))["elapsedMs"], 1u);
  clock_ = testing::FakeClock();
  clock_.per_read = -std::chrono::milliseconds(7);  // a clock that reads earlier than the start
  EXPECT_EQ((*wait(Json{{"pattern", pattern_}, {"timeoutMs", 0u}}))["elapsedMs"], 0u);
}

TEST_F(WaitForImageTest, EveryAttemptStartsFromTheRequestsSearchArea) {
  // The display moves between attempts; the area is rewritten from the
  // request's screen coordinates each time, not from the previous attempt's.
  int attempts = 0;
  clock_.on_sleep = [&] {
    if (attempts == 0) platform_.capture_fake().show(screen_);  // shown, but outside the area
    if (++attempts == 2) platform_.displays_fake().list = std::vector<DisplayRecord>{display(3, -30, 0, 50, 20, 100, true)};
  };
  // Capture column 60 is screen column 0 once the display is at -30 points.
  const Json options{{"limitSearchArea", true}, {"searchArea", Json{{"x", -10}, {"y", 10}, {"width", 40}, {"height", 30}}}};
  const Outcome outcome = wait(Json{{"pattern", pattern_}, {"options", options}, {"timeoutMs", 10000u}});
  ASSERT_TRUE(outcome.ok()) << outcome.error();
  EXPECT_EQ(to_json_text((*outcome)["regions"][0]["matchedRect"]), rect_text(0, 20, 12, 10));
  EXPECT_EQ(clock_.sleeps.size(), 2u);
}

TEST_F(WaitForImageTest, SearchErrorsEndTheWait) {
  const Json options{{"limitSearchArea", true}};
  EXPECT_EQ(text_of(wait(Json{{"pattern", pattern_}, {"options", options}})),
            "error: bad_params: limitSearchArea set but no searchArea");
  int attempts = 0;
  clock_.on_sleep = [&] {
    if (++attempts == 3) platform_.displays_fake().list = std::vector<DisplayRecord>{};
  };
  EXPECT_EQ(text_of(wait(Json{{"pattern", pattern_}})), "error: capture_failed: no monitors");
  EXPECT_EQ(clock_.sleeps.size(), 3u);
}

// The real clock's sleep lasts its whole time even when a signal interrupts it.
volatile sig_atomic_t g_alarms = 0;
void count_alarm(int) { g_alarms = g_alarms + 1; }

TEST(SystemClock, SleepResumesAfterSignals) {
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = count_alarm;  // no SA_RESTART: the sleep is interrupted
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
  itimerval timer{};
  timer.it_interval.tv_usec = 10'000;
  timer.it_value.tv_usec = 10'000;
  ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

  platform::Clock& clock = platform::system_clock();
  const platform::Clock::Duration start = clock.now();
  clock.sleep(std::chrono::milliseconds(80));
  const platform::Clock::Duration slept = clock.now() - start;

  timer = itimerval{};
  setitimer(ITIMER_REAL, &timer, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_GE(g_alarms, 2);
  EXPECT_GE(slept, std::chrono::milliseconds(80));
}

}  // namespace
}  // namespace pelagon2
