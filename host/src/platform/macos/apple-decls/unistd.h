// Type-check declarations (see CoreFoundation/CoreFoundation.h): the system's
// unistd.h plus Darwin's confstr name for the user's temporary folder.
#pragma once

#include_next <unistd.h>

#define _CS_DARWIN_USER_TEMP_DIR 65537
