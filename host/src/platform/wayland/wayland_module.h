#pragma once
// The interface between the host and its Wayland library: one factory, looked
// up by name after the library is loaded.

#include <cstdint>

#include "platform/platform.h"

namespace pelagon2::platform::wayland {

// Raised whenever the objects crossing this boundary change shape.
inline constexpr std::uint32_t kModuleInterfaceVersion = 1;
inline constexpr const char* kModuleFileName = "libpelagon2_wayland.so";
inline constexpr const char* kModuleFactorySymbol = "pelagon2_wayland_platform";

// The library's factory: the services of the route chosen for this session
// (the members it cannot serve stay empty), or nullptr with `why` set to a
// short reason (at most `why_size` bytes, NUL-terminated) when no route serves
// it or `interface_version` is not the library's own.
using ModuleFactory = Platform* (*)(std::uint32_t interface_version, char* why, std::size_t why_size);

}  // namespace pelagon2::platform::wayland
