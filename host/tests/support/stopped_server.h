#pragma once
// What tests of a stalled X server share: a rescue that lets a stopped server
// run again should the test still be waiting past its bound (so a wait without
// a deadline fails the test instead of hanging it), and the open descriptors
// of a process, to show that failures leave none behind.

#include <dirent.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace pelagon2::testing {

class Rescue {
 public:
  Rescue(pid_t pid, std::chrono::milliseconds after)
      : thread_([this, pid, after] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!done_.wait_for(lock, after, [this] { return finished_; })) kill(pid, SIGCONT);
        }) {}
  ~Rescue() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
    }
    done_.notify_one();
    thread_.join();
  }
  Rescue(const Rescue&) = delete;
  Rescue& operator=(const Rescue&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  std::thread thread_;
};

// Open descriptors of `pid` ("self" when 0).
inline int descriptors_of(pid_t pid = 0) {
  const std::string folder = "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/fd";
  int count = 0;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count;
}

}  // namespace pelagon2::testing
