#pragma once
// The files module's methods (file-system queries, listings, contents,
// changes and shell commands), as the host's method table calls them.

#include <new>
#include <stdexcept>

#include "core/json.h"
#include "core/outcome.h"
#include "files/directory_listing.h"
#include "files/file_changes.h"
#include "files/file_contents.h"
#include "files/path_queries.h"
#include "files/run_process.h"
#include "platform/platform.h"

namespace pelagon2::files {

using FilesMethod = Outcome (*)(const Json& params);

// What `method` answers when it runs out of memory: the way it reports every
// other failure (whole-file reads and listings with errorCode 1, writes and
// changes with false, the rest with the operating system's text for ENOMEM).
Outcome out_of_memory_reply(FilesMethod method);

// `Method` as the host's method table calls it: running out of memory becomes
// the method's own failure reply.
template <FilesMethod Method>
Outcome guarded(const Json& params, platform::Platform&) {
  try {
    return Method(params);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return out_of_memory_reply(Method);
}

}  // namespace pelagon2::files
