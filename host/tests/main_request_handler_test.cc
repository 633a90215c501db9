#include "main/request_handler.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "fakes/fake_platform.h"

namespace pelagon2 {
namespace {

std::string reply_to(const std::string& request_text) {
  JsonParser parser;
  const std::optional<Json> request = parser.parse(request_text);
  EXPECT_TRUE(request.has_value()) << request_text;
  testing::FakePlatform platform;
  return to_json_text(handle_request(request.value_or(Json()), platform));
}

struct EnvelopeCase {
  const char* request;
  const char* reply;
};

TEST(RequestHandler, EnvelopeCases) {
  const EnvelopeCase cases[] = {
      {R"({"id":7,"method":"get_version","params":{}})", R"({"id":7,"result":"2.0.2"})"},
      {R"({"id":7,"method":"get_version"})", R"({"id":7,"result":"2.0.2"})"},
      {R"({"method":"get_version","params":[1,2],"id":"a"})", R"({"id":"a","result":"2.0.2"})"},
      {R"({"method":"get_version","params":"x","id":null})", R"({"id":null,"result":"2.0.2"})"},
      {R"({"method":"get_version"})", R"({"id":null,"result":"2.0.2"})"},
      {R"({"id":3})", R"({"error":{"message":"Unknown method: "},"id":3})"},
      {R"({"id":3,"method":12})", R"({"error":{"message":"Unknown method: "},"id":3})"},
      {R"({"id":3,"method":null})", R"({"error":{"message":"Unknown method: "},"id":3})"},
      {R"([1,2,3])", R"({"error":{"message":"Unknown method: "},"id":null})"},
      {R"(42)", R"({"error":{"message":"Unknown method: "},"id":null})"},
      {R"("get_version")", R"({"error":{"message":"Unknown method: "},"id":null})"},
      {R"({"id":1,"method":"Get_Version"})", R"({"error":{"message":"Unknown method: Get_Version"},"id":1})"},
      {R"({"id":1,"method":"get_version "})", R"({"error":{"message":"Unknown method: get_version "},"id":1})"},
      {R"({"id":1,"method":"\u00e9\"\n"})", "{\"error\":{\"message\":\"Unknown method: \xC3\xA9\\\"\\n\"},\"id\":1}"},
      {R"({"id":{"b":[1,{"c":null}],"a":-2.50},"method":"get_version"})",
       R"({"id":{"a":-2.5,"b":[1,{"c":null}]},"result":"2.0.2"})"},
      {R"({"id":-17,"method":"get_version"})", R"({"id":-17,"result":"2.0.2"})"},
      {R"({"id":0.5,"method":"get_version"})", R"({"id":0.5,"result":"2.0.2"})"},
      {R"({"id":3.0,"method":"get_version"})", R"({"id":3.0,"result":"2.0.2"})"},
      {R"({"id":[],"method":"get_version","extra":true})", R"({"id":[],"result":"2.0.2"})"},
  };
  for (const auto& c : cases) EXPECT_EQ(reply_to(c.request), c.reply) << c.request;
}

TEST(RequestHandler, TableNamesAreUniqueAndFromTheKnownSet) {
  const std::set<std::string> known = {
      "get_version", "ocr_image", "ocr_language_list", "search_image", "search_desktop", "wait_for_image",
      "search_relative", "get_image_info", "get_desktop_dpi", "get_display_list", "capture_desktop",
      "send_mouse_event", "send_mouse_wheel_event", "send_text", "find_color_regions", "find_rectangle",
      "get_permission_status", "request_permission", "open_permission_pane", "get_active_browser_outer_rect",
      "get_screen_backing_scale_factor", "file_exists", "directory_exists", "get_file_size",
      "get_file_system_entry_info", "get_special_folder_path", "get_files", "get_directories",
      "get_file_system_entries", "read_all_text", "read_all_bytes", "read_file_range", "get_max_file_range",
      "write_all_text", "append_all_text", "write_all_bytes", "append_all_bytes", "copy_file", "move_file",
      "delete_file", "create_directory", "remove_directory", "run_process"};
  ASSERT_EQ(known.size(), 43u);
  std::set<std::string> seen;
  for (const MethodRow& row : method_table()) {
    EXPECT_TRUE(known.count(std::string(row.name))) << row.name;
    EXPECT_TRUE(seen.insert(std::string(row.name)).second) << "listed twice: " << row.name;
  }
}

TEST(RequestHandler, EveryListedMethodReachesItsModule) {
  // A listed method must never fall through to the unknown-method answer: that
  // would mean the table and the module disagree.
  for (const MethodRow& row : method_table()) {
    testing::FakePlatform platform;
    const Outcome outcome = dispatch_method(row.name, Json(), platform);
    if (!outcome.ok()) {
      EXPECT_NE(outcome.error().rfind("Unknown method: ", 0), 0u) << row.name;
    }
  }
}

}  // namespace
}  // namespace pelagon2
