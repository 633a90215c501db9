#include "tools/client/call_arguments.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "core/base64.h"

namespace pelagon2 {
namespace {

Expected<Json> parse_value(const std::string& text) {
  if (!text.empty() && text[0] == '@') {
    const std::string path = text.substr(1);
    std::ifstream file(path, std::ios::binary);
    if (!file) return make_error("cannot read " + path);
    try {
      // A read error (a directory opens but cannot be read) throws from the
      // stream buffer.
      const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      return Json(base64_encode(bytes));
    } catch (const std::ios_base::failure& error) {
      return make_error("cannot read " + path + ": " + std::strerror(errno));
    }
  }
  JsonParser parser;
  if (std::optional<Json> value = parser.parse(text)) return *value;
  return Json(text);
}

void pretty(const Json& value, int indent, std::string& out) {
  const auto newline = [&](int level) {
    out += '\n';
    out.append(static_cast<std::size_t>(level) * 2, ' ');
  };
  if (value.is_array() && !value.empty()) {
    out += '[';
    bool first = true;
    for (const Json& item : value) {
      if (!first) out += ',';
      first = false;
      newline(indent + 1);
      pretty(item, indent + 1, out);
    }
    newline(indent);
    out += ']';
  } else if (value.is_object() && !value.empty()) {
    out += '{';
    bool first = true;
    for (const auto& [key, item] : value.get_ref<const Json::object_t&>()) {
      if (!first) out += ',';
      first = false;
      newline(indent + 1);
      write_json(Json(key), out);
      out += ": ";
      pretty(item, indent + 1, out);
    }
    newline(indent);
    out += '}';
  } else {
    write_json(value, out);
  }
}

}  // namespace

Expected<Json> build_params(const std::vector<std::string>& words) {
  Json params = Json::object();
  for (const std::string& word : words) {
    const std::size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0) return make_error("expected key=value, got '" + word + "'");
    Expected<Json> value = parse_value(word.substr(eq + 1));
    if (!value) return value;

    Json* target = &params;
    std::string_view key(word.data(), eq);
    for (std::size_t dot; (dot = key.find('.')) != std::string_view::npos; key.remove_prefix(dot + 1)) {
      Json& next = (*target)[std::string(key.substr(0, dot))];
      if (!next.is_object()) next = Json::object();
      target = &next;
    }
    (*target)[std::string(key)] = std::move(value).value();
  }
  return params;
}

std::string pretty_json(const Json& value) {
  std::string out;
  pretty(value, 0, out);
  return out;
}

}  // namespace pelagon2
