// The host binary links none of Xlib's libraries: their per-display records
// outlive a broken connection and crash the next one, and Xlib waits for the
// server without a deadline. The X backend speaks XCB alone.

#include <gtest/gtest.h>

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "support/host_process.h"

namespace pelagon2 {
namespace {

// The DT_NEEDED entries of a 64-bit little-endian ELF file, read from its
// dynamic section; empty with `error` set when it is not one.
std::vector<std::string> needed_libraries(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Elf64_Ehdr header{};
  if (file.size() < sizeof header || file.compare(0, SELFMAG, ELFMAG) != 0 || file[EI_CLASS] != ELFCLASS64) {
    error = "not a 64-bit ELF file";
    return {};
  }
  std::memcpy(&header, file.data(), sizeof header);
  auto section = [&](std::size_t index) {
    Elf64_Shdr s{};
    const std::size_t at = header.e_shoff + index * header.e_shentsize;
    if (at + sizeof s <= file.size()) std::memcpy(&s, file.data() + at, sizeof s);
    return s;
  };
  std::vector<std::string> names;
  for (std::size_t i = 0; i < header.e_shnum; ++i) {
    const Elf64_Shdr dynamic = section(i);
    if (dynamic.sh_type != SHT_DYNAMIC) continue;
    const Elf64_Shdr strings = section(dynamic.sh_link);
    for (std::size_t at = dynamic.sh_offset; at + sizeof(Elf64_Dyn) <= dynamic.sh_offset + dynamic.sh_size; at += sizeof(Elf64_Dyn)) {
      Elf64_Dyn entry{};
      if (at + sizeof entry > file.size()) break;
      std::memcpy(&entry, file.data() + at, sizeof entry);
      if (entry.d_tag == DT_NULL) break;
      if (entry.d_tag != DT_NEEDED) continue;
      const std::size_t name = strings.sh_offset + entry.d_un.d_val;
      if (name < file.size()) names.emplace_back(file.c_str() + name);
    }
  }
  if (names.empty()) error = "no dynamic section with DT_NEEDED entries";
  return names;
}

TEST(HostLinkage, NoXlibLibraryIsLinked) {
  std::string error;
  const std::vector<std::string> needed = needed_libraries(testing::host_under_test(), error);
  ASSERT_FALSE(needed.empty()) << testing::host_under_test() << ": " << error;
  // Read right: the XCB library is there, the C library too.
  const std::set<std::string> names(needed.begin(), needed.end());
  EXPECT_EQ(names.count("libxcb.so.1"), 1u);
  EXPECT_EQ(names.count("libc.so.6"), 1u);
  for (const std::string& name : needed) {
    for (const char* xlib : {"libX11.so", "libX11-xcb.so", "libXext.so", "libXrandr.so", "libXtst.so", "libXRes.so"}) {
      EXPECT_NE(name.rfind(xlib, 0), 0u) << "the host links " << name;
    }
  }
}

// The Wayland libraries come in with the host's own Wayland library, which
// is loaded only in a Wayland session.
TEST(HostLinkage, NoWaylandLibraryIsLinked) {
  std::string error;
  const std::vector<std::string> needed = needed_libraries(testing::host_under_test(), error);
  ASSERT_FALSE(needed.empty()) << testing::host_under_test() << ": " << error;
  for (const std::string& name : needed) {
    for (const char* library : {"libwayland-client.so", "libpipewire-0.3.so", "libgio-2.0.so", "libglib-2.0.so",
                                "libgobject-2.0.so", "libpelagon2_wayland.so"}) {
      EXPECT_NE(name.rfind(library, 0), 0u) << "the host links " << name;
    }
  }
}

}  // namespace
}  // namespace pelagon2
