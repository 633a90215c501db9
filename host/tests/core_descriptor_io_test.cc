#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/descriptor_io.h"

namespace pelagon2 {
namespace {

// One scripted answer of the writer: how much it takes (at most what it is
// offered) or, when negative, the errno it fails with.
struct Step {
  long take;
};

struct ScriptedWriter {
  std::vector<Step> script;
  std::string written;
  std::vector<std::size_t> offered;

  ssize_t operator()(const std::uint8_t* data, std::size_t size) {
    offered.push_back(size);
    if (offered.size() > script.size()) {
      // Past the script: the loop should have stopped by now.
      errno = ENOSPC;
      return -1;
    }
    const long take = script[offered.size() - 1].take;
    if (take < 0) {
      errno = static_cast<int>(-take);
      return -1;
    }
    const std::size_t n = std::min(static_cast<std::size_t>(take), size);
    written.append(reinterpret_cast<const char*>(data), n);
    return static_cast<ssize_t>(n);
  }
};

TEST(WriteFully, RepeatsUntilEveryByteIsOutAndStopsOnNoProgress) {
  const std::string payload = "0123456789";
  struct Case {
    const char* name;
    std::vector<Step> script;
    bool ok;
    int error;  // errno after a failure
    std::size_t calls;
  };
  const Case cases[] = {
      {"one write", {{10}}, true, 0, 1},
      {"short writes", {{3}, {3}, {4}}, true, 0, 3},
      {"interrupted writes are repeated", {{-EINTR}, {4}, {-EINTR}, {6}}, true, 0, 4},
      {"zero progress fails instead of spinning", {{0}}, false, EIO, 1},
      {"zero progress after some bytes", {{4}, {0}}, false, EIO, 2},
      {"real failure stops at once", {{2}, {-EPIPE}}, false, EPIPE, 2},
  };
  for (const Case& c : cases) {
    ScriptedWriter writer{c.script, {}, {}};
    errno = 0;
    const bool ok = write_fully(writer, std::span(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()));
    const int error = errno;
    EXPECT_EQ(ok, c.ok) << c.name;
    EXPECT_EQ(writer.offered.size(), c.calls) << c.name;
    if (c.ok) {
      EXPECT_EQ(writer.written, payload) << c.name;
    } else {
      EXPECT_EQ(error, c.error) << c.name;
      EXPECT_EQ(writer.written, payload.substr(0, writer.written.size())) << c.name << ": bytes out of order";
    }
  }
}

TEST(WriteFully, NoSingleWriteIsAskedForMoreThanTheChunkLimit) {
  // Address space only: the writer never touches the bytes.
  const std::size_t size = kMaxWriteChunk + kMaxWriteChunk / 2;
  void* reserved = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(reserved, MAP_FAILED);
  std::vector<std::size_t> offered;
  const bool ok = write_fully(
      [&](const std::uint8_t*, std::size_t n) {
        offered.push_back(n);
        return static_cast<ssize_t>(n);
      },
      std::span(static_cast<const std::uint8_t*>(reserved), size));
  ::munmap(reserved, size);
  EXPECT_TRUE(ok);
  EXPECT_EQ(offered, (std::vector<std::size_t>{kMaxWriteChunk, kMaxWriteChunk / 2}));
}

}  // namespace
}  // namespace pelagon2
