#pragma once
// The few operating-system primitives whose calls differ between Linux and
// macOS. One source per system implements them (posix_linux.cc,
// posix_darwin.cc), picked by the build, so the modules read the same on both.

struct stat;
struct timespec;

namespace pelagon2 {

// A pipe whose both ends close on exec, so no child inherits them unless a
// spawn copies one onto its standard streams. False with errno set.
bool cloexec_pipe(int fds[2]);

// The modification time held in `st`.
const struct timespec& modification_time(const struct stat& st);

}  // namespace pelagon2
