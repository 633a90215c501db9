#include "files/file_params.h"

namespace pelagon2::files {

Expected<std::string> string_param(const Json& params, std::string_view key) {
  if (params.is_object()) {
    const auto it = params.find(key);
    if (it != params.end() && it->is_string()) return it->get<std::string>();
  }
  return make_error("Missing string param '" + std::string(key) + "'");
}

std::optional<std::uint64_t> unsigned_param(const Json& params, std::string_view key) {
  if (!params.is_object()) return std::nullopt;
  const auto it = params.find(key);
  if (it == params.end() || !it->is_number_unsigned()) return std::nullopt;
  return it->get<std::uint64_t>();
}

}  // namespace pelagon2::files
