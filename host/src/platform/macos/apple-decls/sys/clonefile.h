// Type-check declarations (see CoreFoundation/CoreFoundation.h): the
// copy-on-write clone calls of <sys/clonefile.h> (macOS 10.12 and later),
// from Apple's documented signatures.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#define CLONE_NOFOLLOW 0x0001
#define CLONE_NOOWNERCOPY 0x0002

int clonefile(const char* src, const char* dst, uint32_t flags);
int clonefileat(int src_dirfd, const char* src, int dst_dirfd, const char* dst, uint32_t flags);
int fclonefileat(int srcfd, int dst_dirfd, const char* dst, uint32_t flags);
#ifdef __cplusplus
}
#endif
