#include <gtest/gtest.h>
#include <hwy/targets.h>

#if defined(__linux__)
#include <dlfcn.h>
#endif

#include <cstdint>

namespace {

// The detection built in must offer exactly the targets the SIMD library's
// own run-time would on this machine: one more would crash on an instruction
// the CPU lacks, one fewer would leave speed unused. (The library is loaded
// only here, to compare against.)
TEST(CpuDispatch, OffersTheTargetsTheLibraryRuntimeWould) {
#if defined(__linux__)
  void* library = dlopen("libhwy.so.1", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) GTEST_SKIP() << "no shared SIMD library to compare with: " << dlerror();
  using Supported = std::int64_t (*)();
  auto* theirs = reinterpret_cast<Supported>(dlsym(library, "_ZN3hwy16SupportedTargetsEv"));
  ASSERT_NE(theirs, nullptr);
  const std::int64_t expected = theirs();
  EXPECT_EQ(hwy::SupportedTargets(), expected) << std::hex << hwy::SupportedTargets() << " vs " << expected;
  dlclose(library);
#else
  GTEST_SKIP() << "compared on Linux only";
#endif
}

TEST(CpuDispatch, ForcedTargetsHoldUntilReset) {
  const std::int64_t detected = hwy::SupportedTargets();
  EXPECT_NE(detected & HWY_SCALAR, 0);
  EXPECT_NE(detected & HWY_STATIC_TARGET, 0) << "the compiler's own baseline must be on offer";
  for (const std::int64_t forced : {std::int64_t{HWY_SCALAR}, std::int64_t{HWY_EMU128}, detected}) {
    hwy::SetSupportedTargetsForTest(forced);
    EXPECT_EQ(hwy::SupportedTargets(), forced);
    // A forced set makes the next dispatch choose again.
    EXPECT_FALSE(hwy::GetChosenTarget().IsInitialized());
    hwy::GetChosenTarget().Update(hwy::SupportedTargets());
    EXPECT_TRUE(hwy::GetChosenTarget().IsInitialized());
  }
  hwy::SetSupportedTargetsForTest(0);
  EXPECT_EQ(hwy::SupportedTargets(), detected);
}

}  // namespace
