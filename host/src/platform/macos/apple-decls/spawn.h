// Type-check declarations (see CoreFoundation/CoreFoundation.h): the system's
// spawn.h plus Darwin's flag that closes every descriptor not given to the child.
#pragma once

#include_next <spawn.h>

#define POSIX_SPAWN_CLOEXEC_DEFAULT 0x4000
