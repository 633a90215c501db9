#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#include <sys/mman.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/descriptor_io.h"

#include "core/posix.h"

namespace pelagon2 {
namespace {

bool copy_by_read_write(int in, int out) {
  std::vector<char> buffer(std::size_t{1} << 17);
  while (true) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (!write_all(out, buffer.data(), static_cast<std::size_t>(n))) return false;
  }
}

}  // namespace

CloneResult clone_file(int, const std::string&) { return CloneResult::fall_back; }

// Kernel-side copy (shared extents where the file system can); both offsets
// advance together, so read/write can take over at any point.
bool copy_bytes(int in, int out) {
  bool copied_any = false;
  while (true) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, std::size_t{1} << 30, 0);
    if (n > 0) {
      copied_any = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 && copied_any) return true;
    // Nothing copied yet (some pseudo-files claim to be empty here) or the
    // kernel refused this pair of files: read and write instead.
    return copy_by_read_write(in, out);
  }
}

bool cloexec_pipe(int fds[2]) { return ::pipe2(fds, O_CLOEXEC) == 0; }

// Linux has no such flag; every descriptor the host opens is close-on-exec.
short spawn_flags_closing_other_descriptors() { return 0; }

const struct timespec& modification_time(const struct stat& st) { return st.st_mtim; }

std::string system_user_temp_dir() { return std::string(); }

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
void tune_heap_for_requests() {
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

// After a request that left more free heap than the trim threshold set above
// (a large request, or one of many small pieces that could not all
// merge into the top of the heap), everything beyond a modest working size
// goes back to the system. Ordinary requests never reach the threshold and
// keep their warm heap.
constexpr std::size_t kSpareHeapLimit = std::size_t{64} << 20;
constexpr std::size_t kWorkingHeap = std::size_t{32} << 20;

void give_back_spare_heap() {
#if __GLIBC_PREREQ(2, 33)
  if (mallinfo2().fordblks > kSpareHeapLimit) malloc_trim(kWorkingHeap);
#endif
}
#else
void tune_heap_for_requests() {}
void give_back_spare_heap() {}
#endif

}  // namespace pelagon2
