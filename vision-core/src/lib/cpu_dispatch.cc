// The run-time half of the kernels' CPU dispatch: which instruction sets this
// machine offers, and the target chosen from them.
//
// The SIMD library's own shared object runs a timer calibration of several
// milliseconds from a static initializer, in every process that loads it,
// whether or not a kernel ever runs. Everything else the kernels need from it
// lives in its headers, so these few functions are defined here instead and
// the shared object is not linked at all: a fresh host pays nothing for
// dispatch until its first kernel call, and then one CPUID probe.

#include <hwy/targets.h>

#include <atomic>
#include <cstdint>

#if HWY_ARCH_X86
#include <cpuid.h>
#endif

namespace hwy {
namespace {

// Set by tests to force dispatch onto one target; 0 means detect.
std::atomic<std::int64_t> forced_targets{0};

#if HWY_ARCH_X86

constexpr bool bit(std::uint32_t word, int index) { return ((word >> index) & 1u) != 0; }

// Extended control register 0: which register states the OS saves.
std::uint32_t read_xcr0() {
  std::uint32_t low = 0;
  std::uint32_t high = 0;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return low;
}

// A target counts only when the CPU has every instruction set its code is
// compiled with, and the OS saves the registers it uses.
std::int64_t detect_targets() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(0, &a, &b, &c, &d) == 0) return 0;
  const unsigned max_leaf = a;
  __cpuid(1, a, b, c, d);
  const unsigned leaf1_c = c;
  const unsigned leaf1_d = d;
  const bool ssse3 = bit(leaf1_d, 25) && bit(leaf1_d, 26) && bit(leaf1_c, 0) && bit(leaf1_c, 9);
  const bool sse4 = ssse3 && bit(leaf1_c, 19) && bit(leaf1_c, 20) && bit(leaf1_c, 1) && bit(leaf1_c, 25);
  // AVX, F16C, FMA from leaf 1; LZCNT from the extended leaf; AVX2, BMI, BMI2
  // and the AVX-512 sets from leaf 7.
  bool avx2 = sse4 && bit(leaf1_c, 28) && bit(leaf1_c, 29) && bit(leaf1_c, 12);
  unsigned ext_c = 0;
  if (__get_cpuid(0x80000001u, &a, &b, &ext_c, &d) == 0) ext_c = 0;
  avx2 = avx2 && bit(ext_c, 5);
  unsigned leaf7_b = 0, leaf7_c = 0;
  if (max_leaf >= 7) __cpuid_count(7, 0, a, leaf7_b, leaf7_c, d);
  avx2 = avx2 && bit(leaf7_b, 5) && bit(leaf7_b, 3) && bit(leaf7_b, 8);
  const bool avx3 = avx2 && bit(leaf7_b, 16) && bit(leaf7_b, 17) && bit(leaf7_b, 30) && bit(leaf7_b, 31);
  const bool avx3_dl = avx3 && bit(leaf7_c, 1) && bit(leaf7_c, 6) && bit(leaf7_c, 9) && bit(leaf7_c, 10) &&
                       bit(leaf7_c, 11) && bit(leaf7_c, 12) && bit(leaf7_c, 14);

  // Without OSXSAVE the OS saves only the SSE registers, and nothing wider.
  const bool osxsave = bit(leaf1_c, 27);
  const std::uint32_t xcr0 = osxsave ? read_xcr0() : 0;
  const bool xmm = !osxsave || bit(xcr0, 1);
  const bool ymm = osxsave && bit(xcr0, 1) && bit(xcr0, 2);
  const bool zmm = ymm && bit(xcr0, 5) && bit(xcr0, 6) && bit(xcr0, 7);

  std::int64_t targets = 0;
  if (ssse3 && xmm) targets |= HWY_SSSE3;
  if (sse4 && xmm) targets |= HWY_SSE4;
  if (avx2 && ymm) targets |= HWY_AVX2;
  if (avx3 && zmm) targets |= HWY_AVX3;
  if (avx3_dl && zmm) targets |= HWY_AVX3_DL;
  return targets;
}

#else

// Elsewhere only what the compiler already assumes: at worst a faster
// optional target goes unused.
std::int64_t detect_targets() { return HWY_ENABLED_BASELINE; }

#endif

}  // namespace

ChosenTarget& GetChosenTarget() {
  static ChosenTarget chosen;
  return chosen;
}

int64_t SupportedTargets() {
  std::int64_t targets = forced_targets.load();
  // The portable fallbacks run everywhere.
  if (targets == 0) targets = detect_targets() | HWY_EMU128 | HWY_SCALAR;
  return targets;
}

void SetSupportedTargetsForTest(int64_t targets) {
  forced_targets.store(targets);
  GetChosenTarget().DeInit();  // the next dispatch chooses again
}

}  // namespace hwy
