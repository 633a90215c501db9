#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#ifdef __GLIBC__
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
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
// The heap is also grown once by about one request's worth and that part
// backed by huge pages when first touched: a 4 KiB page fault costs about as
// much as zeroing a whole huge page, so the first request does not pay for
// thousands of them.
void keep_large_buffers_in_heap() {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  constexpr std::uintptr_t kHugePage = 2 * kMiB;
  mallopt(M_MMAP_THRESHOLD, 32 * kMiB);
  mallopt(M_TRIM_THRESHOLD, 64 * kMiB);

  mallopt(M_TOP_PAD, 48 * kMiB);
  void* block = std::malloc(64 * 1024);
  mallopt(M_TOP_PAD, 128 * 1024);
  if (block == nullptr) return;
  const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(block) + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(sbrk(0)) & ~(kHugePage - 1);
  std::free(block);
  // Only a hint: without transparent huge pages the call fails and nothing changes.
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
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
