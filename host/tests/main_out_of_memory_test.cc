// Requests that run out of memory, provoked by this test program's own
// operator new: each fails alone, in the way its method reports failures,
// and the host goes on serving.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>

#include "core/base64.h"
#include "fakes/fake_platform.h"
#include "main/request_handler.h"
#include "support/temp_tree.h"
#include "testkit/synthetic_screen.h"

namespace {

// Allocations of at least this many bytes fail while a test arms it.
std::atomic<std::size_t> g_failing_size{std::numeric_limits<std::size_t>::max()};

void* allocate(std::size_t size) {
  if (size >= g_failing_size.load(std::memory_order_relaxed)) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace pelagon2 {
namespace {

using testing::TempTree;

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Allocations of `size` bytes or more fail while this lives.
class FailingAllocations {
 public:
  explicit FailingAllocations(std::size_t size) { g_failing_size = size; }
  ~FailingAllocations() { g_failing_size = std::numeric_limits<std::size_t>::max(); }
  FailingAllocations(const FailingAllocations&) = delete;
  FailingAllocations& operator=(const FailingAllocations&) = delete;
};

Json request(const char* method, const Json& params) {
  return Json{{"id", 5}, {"method", method}, {"params", params}};
}

TEST(OutOfMemory, EachMethodFailsTheWayItReportsFailures) {
  TempTree dir;
  const std::string big = dir.put("big", std::string(2 * kMiB, 'a'));
  const std::string big_content = base64_encode(std::string(2 * kMiB, 'b'));
  const vision_core::RgbImage haystack = testing::noise_image(700, 700, 3);
  const Json search = {{"image", testing::raw_param(haystack)},
                       {"pattern", testing::raw_param(testing::crop(haystack, 5, 5, 8, 8))}};
  struct Case {
    const char* method;
    Json params;
    std::size_t failing_size;
    std::string reply;
  };
  const Case cases[] = {
      {"read_all_bytes", {{"path", big}}, kMiB, R"({"id":5,"result":{"content":"","errorCode":1}})"},
      {"read_all_text", {{"path", big}}, kMiB, R"({"id":5,"result":{"content":"","errorCode":1}})"},
      {"read_file_range", {{"path", big}}, 256 * 1024, R"x({"error":{"message":"Cannot allocate memory (os error 12)"},"id":5})x"},
      {"write_all_bytes", {{"path", dir / "out"}, {"content", big_content}}, kMiB, R"({"id":5,"result":false})"},
      {"search_image", search, kMiB, R"({"error":{"message":"out of memory while handling search_image"},"id":5})"},
      // The capture itself fits; the filtered rows for its PNG (a byte more
      // per row) do not.
      {"capture_desktop", {{"path", dir / "capture.png"}}, 300 * 4 * 200 + 1,
       R"({"error":{"message":"save_failed: out of memory"},"id":5})"},
  };
  testing::FakePlatform platform;
  platform.displays_fake().list = std::vector<platform::DisplayRecord>{testing::display(1, 0, 0, 300, 200, 300, true)};
  platform.capture_fake().show(testing::noise_image(300, 200, 4));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    const Json req = request(c.method, c.params);
    std::string reply;
    {
      FailingAllocations failing(c.failing_size);
      reply = to_json_text(handle_request(req, platform));
    }
    EXPECT_EQ(reply, c.reply);
    // With memory to spare the same request gets its ordinary answer.
    EXPECT_NE(to_json_text(handle_request(req, platform)), c.reply);
  }
}

}  // namespace
}  // namespace pelagon2
