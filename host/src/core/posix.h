#pragma once
// The few operating-system primitives whose calls differ between Linux and
// macOS. One source per system implements them (posix_linux.cc,
// posix_darwin.cc), picked by the build, so the modules read the same on both.

struct stat;
struct timespec;

#include <string>

namespace pelagon2 {

// A pipe whose both ends close on exec, so no child inherits them unless a
// spawn copies one onto its standard streams. False with errno set.
bool cloexec_pipe(int fds[2]);

// posix_spawn flags that keep every descriptor but the three standard streams
// out of the child, where the system offers such a flag; 0 where it does not
// (there the host opens every descriptor close-on-exec).
short spawn_flags_closing_other_descriptors();

// A copy-on-write clone of the open file `in` at the new path `target`, where
// the system and volume support it; fall_back when a byte copy must do.
enum class CloneResult { cloned, fall_back, failed };
CloneResult clone_file(int in, const std::string& target);

// Copies the rest of `in` to `out` the fastest way the system has; false with
// errno set.
bool copy_bytes(int in, int out);

// The modification time held in `st`.
const struct timespec& modification_time(const struct stat& st);

// The per-user temporary directory the system reports, or empty where it has none.
std::string system_user_temp_dir();

// Heap settings for a process that serves requests one after another, made
// once at start-up; nothing where the allocator offers none.
void tune_heap_for_requests();
// After a request: free heap beyond a working size goes back to the system
// when much of it is left over.
void give_back_spare_heap();

}  // namespace pelagon2
