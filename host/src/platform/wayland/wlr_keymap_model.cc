#include "platform/wayland/wlr_keymap_model.h"

#include <algorithm>
#include <cstdio>

namespace pelagon2::platform::wayland {
namespace {

std::string slot_key_name(std::size_t slot) { return "<FK" + std::to_string(13 + slot) + ">"; }

bool holds(const Slots& slots, KeySym keysym) {
  return std::find(slots.begin(), slots.end(), keysym) != slots.end();
}

}  // namespace

std::vector<SlotRun> plan_slots(const std::vector<KeySym>& keysyms, const std::function<bool(KeySym)>& in_base,
                                const Slots& current) {
  std::vector<SlotRun> runs;
  Slots held = current;
  for (std::size_t begin = 0; begin < keysyms.size();) {
    // The longest stretch from here whose missing keysyms fit the slots.
    std::vector<KeySym> wanted;
    std::size_t end = begin;
    for (; end < keysyms.size(); ++end) {
      const KeySym k = keysyms[end];
      if (in_base(k) || std::find(wanted.begin(), wanted.end(), k) != wanted.end()) continue;
      if (wanted.size() == kSlotCount) break;
      wanted.push_back(k);
    }
    Slots next = held;
    std::vector<bool> keep(kSlotCount, false);
    for (std::size_t s = 0; s < kSlotCount; ++s) {
      keep[s] = next[s] != 0 && std::find(wanted.begin(), wanted.end(), next[s]) != wanted.end();
    }
    for (const KeySym k : wanted) {
      if (holds(next, k)) continue;
      // A free slot first, else one whose keysym this run does not need.
      std::size_t pick = kSlotCount;
      for (std::size_t s = 0; s < kSlotCount && pick == kSlotCount; ++s) {
        if (next[s] == 0) pick = s;
      }
      for (std::size_t s = 0; s < kSlotCount && pick == kSlotCount; ++s) {
        if (!keep[s]) pick = s;
      }
      next[pick] = k;
      keep[pick] = true;
    }
    runs.push_back({begin, end, next, next != held});
    held = next;
    begin = end;
  }
  return runs;
}

std::string keymap_with_slots(std::string_view base, const Slots& slots) {
  std::string out(base);
  const std::size_t section = out.find("xkb_symbols");
  if (section == std::string::npos) return {};
  const std::size_t body = out.find('\n', section);
  if (body == std::string::npos) return {};
  // The section ends at the first "};" that starts a line after its opening.
  std::size_t section_end = out.find("\n};", body);
  if (section_end == std::string::npos) return {};
  std::string added;
  for (std::size_t s = 0; s < kSlotCount; ++s) {
    if (slots[s] == 0) continue;
    const std::string name = slot_key_name(s);
    for (std::size_t at = out.find("key " + name, body); at != std::string::npos && at < section_end;
         at = out.find("key " + name, body)) {
      const std::size_t close = out.find("};", at);
      if (close == std::string::npos) return {};
      std::size_t stop = close + 2;
      if (stop < out.size() && out[stop] == '\n') ++stop;
      std::size_t start = at;
      while (start > body && (out[start - 1] == ' ' || out[start - 1] == '\t')) --start;
      out.erase(start, stop - start);
      section_end -= stop - start;
    }
    char keysym[16];
    // A number of more than one digit is a keysym value in keymap text.
    std::snprintf(keysym, sizeof keysym, "0x%08x", static_cast<unsigned>(slots[s]));
    added += "\tkey " + name + " { type= \"ONE_LEVEL\", symbols[Group1]= [ " + keysym + " ] };\n";
  }
  out.insert(body + 1, added);
  return out;
}

}  // namespace pelagon2::platform::wayland
