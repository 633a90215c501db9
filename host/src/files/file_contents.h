#pragma once
// Whole-file reads and writes, bounded range reads, and the exact read they
// share (surviving EINTR and short transfers; complete writes are in
// core/descriptor_io.h).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.h"
#include "core/outcome.h"

namespace pelagon2::files {

// The most bytes one read_file_range reply carries.
inline constexpr std::uint64_t kMaxFileRange = 524288;

inline constexpr std::string_view kShortReadMessage = "failed to fill whole buffer";

// Reads until `buffer` is full. A signal-interrupted read is repeated; end of
// file before the buffer is full fails with kShortReadMessage; any other
// failure with its operating-system text.
Done read_exact(int fd, std::span<std::uint8_t> buffer);

// Positions `fd` at `offset` (one seek) and reads exactly `count` bytes there.
Expected<std::vector<std::uint8_t>> read_exact_at(int fd, std::uint64_t offset, std::size_t count);

enum class WriteMode { truncate, append };

// Creates `path` when missing (0666 before the umask) and writes or appends
// `bytes`; true only when the open, every write and the close succeeded.
bool write_whole_file(const std::string& path, std::span<const std::uint8_t> bytes, WriteMode mode);

// The methods.
Outcome read_all_text(const Json& params);
Outcome read_all_bytes(const Json& params);
Outcome read_file_range(const Json& params);
Outcome get_max_file_range(const Json& params);
Outcome write_all_text(const Json& params);
Outcome append_all_text(const Json& params);
Outcome write_all_bytes(const Json& params);
Outcome append_all_bytes(const Json& params);

}  // namespace pelagon2::files
