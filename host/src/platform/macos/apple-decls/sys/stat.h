// Type-check declarations (see CoreFoundation/CoreFoundation.h): the system's
// sys/stat.h, whose modification time Darwin names st_mtimespec. glibc's
// struct stat holds the same struct timespec as st_mtim; the name is an alias
// of it, the way glibc itself spells st_mtime.
#pragma once

#include_next <sys/stat.h>

#define st_mtimespec st_mtim
