#include <gtest/gtest.h>

#include <set>

#include "computeruse/KeyMap.hpp"
#include "desktopshare/KeysymMap.hpp"
#include "platform/VirtualKeySymbols.hpp"

using namespace desktopshare;

namespace {

struct Case {
  std::uint32_t keysym;
  std::optional<KeyResolution> expected;
};

TEST(KeysymMap, ResolvesModifiersNamedKeysAndCharacters) {
  const Case cases[] = {
      {0xFFE1, KeyResolution::modifier(ModifierKey::shift)},
      {0xFFE2, KeyResolution::modifier(ModifierKey::shift)},
      {0xFFE4, KeyResolution::modifier(ModifierKey::control)},
      {0xFFE9, KeyResolution::modifier(ModifierKey::option)},
      {0xFFE7, KeyResolution::modifier(ModifierKey::command)},
      {0xFFEB, KeyResolution::modifier(ModifierKey::command)},
      {0xFFEC, KeyResolution::modifier(ModifierKey::command)},
      {0xFE20, KeyResolution::keyCode(48)},   // ISO_Left_Tab like Tab
      {0xFF09, KeyResolution::keyCode(48)},
      {0xFFFF, KeyResolution::keyCode(117)},  // Delete is forward delete
      {0xFF08, KeyResolution::keyCode(51)},
      {0xFF0D, KeyResolution::keyCode(36)},
      {0xFF55, KeyResolution::keyCode(116)},
      {0xFFC9, KeyResolution::keyCode(111)},  // F12
      {0x41, KeyResolution::unicode("A")},
      {0x20, KeyResolution::unicode(" ")},
      {0x7E, KeyResolution::unicode("~")},
      {0xA0, KeyResolution::unicode("\u00A0")},
      {0xE9, KeyResolution::unicode("\u00E9")},
      {0x010020AC, KeyResolution::unicode("\u20AC")},
      {0x0101F600, KeyResolution::unicode("\U0001F600")},
      {0x7F, std::nullopt},
      {0x9F, std::nullopt},
      {0x0100D800, std::nullopt},  // surrogate
      {0x01110000, std::nullopt},  // beyond Unicode
      {0xFF8D, std::nullopt},      // KP_Enter
      {0xFFE5, std::nullopt},      // Caps_Lock
      {0xFF63, std::nullopt},      // Insert
      {0xFFCA, std::nullopt},      // F13
      {0x1A1, std::nullopt},       // Latin-2 block
  };
  for (const Case& c : cases) EXPECT_EQ(KeysymMap::resolve(c.keysym), c.expected) << std::hex << c.keysym;
}

TEST(KeysymMap, ModifierFlagsAndCodes) {
  const std::uint64_t flags[] = {0x20000, 0x40000, 0x80000, 0x100000};
  const std::uint16_t codes[] = {56, 59, 58, 55};
  for (std::size_t i = 0; i < allModifierKeys.size(); ++i) {
    EXPECT_EQ(flag(allModifierKeys[i]), flags[i]);
    EXPECT_EQ(keyCode(allModifierKeys[i]), codes[i]);
  }
}

// The X11 poster turns virtual key codes back into keysyms; every code the key-name table can
// produce must be covered, or a named key pressed through a viewer would be lost.
TEST(VirtualKeySymbols, CoverEveryKeyMapCodeAndEachCodeOnce) {
  std::set<std::uint16_t> seen;
  for (const auto& e : platform::virtualKeySymbols()) EXPECT_TRUE(seen.insert(e.code).second) << e.code;
  for (auto table : {computeruse::KeyMap::single(), computeruse::KeyMap::named()})
    for (const auto& e : table) EXPECT_TRUE(platform::keysymForVirtualKey(e.code).has_value()) << e.name;
  for (ModifierKey m : allModifierKeys) EXPECT_TRUE(platform::keysymForVirtualKey(keyCode(m)).has_value());
  // Round trip through the viewer's keysyms for the named keys.
  for (std::uint32_t keysym : {0xFF08u, 0xFF0Du, 0xFF1Bu, 0xFFFFu, 0xFF51u, 0xFFBEu}) {
    auto r = KeysymMap::resolve(keysym);
    ASSERT_TRUE(r);
    EXPECT_EQ(platform::keysymForVirtualKey(std::get<KeyResolution::KeyCode>(r->value).code), keysym);
  }
  EXPECT_EQ(platform::keysymForVirtualKey(0), std::optional<std::uint32_t>('a'));
  EXPECT_EQ(platform::keysymForVirtualKey(10), std::nullopt);
}

}  // namespace
