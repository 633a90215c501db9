#include "platform/executable_path.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "core/os_error.h"

namespace pelagon2::platform {

Expected<std::string> executable_path() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return make_error(std::string("cannot find the host executable: ") + os_error_description(errno));
    if (static_cast<std::size_t>(length) < buffer.size()) return std::string(buffer.data(), static_cast<std::size_t>(length));
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace pelagon2::platform
