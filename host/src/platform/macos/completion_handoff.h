#pragma once
// One value handed from a system completion handler, which runs on a queue of
// the system's choosing, to the host's thread, which waits for it with a
// deadline. The host has no run loop, so it blocks here instead.
//
// Shared between the waiter and the handler (std::shared_ptr captured by the
// handler's block): a handler that fires after the waiter gave up still has a
// live object to write to, and its value is freed with the handoff.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

namespace pelagon2::platform::macos {

template <class T>
class CompletionHandoff {
 public:
  // From any thread. Only the first value counts; later ones are dropped.
  void deliver(T value) {
    {
      std::lock_guard lock(mutex_);
      if (delivered_) return;
      delivered_ = true;
      value_.emplace(std::move(value));
    }
    ready_.notify_all();
  }

  // The delivered value, or nothing when none came within `timeout` (or it was
  // already taken).
  std::optional<T> wait_for(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_for(lock, timeout, [this] { return delivered_; })) return std::nullopt;
    return std::exchange(value_, std::nullopt);
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  bool delivered_ = false;
  std::optional<T> value_;
};

}  // namespace pelagon2::platform::macos
