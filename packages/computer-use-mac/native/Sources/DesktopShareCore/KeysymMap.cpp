#include "desktopshare/KeysymMap.hpp"

#include <string_view>

#include "computeruse/KeyMap.hpp"

namespace desktopshare {

namespace {

struct ModifierEntry {
  std::uint32_t keysym;
  ModifierKey key;
};

constexpr std::array<ModifierEntry, 10> kModifiers{{
    {0xFFE1, ModifierKey::shift},   {0xFFE2, ModifierKey::shift},   // Shift_L, Shift_R
    {0xFFE3, ModifierKey::control}, {0xFFE4, ModifierKey::control}, // Control_L, Control_R
    {0xFFE9, ModifierKey::option},  {0xFFEA, ModifierKey::option},  // Alt_L, Alt_R
    {0xFFE7, ModifierKey::command}, {0xFFE8, ModifierKey::command}, // Meta_L, Meta_R
    {0xFFEB, ModifierKey::command}, {0xFFEC, ModifierKey::command}, // Super_L, Super_R
}};

struct NamedEntry {
  std::uint32_t keysym;
  std::string_view name;
};

constexpr std::array<NamedEntry, 26> kNamed{{
    {0xFF08, "backspace"}, {0xFF09, "tab"},    {0xFE20, "tab"},      {0xFF0D, "return"},
    {0xFF1B, "escape"},    {0xFFFF, "forwarddelete"},                {0xFF50, "home"},
    {0xFF51, "left"},      {0xFF52, "up"},     {0xFF53, "right"},    {0xFF54, "down"},
    {0xFF55, "pageup"},    {0xFF56, "pagedown"},                     {0xFF57, "end"},
    {0xFFBE, "f1"},        {0xFFBF, "f2"},     {0xFFC0, "f3"},       {0xFFC1, "f4"},
    {0xFFC2, "f5"},        {0xFFC3, "f6"},     {0xFFC4, "f7"},       {0xFFC5, "f8"},
    {0xFFC6, "f9"},        {0xFFC7, "f10"},    {0xFFC8, "f11"},      {0xFFC9, "f12"},
}};

}  // namespace

std::uint64_t flag(ModifierKey key) {
  switch (key) {
    case ModifierKey::shift: return 0x20000;
    case ModifierKey::control: return 0x40000;
    case ModifierKey::option: return 0x80000;
    case ModifierKey::command: return 0x100000;
  }
  return 0;
}

std::uint16_t keyCode(ModifierKey key) {
  switch (key) {
    case ModifierKey::shift: return 56;
    case ModifierKey::control: return 59;
    case ModifierKey::option: return 58;
    case ModifierKey::command: return 55;
  }
  return 0;
}

std::string utf8Encode(std::uint32_t cp) {
  std::string out;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

std::optional<KeyResolution> KeysymMap::resolve(std::uint32_t keysym) {
  for (const auto& m : kModifiers)
    if (m.keysym == keysym) return KeyResolution::modifier(m.key);
  for (const auto& n : kNamed) {
    if (n.keysym != keysym) continue;
    if (auto code = computeruse::KeyMap::keyCode(n.name)) return KeyResolution::keyCode(*code);
    return std::nullopt;
  }
  // Latin-1 keysyms equal their code points.
  if ((keysym >= 0x20 && keysym <= 0x7E) || (keysym >= 0xA0 && keysym <= 0xFF))
    return KeyResolution::unicode(utf8Encode(keysym));
  if (keysym >= 0x01000000) {
    const std::uint32_t cp = keysym - 0x01000000;
    if (cp < 0x110000 && !(cp >= 0xD800 && cp <= 0xDFFF)) return KeyResolution::unicode(utf8Encode(cp));
  }
  return std::nullopt;
}

}  // namespace desktopshare
