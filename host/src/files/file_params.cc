#include "files/file_params.h"

namespace pelagon2::files {

Expected<std::string> string_param(const Json& params, std::string_view key) {
  if (const std::string* value = string_member(params, key)) return *value;
  return make_error("Missing string param '" + std::string(key) + "'");
}

}  // namespace pelagon2::files
