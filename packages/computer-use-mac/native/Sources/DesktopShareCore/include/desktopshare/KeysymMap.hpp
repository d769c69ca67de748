#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace desktopshare {

enum class ModifierKey { shift, control, option, command };

inline constexpr std::array<ModifierKey, 4> allModifierKeys{ModifierKey::shift, ModifierKey::control,
                                                            ModifierKey::option, ModifierKey::command};

// Core Graphics flag bit of the modifier.
std::uint64_t flag(ModifierKey key);
// macOS virtual key code of the (left) modifier key.
std::uint16_t keyCode(ModifierKey key);

// What a viewer's keysym presses: a key with a fixed virtual key code, a modifier, or one
// character to be typed as text.
struct KeyResolution {
  struct KeyCode {
    std::uint16_t code;
    bool operator==(const KeyCode&) const = default;
  };
  struct Modifier {
    ModifierKey key;
    bool operator==(const Modifier&) const = default;
  };
  struct Unicode {
    std::string text;  // UTF-8, one scalar
    bool operator==(const Unicode&) const = default;
  };
  std::variant<KeyCode, Modifier, Unicode> value;

  static KeyResolution keyCode(std::uint16_t code) { return {KeyCode{code}}; }
  static KeyResolution modifier(ModifierKey key) { return {Modifier{key}}; }
  static KeyResolution unicode(std::string text) { return {Unicode{std::move(text)}}; }
  bool operator==(const KeyResolution&) const = default;
};

// X11 keysyms (as RFB viewers send them) to keys. Named keys go through the computer-use key
// name table so both features press the same virtual key for the same name.
struct KeysymMap {
  // None for keysyms that cannot be placed (keypad, Insert, Caps Lock, F13 and up, legacy
  // non-Latin-1 blocks, ...). Pure; safe from any thread.
  static std::optional<KeyResolution> resolve(std::uint32_t keysym);
};

// UTF-8 encoding of one scalar value (no validation of surrogates; callers exclude them).
std::string utf8Encode(std::uint32_t scalar);

}  // namespace desktopshare
