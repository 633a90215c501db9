#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#ifdef __GLIBC__
#include <malloc.h>
#include <sys/mman.h>
#endif

#include "main/message_loop.h"
#include "platform/platform.h"

namespace {

#ifdef __GLIBC__
// Requests allocate the same large buffers again and again (request text,
// decoded images, score maps). Served by mmap and trimmed after each request,
// every one of their pages would fault in afresh on the next request; kept in
// the heap they are reused. Free memory beyond 64 MB at the heap's top is still
// returned, so one unusually large request does not pin its peak.
//
// About one request's worth of heap is also marked for huge pages when first
// touched: a 4 KiB page fault costs about as much as zeroing a whole huge page,
// so the first request does not pay for thousands of them. The blocks are
// below the mmap threshold, so they come from the heap, and their memory stays
// there once freed (it is below the trim threshold); the hint stays with it.
void keep_large_buffers_in_heap() {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  constexpr std::uintptr_t kHugePage = 2 * kMiB;
  constexpr std::size_t kBlock = 24 * kMiB;
  mallopt(M_MMAP_THRESHOLD, 32 * kMiB);
  mallopt(M_TRIM_THRESHOLD, 64 * kMiB);

  void* blocks[2] = {std::malloc(kBlock), std::malloc(kBlock)};
  for (void* block : blocks) {
    if (block == nullptr) continue;
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t begin = (address + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t end = (address + kBlock) & ~(kHugePage - 1);
    // Only a hint: without transparent huge pages the call fails and nothing changes.
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
  std::free(blocks[1]);
  std::free(blocks[0]);
}
#endif

}  // namespace

int main() {
  // A client that goes away must surface as a write error, not kill us.
  std::signal(SIGPIPE, SIG_IGN);
#ifdef __GLIBC__
  keep_large_buffers_in_heap();
#endif
  const std::unique_ptr<pelagon2::platform::Platform> platform = pelagon2::platform::create_platform();
  pelagon2::run_message_loop(stdin, stdout, *platform);
  return 0;
}
