// Type-check declarations (see CoreFoundation/CoreFoundation.h): the system's
// pthread.h plus the Apple-only main-thread query.
#pragma once

#include_next <pthread.h>

#ifdef __cplusplus
extern "C" {
#endif
int pthread_main_np(void);
#ifdef __cplusplus
}
#endif
