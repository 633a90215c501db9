// The one-value handoff between a completion handler's thread and the waiting
// host thread: values arrive, time out, and are freed exactly once however late
// they come.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <utility>

#include "platform/macos/completion_handoff.h"

namespace pelagon2::platform::macos {
namespace {

using namespace std::chrono_literals;

// Stands in for a retained system object: counts its releases.
class Owned {
 public:
  Owned(int value, int* releases) : value_(value), releases_(releases) {}
  Owned(Owned&& other) noexcept : value_(other.value_), releases_(std::exchange(other.releases_, nullptr)) {}
  Owned& operator=(Owned&&) = delete;
  ~Owned() {
    if (releases_ != nullptr) ++*releases_;
  }
  int value() const { return value_; }

 private:
  int value_;
  int* releases_;
};

TEST(CompletionHandoff, ValueDeliveredBeforeTheWait) {
  int releases = 0;
  CompletionHandoff<Owned> handoff;
  handoff.deliver(Owned(7, &releases));
  std::optional<Owned> got = handoff.wait_for(0ms);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->value(), 7);
  EXPECT_EQ(releases, 0);
  got.reset();
  EXPECT_EQ(releases, 1);
}

TEST(CompletionHandoff, ValueDeliveredFromAnotherThread) {
  int releases = 0;
  auto handoff = std::make_shared<CompletionHandoff<Owned>>();
  std::thread handler([handoff, &releases] {
    std::this_thread::sleep_for(20ms);
    handoff->deliver(Owned(3, &releases));
  });
  const std::optional<Owned> got = handoff->wait_for(60s);
  handler.join();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->value(), 3);
}

TEST(CompletionHandoff, NothingWhenNoValueCame) {
  CompletionHandoff<Owned> handoff;
  EXPECT_FALSE(handoff.wait_for(5ms).has_value());
}

TEST(CompletionHandoff, LateValueIsFreedWithTheHandoff) {
  int releases = 0;
  auto handoff = std::make_shared<CompletionHandoff<Owned>>();
  EXPECT_FALSE(handoff->wait_for(1ms).has_value());
  // The handler still holds its share and fires after the waiter gave up.
  std::shared_ptr<CompletionHandoff<Owned>> handler_share = handoff;
  handoff.reset();
  std::thread handler([share = std::move(handler_share), &releases]() mutable {
    share->deliver(Owned(1, &releases));
    share.reset();
  });
  handler.join();
  EXPECT_EQ(releases, 1);
}

TEST(CompletionHandoff, OnlyTheFirstValueCountsAndEachIsReleasedOnce) {
  int releases = 0;
  {
    CompletionHandoff<Owned> handoff;
    handoff.deliver(Owned(1, &releases));
    handoff.deliver(Owned(2, &releases));
    EXPECT_EQ(releases, 1);  // the second is dropped at once
    std::optional<Owned> got = handoff.wait_for(0ms);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->value(), 1);
    // Taken once: a second wait finds nothing and does not block.
    EXPECT_FALSE(handoff.wait_for(60s).has_value());
  }
  EXPECT_EQ(releases, 2);
}

}  // namespace
}  // namespace pelagon2::platform::macos
