#include "platform/wayland/wayland_loader.h"

#include <dlfcn.h>

#include <array>
#include <cstdlib>
#include <string>

#include "platform/executable_path.h"
#include "platform/wayland/wayland_model.h"
#include "platform/wayland/wayland_module.h"

namespace pelagon2::platform::wayland {
namespace {

template <typename T>
void adopt(std::unique_ptr<T>& into, std::unique_ptr<T>& from) {
  if (from) into = std::move(from);
}

}  // namespace

std::string adopt_wayland_services(Platform& platform) {
  if (!is_wayland_session(std::getenv("WAYLAND_DISPLAY"), std::getenv("XDG_SESSION_TYPE"))) return "not a Wayland session";
  const char* forced = std::getenv("PELAGON2_WAYLAND_ROUTE");
  if (forced != nullptr && std::string_view(forced) == "x11") return "X11 chosen";
  Expected<std::string> executable = executable_path();
  if (!executable) return "cannot find the host executable";
  const std::string path = executable->substr(0, executable->rfind('/') + 1) + kModuleFileName;
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
