// Which characters of a text get F13…F24, when the keymap is uploaded again,
// and the keymap text with the slots in it.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/wayland/wlr_keymap_model.h"

namespace pelagon2::platform::wayland {
namespace {

// Stand-ins: keysyms below 0x100 are "on the US layout", the rest are not.
bool ascii_base(KeySym k) { return k < 0x100; }

std::vector<KeySym> syms(std::initializer_list<KeySym> list) { return list; }

Slots slots_of(std::initializer_list<KeySym> list) {
  Slots s{};
  std::size_t i = 0;
  for (const KeySym k : list) s[i++] = k;
  return s;
}

TEST(WlrKeymapModel, PlanSlots) {
  struct Case {
    const char* name;
    std::vector<KeySym> text;
    Slots current;
    std::vector<SlotRun> want;
  };
  std::vector<KeySym> thirteen;
  for (KeySym k = 0x1000; k < 0x100d; ++k) thirteen.push_back(k);
  Slots first_twelve{};
  for (std::size_t i = 0; i < kSlotCount; ++i) first_twelve[i] = 0x1000 + static_cast<KeySym>(i);
  // The thirteenth takes the slot of the first, which the second run does not need.
  Slots after = first_twelve;
  after[0] = 0x100c;
  const Case cases[] = {
      {"empty", {}, {}, {}},
      {"all on the layout", syms({'a', 'b', 'c'}), {}, {{0, 3, {}, false}}},
      {"one missing, twice", syms({'a', 0x1001, 'b', 0x1001}), {}, {{0, 4, slots_of({0x1001}), true}}},
      {"already on a slot: no upload", syms({0x1002, 'x'}), slots_of({0x1001, 0x1002}),
       {{0, 2, slots_of({0x1001, 0x1002}), false}}},
      {"a free slot before a used one", syms({0x1003}), slots_of({0x1001, 0, 0}),
       {{0, 1, slots_of({0x1001, 0x1003}), true}}},
      {"thirteen distinct: two runs", thirteen, {}, {{0, 12, first_twelve, true}, {12, 13, after, true}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(plan_slots(c.text, ascii_base, c.current), c.want) << c.name;
  }
}

TEST(WlrKeymapModel, RunsCoverTheTextAndHoldWhatTheyType) {
  // 30 distinct missing characters, each twice, among ASCII.
  std::vector<KeySym> text;
  for (int round = 0; round < 2; ++round) {
    for (KeySym k = 0; k < 30; ++k) {
      text.push_back(0x2000 + k);
      text.push_back('a' + (k % 26));
    }
  }
  Slots current = slots_of({0x2005, 0x9999});
  const std::vector<SlotRun> runs = plan_slots(text, ascii_base, current);
  ASSERT_FALSE(runs.empty());
  std::size_t at = 0;
  for (const SlotRun& run : runs) {
    EXPECT_EQ(run.begin, at);
    EXPECT_GT(run.end, run.begin);
    std::set<KeySym> distinct;
    for (std::size_t i = run.begin; i < run.end; ++i) {
      if (ascii_base(text[i])) continue;
      distinct.insert(text[i]);
      EXPECT_NE(std::find(run.slots.begin(), run.slots.end(), text[i]), run.slots.end()) << i;
    }
    EXPECT_LE(distinct.size(), kSlotCount);
    EXPECT_EQ(run.upload, run.slots != current);
    current = run.slots;
    at = run.end;
  }
  EXPECT_EQ(at, text.size());
  // Sixty distinct characters need at least five uploads of twelve.
  EXPECT_GE(runs.size(), 5u);
}

constexpr const char* kBase =
    "xkb_keymap {\n"
    "xkb_keycodes \"evdev\" {\n"
    "\t<FK13> = 191;\n"
    "\t<FK14> = 192;\n"
    "};\n"
    "xkb_symbols \"pc+us\" {\n"
    "\tname[Group1]=\"English (US)\";\n"
    "\tkey <AE01> {\t[ 1, exclam ] };\n"
    "\tkey <FK13> {\t[ Tools ] };\n"
    "\tkey <FK14> {\t[ Launch5 ] };\n"
    "\tmodifier_map Shift { <LFSH> };\n"
    "};\n"
    "};\n";

TEST(WlrKeymapModel, KeymapWithSlots) {
  Slots slots{};
  slots[0] = 0xfc;       // udiaeresis
  slots[11] = 0x1002713; // check mark, on F24
  const std::string out = keymap_with_slots(kBase, slots);
  ASSERT_FALSE(out.empty());
  // F13 is replaced, F14 (no slot) kept, F24 added; nothing else changed.
  EXPECT_EQ(out.find("Tools"), std::string::npos) << out;
  EXPECT_NE(out.find("key <FK14> {\t[ Launch5 ] };"), std::string::npos) << out;
  EXPECT_NE(out.find("key <FK13> { type= \"ONE_LEVEL\", symbols[Group1]= [ 0x000000fc ] };"), std::string::npos) << out;
  EXPECT_NE(out.find("key <FK24> { type= \"ONE_LEVEL\", symbols[Group1]= [ 0x01002713 ] };"), std::string::npos) << out;
  EXPECT_NE(out.find("\t<FK13> = 191;"), std::string::npos) << "key codes untouched";
  EXPECT_NE(out.find("key <AE01> {\t[ 1, exclam ] };"), std::string::npos);
  // The new keys are inside the symbols section.
  const std::size_t symbols = out.find("xkb_symbols"), end = out.find("\n};", symbols);
  EXPECT_GT(out.find("<FK24> {"), symbols);
  EXPECT_LT(out.find("<FK24> {"), end);
  // Empty slots leave the base as it was; no symbols section, no keymap.
  EXPECT_EQ(keymap_with_slots(kBase, Slots{}), kBase);
  EXPECT_EQ(keymap_with_slots("xkb_keymap {\n};\n", slots), "");
}

}  // namespace
}  // namespace pelagon2::platform::wayland
