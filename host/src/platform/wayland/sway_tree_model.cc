#include "platform/wayland/sway_tree_model.h"

#include <cstring>

#include "core/json.h"

namespace pelagon2::platform::wayland {
namespace {

constexpr std::string_view kMagic = "i3-ipc";

void append_u32(std::string& out, std::uint32_t v) {
  char bytes[4];
  std::memcpy(bytes, &v, 4);
  out.append(bytes, 4);
}

struct Found {
  WindowRecord record;
  bool focused = false;
};

bool number(const Json& object, const char* key, double& out) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return false;
  out = it->get<double>();
  return true;
}

void walk(const Json& node, std::vector<Found>& out, int depth) {
  if (!node.is_object() || depth > 64) return;
  const auto pid = node.find("pid");
  const auto type = node.find("type");
  const bool view = pid != node.end() && pid->is_number_integer() && type != node.end() && type->is_string() &&
                    (*type == "con" || *type == "floating_con");
  const auto visible = node.find("visible");
  if (view && !(visible != node.end() && visible->is_boolean() && !visible->get<bool>())) {
    Found f;
    f.record.owner_pid = pid->get<std::int64_t>();
    f.record.layer = 0;
    const auto rect = node.find("rect");
    if (rect == node.end()) {
      f.record.bounds_state = WindowRecord::BoundsState::missing;
    } else if (!rect->is_object()) {
      f.record.bounds_state = WindowRecord::BoundsState::not_a_dictionary;
    } else if (!number(*rect, "x", f.record.x) || !number(*rect, "y", f.record.y) ||
               !number(*rect, "width", f.record.width) || !number(*rect, "height", f.record.height)) {
      f.record.bounds_state = WindowRecord::BoundsState::unreadable;
    }
    const auto focused = node.find("focused");
    f.focused = focused != node.end() && focused->is_boolean() && focused->get<bool>();
    out.push_back(std::move(f));
  }
  for (const char* children : {"nodes", "floating_nodes"}) {
    const auto it = node.find(children);
    if (it == node.end() || !it->is_array()) continue;
    for (const Json& child : *it) walk(child, out, depth + 1);
  }
}

}  // namespace

std::string sway_message(std::uint32_t type, std::string_view payload) {
  std::string out(kMagic);
  append_u32(out, static_cast<std::uint32_t>(payload.size()));
  append_u32(out, type);
  out.append(payload);
  return out;
}

std::optional<SwayHeader> parse_sway_header(std::string_view bytes) {
  if (bytes.size() < kSwayHeaderSize || bytes.substr(0, kMagic.size()) != kMagic) return std::nullopt;
  SwayHeader h;
  std::memcpy(&h.length, bytes.data() + 6, 4);
  std::memcpy(&h.type, bytes.data() + 10, 4);
  return h;
}

std::optional<std::vector<WindowRecord>> sway_windows(std::string_view tree_json) {
  const std::optional<Json> tree = parse_json_reference(tree_json);
  if (!tree || !tree->is_object()) return std::nullopt;
  std::vector<Found> found;
  walk(*tree, found, 0);
  std::vector<WindowRecord> out;
  for (const Found& f : found) {
    if (f.focused) out.push_back(f.record);
  }
  for (const Found& f : found) {
    if (!f.focused) out.push_back(f.record);
  }
  return out;
}

}  // namespace pelagon2::platform::wayland
