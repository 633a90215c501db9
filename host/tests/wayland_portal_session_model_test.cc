// The portal route's portable decisions: what a Start answer grants, which
// calls carry the restore token, when the dialog is shown again, and where and
// how the token is kept.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/wayland/portal_session_model.h"
#include "support/temp_tree.h"

namespace pelagon2::platform::wayland::portal {
namespace {

TEST(PortalAnswer, CodesOneAndTwoAreRefusals) {
  struct Case {
    std::uint32_t code;
    Answer answer;
    bool refusal;
  };
  const Case cases[] = {{0, Answer::granted, false},
                        {1, Answer::cancelled, true},
                        {2, Answer::ended, true},
                        {3, Answer::unknown, false},
                        {0xffffffffu, Answer::unknown, false}};
  for (const Case& c : cases) {
    EXPECT_EQ(answer_of(c.code), c.answer) << c.code;
    EXPECT_EQ(is_refusal(answer_of(c.code)), c.refusal) << c.code;
  }
}

StreamEntry stream(std::uint32_t node, std::optional<std::int32_t> x, std::optional<std::int32_t> y,
                   std::optional<std::int32_t> w, std::optional<std::int32_t> h,
                   std::optional<std::uint32_t> type = kMonitor) {
  return StreamEntry{node, x, y, w, h, type};
}

TEST(PortalGrant, DevicesAndStreamsOfAStartAnswer) {
  struct Case {
    const char* name;
    StartResults results;
    bool screen, input;
    std::vector<std::uint32_t> nodes;  // outputs, in order
    std::optional<std::uint32_t> primary_node;
  };
  const std::vector<StreamEntry> one = {stream(46, 0, 0, 1280, 800)};
  const Case cases[] = {
      {"everything", {3u, one, std::nullopt}, true, true, {46}, 46},
      // The dialog's interaction switch left off: Start succeeds without devices.
      {"switch off", {0u, one, std::nullopt}, true, false, {46}, 46},
      {"no devices key", {std::nullopt, one, std::nullopt}, true, false, {46}, 46},
      {"pointer only", {kPointer, one, std::nullopt}, true, false, {46}, 46},
      {"keyboard only", {kKeyboard, one, std::nullopt}, true, false, {46}, 46},
      {"with touch", {7u, one, std::nullopt}, true, true, {46}, 46},
      {"no streams", {3u, {}, std::nullopt}, false, true, {}, std::nullopt},
      // A window stream or one without a size cannot be addressed as a display.
      {"window stream", {3u, {stream(50, 0, 0, 640, 480, 2u)}, std::nullopt}, false, true, {}, std::nullopt},
      {"no size", {3u, {stream(51, 0, 0, std::nullopt, std::nullopt)}, std::nullopt}, false, true, {}, std::nullopt},
      {"zero size", {3u, {stream(52, 0, 0, 0, 800)}, std::nullopt}, false, true, {}, std::nullopt},
      {"no source type", {3u, {stream(53, 0, 0, 800, 600, std::nullopt)}, std::nullopt}, true, true, {53}, 53},
      // The monitor at the origin is the main one, wherever it is listed.
      {"two monitors", {3u, {stream(60, 1280, 0, 1024, 768), stream(61, 0, 0, 1280, 800)}, std::nullopt}, true, true,
       {60, 61}, 61},
      {"none at origin", {3u, {stream(70, 100, 0, 1024, 768), stream(71, 1124, 0, 800, 600)}, std::nullopt}, true,
       true, {70, 71}, 70},
  };
  for (const Case& c : cases) {
    const Grant g = grant_of(c.results);
    EXPECT_EQ(g.screen, c.screen) << c.name;
    EXPECT_EQ(g.input, c.input) << c.name;
    std::vector<std::uint32_t> nodes;
    std::optional<std::uint32_t> primary;
    for (const Output& o : g.outputs) {
      nodes.push_back(o.id);
      if (o.primary) {
        EXPECT_FALSE(primary.has_value()) << c.name << ": two primary outputs";
        primary = o.id;
      }
    }
    EXPECT_EQ(nodes, c.nodes) << c.name;
    EXPECT_EQ(primary, c.primary_node) << c.name;
  }
}

TEST(PortalGrant, OutputsKeepTheLogicalRectangleAndLeavePixelsToTheFrames) {
  const Grant g = grant_of({3u, {stream(61, -1280, 200, 1280, 720), stream(62, std::nullopt, std::nullopt, 800, 600)},
                            std::nullopt});
  ASSERT_EQ(g.outputs.size(), 2u);
  const Output& left = g.outputs[0];
  EXPECT_EQ(left.x, -1280);
  EXPECT_EQ(left.y, 200);
  EXPECT_EQ(left.width, 1280);
  EXPECT_EQ(left.height, 720);
  // Scale 1 until a frame tells the pixel size: a display list never has a scale of 0.
  EXPECT_EQ(left.pixel_width, 1280u);
  EXPECT_EQ(left.pixel_height, 720u);
  EXPECT_EQ(left.name, "portal-61");
  EXPECT_EQ(g.outputs[1].x, 0);  // no position: the origin
  EXPECT_EQ(g.outputs[1].y, 0);
  EXPECT_TRUE(g.outputs[1].primary);
}

TEST(PortalVersions, RestoreTokensAndHiddenCursorWhereOffered) {
  struct Case {
    Versions v;
    bool token, hidden_cursor;
  };
  const Case cases[] = {
      {{1, 4, 7}, false, true},  // Debian 12: remote desktop 1 keeps nothing
      {{2, 4, 7}, true, true},   {{2, 5, 7}, true, true}, {{1, 1, 0}, false, false},
      {{1, 2, 6}, false, false},  // hidden not among the offered modes
      {{1, 3, 1}, false, true},  {{0, 0, 0}, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(devices_take_restore_token(c.v), c.token) << c.v.remote_desktop << "/" << c.v.screen_cast;
    EXPECT_EQ(sources_take_hidden_cursor(c.v), c.hidden_cursor) << c.v.screen_cast << "/" << c.v.cursor_modes;
  }
}

TEST(PortalRequestPath, SenderNameBecomesAPathElement) {
  EXPECT_EQ(request_path_element(":1.24"), "1_24");
  EXPECT_EQ(request_path_element(":1.1024.7"), "1_1024_7");
  EXPECT_EQ(request_path(":1.5", "pelagon2_9_1"), "/org/freedesktop/portal/desktop/request/1_5/pelagon2_9_1");
}

TEST(PortalDialogGate, RefusalStandsForTheProcessFaultsAskAgain) {
  struct Case {
    LastStart last;
    bool alive, shows;
  };
  const Case cases[] = {
      {LastStart::never, false, true},    {LastStart::started, true, false},
      {LastStart::started, false, true},  // the desktop closed the session: ask for a new one
      {LastStart::refused, false, false}, {LastStart::failed, false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(may_show_dialog(c.last, c.alive), c.shows) << static_cast<int>(c.last) << " alive " << c.alive;
  }
}

TEST(PortalTokenFile, PathFollowsTheStateFolderRules) {
  struct Case {
    const char* state;
    const char* home;
    std::optional<std::string> path;
  };
  const Case cases[] = {
      {"/s", "/h", "/s/pelagon2/portal-restore-token"},
      {"/s/", "/h", "/s/pelagon2/portal-restore-token"},
      {nullptr, "/home/u", "/home/u/.local/state/pelagon2/portal-restore-token"},
      {"", "/home/u", "/home/u/.local/state/pelagon2/portal-restore-token"},
      {"relative/state", "/home/u", "/home/u/.local/state/pelagon2/portal-restore-token"},
      {nullptr, "/home/u/", "/home/u/.local/state/pelagon2/portal-restore-token"},
      {"/", "/h", "/pelagon2/portal-restore-token"},
      {nullptr, nullptr, std::nullopt},
      {nullptr, "", std::nullopt},
      {"relative", "also/relative", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(token_file_path(c.state, c.home), c.path)
        << (c.state ? c.state : "(unset)") << " " << (c.home ? c.home : "(unset)");
  }
}

TEST(PortalTokenFile, ContentIsOneTokenOrNothing) {
  struct Case {
    std::string content;
    std::optional<std::string> token;
  };
  const Case cases[] = {
      {"c2d7a6f3-41f0-4d2b-9d3e-0b8f2d1e9a77\n", "c2d7a6f3-41f0-4d2b-9d3e-0b8f2d1e9a77"},
      {"abc", "abc"},
      {"abc\r\n", "abc"},
      {"", std::nullopt},
      {"\n", std::nullopt},
      {"two words", std::nullopt},
      {"line\nbreak", std::nullopt},
      {std::string("nul\0byte", 8), std::nullopt},
      {"K\xc3\xb6ln", std::nullopt},
      {std::string(256, 'a'), std::string(256, 'a')},
      {std::string(257, 'a'), std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_token_file(c.content), c.token) << c.content;
}

TEST(PortalTokenFile, WrittenPrivatelyAndReadBack) {
  testing::TempTree tree;
  const std::string path = tree.path() + "/state/pelagon2/portal-restore-token";
  ASSERT_TRUE(write_token(path, "first-token").ok());
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((tree.path() + "/state/pelagon2").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(read_token(path), "first-token");

  // A file left readable by others is replaced by a private one.
  ::chmod(path.c_str(), 0644);
  ASSERT_TRUE(write_token(path, "second-token").ok());
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(read_token(path), "second-token");
  // Nothing but the token is left in the folder.
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(tree.path() + "/state/pelagon2")) ++entries;
  EXPECT_EQ(entries, 1u);

  EXPECT_FALSE(write_token(path, "not a token").ok());
  EXPECT_EQ(read_token(path), "second-token");  // a refused write leaves the old token
  EXPECT_EQ(read_token(tree.path() + "/missing"), std::nullopt);
  {
    std::ofstream junk(tree.path() + "/junk");
    junk << "two words\n";
  }
  EXPECT_EQ(read_token(tree.path() + "/junk"), std::nullopt);
  // A folder that cannot be made (a file in the way) is an error, not a crash.
  const Done blocked = write_token(tree.path() + "/junk/pelagon2/portal-restore-token", "t");
  ASSERT_FALSE(blocked.ok());
  EXPECT_NE(blocked.error().find("junk"), std::string::npos) << blocked.error();
}

}  // namespace
}  // namespace pelagon2::platform::wayland::portal
