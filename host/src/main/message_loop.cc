#include "main/message_loop.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/json.h"
#include "core/posix.h"
#include "main/request_handler.h"

namespace pelagon2 {
namespace {

// The announced length is untrusted: the body buffer grows with the bytes that
// actually arrive, starting from this size and doubling, so a header claiming
// 4 GiB followed by nothing costs almost no memory.
constexpr std::size_t kFirstBodyChunk = std::size_t{1} << 20;

class BodyBuffer {
 public:
  BodyBuffer() = default;
  BodyBuffer(const BodyBuffer&) = delete;
  BodyBuffer& operator=(const BodyBuffer&) = delete;
  ~BodyBuffer() { std::free(data_); }

  // Reads exactly `length` bytes; false when the input ends or fails first.
  bool read(std::FILE* in, std::size_t length) {
    std::size_t have = 0;
    while (have < length) {
      const std::size_t capacity = std::min(length, std::max(kFirstBodyChunk, have * 2));
      if (!reserve(capacity)) return false;
      const std::size_t got = fread_unlocked(data_ + have, 1, capacity - have, in);
      have += got;
      if (have < capacity) return false;
    }
    if (!reserve(length)) return false;
    std::memset(data_ + length, 0, kJsonPadding);
    return true;
  }

  const char* data() const { return data_; }

 private:
  bool reserve(std::size_t size) {
    if (size <= size_) return true;
    void* grown = std::realloc(data_, size + kJsonPadding);
    if (grown == nullptr) return false;
    data_ = static_cast<char*>(grown);
    size_ = size;
    return true;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
};

bool read_header(std::FILE* in, std::uint32_t& length) {
  unsigned char bytes[4];
  if (fread_unlocked(bytes, 1, sizeof bytes, in) != sizeof bytes) return false;
  std::memcpy(&length, bytes, sizeof length);
  return true;
}

bool write_reply(std::FILE* out, const std::string& text) {
  const auto length = static_cast<std::uint32_t>(text.size());
  unsigned char header[4];
  std::memcpy(header, &length, sizeof header);
  if (fwrite_unlocked(header, 1, sizeof header, out) != sizeof header) return false;
  if (fwrite_unlocked(text.data(), 1, text.size(), out) != text.size()) return false;
  return fflush_unlocked(out) == 0;
}

const Json& request_id(const Json& request) {
  static const Json kNull;
  const Json* id = find_member(request, "id");
  return id != nullptr ? *id : kNull;
}

// The reply when even building or serialising the real one ran out of memory.
std::string out_of_memory_reply(const Json& request) {
  static constexpr std::string_view kMessage = R"({"error":{"message":"out of memory while writing the reply"},"id":)";
  try {
    std::string text(kMessage);
    write_json(request_id(request), text);
    text += '}';
    return text;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  // The id is too large to copy now; the client still matches replies by order.
  return std::string(kMessage) + "null}";
}

std::string serialise_reply(const Json& request, const Json& reply) {
  std::string text;
  text.reserve(128);
  write_json(reply, text);
  if (text.size() > UINT32_MAX) {
    // A frame cannot carry it; answer the request with an error rather than
    // desynchronising the stream.
    Json too_large = Json::object();
    too_large["id"] = request_id(request);
    too_large["error"] = Json{{"message", "reply of " + std::to_string(text.size()) +
                                              " bytes exceeds the 4 GiB frame limit"}};
    text.clear();
    write_json(too_large, text);
  }
  return text;
}

// The framed reply text for one request. Never throws: running out of memory
// anywhere on the way gives an error reply instead.
std::string answer(const Json& request, platform::Platform& platform) {
  if (platform.request_started) platform.request_started();
  try {
    const Json reply = handle_request(request, platform);
    return serialise_reply(request, reply);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return out_of_memory_reply(request);
}

}  // namespace

std::optional<Json> read_request(std::FILE* in, JsonParser& parser) {
  std::uint32_t length = 0;
  if (!read_header(in, length)) return std::nullopt;
  if (length == 0) return std::nullopt;  // an empty body is not a JSON value
  BodyBuffer body;
  if (!body.read(in, length)) return std::nullopt;
  try {
    return parser.parse_padded(body.data(), length);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  // A request too large to hold in memory is refused like any other body
  // that cannot be taken as one value.
  return std::nullopt;
}

void run_message_loop(std::FILE* in, std::FILE* out, platform::Platform& platform) {
  flockfile(in);
  flockfile(out);
  JsonParser parser;
  for (;;) {
    std::optional<Json> request = read_request(in, parser);
    if (!request) break;
    std::string text = answer(*request, platform);
    request.reset();
    const bool written = write_reply(out, text);
    text = std::string();
    if (!written) break;
    give_back_spare_heap();
  }
  funlockfile(out);
  funlockfile(in);
}

}  // namespace pelagon2
