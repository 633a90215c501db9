// Type-check declarations (see CoreFoundation/CoreFoundation.h): the file
// copy calls of <copyfile.h>, from Apple's documented signatures.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
typedef struct _copyfile_state* copyfile_state_t;
typedef uint32_t copyfile_flags_t;

#define COPYFILE_ACL (1 << 0)
#define COPYFILE_STAT (1 << 1)
#define COPYFILE_XATTR (1 << 2)
#define COPYFILE_DATA (1 << 3)
#define COPYFILE_SECURITY (COPYFILE_STAT | COPYFILE_ACL)
#define COPYFILE_METADATA (COPYFILE_SECURITY | COPYFILE_XATTR)
#define COPYFILE_ALL (COPYFILE_METADATA | COPYFILE_DATA)

int copyfile(const char* from, const char* to, copyfile_state_t state, copyfile_flags_t flags);
int fcopyfile(int from_fd, int to_fd, copyfile_state_t state, copyfile_flags_t flags);
#ifdef __cplusplus
}
#endif
