#include "platform/wayland/wayland_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/wayland/wayland_model.h"
#include "platform/wayland/wayland_module.h"

namespace pelagon2::platform::wayland {
namespace {

std::string executable_folder() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return {};
    if (static_cast<std::size_t>(length) < buffer.size()) {
      std::string path(buffer.data(), static_cast<std::size_t>(length));
      return path.substr(0, path.rfind('/') + 1);
    }
    buffer.resize(buffer.size() * 2);
  }
}

template <typename T>
void adopt(std::unique_ptr<T>& into, std::unique_ptr<T>& from) {
  if (from) into = std::move(from);
}

}  // namespace

std::string adopt_wayland_services(Platform& platform) {
  if (!is_wayland_session(std::getenv("WAYLAND_DISPLAY"), std::getenv("XDG_SESSION_TYPE"))) return "not a Wayland session";
  const char* forced = std::getenv("PELAGON2_WAYLAND_ROUTE");
  if (forced != nullptr && std::string_view(forced) == "x11") return "X11 chosen";
  const std::string folder = executable_folder();
  if (folder.empty()) return "cannot find the host executable";
  const std::string path = folder + kModuleFileName;
  // The library stays loaded until the process ends: its objects and threads
  // live as long as the platform.
  void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = ::dlerror();
    return reason != nullptr ? reason : "cannot load " + path;
  }
  auto factory = reinterpret_cast<ModuleFactory>(::dlsym(library, kModuleFactorySymbol));
  if (factory == nullptr) return path + " does not match this host";
  std::array<char, 256> why{};
  std::unique_ptr<Platform> wayland(factory(kModuleInterfaceVersion, why.data(), why.size()));
  if (!wayland) return why.data();
  adopt(platform.displays, wayland->displays);
  adopt(platform.capture, wayland->capture);
  adopt(platform.windows, wayland->windows);
  adopt(platform.permissions, wayland->permissions);
  adopt(platform.input, wayland->input);
  if (wayland->request_started) platform.request_started = std::move(wayland->request_started);
  return why.data();
}

}  // namespace pelagon2::platform::wayland
