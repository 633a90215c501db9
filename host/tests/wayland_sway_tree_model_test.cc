// sway's IPC framing and the views of a GET_TREE reply, from a recorded-shape tree.

#include <gtest/gtest.h>

#include <string>

#include "platform/wayland/sway_tree_model.h"

namespace pelagon2::platform::wayland {
namespace {

std::string describe(const std::optional<std::vector<WindowRecord>>& windows) {
  if (!windows) return "none";
  std::string out;
  for (const WindowRecord& w : *windows) {
    out += std::to_string(w.owner_pid.value_or(-1)) + " layer " + std::to_string(w.layer.value_or(-1)) + " ";
    if (w.bounds_state == WindowRecord::BoundsState::ok) {
      out += std::to_string(static_cast<int>(w.x)) + "," + std::to_string(static_cast<int>(w.y)) + " " +
             std::to_string(static_cast<int>(w.width)) + "x" + std::to_string(static_cast<int>(w.height));
    } else {
      out += "bounds " + std::to_string(static_cast<int>(w.bounds_state));
    }
    out += "\n";
  }
  return out;
}

// The shape sway 1.7 answers with: root, outputs (the scratchpad's first),
// workspaces, containers, views with pid, floating views beside them.
constexpr const char* kTree = R"({
  "id": 1, "type": "root", "rect": {"x": 0, "y": 0, "width": 1920, "height": 800}, "focused": false,
  "nodes": [
    {"id": 2, "type": "output", "name": "__i3", "nodes": [
      {"id": 3, "type": "workspace", "name": "__i3_scratch", "nodes": [], "floating_nodes": [
        {"id": 30, "type": "floating_con", "pid": 900, "visible": false, "focused": false,
         "rect": {"x": 10, "y": 10, "width": 100, "height": 100}}]}]},
    {"id": 4, "type": "output", "name": "HEADLESS-1", "rect": {"x": 0, "y": 0, "width": 1280, "height": 800}, "nodes": [
      {"id": 5, "type": "workspace", "name": "1", "nodes": [
        {"id": 6, "type": "con", "layout": "splitv", "nodes": [
          {"id": 7, "type": "con", "pid": 101, "app_id": "chromium-browser", "shell": "xdg_shell", "visible": true,
           "focused": false, "rect": {"x": 0, "y": 0, "width": 640, "height": 400}},
          {"id": 8, "type": "con", "pid": 102, "app_id": "org.gtk", "visible": true, "focused": true,
           "rect": {"x": 0, "y": 400, "width": 640, "height": 400}}]},
        {"id": 9, "type": "con", "pid": 103, "visible": true, "focused": false, "rect": "odd"}],
       "floating_nodes": [
        {"id": 10, "type": "floating_con", "pid": 104, "visible": true, "focused": false,
         "rect": {"x": 300.5, "y": 200, "width": 320, "height": 240}}]},
      {"id": 11, "type": "workspace", "name": "2", "nodes": [
        {"id": 12, "type": "con", "pid": 105, "visible": false, "focused": false,
         "rect": {"x": 0, "y": 0, "width": 1280, "height": 800}}]}]},
    {"id": 13, "type": "output", "name": "HEADLESS-2", "rect": {"x": 1280, "y": 0, "width": 640, "height": 400},
     "nodes": [{"id": 14, "type": "workspace", "name": "3", "nodes": [
        {"id": 15, "type": "con", "pid": 106, "focused": false, "rect": {"x": 1280, "y": 0, "width": 640}}]}]}]
})";

TEST(SwayTreeModel, ViewsFocusedFirstThenInTreeOrder) {
  EXPECT_EQ(describe(sway_windows(kTree)),
            "102 layer 0 0,400 640x400\n"
            "101 layer 0 0,0 640x400\n"
            "103 layer 0 bounds 2\n"
            "104 layer 0 300,200 320x240\n"
            "106 layer 0 bounds 3\n");
}

TEST(SwayTreeModel, WhatIsNoTree) {
  struct Case {
    const char* json;
    const char* want;
  };
  const Case cases[] = {
      {"", "none"},
      {"[1, 2]", "none"},
      {"{\"type\": \"root\"", "none"},
      {"{\"type\": \"root\", \"nodes\": []}", ""},
      // Containers without a pid are no views; a pid that is no integer neither.
      {R"({"nodes": [{"type": "con", "rect": {"x": 0, "y": 0, "width": 1, "height": 1}},
                     {"type": "con", "pid": "7", "rect": {"x": 0, "y": 0, "width": 1, "height": 1}},
                     {"type": "workspace", "pid": 8}]})",
       ""},
      {R"({"nodes": [{"type": "con", "pid": 9}]})", "9 layer 0 bounds 1\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(describe(sway_windows(c.json)), c.want) << c.json;
}

TEST(SwayTreeModel, MessageFraming) {
  const std::string message = sway_message(kSwayGetTree, "");
  ASSERT_EQ(message.size(), kSwayHeaderSize);
  EXPECT_EQ(message.substr(0, 6), "i3-ipc");
  const std::optional<SwayHeader> header = parse_sway_header(message);
  ASSERT_TRUE(header.has_value());
  EXPECT_EQ(header->length, 0u);
  EXPECT_EQ(header->type, 4u);
  const std::optional<SwayHeader> with_body = parse_sway_header(sway_message(7, "abc"));
  ASSERT_TRUE(with_body.has_value());
  EXPECT_EQ(with_body->length, 3u);
  EXPECT_EQ(with_body->type, 7u);
  EXPECT_FALSE(parse_sway_header("i3-ipc\x01\x00").has_value());
  EXPECT_FALSE(parse_sway_header(std::string("i3-ips") + std::string(8, '\0')).has_value());
}

}  // namespace
}  // namespace pelagon2::platform::wayland
