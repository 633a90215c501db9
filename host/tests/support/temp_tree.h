#pragma once
// A fresh directory per test for the path, listing and change tests, removed
// with everything in it afterwards (read-only directories included), and small
// helpers around it.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace pelagon2::testing {

class TempTree {
 public:
  explicit TempTree(const std::string& parent = default_parent()) {
    std::string pattern = parent + "/pelagon2-tree-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    EXPECT_FALSE(path_.empty()) << "mkdtemp under " << parent;
  }
  ~TempTree() {
    if (path_.empty()) return;
    std::error_code ignored;
    ::chmod(path_.c_str(), 0700);
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
      if (it->is_directory(ignored) && !it->is_symlink(ignored)) ::chmod(it->path().c_str(), 0700);
    }
    std::filesystem::remove_all(path_, ignored);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

  // Creates (or replaces) the file `name` inside the tree; returns its path.
  std::string put(std::string_view name, std::string_view bytes) const;

  static std::string default_parent() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
  }

 private:
  std::string path_;
};

inline void write_file(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  ASSERT_TRUE(out.good()) << path;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool exists_no_follow(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

inline mode_t mode_bits(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<mode_t>(st.st_mode & 07777) : static_cast<mode_t>(0);
}

inline std::string TempTree::put(std::string_view name, std::string_view bytes) const {
  const std::string path = *this / name;
  write_file(path, bytes);
  return path;
}

// Permission bits do not stop root; checks that rely on them are skipped there.
inline bool running_as_root() { return ::geteuid() == 0; }

}  // namespace pelagon2::testing
