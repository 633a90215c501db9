#pragma once
// Methods that change the file system: copy, move and delete a file, create a
// directory with its parents, remove a directory tree. Each answers true or
// false; only a missing parameter is an error.

#include <optional>
#include <string>
#include <string_view>

#include "core/json.h"
#include "core/outcome.h"

namespace pelagon2::files {

Outcome copy_file(const Json& params);
Outcome move_file(const Json& params);
Outcome delete_file(const Json& params);
Outcome create_directory(const Json& params);
Outcome remove_directory(const Json& params);

enum class Durability { page_cache, synced };

// Copies the regular file at `source` (links followed) to `target`, creating or
// truncating it, with the source's permission bits. Refuses a target that is
// the source itself and either end being the host's own standard input or
// output. With `synced` the data reaches the device before the call returns
// true.
bool copy_regular_file(const std::string& source, const std::string& target,
                       Durability durability = Durability::page_cache);

// Creates `path` and every missing ancestor (0777 before the umask).
bool create_directory_all(const std::string& path);

// Removes a directory with everything inside it without following any symbolic
// link or leaving the tree, holding a fixed number of descriptors whatever its
// depth; a link given as `path` is removed as a link. A path ending in "." or
// ".." is refused before anything is removed.
bool remove_directory_tree(const std::string& path);

// The path one component up, trailing separators ignored; nullopt for the root,
// for the empty path and for a single relative component.
std::optional<std::string> parent_path(std::string_view path);

}  // namespace pelagon2::files
