#include "core/descriptor_io.h"

namespace pelagon2 {

bool write_all(int fd, std::span<const std::uint8_t> bytes) {
  return write_fully([fd](const std::uint8_t* data, std::size_t size) { return ::write(fd, data, size); }, bytes);
}

}  // namespace pelagon2
