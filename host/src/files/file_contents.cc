#include "files/file_contents.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <limits>

#include "core/base64.h"
#include "core/descriptor_io.h"
#include "core/host_streams.h"
#include "core/utf8.h"
#include "files/file_params.h"

namespace pelagon2::files {
namespace {

// Reads and writes go through in pieces the kernel accepts in one call.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

Json whole_read_result(std::string content, bool ok) {
  return Json{{"content", ok ? std::move(content) : std::string()}, {"errorCode", ok ? 0u : 1u}};
}

std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Outcome write_text(const Json& params, WriteMode mode) {
  auto path = string_param(params, "path");
  if (!path) return std::move(path).take_error();
  auto content = string_param(params, "content");
  if (!content) return std::move(content).take_error();
  return Json(write_whole_file(*path, as_bytes(*content), mode));
}

Outcome write_bytes(const Json& params, WriteMode mode) {
  auto path = string_param(params, "path");
  if (!path) return std::move(path).take_error();
  auto content = string_param(params, "content");
  if (!content) return std::move(content).take_error();
  // Decoding first keeps a bad request from creating or truncating the file.
  auto bytes = base64_decode(*content);
  if (!bytes) return Json(false);
  return Json(write_whole_file(*path, *bytes, mode));
}

}  // namespace

Done read_exact(int fd, std::span<std::uint8_t> buffer) {
  std::size_t have = 0;
  while (have < buffer.size()) {
    const std::size_t want = std::min(buffer.size() - have, kMaxTransfer);
    const ssize_t got = ::read(fd, buffer.data() + have, want);
    if (got < 0) {
      if (errno == EINTR) continue;
      return make_error(os_error_text(errno));
    }
    if (got == 0) return make_error(std::string(kShortReadMessage));
    have += static_cast<std::size_t>(got);
  }
  return std::monostate{};
}

Expected<std::vector<std::uint8_t>> read_exact_at(int fd, std::uint64_t offset, std::size_t count) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return make_error(os_error_text(EINVAL));
  if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) return make_error(os_error_text(errno));
  std::vector<std::uint8_t> bytes(count);
  auto filled = read_exact(fd, bytes);
  if (!filled) return std::move(filled).take_error();
  return bytes;
}

bool write_whole_file(const std::string& path, std::span<const std::uint8_t> bytes, WriteMode mode) {
  if (contains_nul(path)) return false;
  // Truncated only once the open has shown it is not one of the host's
  // streams (standard output may be a file).
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (mode == WriteMode::append ? O_APPEND : 0);
  UniqueFd fd(open_without_waiting(path.c_str(), flags, 0666));
  if (!fd.valid()) return false;
  if (mode == WriteMode::truncate) {
    // Only regular files have a length to cut; O_TRUNC ignores the others too.
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return false;
    if (S_ISREG(info.st_mode) && ::ftruncate(fd.get(), 0) != 0) return false;
  }
  if (!write_all(fd.get(), bytes)) return false;
  return fd.close() == 0;
}

Outcome read_all_text(const Json& params) {
  auto path = string_param(params, "path");
  if (!path) return std::move(path).take_error();
  auto text = read_whole_file(*path);
  if (!text) return whole_read_result({}, false);
  const bool valid = is_valid_utf8(*text);
  return whole_read_result(std::move(text).value(), valid);
}

Outcome read_all_bytes(const Json& params) {
  auto path = string_param(params, "path");
  if (!path) return std::move(path).take_error();
  auto bytes = read_whole_file(*path);
  if (!bytes) return whole_read_result({}, false);
  return whole_read_result(base64_encode(*bytes), true);
}

Outcome read_file_range(const Json& params) {
  auto path = string_param(params, "path");
  if (!path) return std::move(path).take_error();
  const std::uint64_t start = unsigned_member(params, "rangeStart").value_or(0);
  if (contains_nul(*path)) return make_error(std::string(kNulInPathMessage));

  UniqueFd fd(open_without_waiting(path->c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return make_error(os_error_text(errno));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return make_error(os_error_text(errno));
  const auto size = static_cast<std::uint64_t>(std::max<off_t>(info.st_size, 0));

  Json result = Json::object();
  result["rangeStart"] = start;
  if (start >= size) {
    result["buffer"] = "";
    result["rangeEnd"] = start;
    return result;
  }
  const auto count = static_cast<std::size_t>(std::min(size - start, kMaxFileRange));
  auto bytes = read_exact_at(fd.get(), start, count);
  if (!bytes) return std::move(bytes).take_error();
  result["buffer"] = base64_encode(*bytes);
  result["rangeEnd"] = start + count;
  return result;
}

Outcome get_max_file_range(const Json&) { return Json(kMaxFileRange); }

Outcome write_all_text(const Json& params) { return write_text(params, WriteMode::truncate); }
Outcome append_all_text(const Json& params) { return write_text(params, WriteMode::append); }
Outcome write_all_bytes(const Json& params) { return write_bytes(params, WriteMode::truncate); }
Outcome append_all_bytes(const Json& params) { return write_bytes(params, WriteMode::append); }

}  // namespace pelagon2::files
